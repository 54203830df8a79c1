// Tests that run the GUI's own code inside this process under wine: the
// menus (their state cannot be read from another process under wine), the
// recent-file list with the real registry, and the Preferences dialog with
// the geometry of a target, which wine never reports.
// Usage: gui_inproc_tests <case>
#include "gui_harness.h"

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller_testing.h"
#include "main_window.h"
#include "resource.h"

using namespace gui_test;

namespace {

struct MenuItem {
    UINT command;
    bool separator;
    std::wstring text;
};

std::vector<MenuItem> menuItems(HMENU menu) {
    std::vector<MenuItem> items;
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[400] = {};
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = 400;
        GetMenuItemInfoW(menu, i, TRUE, &info);
        items.push_back({info.wID, (info.fType & MFT_SEPARATOR) != 0, text});
    }
    return items;
}

// "path:command" per item, "-" for a separator: one text to compare.
std::wstring describeMenu(HMENU menu) {
    std::wstring text;
    for (const MenuItem& item : menuItems(menu)) {
        if (!text.empty()) text += L" | ";
        text += item.separator ? L"-" : item.text + L":" + std::to_wstring(item.command);
    }
    return text;
}

bool isGrayed(HMENU menu, UINT command) {
    UINT state = GetMenuState(menu, command, MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && (state & MF_GRAYED) != 0;
}

std::wstring storedString(const wchar_t* name) {
    std::wstring value = L"<missing>";
    readStoredString(name, &value);
    return value;
}

void dropFiles(HWND window, const std::vector<std::wstring>& paths) {
    HGLOBAL drop = makeDropFiles(paths.data(), static_cast<int>(paths.size()));
    PostMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
}

// Drops (a DROPFILES block built in this, the program's, process) and "Clear Log".
void checkDropAndClearLog(HWND mainWindow, HWND log) {
    std::wstring first = temporaryFile(L"dropped first.bin", 64);
    std::wstring second = temporaryFile(L"dropped second.bin", 64);
    std::wstring line = std::wstring(kNoTargetLog) + L"\r\n";
    PostMessageW(mainWindow, WM_COMMAND, IDM_CLEARLOG, 0);
    GUI_CHECK_TEXT_SOON(log, L"");

    // Several files: only the first is loaded, so one attempt and one line.
    dropFiles(mainWindow, {first, second});
    GUI_CHECK_TEXT_SOON(log, line);
    GUI_CHECK(!waitFor([&] { return windowText(log) != line; }, 300));

    // The log grows only at its end, whatever the user selected.
    SendMessageW(log, EM_SETSEL, 0, 5);
    dropFiles(mainWindow, {second});
    GUI_CHECK_TEXT_SOON(log, line + line);
    dropFiles(mainWindow, {first});
    GUI_CHECK_TEXT_SOON(log, line + line + line);

    // "Clear Log" empties it; the next line starts at the beginning.
    PostMessageW(mainWindow, WM_COMMAND, IDM_CLEARLOG, 0);
    GUI_CHECK_TEXT_SOON(log, L"");
    dropFiles(mainWindow, {first});
    GUI_CHECK_TEXT_SOON(log, line);

    // A failed load adds nothing to the recent list.
    GUI_CHECK_TEXT(storedString(L"MostRecentUsed3"), L"C:\\images\\third.bin");
    DeleteFileW(first.c_str());
    DeleteFileW(second.c_str());
}

// --- the whole program on a thread of its own
void checkMenusOfRunningProgram() {
    deleteSettings();
    writeStoredString(L"MostRecentUsed1", L"C:\\images\\first.bin");
    writeStoredString(L"MostRecentUsed2", L"C:\\images\\100%s %d.hex");
    writeStoredString(L"MostRecentUsed3", L"C:\\images\\third.bin");

    int exitCode = -1;
    std::thread program([&] { exitCode = runProgram(GetModuleHandleW(nullptr), L""); });
    HWND mainWindow = nullptr;
    HWND panel = nullptr;
    GUI_CHECK(waitFor([&] {
        mainWindow = findTopLevelWindow(GetCurrentProcessId(), L"Tidewire STM32 Utility");
        panel = mainWindow != nullptr ? findLogPanel(mainWindow) : nullptr;
        return panel != nullptr && IsWindowVisible(panel);
    }));
    if (panel == nullptr) {
        program.detach();
        return;
    }
    GUI_CHECK_TEXT_SOON(GetDlgItem(panel, IDC_STATUS), kNoTargetStatus);

    HMENU menuBar = GetMenu(mainWindow);
    GUI_CHECK(isGrayed(menuBar, IDM_UPLOAD));
    GUI_CHECK(isGrayed(menuBar, IDM_DOWNLOAD));
    GUI_CHECK(!isGrayed(menuBar, IDM_CLEARLOG));
    GUI_CHECK(!isGrayed(menuBar, IDM_PREFERENCES));

    HMENU recent = findRecentMenu(menuBar);
    GUI_CHECK(recent == GetSubMenu(GetSubMenu(menuBar, 0), 1));
    GUI_CHECK_TEXT(describeMenu(recent), L"C:\\images\\first.bin:32785 | C:\\images\\100%s %d.hex:32786 | "
                                         L"C:\\images\\third.bin:32787 | - | Clear List:32781");

    // A recent entry with no target: one log line, the list is not reordered.
    HWND log = GetDlgItem(panel, IDC_LOG);
    PostMessageW(mainWindow, WM_COMMAND, IDM_RECENT2, 0);
    GUI_CHECK_TEXT_SOON(log, std::wstring(kNoTargetLog) + L"\r\n");
    GUI_CHECK_TEXT(storedString(L"MostRecentUsed2"), L"C:\\images\\100%s %d.hex");

    checkDropAndClearLog(mainWindow, log);

    SendMessageW(mainWindow, WM_COMMAND, IDM_CLEARLIST, 0);
    GUI_CHECK_TEXT(describeMenu(recent), L"Clear List:32781");
    GUI_CHECK_TEXT(storedString(L"MostRecentUsed1"), L"");
    GUI_CHECK_TEXT(storedString(L"MostRecentUsed2"), L"");
    GUI_CHECK_TEXT(storedString(L"MostRecentUsed3"), L"");
    SendMessageW(mainWindow, WM_COMMAND, IDM_CLEARLIST, 0);
    GUI_CHECK_TEXT(describeMenu(recent), L"Clear List:32781");

    // The menu items stay disabled while there is no target.
    SendMessageW(mainWindow, WM_COMMAND, IDM_PREFERENCES, 0);
    GUI_CHECK(isGrayed(menuBar, IDM_UPLOAD) && isGrayed(menuBar, IDM_DOWNLOAD));

    PostMessageW(mainWindow, WM_COMMAND, IDM_EXIT, 0);
    bool ended = waitFor([&] { return !IsWindow(mainWindow); });
    GUI_CHECK(ended);
    if (ended) {
        program.join();
        GUI_CHECK(exitCode == 0);
    } else {
        program.detach();
    }
    deleteSettings();
}

// --- the recent-file list on its own state, with the real registry
struct RecentFixture {
    RecentFixture() {
        deleteSettings();
        settings = createRegistrySettingsStore();
        controller = createFlashController(settings.get());
        state.controller = controller;
        menuBar = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDC_TIDEWIRESTM32UTILITY));
        state.recentMenu = findRecentMenu(menuBar);
    }
    ~RecentFixture() {
        destroyFlashController(controller);
        DestroyMenu(menuBar);
        deleteSettings();
    }
    std::unique_ptr<SettingsStore> settings;
    FlashController* controller = nullptr;
    MainWindowState state;
    HMENU menuBar = nullptr;
};

