// Drives the real TidewireSTM32Utility.exe (and stm32cmd.exe) from a
// second process under wine: there is never a board, so the program runs
// with no target. Usage: gui_process_tests <case> <program.exe>
#include "gui_harness.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "resource.h"

using namespace gui_test;

namespace {

const wchar_t* const kTitle = L"Tidewire STM32 Utility";

class GuiProcess {
public:
    ~GuiProcess() {
        if (process_.hProcess != nullptr) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 99);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
    }

    bool start(const std::wstring& program, const std::wstring& arguments) {
        std::wstring commandLine = L"\"" + program + L"\"";
        if (!arguments.empty()) commandLine += L" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process_)) {
            fwprintf(stderr, L"cannot start %ls (error %lu)\n", program.c_str(), GetLastError());
            return false;
        }
        bool shown = waitFor([&] {
            mainWindow = findTopLevelWindow(process_.dwProcessId, kTitle);
            logPanel = mainWindow != nullptr ? findLogPanel(mainWindow) : nullptr;
            return logPanel != nullptr && IsWindowVisible(logPanel);
        });
        if (!shown) return false;
        status = GetDlgItem(logPanel, IDC_STATUS);
        log = GetDlgItem(logPanel, IDC_LOG);
        about = findTopLevelWindow(process_.dwProcessId, L"About TidewireSTM32Utility");
        preferences = findTopLevelWindow(process_.dwProcessId, L"Preferences");
        return true;
    }

    // "E&xit"; the exit code of the program, or -1 if it did not end.
    long exitThroughMenu() {
        PostMessageW(mainWindow, WM_COMMAND, IDM_EXIT, 0);
        if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        return static_cast<long>(code);
    }

    HWND mainWindow = nullptr;
    HWND logPanel = nullptr;
    HWND status = nullptr;
    HWND log = nullptr;
    HWND about = nullptr;
    HWND preferences = nullptr;

private:
    PROCESS_INFORMATION process_ = {};
};

RECT windowRectIn(HWND window, HWND parent) {
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

int width(const RECT& rect) { return rect.right - rect.left; }
int height(const RECT& rect) { return rect.bottom - rect.top; }

INPUT key(WORD virtualKey, bool up) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return input;
}

