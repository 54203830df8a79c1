// The eyes and hands of the end-to-end GUI tests inside wine: it reads the
// texts of the running TidewireSTM32Utility's windows and posts the
// messages a user's clicks would, for a driver outside wine. One command a
// line on standard input, one reply a line on standard output: "ok [text]"
// or "error [text]"; line breaks inside a text come back as "\n".
//   attach MS                       wait for the main window and its log panel
//   status | log                    the status line, the whole log
//   wait-status MS TEXT             until the status line is TEXT
//   wait-log MS TEXT                until the log holds TEXT
//   command ID                      WM_COMMAND to the main window (a menu item)
//   close                           the close box (WM_CLOSE)
//   prefs-show                      "Preferences...", wait until it shows
//   prefs-read                      check box, offset, size, limits, flash start, targets
//   prefs-set CHECK OFFSET SIZE     fill the option area and press OK
//   prefs-choose INDEX              choose a target in the list and press OK
//   prefs-cancel                    Cancel: the dialog hides, nothing stored
//   focused-edit MS TITLE[|TITLE]   until an edit box of that window has the
//                                   keyboard focus; its text
//   stored NAME                     a value under the settings key ("-" when missing)
//   file-has TEXT|PATH              the file's size if it holds TEXT
//   clear-settings                  delete the settings key
//   quit                            end the probe
#include "gui_harness.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "resource.h"

using namespace gui_test;

namespace {

const wchar_t* const kTitle = L"Tidewire STM32 Utility";

HWND mainWindow = nullptr;
HWND logPanel = nullptr;

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &out[0], length, nullptr, nullptr);
    return out;
}

std::wstring fromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), &out[0], length);
    return out;
}

// One reply line: the text with its line breaks escaped.
void reply(bool ok, const std::wstring& text = std::wstring()) {
    std::string line = ok ? "ok" : "error";
    if (!text.empty()) line += " ";
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
        if (text[i] == L'\n') line += "\\n";
        else if (text[i] == L'\\') line += "\\\\";
        else line += toUtf8(std::wstring(1, text[i]));
    }
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

HWND control(int id) { return GetDlgItem(logPanel, id); }

HWND preferences() { return FindWindowW(nullptr, L"Preferences"); }

bool attach(DWORD timeoutMs) {
    return waitFor(
        [] {
            mainWindow = FindWindowW(nullptr, kTitle);
            logPanel = mainWindow != nullptr ? findLogPanel(mainWindow) : nullptr;
            return logPanel != nullptr && IsWindowVisible(logPanel);
        },
        timeoutMs);
}

std::wstring preferencesSummary(HWND dialog) {
    std::wstring text = SendDlgItemMessageW(dialog, IDC_OPTIONS, BM_GETCHECK, 0, 0) == BST_CHECKED ? L"1" : L"0";
    for (int id : {IDC_OPTIONOFFSET, IDC_OPTIONSIZE, IDC_OFFSETLIMIT, IDC_SIZELIMIT, IDC_FLASHSTART})
        text += L"|" + controlText(dialog, id);
    HWND targets = GetDlgItem(dialog, IDC_TARGETLIST);
    const LRESULT count = SendMessageW(targets, CB_GETCOUNT, 0, 0);
    const LRESULT chosen = SendMessageW(targets, CB_GETCURSEL, 0, 0);
    for (LRESULT i = 0; i < count; ++i) text += L"|" + std::wstring(i == chosen ? L"*" : L"") + comboItem(targets, int(i));
    return text;
}

// Already open, it is left as it is: the command would refill it from the
// program's values after the caller has started changing it.
bool showPreferences() {
    if (preferences() != nullptr && IsWindowVisible(preferences())) return true;
    PostMessageW(mainWindow, WM_COMMAND, IDM_PREFERENCES, 0);
    return waitFor([] { return preferences() != nullptr && IsWindowVisible(preferences()); });
}

// Presses OK as a click would, and waits until the dialog is hidden.
bool pressOk(HWND dialog) {
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    return waitFor([dialog] { return !IsWindowVisible(dialog); });
}

bool setPreferences(bool options, const std::wstring& offset, const std::wstring& size) {
    if (!showPreferences()) return false;
    HWND dialog = preferences();
    const bool ticked = SendDlgItemMessageW(dialog, IDC_OPTIONS, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (ticked != options) SendMessageW(GetDlgItem(dialog, IDC_OPTIONS), BM_CLICK, 0, 0);
    SetWindowTextW(GetDlgItem(dialog, IDC_OPTIONOFFSET), offset.c_str());
    SetWindowTextW(GetDlgItem(dialog, IDC_OPTIONSIZE), size.c_str());
    return pressOk(dialog);
}

bool chooseTarget(int index) {
    if (!showPreferences()) return false;
    HWND dialog = preferences();
    HWND targets = GetDlgItem(dialog, IDC_TARGETLIST);
    if (SendMessageW(targets, CB_SETCURSEL, WPARAM(index), 0) == CB_ERR) return false;
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_TARGETLIST, CBN_SELCHANGE), LPARAM(targets));
    return pressOk(dialog);
}

std::wstring storedValue(const std::wstring& name) {
    DWORD number = 0;
    std::wstring text;
    if (readStoredString(name.c_str(), &text)) return text;
    if (readStoredNumber(name.c_str(), &number)) return std::to_wstring(number);
    return L"-";
}

