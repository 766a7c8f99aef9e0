// The desktop program's state: one record for the whole process, owned by
// main.cpp and reached through appState().
#pragma once

#include <windows.h>
#include <commdlg.h>

#include <string>

#include "pfc/conversion_run.h"

namespace kistwerk {

struct AppState {
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;
    // Current directory at start-up, with a trailing "\"; empty when it was too
    // long, which leaves the file dialog at its own default folder.
    char startDirectory[128] = {};
    // The chosen PFC file. MAX_PATH, so a file in a deep folder still converts.
    char inputPath[MAX_PATH] = {};
    OPENFILENAMEA fileDialog = {};
    ConversionRun run;
};

AppState& appState();

// The one way a failure reaches the user: a German message box owned by the
// main window, captioned "Kistwerk". `text` is UTF-8.
void showFailure(const std::string& text);
// The same for what a user must know of a run that did convert the file:
// damaged messages skipped, or none in it.
void showNotice(const std::string& text);

// Shows the file-open dialog; true when a file was chosen, then its full path
// is in app.inputPath and its folder is the current directory.
bool chooseInputFile(AppState& app);

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace kistwerk