void checkRecentList() {
    {
        RecentFixture fixture;
        MainWindowState& state = fixture.state;
        GUI_CHECK(state.recentMenu != nullptr);
        // The placeholders of the resource go on the first rebuild.
        GUI_CHECK(GetMenuItemCount(state.recentMenu) == 5);
        loadRecentFiles(&state);
        rebuildRecentMenu(&state);
        GUI_CHECK_TEXT(describeMenu(state.recentMenu), L"Clear List:32781");

        addRecentFile(&state, L"C:\\a.bin");
        GUI_CHECK_TEXT(describeMenu(state.recentMenu), L"C:\\a.bin:32787 | - | Clear List:32781");
        GUI_CHECK_TEXT(storedString(L"MostRecentUsed1"), L"");
        GUI_CHECK_TEXT(storedString(L"MostRecentUsed3"), L"C:\\a.bin");
        addRecentFile(&state, L"C:\\b.bin");
        addRecentFile(&state, L"C:\\c.bin");
        const wchar_t* abc = L"C:\\a.bin:32785 | C:\\b.bin:32786 | C:\\c.bin:32787 | - | Clear List:32781";
        GUI_CHECK_TEXT(describeMenu(state.recentMenu), abc);

        // A path already in the list changes nothing, wherever it stands.
        addRecentFile(&state, L"C:\\a.bin");
        addRecentFile(&state, L"C:\\c.bin");
        GUI_CHECK_TEXT(describeMenu(state.recentMenu), abc);
        GUI_CHECK_TEXT(storedString(L"MostRecentUsed1"), L"C:\\a.bin");

        // A fourth file drops the oldest; the comparison is case-sensitive.
        addRecentFile(&state, L"C:\\A.bin");
        GUI_CHECK_TEXT(describeMenu(state.recentMenu),
                       L"C:\\b.bin:32785 | C:\\c.bin:32786 | C:\\A.bin:32787 | - | Clear List:32781");
        GUI_CHECK_TEXT(storedString(L"MostRecentUsed1"), L"C:\\b.bin");
        GUI_CHECK_TEXT(storedString(L"MostRecentUsed2"), L"C:\\c.bin");
        GUI_CHECK_TEXT(storedString(L"MostRecentUsed3"), L"C:\\A.bin");
        GUI_CHECK(recentFileForCommand(&state, IDM_RECENT1) == std::wstring(L"C:\\b.bin"));
        GUI_CHECK(recentFileForCommand(&state, IDM_CLEARLIST) == nullptr);

        // "%" is kept verbatim in the entry, the registry and the menu.
        addRecentFile(&state, L"C:\\50%d %s %n.bin");
        GUI_CHECK_TEXT(storedString(L"MostRecentUsed3"), L"C:\\50%d %s %n.bin");
        GUI_CHECK_TEXT(menuItems(state.recentMenu)[2].text, L"C:\\50%d %s %n.bin");

        // An overlong path is cut to the 260-unit entry (259 and the terminator).
        std::wstring longPath = L"C:\\" + std::wstring(300, L'x');
        addRecentFile(&state, longPath.c_str());
        GUI_CHECK(storedString(L"MostRecentUsed3") == longPath.substr(0, kPathUnits - 1));

        clearRecentFiles(&state);
        GUI_CHECK_TEXT(describeMenu(state.recentMenu), L"Clear List:32781");
        GUI_CHECK_TEXT(storedString(L"MostRecentUsed1"), L"");
        GUI_CHECK_TEXT(storedString(L"MostRecentUsed2"), L"");
        GUI_CHECK_TEXT(storedString(L"MostRecentUsed3"), L"");
    }
    {
        // Loading: a missing value is an empty entry; the command follows the entry.
        RecentFixture fixture;
        writeStoredString(L"MostRecentUsed2", L"D:\\middle.hex");
        loadRecentFiles(&fixture.state);
        rebuildRecentMenu(&fixture.state);
        GUI_CHECK_TEXT(describeMenu(fixture.state.recentMenu), L"D:\\middle.hex:32786 | - | Clear List:32781");
        // Adding shifts the entries, empty ones included.
        addRecentFile(&fixture.state, L"D:\\new.bin");
        GUI_CHECK_TEXT(describeMenu(fixture.state.recentMenu),
                       L"D:\\middle.hex:32785 | D:\\new.bin:32787 | - | Clear List:32781");
    }
}