// Alt with the key of a plain character, typed on the keyboard into the
// foreground window (the accelerator table looks at the real Alt state).
void typeWithAlt(HWND window, wchar_t character) {
    SetForegroundWindow(window);
    SHORT scan = VkKeyScanW(character);
    WORD virtualKey = LOBYTE(scan);
    bool shift = (HIBYTE(scan) & 1) != 0;
    std::vector<INPUT> inputs = {key(VK_MENU, false)};
    if (shift) inputs.push_back(key(VK_SHIFT, false));
    inputs.push_back(key(virtualKey, false));
    inputs.push_back(key(virtualKey, true));
    if (shift) inputs.push_back(key(VK_SHIFT, true));
    inputs.push_back(key(VK_MENU, true));
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

bool waitForVisible(HWND window, bool visible) {
    return waitFor([&] { return (IsWindowVisible(window) != FALSE) == visible; });
}

void checkStartup(const std::wstring& program) {
    GuiProcess gui;
    GUI_CHECK(gui.start(program, L""));
    if (gui.mainWindow == nullptr) return;

    wchar_t className[100] = {};
    GetClassNameW(gui.mainWindow, className, 100);
    GUI_CHECK_TEXT(className, L"TIDEWIRESTM32UTILITY");
    GUI_CHECK_TEXT_SOON(gui.status, kNoTargetStatus);
    GUI_CHECK_TEXT(windowText(gui.log), L"");

    // About: created hidden with the version line; Alt+"?" and Alt+"/" show it
    // wherever the focus is, Escape (IDCANCEL) hides it again.
    GUI_CHECK(gui.about != nullptr && !IsWindowVisible(gui.about));
    GUI_CHECK(gui.preferences != nullptr && !IsWindowVisible(gui.preferences));
    std::wstring aboutLine = controlText(gui.about, IDC_ABOUTTEXT);
    GUI_CHECK(aboutLine.find(L"1.1.1") != std::wstring::npos);
    typeWithAlt(gui.mainWindow, L'?');
    GUI_CHECK(waitForVisible(gui.about, true));
    PostMessageW(gui.about, WM_COMMAND, IDCANCEL, 0);
    GUI_CHECK(waitForVisible(gui.about, false));
    typeWithAlt(gui.mainWindow, L'/');
    GUI_CHECK(waitForVisible(gui.about, true));
    PostMessageW(gui.about, WM_COMMAND, IDOK, 0);
    GUI_CHECK(waitForVisible(gui.about, false));
    PostMessageW(gui.mainWindow, WM_COMMAND, IDM_ABOUT, 0);
    GUI_CHECK(waitForVisible(gui.about, true));
    PostMessageW(gui.about, WM_CLOSE, 0, 0);
    GUI_CHECK(waitForVisible(gui.about, false));

    GUI_CHECK(gui.exitThroughMenu() == 0);
}

void checkResizing(const std::wstring& program) {
    GuiProcess gui;
    GUI_CHECK(gui.start(program, L""));
    if (gui.mainWindow == nullptr) return;

    // The first size of the window: the panel fills the client area.
    RECT client;
    GetClientRect(gui.mainWindow, &client);
    RECT panel = windowRectIn(gui.logPanel, gui.mainWindow);
    GUI_CHECK(panel.left == 0 && panel.top == 0);
    GUI_CHECK(width(panel) == client.right && height(panel) == client.bottom);
    RECT firstLog = windowRectIn(gui.log, gui.logPanel);
    int rightMargin = width(panel) - firstLog.right;
    int bottomMargin = height(panel) - firstLog.bottom;
    GUI_CHECK(rightMargin > 0 && bottomMargin > 0);

    // Larger: panel and log grow with the client area, margins kept.
    SetWindowPos(gui.mainWindow, nullptr, 0, 0, 800, 600, SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(gui.mainWindow, &client);
    GUI_CHECK(waitFor([&] { return width(windowRectIn(gui.logPanel, gui.mainWindow)) == client.right; }));
    panel = windowRectIn(gui.logPanel, gui.mainWindow);
    GUI_CHECK(height(panel) == client.bottom);
    RECT log = windowRectIn(gui.log, gui.logPanel);
    GUI_CHECK(log.left == firstLog.left && log.top == firstLog.top);
    GUI_CHECK(width(panel) - log.right == rightMargin && height(panel) - log.bottom == bottomMargin);

    // Smaller than the first size: the panel never shrinks below it.
    int firstWidth = width(windowRectIn(gui.logPanel, gui.mainWindow));
    SetWindowPos(gui.mainWindow, nullptr, 0, 0, 200, 120, SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(gui.mainWindow, &client);
    GUI_CHECK(client.right < firstWidth);
    panel = windowRectIn(gui.logPanel, gui.mainWindow);
    GUI_CHECK(width(panel) >= client.right && width(panel) > 200);
    log = windowRectIn(gui.log, gui.logPanel);
    GUI_CHECK(width(panel) - log.right == rightMargin && height(panel) - log.bottom == bottomMargin);

    // Minimising changes nothing.
    RECT before = windowRectIn(gui.logPanel, gui.mainWindow);
    ShowWindow(gui.mainWindow, SW_MINIMIZE);
    RECT after = windowRectIn(gui.logPanel, gui.mainWindow);
    GUI_CHECK(width(after) == width(before) && height(after) == height(before));

    GUI_CHECK(gui.exitThroughMenu() == 0);
}

void checkCommandLineFile(const std::wstring& program) {
    deleteSettings();
    std::wstring file = temporaryFile(L"command line image.bin", 1024);
    GuiProcess gui;
    // Further arguments are ignored.
    GUI_CHECK(gui.start(program, L"\"" + file + L"\" second.bin"));
    if (gui.mainWindow == nullptr) return;
    std::wstring expected = std::wstring(kNoTargetLog) + L"\r\n";
    GUI_CHECK_TEXT_SOON(gui.log, expected);
    GUI_CHECK_TEXT_SOON(gui.status, kNoTargetStatus);
    // Nothing more arrives (one attempt, no upload), and the recent list is untouched.
    GUI_CHECK(!waitFor([&] { return windowText(gui.log) != expected; }, 700));
    std::wstring stored;
    GUI_CHECK(!readStoredString(L"MostRecentUsed3", &stored) || stored.empty());

    // "Clear Log" empties the log, whatever was selected in it.
    SendMessageW(gui.log, EM_SETSEL, 0, 4);
    PostMessageW(gui.mainWindow, WM_COMMAND, IDM_CLEARLOG, 0);
    GUI_CHECK_TEXT_SOON(gui.log, L"");
    GUI_CHECK(gui.exitThroughMenu() == 0);
    DeleteFileW(file.c_str());
}

struct OtherWindowSearch {
    DWORD processId;
    std::vector<HWND> known;
    HWND found;
};

BOOL CALLBACK matchOtherWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<OtherWindowSearch*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || !IsWindowVisible(window)) return TRUE;
    for (HWND known : search->known) {
        if (window == known) return TRUE;
    }
    search->found = window;
    return FALSE;
}

// A visible top-level window of the program that is none of its own three.
HWND findFileDialog(GuiProcess& gui, DWORD processId, DWORD timeoutMs) {
    OtherWindowSearch search = {processId, {gui.mainWindow, gui.about, gui.preferences}, nullptr};
    waitFor([&] {
        EnumWindows(matchOtherWindow, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
    }, timeoutMs);
    return search.found;
}

void checkFileDialogs(const std::wstring& program) {
    deleteSettings();
    GuiProcess gui;
    GUI_CHECK(gui.start(program, L""));
    if (gui.mainWindow == nullptr) return;
    GUI_CHECK_TEXT_SOON(gui.status, kNoTargetStatus);
    DWORD processId = 0;
    GetWindowThreadProcessId(gui.mainWindow, &processId);

    // "Upload to target..." opens the open dialog; cancelling it does nothing.
    PostMessageW(gui.mainWindow, WM_COMMAND, IDM_UPLOAD, 0);
    HWND open = findFileDialog(gui, processId, 10000);
    GUI_CHECK(open != nullptr);
    GUI_CHECK_TEXT(windowText(open), L"Open");
    if (open != nullptr) {
        PostMessageW(open, WM_COMMAND, IDCANCEL, 0);
        GUI_CHECK(waitFor([&] { return !IsWindow(open); }, 10000));
    }
    GUI_CHECK_TEXT(windowText(gui.log), L"");
    std::wstring stored;
    GUI_CHECK(!readStoredString(L"MostRecentUsed3", &stored) || stored.empty());

    // "Download from target..." with no target: the read fails, so no save dialog.
    PostMessageW(gui.mainWindow, WM_COMMAND, IDM_DOWNLOAD, 0);
    GUI_CHECK_TEXT_SOON(gui.log, std::wstring(kNoTargetLog) + L"\r\n");
    GUI_CHECK(findFileDialog(gui, processId, 700) == nullptr);

    GUI_CHECK(gui.exitThroughMenu() == 0);
}

void showPreferences(GuiProcess& gui) {
    PostMessageW(gui.mainWindow, WM_COMMAND, IDM_PREFERENCES, 0);
    GUI_CHECK(waitForVisible(gui.preferences, true));
}

bool storedNumberIs(const wchar_t* name, DWORD expected) {
    DWORD value = 0;
    return readStoredNumber(name, &value) && value == expected;
}

void checkPreferencesWithoutTarget(const std::wstring& program) {
    deleteSettings();
    writeStoredNumber(L"OptionsInUse", 1);
    writeStoredNumber(L"OptionsOffset", 4096);
    writeStoredNumber(L"OptionsSize", 0);
    GuiProcess gui;
    GUI_CHECK(gui.start(program, L""));
    if (gui.mainWindow == nullptr) return;
    GUI_CHECK_TEXT_SOON(gui.status, kNoTargetStatus);
    HWND dialog = gui.preferences;
    showPreferences(gui);

    // Stored values shown; no usable target: "not available", limits empty,
    // "OK" and "Options" disabled; the stored size 0 becomes the flash size (0).
    HWND list = GetDlgItem(dialog, IDC_TARGETLIST);
    GUI_CHECK(SendMessageW(list, CB_GETCOUNT, 0, 0) == 1);
    GUI_CHECK_TEXT(comboItem(list, 0), L"not available");
    GUI_CHECK(SendMessageW(list, CB_GETCURSEL, 0, 0) == 0);
    // (the first change report may still be on its way to the window)
    GUI_CHECK(waitFor([&] { return controlText(dialog, IDC_OPTIONOFFSET) == L"4096"; }));
    GUI_CHECK_TEXT(controlText(dialog, IDC_OPTIONSIZE), L"0");
    GUI_CHECK_TEXT(controlText(dialog, IDC_OFFSETLIMIT), L"");
    GUI_CHECK_TEXT(controlText(dialog, IDC_SIZELIMIT), L"");
    GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"");
    GUI_CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDOK)));
    GUI_CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_OPTIONS)));
    GUI_CHECK(SendDlgItemMessageW(dialog, IDC_OPTIONS, BM_GETCHECK, 0, 0) == BST_CHECKED);
    GUI_CHECK(IsWindowEnabled(GetDlgItem(dialog, IDC_OPTIONOFFSET)));
    GUI_CHECK(IsWindowEnabled(GetDlgItem(dialog, IDC_OPTIONSIZE)));

    // Offset preview on leaving the edit: no limit, "0X" reads as decimal 0.
    SetDlgItemTextW(dialog, IDC_OPTIONOFFSET, L"0x1000");
    sendCommand(dialog, IDC_OPTIONOFFSET, EN_KILLFOCUS, GetDlgItem(dialog, IDC_OPTIONOFFSET));
    GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"0x00001000");
    SetDlgItemTextW(dialog, IDC_OPTIONOFFSET, L"0X1000");
    sendCommand(dialog, IDC_OPTIONOFFSET, EN_KILLFOCUS, GetDlgItem(dialog, IDC_OPTIONOFFSET));
    GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"0x00000000");
    SetDlgItemTextW(dialog, IDC_OPTIONOFFSET, L"oops");
    sendCommand(dialog, IDC_OPTIONOFFSET, EN_KILLFOCUS, GetDlgItem(dialog, IDC_OPTIONOFFSET));
    GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"0x00000000");

    // "Options" unticked: edits disabled, the flash start alone.
    SendDlgItemMessageW(dialog, IDC_OPTIONS, BM_SETCHECK, BST_UNCHECKED, 0);
    sendCommand(dialog, IDC_OPTIONS, BN_CLICKED, GetDlgItem(dialog, IDC_OPTIONS));
    GUI_CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_OPTIONOFFSET)));
    GUI_CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_OPTIONSIZE)));
    GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"0x00000000");

    // Enter while "OK" is disabled stores nothing and keeps the dialog open.
    sendCommand(dialog, IDOK);
    GUI_CHECK(IsWindowVisible(dialog));
    GUI_CHECK(storedNumberIs(L"OptionsOffset", 4096) && storedNumberIs(L"OptionsInUse", 1));

    // Cancel hides the dialog and stores nothing.
    sendCommand(dialog, IDCANCEL);
    GUI_CHECK(waitForVisible(dialog, false));
    GUI_CHECK(storedNumberIs(L"OptionsOffset", 4096) && storedNumberIs(L"OptionsInUse", 1));

    // Storing itself (the button enabled as a target would): without flash
    // geometry the last page starts at 0, so the offset is cut to 0; the
    // size is stored as typed, negative numbers as 0.
    showPreferences(gui);
    GUI_CHECK_TEXT(controlText(dialog, IDC_OPTIONOFFSET), L"4096"); // Cancel kept the values
    EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
    SendDlgItemMessageW(dialog, IDC_OPTIONS, BM_SETCHECK, BST_CHECKED, 0);
    SetDlgItemTextW(dialog, IDC_OPTIONOFFSET, L"0x1000");
    SetDlgItemTextW(dialog, IDC_OPTIONSIZE, L"0x2000");
    sendCommand(dialog, IDOK);
    GUI_CHECK(waitForVisible(dialog, false));
    GUI_CHECK(storedNumberIs(L"OptionsInUse", 1));
    GUI_CHECK(storedNumberIs(L"OptionsOffset", 0));
    GUI_CHECK(storedNumberIs(L"OptionsSize", 8192));

    // The chosen target makes the watch look again and reload the stored values.
    showPreferences(gui);
    GUI_CHECK(waitFor([&] { return controlText(dialog, IDC_OPTIONSIZE) == L"8192"; }));
    GUI_CHECK_TEXT(controlText(dialog, IDC_OPTIONOFFSET), L"0");
    EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
    SendDlgItemMessageW(dialog, IDC_OPTIONS, BM_SETCHECK, BST_UNCHECKED, 0);
    SetDlgItemTextW(dialog, IDC_OPTIONSIZE, L"-5");
    sendCommand(dialog, IDOK);
    GUI_CHECK(waitForVisible(dialog, false));
    GUI_CHECK(storedNumberIs(L"OptionsInUse", 0));
    GUI_CHECK(storedNumberIs(L"OptionsSize", 0));
    GUI_CHECK_TEXT_SOON(gui.status, kNoTargetStatus);

    GUI_CHECK(gui.exitThroughMenu() == 0);
    deleteSettings();
}

