#include "gui_harness.h"

#include <shlobj.h>

#include <cstdio>
#include <vector>

namespace gui_test {

const wchar_t* const kNoTargetStatus = L"STM32 DFU Target not available (enable via User and Reset button).";
const wchar_t* const kNoTargetLog = L"STM32 DFU Target not available(enable via User and Reset button).";

namespace {

int g_passed = 0;
int g_failed = 0;
const wchar_t* const kPrefsKey = L"Software\\TidewireSTM32Utility\\Prefs";

struct WindowSearch {
    DWORD processId;
    const std::wstring* title;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId) return TRUE;
    if (windowText(window) != *search->title) return TRUE;
    search->found = window;
    return FALSE;
}

} // namespace

void recordCheck(bool passed, const char* file, int line, const std::wstring& what) {
    if (passed) {
        ++g_passed;
        return;
    }
    ++g_failed;
    fwprintf(stderr, L"FAILED %hs:%d: %ls\n", file, line, what.c_str());
    fflush(stderr);
}

int failedChecks() { return g_failed; }

int finishChecks(const char* caseName) {
    wprintf(L"%hs: %d checks, %d failed\n", caseName, g_passed + g_failed, g_failed);
    fflush(stdout);
    return g_failed == 0 && g_passed > 0 ? 0 : 1;
}

bool waitFor(const std::function<bool()>& predicate, DWORD timeoutMs) {
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (predicate()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(10);
    }
}

HWND findTopLevelWindow(DWORD processId, const std::wstring& title) {
    WindowSearch search = {processId, &title, nullptr};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND findLogPanel(HWND mainWindow) { return FindWindowExW(mainWindow, nullptr, L"#32770", nullptr); }

std::wstring windowText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) return L"<no answer>";
    std::vector<wchar_t> text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, 2000, &copied)) {
        return L"<no answer>";
    }
    return std::wstring(text.data(), copied);
}

std::wstring controlText(HWND dialog, int control) { return windowText(GetDlgItem(dialog, control)); }

bool waitForText(HWND window, const std::wstring& expected, DWORD timeoutMs) {
    return waitFor([&] { return windowText(window) == expected; }, timeoutMs);
}

bool waitForTextContaining(HWND window, const std::wstring& part, DWORD timeoutMs) {
    return waitFor([&] { return windowText(window).find(part) != std::wstring::npos; }, timeoutMs);
}

void sendCommand(HWND window, int command, int notification, HWND control) {
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(command, notification), reinterpret_cast<LPARAM>(control));
}

std::wstring comboItem(HWND combo, int index) {
    LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) return L"<none>";
    std::vector<wchar_t> text(length + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    return std::wstring(text.data());
}

void deleteSettings() { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\TidewireSTM32Utility"); }

bool readStoredNumber(const wchar_t* name, DWORD* value) {
    DWORD size = sizeof *value;
    return RegGetValueW(HKEY_CURRENT_USER, kPrefsKey, name, RRF_RT_REG_DWORD, nullptr, value, &size) ==
           ERROR_SUCCESS;
}

bool readStoredString(const wchar_t* name, std::wstring* value) {
    wchar_t text[600] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_CURRENT_USER, kPrefsKey, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) {
        return false;
    }
    *value = text;
    return true;
}

void writeStoredNumber(const wchar_t* name, DWORD value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kPrefsKey, name, REG_DWORD, &value, sizeof value);
}

void writeStoredString(const wchar_t* name, const std::wstring& value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kPrefsKey, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring temporaryFile(const wchar_t* name, size_t bytes) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        std::vector<char> content(bytes, '\x5a');
        DWORD written = 0;
        if (!content.empty()) WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        CloseHandle(file);
    }
    return path;
}

std::wstring windowsPath(const std::wstring& path) {
    if (path.empty() || path[0] != L'/') return path;
    std::wstring converted = L"Z:" + path;
    for (wchar_t& c : converted) {
        if (c == L'/') c = L'\\';
    }
    return converted;
}

HGLOBAL makeDropFiles(const std::wstring* paths, int count) {
    size_t units = 1; // the final empty string
    for (int i = 0; i < count; ++i) units += paths[i].size() + 1;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + units * sizeof(wchar_t));
    if (block == nullptr) return nullptr;
    auto* drop = static_cast<DROPFILES*>(GlobalLock(block));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    wchar_t* names = reinterpret_cast<wchar_t*>(drop + 1);
    for (int i = 0; i < count; ++i) {
        paths[i].copy(names, paths[i].size());
        names += paths[i].size() + 1;
    }
    GlobalUnlock(block);
    return block;
}

} // namespace gui_test