// --- Preferences with the geometry of a target
struct PreferencesFixture {
    PreferencesFixture() {
        deleteSettings();
        settings = createRegistrySettingsStore();
        controller = createFlashController(settings.get());
        HINSTANCE instance = GetModuleHandleW(nullptr);
        menuBar = LoadMenuW(instance, MAKEINTRESOURCEW(IDC_TIDEWIRESTM32UTILITY));
        state.controller = controller;
        state.mainWindow = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                                           menuBar, instance, nullptr);
        state.preferencesDialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_PREFERENCES), state.mainWindow,
                                                     preferencesDialogProc, reinterpret_cast<LPARAM>(&state));
        dialog = state.preferencesDialog;
    }
    ~PreferencesFixture() {
        DestroyWindow(state.mainWindow);
        destroyFlashController(controller);
        deleteSettings();
    }
    // What the watch would have found: 512 KiB in 2 KiB pages at 0x08000000.
    void connectTarget(std::vector<int32_t> targets, int32_t chosen = 0) {
        TargetGeometry geometry;
        geometry.flashStart = 0x08000000;
        geometry.flashSize = 524288;
        geometry.pageSize = 2048;
        recordWatchedTargets(controller, std::move(targets), chosen, geometry);
        applyTargetChange(&state);
    }
    void typeAndLeave(int control, const wchar_t* text) {
        SetDlgItemTextW(dialog, control, text);
        sendCommand(dialog, control, EN_KILLFOCUS, GetDlgItem(dialog, control));
    }
    void tickOptions(bool ticked) {
        CheckDlgButton(dialog, IDC_OPTIONS, ticked ? BST_CHECKED : BST_UNCHECKED);
        sendCommand(dialog, IDC_OPTIONS, BN_CLICKED, GetDlgItem(dialog, IDC_OPTIONS));
    }
    std::unique_ptr<SettingsStore> settings;
    FlashController* controller = nullptr;
    MainWindowState state;
    HMENU menuBar = nullptr;
    HWND dialog = nullptr;
};

