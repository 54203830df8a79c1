// Helpers of the Win32 GUI test drivers (run under wine): counted checks,
// polling with a deadline, window lookup, control texts and the settings
// key in the registry.
#ifndef STM32_TESTS_WIN_GUI_HARNESS_H
#define STM32_TESTS_WIN_GUI_HARNESS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <functional>
#include <string>

namespace gui_test {

// --- checks: every check counts; the driver fails if any failed.
void recordCheck(bool passed, const char* file, int line, const std::wstring& what);
int failedChecks();
int finishChecks(const char* caseName); // prints the totals, returns the exit code

#define GUI_CHECK(condition) ::gui_test::recordCheck((condition), __FILE__, __LINE__, L## #condition)
#define GUI_CHECK_TEXT(actual, expected)                                                                         \
    do {                                                                                                       \
        std::wstring actualText_ = (actual);                                                                   \
        std::wstring expectedText_ = (expected);                                                               \
        ::gui_test::recordCheck(actualText_ == expectedText_, __FILE__, __LINE__,                              \
                                L"" #actual L" == \"" + expectedText_ + L"\" (got \"" + actualText_ + L"\")"); \
    } while (0)

// Waits for the window text, then checks it (showing the text it had).
#define GUI_CHECK_TEXT_SOON(window, expected)                   \
    do {                                                        \
        ::gui_test::waitForText((window), (expected));          \
        GUI_CHECK_TEXT(::gui_test::windowText(window), (expected)); \
    } while (0)

// Polls predicate every 10 ms until it holds or the deadline passes.
bool waitFor(const std::function<bool()>& predicate, DWORD timeoutMs = 5000);

// --- windows
HWND findTopLevelWindow(DWORD processId, const std::wstring& title);
HWND findLogPanel(HWND mainWindow);
std::wstring windowText(HWND window);
std::wstring controlText(HWND dialog, int control);
bool waitForText(HWND window, const std::wstring& expected, DWORD timeoutMs = 5000);
bool waitForTextContaining(HWND window, const std::wstring& part, DWORD timeoutMs = 5000);
void sendCommand(HWND window, int command, int notification = 0, HWND control = nullptr);
std::wstring comboItem(HWND combo, int index);

// --- the settings key "Software\TidewireSTM32Utility\Prefs" of the current user
void deleteSettings();
bool readStoredNumber(const wchar_t* name, DWORD* value);
bool readStoredString(const wchar_t* name, std::wstring* value);
void writeStoredNumber(const wchar_t* name, DWORD value);
void writeStoredString(const wchar_t* name, const std::wstring& value);

// --- files
std::wstring temporaryFile(const wchar_t* name, size_t bytes); // created in the temp folder
std::wstring windowsPath(const std::wstring& path); // "/a/b" -> "Z:\a\b" (wine's root drive)

// A DROPFILES block with the given paths, as the shell hands it over.
HGLOBAL makeDropFiles(const std::wstring* paths, int count);

extern const wchar_t* const kNoTargetStatus;
extern const wchar_t* const kNoTargetLog;

} // namespace gui_test

#endif
