// Entry point, main window, message loop and menu commands of
// TidewireSTM32Utility. All board work goes through the FlashController.
#include "main_window.h"
#include "resource.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr int kTitleUnits = 100;
constexpr int kWindowWidth = 520;
constexpr int kWindowHeight = 310;

// Lives for the whole run, like the window it belongs to.
MainWindowState g_state;
bool g_setUpDone = false; // the set-up of the first showing runs once

MainWindowState* stateOf(HWND window) {
    return reinterpret_cast<MainWindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// --- status and log sinks (called on the watch, upload or interface thread)

void setStatusText(void* userData, const NativeChar* text) {
    auto* state = static_cast<MainWindowState*>(userData);
    SetDlgItemTextW(state->logPanel, IDC_STATUS, text);
}

void appendLogText(void* userData, const NativeChar* text, int noLineBreak) {
    auto* state = static_cast<MainWindowState*>(userData);
    HWND log = GetDlgItem(state->logPanel, IDC_LOG);
    // The log grows only at its end, whatever the user selected.
    SendMessageW(log, EM_SETSEL, 0, -1);
    SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(-1), -1);
    SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
    if (noLineBreak == 0) SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"\r\n"));
}

// The debug trace lives beside the program's settings, in the user's roaming
// profile: %APPDATA%\TidewireSTM32Utility\trace.txt. Empty when there is none.
std::wstring traceFilePath() {
    const wchar_t* appData = _wgetenv(L"APPDATA");
    if (appData == nullptr || *appData == L'\0') return std::wstring();
    const std::wstring folder = std::wstring(appData) + L"\\TidewireSTM32Utility";
    CreateDirectoryW(folder.c_str(), nullptr); // fails harmlessly when it exists
    return folder + L"\\trace.txt";
}

// STM32_DEBUG=1 or the stored "Trace" value turns the trace on; the log says
// where it goes, so that a user can find the file to send.
void startTraceIfWanted(MainWindowState* state) {
    if (!debugTraceWanted(state->controller, std::getenv("STM32_DEBUG"))) return;
    const std::wstring path = traceFilePath();
    if (path.empty() || !startDebugTrace(state->controller, path)) return;
    const std::wstring line = L"Debug trace: " + path;
    appendLogText(state, line.c_str(), 0);
}

// --- uploads and downloads

bool loadAndUpload(MainWindowState* state, const wchar_t* path) {
    NativeString file(path);
    if (loadImageFile(state->controller, &file) != 0) return false;
    startUpload(state->controller);
    return true;
}

struct ApartmentScope {
    bool ready = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    ~ApartmentScope() {
        if (ready) CoUninitialize();
    }
};

template <typename T> struct ComReleaser {
    void operator()(T* object) const { object->Release(); }
};
template <typename T> using ComPointer = std::unique_ptr<T, ComReleaser<T>>;

struct CoTaskText {
    PWSTR text = nullptr;
    ~CoTaskText() { CoTaskMemFree(text); }
};

// The file-system path of the dialog's result; empty when cancelled.
std::wstring resultPath(IFileDialog* dialog) {
    if (FAILED(dialog->Show(nullptr))) return std::wstring(); // cancelled or failed
    IShellItem* rawItem = nullptr;
    if (FAILED(dialog->GetResult(&rawItem))) return std::wstring();
    ComPointer<IShellItem> item(rawItem);
    CoTaskText path;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path.text)) || path.text == nullptr) return std::wstring();
    return std::wstring(path.text);
}

std::wstring askForOpenPath() {
    ApartmentScope apartment;
    if (!apartment.ready) return std::wstring();
    IFileOpenDialog* raw = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                                reinterpret_cast<void**>(&raw)))) {
        return std::wstring();
    }
    ComPointer<IFileOpenDialog> dialog(raw);
    // The kinds come from the loader, so a new format shows up here by itself.
    const std::vector<ImageFileType> kinds = openDialogFileTypes();
    std::vector<COMDLG_FILTERSPEC> types;
    for (const ImageFileType& kind : kinds) types.push_back({kind.label.c_str(), kind.patterns.c_str()});
    dialog->SetFileTypes(static_cast<UINT>(types.size()), types.data());
    return resultPath(dialog.get());
}

