// The progress step against the real "PRINTDLG" dialog: what it draws into
// control 1080, when it draws nothing, and which key-downs it takes.
#include <windows.h>

#include <gtest/gtest.h>

#include "app/progress.h"
#include "app/resource.h"

namespace kistwerk {
namespace {

constexpr COLORREF kGreen = RGB(127, 255, 127);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kRed = RGB(255, 0, 0);

class ProgressStep : public ::testing::Test {
protected:
    void SetUp() override
    {
        dialog_ = CreateDialogParamA(GetModuleHandleA(nullptr), KISTWERK_PROGRESS_DIALOG, nullptr,
                                     progressDialogProc, 0);
        ASSERT_NE(dialog_, nullptr);
        canvas_ = GetDlgItem(dialog_, IDC_PROGRESS_CANVAS);
        ASSERT_NE(canvas_, nullptr);
        RECT r;
        GetClientRect(canvas_, &r);
        width_ = r.right;
        height_ = r.bottom;
        ASSERT_GT(width_, 10);
        ASSERT_GT(height_, 4);
        UpdateWindow(dialog_);
        drainQueue();
    }

    void TearDown() override
    {
        if (dialog_ != nullptr)
            DestroyWindow(dialog_);
        drainQueue();
    }

    static void drainQueue()
    {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&m);
    }

    // Marks the canvas so that "nothing drawn" can be seen.
    void paintRed()
    {
        HDC dc = GetDC(canvas_);
        HBRUSH red = CreateSolidBrush(kRed);
        RECT r = {0, 0, width_, height_};
        FillRect(dc, &r, red);
        DeleteObject(red);
        ReleaseDC(canvas_, dc);
    }

    COLORREF pixel(int x, int y)
    {
        HDC dc = GetDC(canvas_);
        COLORREF c = GetPixel(dc, x, y);
        ReleaseDC(canvas_, dc);
        return c;
    }

    HWND dialog_ = nullptr;
    HWND canvas_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

TEST_F(ProgressStep, TemplateIsAVisibleCaptionedDialogWithoutCloseBox)
{
    LONG style = GetWindowLongA(dialog_, GWL_STYLE);
    EXPECT_EQ(style & 0x90C001C0, 0x90C001C0);
    EXPECT_EQ(style & WS_SYSMENU, 0);
    char caption[32] = {};
    GetWindowTextA(dialog_, caption, sizeof caption);
    EXPECT_STREQ(caption, "Kistwerk");
    EXPECT_EQ(progressDialogProc(dialog_, WM_COMMAND, IDCANCEL, 0), TRUE);
    EXPECT_EQ(progressDialogProc(dialog_, WM_PAINT, 0, 0), FALSE);
}

TEST_F(ProgressStep, DrawsFrameBarAndOnlyOnChange)
{
    struct Row {
        int percent, lastDrawn;
        bool draws;
        int shownPercent;
    };
    const Row rows[] = {
        {0, 0, false, 0},      // a fresh dialog keeps its plain face at 0 %
        {37, 37, false, 37},   // same value: no picture
        {50, 0, true, 50},
        {100, 50, true, 100},
        {150, 100, true, 100}, // above 100 is shown, and kept, as 100
        {0, 100, true, 0},     // a second run starting over: all white
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.percent << " after " << r.lastDrawn);
        paintRed();
        ConversionRun run;
        run.percent = r.percent;
        run.lastDrawnPercent = r.lastDrawn;
        EXPECT_FALSE(progressStep(run, dialog_));
        EXPECT_EQ(run.percent, r.shownPercent);
        EXPECT_EQ(run.lastDrawnPercent, r.draws ? r.shownPercent : r.lastDrawn);
        if (!r.draws) {
            EXPECT_EQ(pixel(1, 1), kRed);
            continue;
        }
        EXPECT_EQ(pixel(0, 0), kBlack);
        EXPECT_EQ(pixel(width_ - 1, height_ - 1), kBlack);
        EXPECT_EQ(pixel(width_ - 1, 1), kBlack);
        EXPECT_EQ(pixel(0, height_ - 1), kBlack);
        const int fill = r.shownPercent * (width_ - 1) / 100;
        for (int x = 1; x <= width_ - 2; ++x)
            ASSERT_EQ(pixel(x, 1), x < fill ? kGreen : kWhite) << "column " << x;
        EXPECT_EQ(pixel(1, height_ - 2), r.shownPercent == 0 ? kWhite : kGreen);
    }
}

TEST_F(ProgressStep, EscapeStopsWithoutDrawingOtherKeysAreDropped)
{
    struct Row {
        const char* name;
        UINT message;
        WPARAM key;
        bool stops;
        bool draws;
        bool stillQueued;
    };
    const Row rows[] = {
        {"Escape", WM_KEYDOWN, VK_ESCAPE, true, false, false},
        {"letter", WM_KEYDOWN, 'A', false, true, false},
        {"Alt key", WM_SYSKEYDOWN, 'D', false, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        drainQueue();
        paintRed();
        PostMessageA(dialog_, r.message, r.key, 1);
        ConversionRun run;
        run.percent = 40;
        EXPECT_EQ(progressStep(run, dialog_), r.stops);
        EXPECT_EQ(pixel(1, 1) == kGreen, r.draws);
        EXPECT_EQ(run.lastDrawnPercent, r.draws ? 40 : 0);
        MSG m;
        EXPECT_EQ(PeekMessageA(&m, nullptr, r.message, r.message, PM_REMOVE) != 0, r.stillQueued);
    }
}

TEST_F(ProgressStep, WithoutDialogOnlyPollsTheKeys)
{
    PostMessageA(dialog_, WM_KEYDOWN, VK_ESCAPE, 1);
    ConversionRun run;
    run.percent = 10;
    EXPECT_TRUE(progressStep(run, nullptr));
    EXPECT_FALSE(progressStep(run, nullptr));
    EXPECT_EQ(run.lastDrawnPercent, 0);
}

} // namespace
} // namespace kistwerk