bool storedNumberIs(const wchar_t* name, DWORD expected) {
    DWORD value = 0;
    return readStoredNumber(name, &value) && value == expected;
}

void checkPreferencesWithTarget() {
    {
        PreferencesFixture fixture;
        HWND dialog = fixture.dialog;
        GUI_CHECK(dialog != nullptr);
        HMENU menu = GetMenu(fixture.state.mainWindow);
        fixture.connectTarget({0, 3}, 1);

        // Limits of the target; a missing "OptionsSize" shows the flash size.
        GUI_CHECK_TEXT(controlText(dialog, IDC_OFFSETLIMIT), L"max: 510 KB (522240 / 0x7F800)");
        GUI_CHECK_TEXT(controlText(dialog, IDC_SIZELIMIT), L"max: 512 KB (524288 / 0x80000)");
        GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"0x08000000");
        GUI_CHECK_TEXT(controlText(dialog, IDC_OPTIONOFFSET), L"0");
        GUI_CHECK_TEXT(controlText(dialog, IDC_OPTIONSIZE), L"524288");
        GUI_CHECK(optionAreaSize(fixture.controller) == 524288);
        GUI_CHECK(IsWindowEnabled(GetDlgItem(dialog, IDOK)) && IsWindowEnabled(GetDlgItem(dialog, IDC_OPTIONS)));
        GUI_CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_OPTIONOFFSET)));
        GUI_CHECK(GetMenuState(menu, IDM_UPLOAD, MF_BYCOMMAND) == MF_ENABLED);
        GUI_CHECK(GetMenuState(menu, IDM_DOWNLOAD, MF_BYCOMMAND) == MF_ENABLED);
        HWND list = GetDlgItem(dialog, IDC_TARGETLIST);
        GUI_CHECK(SendMessageW(list, CB_GETCOUNT, 0, 0) == 2);
        GUI_CHECK_TEXT(comboItem(list, 0), L"STM32 ID: 0");
        GUI_CHECK_TEXT(comboItem(list, 1), L"STM32 ID: 3");
        GUI_CHECK(SendMessageW(list, CB_GETCURSEL, 0, 0) == 1);

        // Ticking "Options" previews the typed offset; 0x1000 is 4096.
        fixture.tickOptions(true);
        GUI_CHECK(IsWindowEnabled(GetDlgItem(dialog, IDC_OPTIONOFFSET)));
        fixture.typeAndLeave(IDC_OPTIONOFFSET, L"0x1000");
        GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"0x08001000");
        fixture.typeAndLeave(IDC_OPTIONOFFSET, L"0x7FFFFFF"); // no limit in the preview
        GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"0x0FFFFFFF");
        fixture.tickOptions(false);
        GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"0x08000000");
        fixture.tickOptions(true);

        // "OK": 0x1000 stored as 4096, the chosen target handed to the watch.
        SendMessageW(list, CB_SETCURSEL, 0, 0);
        fixture.typeAndLeave(IDC_OPTIONOFFSET, L"0x1000");
        SetDlgItemTextW(dialog, IDC_OPTIONSIZE, L"8192");
        sendCommand(dialog, IDOK);
        GUI_CHECK(storedNumberIs(L"OptionsInUse", 1));
        GUI_CHECK(storedNumberIs(L"OptionsOffset", 4096));
        GUI_CHECK(storedNumberIs(L"OptionsSize", 8192));
        GUI_CHECK(chosenTargetPosition(fixture.controller) == 0);
        GUI_CHECK(watchedTargetCount(fixture.controller) == -1);

        // The watch's next report reloads the values; reopening shows them.
        fixture.connectTarget({0, 3}, 0);
        refreshPreferences(&fixture.state);
        GUI_CHECK_TEXT(controlText(dialog, IDC_OPTIONOFFSET), L"4096");
        GUI_CHECK_TEXT(controlText(dialog, IDC_OPTIONSIZE), L"8192");
        GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"0x08001000");
        GUI_CHECK(IsDlgButtonChecked(dialog, IDC_OPTIONS) == BST_CHECKED);
        GUI_CHECK(optionAreaOffset(fixture.controller) == 4096 && optionAreaSize(fixture.controller) == 8192);

        // Beyond the last page: cut to its start. "0X" reads as decimal 0.
        fixture.typeAndLeave(IDC_OPTIONOFFSET, L"0x7FFFF");
        sendCommand(dialog, IDOK);
        GUI_CHECK(storedNumberIs(L"OptionsOffset", 522240));
        fixture.typeAndLeave(IDC_OPTIONOFFSET, L"0X1000");
        GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"0x08000000");
        sendCommand(dialog, IDOK);
        GUI_CHECK(storedNumberIs(L"OptionsOffset", 0));

        // Text that is no number keeps the value; negative numbers count as 0.
        fixture.typeAndLeave(IDC_OPTIONOFFSET, L"2048");
        SetDlgItemTextW(dialog, IDC_OPTIONSIZE, L"big");
        sendCommand(dialog, IDOK);
        GUI_CHECK(storedNumberIs(L"OptionsOffset", 2048) && storedNumberIs(L"OptionsSize", 8192));
        fixture.typeAndLeave(IDC_OPTIONOFFSET, L"-4096");
        SetDlgItemTextW(dialog, IDC_OPTIONSIZE, L"-1");
        sendCommand(dialog, IDOK);
        GUI_CHECK(storedNumberIs(L"OptionsOffset", 0) && storedNumberIs(L"OptionsSize", 0));

        // Unticked "Options" stores 0 with the values still in the disabled edits.
        fixture.typeAndLeave(IDC_OPTIONOFFSET, L"1024");
        SetDlgItemTextW(dialog, IDC_OPTIONSIZE, L"2048");
        fixture.tickOptions(false);
        GUI_CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_OPTIONSIZE)));
        sendCommand(dialog, IDOK);
        GUI_CHECK(storedNumberIs(L"OptionsInUse", 0));
        GUI_CHECK(storedNumberIs(L"OptionsOffset", 1024) && storedNumberIs(L"OptionsSize", 2048));

        // Cancel stores nothing.
        fixture.tickOptions(true);
        fixture.typeAndLeave(IDC_OPTIONOFFSET, L"512");
        sendCommand(dialog, IDCANCEL);
        GUI_CHECK(!IsWindowVisible(dialog));
        GUI_CHECK(storedNumberIs(L"OptionsInUse", 0) && storedNumberIs(L"OptionsOffset", 1024));

        // The target goes: limits emptied, items and buttons disabled.
        recordWatchedTargets(fixture.controller, {}, 0, TargetGeometry());
        applyTargetChange(&fixture.state);
        GUI_CHECK(GetMenuState(menu, IDM_UPLOAD, MF_BYCOMMAND) & MF_GRAYED);
        GUI_CHECK(GetMenuState(menu, IDM_DOWNLOAD, MF_BYCOMMAND) & MF_GRAYED);
        GUI_CHECK_TEXT(controlText(dialog, IDC_OFFSETLIMIT), L"");
        GUI_CHECK_TEXT(controlText(dialog, IDC_FLASHSTART), L"");
        GUI_CHECK_TEXT(comboItem(list, 0), L"not available");
        GUI_CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDOK)));
    }
    {
        // Stored "OptionsSize" 0 means the whole flash.
        deleteSettings();
        writeStoredNumber(L"OptionsInUse", 1);
        writeStoredNumber(L"OptionsOffset", 0x1000);
        writeStoredNumber(L"OptionsSize", 0);
        PreferencesFixture fixture;
        writeStoredNumber(L"OptionsInUse", 1);
        writeStoredNumber(L"OptionsOffset", 0x1000);
        writeStoredNumber(L"OptionsSize", 0);
        fixture.connectTarget({5});
        GUI_CHECK_TEXT(controlText(fixture.dialog, IDC_OPTIONSIZE), L"524288");
        GUI_CHECK_TEXT(controlText(fixture.dialog, IDC_OPTIONOFFSET), L"4096");
        GUI_CHECK_TEXT(controlText(fixture.dialog, IDC_FLASHSTART), L"0x08001000");
        GUI_CHECK(IsWindowEnabled(GetDlgItem(fixture.dialog, IDC_OPTIONSIZE)));
        GUI_CHECK_TEXT(comboItem(GetDlgItem(fixture.dialog, IDC_TARGETLIST), 0), L"STM32 ID: 5");
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: gui_inproc_tests <case>\n");
        return 2;
    }
    std::wstring name = argv[1];
    if (name == L"menus") {
        checkMenusOfRunningProgram();
    } else if (name == L"recent-list") {
        checkRecentList();
    } else if (name == L"preferences-target") {
        checkPreferencesWithTarget();
    } else {
        fwprintf(stderr, L"unknown case %ls\n", argv[1]);
        return 2;
    }
    char caseName[64] = {};
    WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, caseName, sizeof caseName, nullptr, nullptr);
    return finishChecks(caseName);
}
