// The desktop program's state: one record for the whole process, owned by
// main.cpp and reached through appState().
#pragma once

#include <windows.h>
#include <commdlg.h>

#include <cstddef>
#include <string>

#include "app/chosen_file.h"
#include "pfc/conversion_run.h"

namespace kistwerk {

// The file dialog's buffer, in UTF-16 units with the closing zero: the longest
// path Windows has, so that no path the dialog gives is cut.
constexpr std::size_t kFileDialogBufferLength = 32768;

struct AppState {
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;
    // Current directory at start-up, with a trailing "\"; empty when the system
    // gave none, which leaves the file dialog at its own default folder.
    std::wstring startDirectory;
    // The chosen PFC file's full path, as the dialog wrote it.
    wchar_t inputPath[kFileDialogBufferLength] = {};
    OPENFILENAMEW fileDialog = {};
    // The same file's paths for the run, made from inputPath.
    ChosenFile chosen;
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
// is in app.inputPath, its paths for the run in app.chosen, and its folder is
// the current directory where the system lets it be (the run does not rely on
// that). A dialog that fails says so in a box; a cancelled one says nothing.
bool chooseInputFile(AppState& app);

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace kistwerk