std::wstring askForSavePath() {
    ApartmentScope apartment;
    if (!apartment.ready) return std::wstring();
    IFileSaveDialog* raw = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FileSaveDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileSaveDialog,
                                reinterpret_cast<void**>(&raw)))) {
        return std::wstring();
    }
    ComPointer<IFileSaveDialog> dialog(raw);
    const COMDLG_FILTERSPEC types[] = {{L"Binary files", L"*.bin"}, {L"All files", L"*.*"}};
    dialog->SetFileTypes(2, types);
    dialog->SetDefaultExtension(L"bin");
    return resultPath(dialog.get());
}

void uploadChosenFile(MainWindowState* state) {
    std::wstring path = askForOpenPath();
    if (path.empty()) return;
    if (loadAndUpload(state, path.c_str())) addRecentFile(state, path.c_str());
}

void downloadToChosenFile(MainWindowState* state) {
    if (downloadFromTarget(state->controller) != 0) return;
    std::wstring path = askForSavePath();
    if (path.empty()) return; // the bytes read are discarded
    writeDownloadFile(state->controller, NativeString(path));
}

void uploadRecentFile(MainWindowState* state, int command) {
    const wchar_t* entry = recentFileForCommand(state, command);
    if (entry == nullptr || entry[0] == L'\0') return;
    wchar_t path[kPathUnits];
    wcsncpy(path, entry, kPathUnits - 1); // the entry may change while loading
    path[kPathUnits - 1] = L'\0';
    loadAndUpload(state, path);
}

void uploadDroppedFile(MainWindowState* state, HDROP drop) {
    wchar_t path[kPathUnits] = {};
    UINT units = DragQueryFileW(drop, 0, path, kPathUnits);
    DragFinish(drop);
    if (units == 0) return;
    if (loadAndUpload(state, path)) addRecentFile(state, path);
}

// --- window set-up and layout

void layOutLogPanel(MainWindowState* state, int clientWidth, int clientHeight) {
    if (state->logPanel == nullptr) return;
    RECT panel;
    GetWindowRect(state->logPanel, &panel);
    int oldWidth = panel.right - panel.left;
    int oldHeight = panel.bottom - panel.top;
    int width = std::max(clientWidth, static_cast<int>(state->logPanelWidth));
    int height = std::max(clientHeight, static_cast<int>(state->logPanelHeight));
    MoveWindow(state->logPanel, 0, 0, width, height, TRUE);

    HWND log = GetDlgItem(state->logPanel, IDC_LOG);
    RECT logRect;
    GetWindowRect(log, &logRect);
    MapWindowPoints(HWND_DESKTOP, state->logPanel, reinterpret_cast<POINT*>(&logRect), 2);
    int logWidth = (logRect.right - logRect.left) + width - oldWidth;
    int logHeight = (logRect.bottom - logRect.top) + height - oldHeight;
    MoveWindow(log, logRect.left, logRect.top, logWidth, logHeight, TRUE);
}

INT_PTR CALLBACK logPanelProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

void setUpOnFirstShow(MainWindowState* state) {
    enableFileCommands(state, false);

    HINSTANCE instance = GetModuleHandleW(nullptr);
    LPARAM parameter = reinterpret_cast<LPARAM>(state);
    state->aboutDialog =
        CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), state->mainWindow, aboutDialogProc, parameter);
    state->preferencesDialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_PREFERENCES), state->mainWindow,
                                                  preferencesDialogProc, parameter);
    state->logPanel =
        CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_LOGPANEL), state->mainWindow, logPanelProc, parameter);
    if (state->logPanel != nullptr) {
        // The log must keep growing past the edit control's default 30000 characters.
        SendDlgItemMessageW(state->logPanel, IDC_LOG, EM_SETLIMITTEXT, 0, 0);
    }

    state->recentMenu = findRecentMenu(GetMenu(state->mainWindow));
    loadRecentFiles(state);
    rebuildRecentMenu(state);

    if (state->aboutDialog != nullptr) SetDlgItemTextW(state->aboutDialog, IDC_ABOUTTEXT, state->aboutText);

    if (state->logPanel != nullptr) {
        RECT panel;
        GetWindowRect(state->logPanel, &panel);
        state->logPanelWidth = panel.right - panel.left;
        state->logPanelHeight = panel.bottom - panel.top;
        ShowWindow(state->logPanel, SW_SHOWNORMAL);
    }

    // The first size notification may have come before the panel existed.
    RECT client;
    GetClientRect(state->mainWindow, &client);
    if (client.right > 0 && client.bottom > 0) layOutLogPanel(state, client.right, client.bottom);

    setStatusSink(state->controller, state, setStatusText);
    setLogSink(state->controller, state, appendLogText);
    startTraceIfWanted(state);
    startTargetWatch(state->controller, state, onTargetChanged);
    uploadStartupImage(state->controller);
}

