// Kistwerk.exe: start-up, the main window with its menu, the About box and the
// choice of the PFC file; the conversion itself is the core's run.
#include <windows.h>
#include <commdlg.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app_state.h"
#include "app/resource.h"
#include "app/wide_text.h"
#include "app/win32_frontend.h"
#include "pfc/run.h"
#include "ui/texts.h"

namespace kistwerk {

namespace {

AppState state;

// The current directory at start-up, found as the folder of a bare file name.
void computeStartDirectory(AppState& app)
{
    char full[sizeof app.startDirectory];
    char* namePart = nullptr;
    DWORD length = GetFullPathNameA("KISTWERK.EXE", sizeof full, full, &namePart);
    app.startDirectory[0] = '\0';
    if (length == 0 || length >= sizeof full)
        return;
    char drive[_MAX_DRIVE], folder[_MAX_DIR], name[_MAX_FNAME], extension[_MAX_EXT];
    _splitpath(full, drive, folder, name, extension);
    std::snprintf(app.startDirectory, sizeof app.startDirectory, "%s%s", drive, folder);
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

// Windows' own dialog leaves the chosen file's folder current, Wine's does not;
// the mailbox file is created by bare name, so make it current here on both.
void enterChosenFolder(AppState& app)
{
    const WORD nameOffset = app.fileDialog.nFileOffset;
    if (nameOffset == 0 || nameOffset >= sizeof app.inputPath)
        return;
    char folder[MAX_PATH];
    std::memcpy(folder, app.inputPath, nameOffset);
    folder[nameOffset] = '\0';
    SetCurrentDirectoryA(folder);
}

void convertCommand(AppState& app)
{
    if (!chooseInputFile(app))
        return;
    Win32FrontEnd frontEnd(app.instance, app.mainWindow);
    // The core takes UTF-8 paths; the mailbox file's name, made from it, is
    // the very name the ANSI path would have given.
    runConversion(app.run, utf8FromAnsi(app.inputPath), frontEnd);
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
    // One pair, description and pattern, each ended by a zero byte, and a zero byte after the list.
    const std::string filter = ansiFromUtf8(texts::kFileDialogFilter) + std::string("\0*.pfc\0", 8);
    const std::string title = ansiFromUtf8(texts::kFileDialogTitle);
    app.inputPath[0] = '\0';
    OPENFILENAMEA& d = app.fileDialog;
    d = OPENFILENAMEA{};
    d.lStructSize = OPENFILENAME_SIZE_VERSION_400A;  // without the later fields (76 bytes in the 32-bit build)
    d.hwndOwner = app.mainWindow;
    d.lpstrFilter = filter.c_str();
    d.nFilterIndex = 0;
    d.lpstrFile = app.inputPath;
    d.nMaxFile = sizeof app.inputPath;
    d.lpstrInitialDir = app.startDirectory;
    d.lpstrTitle = title.c_str();
    d.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    d.lpstrDefExt = "";
    if (!GetOpenFileNameA(&d))
        return false;
    enterChosenFolder(app);
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
