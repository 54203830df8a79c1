// The Preferences dialog: target choice and the option area (offset, size,
// "Options" in use), and the target-changed handler that keeps the dialog
// and the "Upload to target..." and "Download from target..." items in step
// with the device watch.
#include "main_window.h"
#include "option_area.h"
#include "resource.h"
#include "text.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

constexpr int kFieldUnits = 256;

MainWindowState* stateOf(HWND dialog) {
    return reinterpret_cast<MainWindowState*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

bool hasUsableTarget(const PreferencesValues& values) {
    return values.targetCount != 0 && values.flashSize != 0;
}

std::wstring format(const wchar_t* pattern, ...) {
    wchar_t text[kMessageUnits];
    va_list arguments;
    va_start(arguments, pattern);
    int written = vswprintf(text, kMessageUnits, pattern, arguments);
    va_end(arguments);
    return written < 0 ? std::wstring() : std::wstring(text);
}

std::wstring limitText(int32_t bytes) {
    return format(L"max: %d KB (%d / 0x%X)", bytes / 1024, bytes, static_cast<unsigned>(bytes));
}

std::wstring addressText(uint32_t address) {
    return format(L"0x%08X", address);
}

// The number in an edit; *ok false when its text does not read as one.
int32_t fieldNumber(HWND dialog, int control, bool* ok) {
    wchar_t text[kFieldUnits + 1] = {};
    GetDlgItemTextW(dialog, control, text, kFieldUnits + 1);
    return parseFieldNumber(NativeString(text), ok);
}

// Offset preview: no limit applied; a text that does not read counts as 0.
void showFlashStartForTypedOffset(MainWindowState* state, HWND dialog) {
    bool ok = false;
    int32_t offset = fieldNumber(dialog, IDC_OPTIONOFFSET, &ok);
    if (!ok) offset = 0;
    uint32_t address = state->preferences.flashStartAddress + static_cast<uint32_t>(offset);
    SetDlgItemTextW(dialog, IDC_FLASHSTART, addressText(address).c_str());
}

void setOptionEditsEnabled(HWND dialog, bool enabled) {
    EnableWindow(GetDlgItem(dialog, IDC_OPTIONOFFSET), enabled);
    EnableWindow(GetDlgItem(dialog, IDC_OPTIONSIZE), enabled);
}

void onOptionsClicked(MainWindowState* state, HWND dialog) {
    bool ticked = IsDlgButtonChecked(dialog, IDC_OPTIONS) == BST_CHECKED;
    setOptionEditsEnabled(dialog, ticked);
    if (ticked) {
        showFlashStartForTypedOffset(state, dialog);
    } else {
        SetDlgItemTextW(dialog, IDC_FLASHSTART, addressText(state->preferences.flashStartAddress).c_str());
    }
}

void storeAndChooseTarget(MainWindowState* state, HWND dialog) {
    PreferencesValues& values = state->preferences;
    values.optionsInUse = IsDlgButtonChecked(dialog, IDC_OPTIONS) == BST_CHECKED;

    bool ok = false;
    int32_t offset = fieldNumber(dialog, IDC_OPTIONOFFSET, &ok);
    if (ok) values.offset = offset;
    values.offset = stm32ClampOptionOffset(values.offset, values.flashSize, values.pageSize);

    int32_t size = fieldNumber(dialog, IDC_OPTIONSIZE, &ok);
    if (ok) values.size = size;

    storeOptionArea(state->controller, values.offset, values.size, values.optionsInUse);

    LRESULT selected = SendDlgItemMessageW(dialog, IDC_TARGETLIST, CB_GETCURSEL, 0, 0);
    chooseTargetPosition(state->controller, selected == CB_ERR ? 0 : static_cast<int32_t>(selected));
}

void fillTargetList(MainWindowState* state, HWND dialog) {
    const PreferencesValues& values = state->preferences;
    HWND list = GetDlgItem(dialog, IDC_TARGETLIST);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    if (values.targetCount <= 0 || values.targets.empty()) {
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"not available"));
        SendMessageW(list, CB_SETCURSEL, 0, 0);
        return;
    }
    for (int32_t index : values.targets) {
        std::wstring item = format(L"STM32 ID: %d", index);
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(values.chosenTarget), 0);
}

} // namespace

void enableFileCommands(MainWindowState* state, bool enable) {
    HMENU menu = GetMenu(state->mainWindow);
    UINT flags = MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED);
    EnableMenuItem(menu, IDM_UPLOAD, flags);
    EnableMenuItem(menu, IDM_DOWNLOAD, flags);
}

