// The About dialog: a picture and one line of text with the version. It is
// created hidden once and only shown and hidden afterwards.
#include "main_window.h"
#include "resource.h"

#include <cstdio>

#include "stm32.h"

namespace {

constexpr int kAboutTextBytes = 200;

void buildAboutText(MainWindowState* state) {
    char text[kAboutTextBytes];
    // One short line: the text control is 233 dialog units wide.
    snprintf(text, sizeof text, "Tidewire STM32 Utility, version %d.%d.%d", STM32_VERSION_MAJOR,
             STM32_VERSION_MINOR, STM32_VERSION_PATCH);
    int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, state->aboutText, kAboutTextUnits);
    if (units == 0) state->aboutText[0] = L'\0';
}

} // namespace

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        buildAboutText(reinterpret_cast<MainWindowState*>(lParam));
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            ShowWindow(dialog, SW_HIDE);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
