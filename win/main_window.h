// The main window of TidewireSTM32Utility and the record attached to it.
#ifndef STM32_WIN_MAIN_WINDOW_H
#define STM32_WIN_MAIN_WINDOW_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <vector>

#include "flash_controller.h"

constexpr int kAboutTextUnits = 200;

// Preferences values as last stored or refreshed (see preferences.cpp).
struct PreferencesValues {
    bool optionsInUse = false;
    int32_t offset = 0;
    int32_t size = 0;
    uint32_t flashStartAddress = 0;
    int32_t flashSize = 0;
    int32_t pageSize = 0;
    // Targets as the last change reported them; a copy, so that the dialog
    // never reads the list while the watch thread replaces it.
    int32_t targetCount = -1;
    int32_t chosenTarget = 0;
    std::vector<int32_t> targets;
};

struct MainWindowState {
    int32_t logPanelWidth = 0; // first size of the log panel: its smallest
    int32_t logPanelHeight = 0;
    HWND mainWindow = nullptr;
    HWND aboutDialog = nullptr;
    HWND logPanel = nullptr;
    HWND preferencesDialog = nullptr;
    HMENU recentMenu = nullptr;
    FlashController* controller = nullptr;
    PreferencesValues preferences;
    wchar_t aboutText[kAboutTextUnits] = {};
    wchar_t recentFile1[kPathUnits] = {}; // oldest
    wchar_t recentFile2[kPathUnits] = {};
    wchar_t recentFile3[kPathUnits] = {}; // newest
};

// Sent by the watch thread so that a target change is applied on the
// interface thread, which owns the menu, the dialog and the values.
constexpr UINT kTargetChangedMessage = WM_APP + 1;

// main_window.cpp: the whole run of the program; its result is the exit code.
int runProgram(HINSTANCE instance, const wchar_t* commandLine);

// recent_files.cpp
void addRecentFile(MainWindowState* state, const wchar_t* path);
void clearRecentFiles(MainWindowState* state);
void loadRecentFiles(MainWindowState* state);
void rebuildRecentMenu(MainWindowState* state);
const wchar_t* recentFileForCommand(const MainWindowState* state, int command);
HMENU findRecentMenu(HMENU menuBar);

// preferences.cpp
INT_PTR CALLBACK preferencesDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void onTargetChanged(void* state);        // the controller's handler; any thread
void applyTargetChange(MainWindowState* state); // interface thread
void refreshPreferences(MainWindowState* state);
void enableFileCommands(MainWindowState* state, bool enable);

// about.cpp
INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
