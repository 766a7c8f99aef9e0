// The desktop program's answer to what a run asks of its front end: the wait
// cursor, the progress dialog, Escape as the stop key and German message boxes.
#pragma once

#include <windows.h>

#include "pfc/frontend.h"

namespace kistwerk {

class Win32FrontEnd : public FrontEnd {
public:
    Win32FrontEnd(HINSTANCE instance, HWND owner) : instance_(instance), owner_(owner) {}

    void setBusyCursor(bool busy) override;
    void createProgress(ConversionRun& run) override;
    bool progressStep(ConversionRun& run) override;
    void destroyProgress(ConversionRun& run) override;
    bool stopAsked() override;
    void reportProblem(RunProblem problem, const ConversionRun& run) override;

private:
    HINSTANCE instance_;
    HWND owner_;
    HWND progressDialog_ = nullptr;
};

} // namespace kistwerk