// --- stm32cmd.exe: output of one run through pipes
struct RunResult {
    long exitCode = -1;
    std::string out;
    std::string err;
};

std::string readAll(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
}

// The console's text mode writes "\r\n"; the lines are compared without it.
std::string withoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

RunResult runConsoleProgram(const std::wstring& program, const std::wstring& arguments) {
    RunResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        fwprintf(stderr, L"cannot start %ls (error %lu)\n", program.c_str(), GetLastError());
        return result;
    }
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    // The usage text is small, so reading one pipe after the other cannot block.
    result.out = withoutCarriageReturns(readAll(outRead));
    result.err = withoutCarriageReturns(readAll(errRead));
    if (WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result.exitCode = static_cast<long>(code);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return result;
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

void checkConsoleProgram(const std::wstring& program) {
    RunResult help = runConsoleProgram(program, L"-h");
    GUI_CHECK(help.exitCode == 7);
    GUI_CHECK(help.out.empty());
    GUI_CHECK(contains(help.err, ": <file>\n"));
    GUI_CHECK(contains(help.err, "\nVersion 1.1.1\n"));
    GUI_CHECK(contains(help.err, "\n-l list connected STM32 USB-targets\n"));
    GUI_CHECK(contains(help.err, "\n-q no text output (quiet)\n"));
    GUI_CHECK(contains(help.err, "\nExit codes:\n 0: Success\n"));
    GUI_CHECK(contains(help.err, "\n 7: Parameter Error (command line arguments)\n"));
    GUI_CHECK(contains(help.err, "\n13: Firmware Too Big\n"));

    RunResult question = runConsoleProgram(program, L"-?");
    GUI_CHECK(question.exitCode == 7 && question.err == help.err);

    RunResult illegal = runConsoleProgram(program, L"-x");
    GUI_CHECK(illegal.exitCode == 7);
    GUI_CHECK(contains(illegal.err, "illegal option -- x\n"));
    GUI_CHECK(contains(illegal.err, "\nVersion 1.1.1\n"));

    RunResult missing = runConsoleProgram(program, L"-o");
    GUI_CHECK(missing.exitCode == 7);
    GUI_CHECK(contains(missing.err, "option requires an argument -- o\n"));

    // wine's libusb sees no device at all.
    RunResult list = runConsoleProgram(program, L"-l");
    GUI_CHECK(list.exitCode == 8);
    GUI_CHECK(contains(list.err, "no device connected\n"));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: gui_process_tests <case> <program.exe>\n");
        return 2;
    }
    std::wstring name = argv[1];
    std::wstring program = windowsPath(argv[2]);
    if (name == L"startup") {
        checkStartup(program);
    } else if (name == L"resizing") {
        checkResizing(program);
    } else if (name == L"command-line") {
        checkCommandLineFile(program);
    } else if (name == L"file-dialogs") {
        checkFileDialogs(program);
    } else if (name == L"preferences") {
        checkPreferencesWithoutTarget(program);
    } else if (name == L"stm32cmd") {
        checkConsoleProgram(program);
    } else {
        fwprintf(stderr, L"unknown case %ls\n", argv[1]);
        return 2;
    }
    char caseName[64] = {};
    WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, caseName, sizeof caseName, nullptr, nullptr);
    return finishChecks(caseName);
}
