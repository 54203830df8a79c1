// The three-entry recent-file list: kept in MainWindowState, stored as
// "MostRecentUsed1" to "MostRecentUsed3" through the controller's settings
// (the registry), and shown in the "Upload Recent" submenu.
#include "main_window.h"
#include "resource.h"

#include <cwchar>

namespace {

const char* const kRecentValueNames[3] = {"MostRecentUsed1", "MostRecentUsed2", "MostRecentUsed3"};
const int kRecentCommands[3] = {IDM_RECENT1, IDM_RECENT2, IDM_RECENT3};

wchar_t* recentEntry(MainWindowState* state, int position) {
    wchar_t* entries[3] = {state->recentFile1, state->recentFile2, state->recentFile3};
    return entries[position];
}

void copyBounded(wchar_t* target, const wchar_t* source) {
    wcsncpy(target, source, kPathUnits - 1);
    target[kPathUnits - 1] = L'\0';
}

void storeRecentFiles(MainWindowState* state) {
    SettingsStore* settings = controllerSettings(state->controller);
    if (settings == nullptr) return;
    for (int i = 0; i < 3; ++i) {
        // A key that cannot be created stores nothing; the list stays in memory.
        if (!settings->writeString(kRecentValueNames[i], NativeString(recentEntry(state, i)))) return;
    }
}

} // namespace

void addRecentFile(MainWindowState* state, const wchar_t* path) {
    for (int i = 0; i < 3; ++i) {
        if (wcscmp(recentEntry(state, i), path) == 0) return;
    }
    copyBounded(state->recentFile1, state->recentFile2);
    copyBounded(state->recentFile2, state->recentFile3);
    copyBounded(state->recentFile3, path);
    storeRecentFiles(state);
    rebuildRecentMenu(state);
}

void clearRecentFiles(MainWindowState* state) {
    for (int i = 0; i < 3; ++i) recentEntry(state, i)[0] = L'\0';
    storeRecentFiles(state);
    rebuildRecentMenu(state);
}

void loadRecentFiles(MainWindowState* state) {
    SettingsStore* settings = controllerSettings(state->controller);
    if (settings == nullptr) return;
    for (int i = 0; i < 3; ++i) {
        NativeString value;
        wchar_t* entry = recentEntry(state, i);
        if (settings->readString(kRecentValueNames[i], &value)) {
            copyBounded(entry, value.c_str());
        } else {
            entry[0] = L'\0';
        }
    }
}

void rebuildRecentMenu(MainWindowState* state) {
    HMENU menu = state->recentMenu;
    if (menu == nullptr) return;
    for (int command : kRecentCommands) RemoveMenu(menu, command, MF_BYCOMMAND);
    RemoveMenu(menu, 0, MF_BYPOSITION); // the separator
    RemoveMenu(menu, IDM_CLEARLIST, MF_BYCOMMAND);

    bool added = false;
    for (int i = 0; i < 3; ++i) {
        const wchar_t* entry = recentEntry(state, i);
        if (entry[0] == L'\0') continue;
        // The command follows the entry, not the position in the menu.
        AppendMenuW(menu, MF_STRING, kRecentCommands[i], entry);
        added = true;
    }
    if (added) AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_CLEARLIST, L"Clear List");
}

const wchar_t* recentFileForCommand(const MainWindowState* state, int command) {
    for (int i = 0; i < 3; ++i) {
        if (kRecentCommands[i] == command) return recentEntry(const_cast<MainWindowState*>(state), i);
    }
    return nullptr;
}

HMENU findRecentMenu(HMENU menuBar) {
    int menus = GetMenuItemCount(menuBar);
    for (int i = 0; i < menus; ++i) {
        HMENU menu = GetSubMenu(menuBar, i);
        if (menu == nullptr) continue;
        int items = GetMenuItemCount(menu);
        for (int j = 0; j < items; ++j) {
            HMENU submenu = GetSubMenu(menu, j);
            if (submenu != nullptr) return submenu;
        }
    }
    return nullptr;
}
