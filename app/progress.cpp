// The progress dialog: a framed bar filled green from the left, the percentage
// in its middle, drawn only by the run's progress step.
#include "app/progress.h"

#include <cstdio>

#include "app/progress_bar.h"
#include "app/resource.h"
#include "pfc/frontend.h"

namespace kistwerk {

// Key-downs are the run's only input: Escape stops it, other keys are dropped.
bool takeEscape()
{
    MSG message;
    if (!PeekMessageA(&message, nullptr, WM_KEYDOWN, WM_KEYDOWN, PM_REMOVE))
        return false;
    return message.wParam == VK_ESCAPE;
}

namespace {

constexpr COLORREF kBarColour = RGB(127, 255, 127);

void fillColumns(HDC dc, int left, int right, int height, HBRUSH brush)
{
    if (left > right)
        return;
    RECT r = {left, 1, right + 1, height - 1};
    FillRect(dc, &r, brush);
}

} // namespace

INT_PTR CALLBACK progressDialogProc(HWND, UINT message, WPARAM, LPARAM)
{
    // Claims commands so that no button press or Enter closes the dialog.
    return message == WM_COMMAND ? TRUE : FALSE;
}

void drawProgressBar(HWND canvas, int percent)
{
    HDC dc = GetDC(canvas);
    RECT client;
    GetClientRect(canvas, &client);
    const int width = client.right;
    const int height = client.bottom;
    const BarLayout bar = barLayout(percent, width);

    MoveToEx(dc, 0, 0, nullptr);
    LineTo(dc, width - 1, 0);
    LineTo(dc, width - 1, height - 1);
    LineTo(dc, 0, height - 1);
    LineTo(dc, 0, 0);

    HBRUSH green = CreateSolidBrush(kBarColour);
    fillColumns(dc, bar.greenLeft, bar.greenRight, height, green);
    fillColumns(dc, bar.whiteLeft, bar.whiteRight, height, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));

    char text[16];
    int length = std::snprintf(text, sizeof text, "%d %%", percent);
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    SetBkMode(dc, TRANSPARENT);
    TextOutA(dc, bar.textX, bar.textY, text, length);

    ReleaseDC(canvas, dc);
    DeleteObject(green);
}

bool progressStep(ConversionRun& run, HWND progressDialog)
{
    if (takeEscape())
        return true;
    if (progressDialog == nullptr)
        return false;
    if (!needsPicture(run.percent, run.lastDrawnPercent))
        return false;
    // Let the dialog finish painting itself so the bar lands on a finished face.
    UpdateWindow(progressDialog);
    drawProgressBar(GetDlgItem(progressDialog, IDC_PROGRESS_CANVAS), run.percent);
    run.lastDrawnPercent = run.percent;
    return false;
}

} // namespace kistwerk