void onCommand(MainWindowState* state, int command) {
    switch (command) {
    case IDM_ABOUT:
        if (state->aboutDialog != nullptr) ShowWindow(state->aboutDialog, SW_SHOW);
        break;
    case IDM_EXIT:
        DestroyWindow(state->mainWindow);
        break;
    case IDM_PREFERENCES:
        refreshPreferences(state);
        if (state->preferencesDialog != nullptr) ShowWindow(state->preferencesDialog, SW_SHOW);
        break;
    case IDM_UPLOAD:
        uploadChosenFile(state);
        break;
    case IDM_DOWNLOAD:
        downloadToChosenFile(state);
        break;
    case IDM_CLEARLOG:
        SetDlgItemTextW(state->logPanel, IDC_LOG, L"");
        break;
    case IDM_CLEARLIST:
        clearRecentFiles(state);
        break;
    case IDM_RECENT1:
    case IDM_RECENT2:
    case IDM_RECENT3:
        uploadRecentFile(state, command);
        break;
    default:
        break;
    }
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MainWindowState* state = stateOf(window);
    if (state == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    switch (message) {
    case WM_SHOWWINDOW:
        // A real show, not one caused by the parent or by minimising.
        if (wParam == TRUE && lParam == 0 && !g_setUpDone) {
            g_setUpDone = true;
            setUpOnFirstShow(state);
        }
        break;
    case WM_SIZE:
        if ((wParam == SIZE_RESTORED || wParam == SIZE_MAXIMIZED) && LOWORD(lParam) != 0 && HIWORD(lParam) != 0) {
            layOutLogPanel(state, LOWORD(lParam), HIWORD(lParam));
        }
        return 0;
    case WM_COMMAND:
        onCommand(state, LOWORD(wParam));
        return 0;
    case WM_DROPFILES:
        uploadDroppedFile(state, reinterpret_cast<HDROP>(wParam));
        return 0;
    case kTargetChangedMessage:
        applyTargetChange(state);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool registerWindowClass(HINSTANCE instance, const wchar_t* className) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_TIDEWIRESTM32UTILITY));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDC_TIDEWIRESTM32UTILITY);
    windowClass.lpszClassName = className;
    return RegisterClassExW(&windowClass) != 0;
}

void storeCommandLineFile(MainWindowState* state, const wchar_t* commandLine) {
    if (commandLine == nullptr || commandLine[0] == L'\0') return;
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(commandLine, &count);
    if (arguments == nullptr) return;
    if (count >= 1) setStartupImage(state->controller, NativeString(arguments[0]));
    LocalFree(arguments);
}

int runMessageLoop(MainWindowState* state, HACCEL accelerators) {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Accelerator commands go to the main window, wherever the focus is.
        if (accelerators != nullptr && TranslateAcceleratorW(state->mainWindow, accelerators, &message)) continue;
        if (state->aboutDialog != nullptr && IsDialogMessageW(state->aboutDialog, &message)) continue;
        if (state->logPanel != nullptr && IsDialogMessageW(state->logPanel, &message)) continue;
        if (state->preferencesDialog != nullptr && IsDialogMessageW(state->preferencesDialog, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

} // namespace

int runProgram(HINSTANCE instance, const wchar_t* commandLine) {
    wchar_t title[kTitleUnits] = {};
    wchar_t className[kTitleUnits] = {};
    LoadStringW(instance, IDS_APP_TITLE, title, kTitleUnits);
    LoadStringW(instance, IDC_TIDEWIRESTM32UTILITY, className, kTitleUnits);

    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    if (!registerWindowClass(instance, className)) return 0;

    HWND window = CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 0;

    // Like the controller, the store lives until the process ends: the
    // watch thread may still run while static objects are destroyed.
    SettingsStore* settings = createRegistrySettingsStore().release();
    FlashController* controller = createFlashController(settings);
    if (controller == nullptr) return 0;

    MainWindowState* state = &g_state;
    state->mainWindow = window;
    state->controller = controller;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));

    storeCommandLineFile(state, commandLine);

    DragAcceptFiles(window, TRUE);
    ShowWindow(window, SW_SHOWNORMAL);

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_TIDEWIRESTM32UTILITY));
    return runMessageLoop(state, accelerators);
}