// The window with one of the titles ("Save|Save As": wine and Windows differ).
HWND windowTitled(const std::wstring& titles) {
    size_t at = 0;
    for (;;) {
        const size_t bar = titles.find(L'|', at);
        const std::wstring title = titles.substr(at, bar == std::wstring::npos ? std::wstring::npos : bar - at);
        if (HWND window = FindWindowW(nullptr, title.c_str())) return window;
        if (bar == std::wstring::npos) return nullptr;
        at = bar + 1;
    }
}

// The edit box of the dialog that has the keyboard focus, if any.
HWND focusedEdit(const std::wstring& titles) {
    HWND dialog = windowTitled(titles);
    if (dialog == nullptr) return nullptr;
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) || info.hwndFocus == nullptr) return nullptr;
    wchar_t kind[32] = {};
    GetClassNameW(info.hwndFocus, kind, 32);
    if (_wcsicmp(kind, L"Edit") != 0 || GetAncestor(info.hwndFocus, GA_ROOT) != dialog) return nullptr;
    return info.hwndFocus;
}

void fileHas(const std::wstring& arguments) {
    const size_t bar = arguments.find(L'|');
    if (bar == std::wstring::npos) return reply(false, L"file-has TEXT|PATH");
    const std::string wanted = toUtf8(arguments.substr(0, bar));
    std::FILE* file = _wfopen(arguments.substr(bar + 1).c_str(), L"rb");
    if (file == nullptr) return reply(false, L"cannot open " + arguments.substr(bar + 1));
    std::string content;
    char buffer[65536];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, count);
    std::fclose(file);
    reply(content.find(wanted) != std::string::npos, std::to_wstring(content.size()));
}

// "MS REST": the wait in milliseconds and the text after it.
bool splitWait(const std::wstring& arguments, DWORD& timeoutMs, std::wstring& text) {
    const size_t space = arguments.find(L' ');
    timeoutMs = DWORD(wcstoul(arguments.c_str(), nullptr, 10));
    text = space == std::wstring::npos ? std::wstring() : arguments.substr(space + 1);
    return timeoutMs > 0;
}

void handle(const std::wstring& verb, const std::wstring& arguments) {
    DWORD timeoutMs = 0;
    std::wstring text;
    if (verb == L"attach") return reply(attach(DWORD(wcstoul(arguments.c_str(), nullptr, 10))));
    if (logPanel == nullptr || !IsWindow(mainWindow)) return reply(false, L"no program window");
    if (verb == L"status") return reply(true, windowText(control(IDC_STATUS)));
    if (verb == L"log") return reply(true, windowText(control(IDC_LOG)));
    if (verb == L"wait-status" && splitWait(arguments, timeoutMs, text)) {
        const bool seen = waitForText(control(IDC_STATUS), text, timeoutMs);
        return reply(seen, windowText(control(IDC_STATUS)));
    }
    if (verb == L"wait-log" && splitWait(arguments, timeoutMs, text)) {
        const bool seen = waitForTextContaining(control(IDC_LOG), text, timeoutMs);
        return reply(seen, windowText(control(IDC_LOG)));
    }
    if (verb == L"command") {
        PostMessageW(mainWindow, WM_COMMAND, WPARAM(wcstoul(arguments.c_str(), nullptr, 10)), 0);
        return reply(true);
    }
    if (verb == L"close") {
        PostMessageW(mainWindow, WM_CLOSE, 0, 0);
        return reply(true);
    }
    if (verb == L"prefs-show") return reply(showPreferences());
    if (verb == L"prefs-read") {
        HWND dialog = preferences();
        return dialog != nullptr ? reply(true, preferencesSummary(dialog)) : reply(false, L"no Preferences dialog");
    }
    if (verb == L"prefs-set") {
        std::vector<std::wstring> words;
        size_t at = 0;
        while (at <= arguments.size()) {
            const size_t space = arguments.find(L' ', at);
            words.push_back(arguments.substr(at, space == std::wstring::npos ? std::wstring::npos : space - at));
            if (space == std::wstring::npos) break;
            at = space + 1;
        }
        if (words.size() != 3) return reply(false, L"prefs-set CHECK OFFSET SIZE");
        return reply(setPreferences(words[0] == L"1", words[1], words[2]));
    }
    if (verb == L"prefs-cancel") {
        HWND dialog = preferences();
        if (dialog == nullptr) return reply(false, L"no Preferences dialog");
        SendMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
        return reply(waitFor([dialog] { return !IsWindowVisible(dialog); }));
    }
    if (verb == L"prefs-choose") return reply(chooseTarget(int(wcstol(arguments.c_str(), nullptr, 10))));
    if (verb == L"stored") return reply(true, storedValue(arguments));
    if (verb == L"focused-edit" && splitWait(arguments, timeoutMs, text)) {
        HWND edit = nullptr;
        const bool found = waitFor([&] { return (edit = focusedEdit(text)) != nullptr; }, timeoutMs);
        return found ? reply(true, windowText(edit)) : reply(false, L"no edit box of " + text + L" has the focus");
    }
    if (verb == L"file-has") return fileHas(arguments);
    return reply(false, L"unknown command " + verb);
}

} // namespace

int wmain() {
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        const std::wstring wide = fromUtf8(line);
        const size_t space = wide.find(L' ');
        const std::wstring verb = wide.substr(0, space);
        const std::wstring arguments = space == std::wstring::npos ? std::wstring() : wide.substr(space + 1);
        if (verb == L"quit") break;
        if (verb == L"clear-settings") {
            deleteSettings();
            reply(true);
            continue;
        }
        handle(verb, arguments);
    }
    return 0;
}
