// The progress dialog "PRINTDLG": its dialog procedure and the step that draws
// the bar into control 1080.
#pragma once

#include <windows.h>

#include "pfc/conversion_run.h"

namespace kistwerk {

INT_PTR CALLBACK progressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Takes at most one key-down from the queue: true for Escape (nothing is drawn
// then); otherwise draws run.percent into the dialog when it has changed.
bool progressStep(ConversionRun& run, HWND progressDialog);

// Takes at most one key-down from the queue: true for Escape.
bool takeEscape();

// Draws the bar for `percent` into the canvas control.
void drawProgressBar(HWND canvas, int percent);

} // namespace kistwerk
