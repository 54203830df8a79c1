// Puts the windows of a running TidewireSTM32Utility on the screen for the
// screenshot script and prints where they are ("x y width height").
//   gui_show start <program.exe> [file]   start the program, wait for its window
//   gui_show main|preferences|about       show that window, print its rectangle
//   gui_show exit                         end the program
#include "gui_harness.h"

#include <cstdio>
#include <string>

#include "resource.h"

using namespace gui_test;

namespace {

HWND findAnyWindow(const wchar_t* title) {
    HWND found = nullptr;
    waitFor([&] {
        found = FindWindowW(nullptr, title);
        return found != nullptr;
    });
    return found;
}

int printRectangle(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    wprintf(L"%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    return 0;
}

int start(const std::wstring& program, const std::wstring& file) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!file.empty()) commandLine += L" \"" + file + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        fwprintf(stderr, L"cannot start %ls\n", program.c_str());
        return 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    HWND main = findAnyWindow(L"Tidewire STM32 Utility");
    if (main == nullptr) return 1;
    HWND status = GetDlgItem(findLogPanel(main), IDC_STATUS);
    waitForText(status, kNoTargetStatus);
    return 0;
}

int show(const wchar_t* title, int command) {
    HWND main = findAnyWindow(L"Tidewire STM32 Utility");
    if (main == nullptr) return 1;
    if (command != 0) PostMessageW(main, WM_COMMAND, command, 0);
    HWND window = findAnyWindow(title);
    if (window == nullptr || !waitFor([&] { return IsWindowVisible(window) != FALSE; })) return 1;
    SetForegroundWindow(window);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    return printRectangle(window);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring what = argc > 1 ? argv[1] : L"";
    if (what == L"start" && argc >= 3) return start(windowsPath(argv[2]), argc > 3 ? windowsPath(argv[3]) : L"");
    if (what == L"main") return show(L"Tidewire STM32 Utility", 0);
    if (what == L"preferences") return show(L"Preferences", IDM_PREFERENCES);
    if (what == L"about") return show(L"About TidewireSTM32Utility", IDM_ABOUT);
    if (what == L"hide") {
        HWND about = FindWindowW(nullptr, L"About TidewireSTM32Utility");
        HWND preferences = FindWindowW(nullptr, L"Preferences");
        if (about != nullptr) PostMessageW(about, WM_COMMAND, IDCANCEL, 0);
        if (preferences != nullptr) PostMessageW(preferences, WM_COMMAND, IDCANCEL, 0);
        waitFor([&] { return !IsWindowVisible(about) && !IsWindowVisible(preferences); });
        return 0;
    }
    if (what == L"exit") {
        HWND main = FindWindowW(nullptr, L"Tidewire STM32 Utility");
        if (main != nullptr) PostMessageW(main, WM_COMMAND, IDM_EXIT, 0);
        return 0;
    }
    fwprintf(stderr, L"usage: gui_show start <program.exe> [file] | main | preferences | about | hide | exit\n");
    return 2;
}