void onTargetChanged(void* userData) {
    auto* state = static_cast<MainWindowState*>(userData);
    // Synchronous: the watch thread waits, so the values and the copied
    // target list describe the state of the poll that reported the change.
    SendMessageW(state->mainWindow, kTargetChangedMessage, 0, 0);
}

void applyTargetChange(MainWindowState* state) {
    FlashController* controller = state->controller;
    PreferencesValues& values = state->preferences;
    const TargetGeometry geometry = watchedGeometry(controller);
    values.flashStartAddress = geometry.flashStart;
    values.flashSize = geometry.flashSize;
    values.pageSize = geometry.pageSize;
    values.offset = reloadOptionAreaOffset(controller);
    values.size = reloadOptionAreaSize(controller);
    values.optionsInUse = readStoredOptionsInUse(controller) != 0;
    values.targetCount = watchedTargetCount(controller);
    values.chosenTarget = chosenTargetPosition(controller);
    values.targets = watchedTargetIndices(controller);

    const int32_t size = stm32EffectiveOptionSize(values.size, values.flashSize);
    if (size != values.size) {
        values.size = size;
        setOptionArea(controller, values.offset, size);
    }
    enableFileCommands(state, hasUsableTarget(values));
    refreshPreferences(state);
}

void refreshPreferences(MainWindowState* state) {
    HWND dialog = state->preferencesDialog;
    if (dialog == nullptr) return;
    const PreferencesValues& values = state->preferences;
    bool usable = hasUsableTarget(values);

    SetDlgItemTextW(dialog, IDC_OPTIONOFFSET, format(L"%d", values.offset).c_str());
    SetDlgItemTextW(dialog, IDC_OPTIONSIZE, format(L"%d", values.size).c_str());
    if (usable) {
        SetDlgItemTextW(dialog, IDC_OFFSETLIMIT, limitText(values.flashSize - values.pageSize).c_str());
        SetDlgItemTextW(dialog, IDC_SIZELIMIT, limitText(values.flashSize).c_str());
        uint32_t start = values.flashStartAddress;
        if (values.optionsInUse) start += static_cast<uint32_t>(values.offset);
        SetDlgItemTextW(dialog, IDC_FLASHSTART, addressText(start).c_str());
    } else {
        SetDlgItemTextW(dialog, IDC_OFFSETLIMIT, L"");
        SetDlgItemTextW(dialog, IDC_SIZELIMIT, L"");
        SetDlgItemTextW(dialog, IDC_FLASHSTART, L"");
    }
    EnableWindow(GetDlgItem(dialog, IDC_OPTIONS), usable);
    EnableWindow(GetDlgItem(dialog, IDOK), usable);
    fillTargetList(state, dialog);
    CheckDlgButton(dialog, IDC_OPTIONS, values.optionsInUse ? BST_CHECKED : BST_UNCHECKED);
    setOptionEditsEnabled(dialog, values.optionsInUse);
}

INT_PTR CALLBACK preferencesDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        SendDlgItemMessageW(dialog, IDC_OPTIONOFFSET, EM_SETLIMITTEXT, kFieldUnits, 0);
        SendDlgItemMessageW(dialog, IDC_OPTIONSIZE, EM_SETLIMITTEXT, kFieldUnits, 0);
        return TRUE;
    }
    MainWindowState* state = stateOf(dialog);
    if (state == nullptr || message != WM_COMMAND) return FALSE;

    int control = LOWORD(wParam);
    int notification = HIWORD(wParam);
    switch (control) {
    case IDC_OPTIONOFFSET:
        if (notification == EN_KILLFOCUS) showFlashStartForTypedOffset(state, dialog);
        return TRUE;
    case IDC_OPTIONS:
        if (notification == BN_CLICKED) onOptionsClicked(state, dialog);
        return TRUE;
    case IDOK:
        // Enter reaches here even while "OK" is disabled; storing without a
        // target's geometry would cut the stored offset to 0.
        if (!IsWindowEnabled(GetDlgItem(dialog, IDOK))) return TRUE;
        storeAndChooseTarget(state, dialog);
        ShowWindow(dialog, SW_HIDE);
        return TRUE;
    case IDCANCEL:
        ShowWindow(dialog, SW_HIDE);
        return TRUE;
    default:
        return FALSE;
    }
}
