// Kistwerk.exe: start-up, the main window with its menu, the About box and the
// choice of the PFC file; the conversion itself is the core's run.
#include <windows.h>
#include <commdlg.h>

#include <string>

#include "app/app_state.h"
#include "app/chosen_file.h"
#include "app/resource.h"
#include "app/wide_text.h"
#include "app/win32_frontend.h"
#include "pfc/run.h"
#include "ui/texts.h"

namespace kistwerk {

namespace {

AppState state;

// The current directory at start-up, however long, ending in a "\".
void computeStartDirectory(AppState& app)
{
    app.startDirectory.clear();
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0)
        return;
    std::wstring folder(needed, L'\0');
    const DWORD length = GetCurrentDirectoryW(needed, folder.data());
    if (length == 0 || length >= needed)
        return;
    folder.resize(length);
    if (folder.back() != L'\\')
        folder += L'\\';
    app.startDirectory = folder;
}

bool registerWindowClass(HINSTANCE instance, WNDPROC procedure)
{
    WNDCLASSA windowClass = {};
    windowClass.style = CS_BYTEALIGNWINDOW;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, KISTWERK_ICON);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = KISTWERK_MENU;
    windowClass.lpszClassName = KISTWERK_WINDOW_CLASS;
    return RegisterClassA(&windowClass) != 0;
}

// Windows' own dialog leaves the chosen file's folder current, Wine's does not:
// make it current on both. The mailbox file's place comes from the chosen path,
// so a folder the system will not make current (one too long, one that denies
// traversal) changes nothing of the run.
void enterChosenFolder(const ChosenFile& chosen)
{
    if (!chosen.folder.empty())
        SetCurrentDirectoryW(chosen.folder.c_str());
}

void convertCommand(AppState& app)
{
    if (!chooseInputFile(app))
        return;
    Win32FrontEnd frontEnd(app.instance, app.mainWindow);
    runConversion(app.run, app.chosen.inputPath, frontEnd, app.chosen.outputPath);
}

} // namespace

AppState& appState()
{
    return state;
}

void showFailure(const std::string& text)
{
    MessageBoxW(state.mainWindow, wideFromUtf8(text).c_str(), L"" KISTWERK_TITLE, MB_OK | MB_ICONERROR);
}

void showNotice(const std::string& text)
{
    MessageBoxW(state.mainWindow, wideFromUtf8(text).c_str(), L"" KISTWERK_TITLE, MB_OK | MB_ICONWARNING);
}

bool chooseInputFile(AppState& app)
{
    // One pair, description and pattern, each ended by a zero, and a zero after the list.
    const std::wstring filter = wideFromUtf8(texts::kFileDialogFilter) + std::wstring(L"\0*.pfc\0", 8);
    const std::wstring title = wideFromUtf8(texts::kFileDialogTitle);
    app.inputPath[0] = L'\0';
    OPENFILENAMEW& d = app.fileDialog;
    d = OPENFILENAMEW{};
    d.lStructSize = OPENFILENAME_SIZE_VERSION_400W;  // without the later fields (76 bytes in the 32-bit build)
    d.hwndOwner = app.mainWindow;
    d.lpstrFilter = filter.c_str();
    d.nFilterIndex = 0;
    d.lpstrFile = app.inputPath;
    d.nMaxFile = kFileDialogBufferLength;
    d.lpstrInitialDir = app.startDirectory.empty() ? nullptr : app.startDirectory.c_str();
    d.lpstrTitle = title.c_str();
    d.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    d.lpstrDefExt = L"";
    if (!GetOpenFileNameW(&d)) {
        // Zero is a cancel; anything else is the dialog's own failure.
        const DWORD error = CommDlgExtendedError();
        if (error != 0)
            showFailure(texts::fileDialogFailed(error, error == FNERR_BUFFERTOOSMALL));
        return false;
    }
    app.chosen = chosenFile(app.inputPath, d.nFileOffset);
    enterChosenFolder(app.chosen);
    return true;
}

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    // Only OK (button or Enter) closes the box; Escape sends IDCANCEL and is ignored.
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDM_ABOUT:
            DialogBoxParamA(state.instance, KISTWERK_ABOUT_DIALOG, window, aboutDialogProc, 0);
            break;
        case IDM_EXIT:
            PostMessageA(window, WM_DESTROY, 0, 0);
            break;
        case IDM_CONVERT:
            convertCommand(state);
            break;
        default:
            break;
        }
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

} // namespace kistwerk

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    using namespace kistwerk;
    AppState& app = appState();
    app.instance = instance;
    computeStartDirectory(app);
    registerWindowClass(instance, mainWindowProc);

    app.mainWindow = CreateWindowExA(0, KISTWERK_WINDOW_CLASS, KISTWERK_TITLE, WS_CAPTION | WS_SYSMENU | WS_THICKFRAME,
                                     CW_USEDEFAULT, CW_USEDEFAULT, 312, 313, nullptr, nullptr, instance, nullptr);
    if (app.mainWindow == nullptr)
        return 0;
    ShowWindow(app.mainWindow, SW_SHOW);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
