// The command line's answer to what a run asks of its front end: a progress bar
// on standard error, German messages, and Ctrl-C as the stop key.
#pragma once

#include <cstdio>
#include <string>

#include "pfc/frontend.h"

namespace kistwerk {

class TerminalFrontEnd : public FrontEnd {
public:
    // `showProgress`: draw the bar (standard error is a terminal and not quiet).
    TerminalFrontEnd(std::FILE* messages, bool showProgress);

    void setBusyCursor(bool) override {}
    void createProgress(ConversionRun& run) override;
    bool progressStep(ConversionRun& run) override;
    void destroyProgress(ConversionRun& run) override;
    bool stopAsked() override { return interrupted(); }
    void reportProblem(RunProblem problem, const ConversionRun& run) override;

    // Ctrl-C: the first press stops the run in hand after its current item.
    static void installInterruptHandler();
    static bool interrupted();

private:
    void drawBar(int percent);
    void clearBar();

    std::FILE* messages_;
    bool showProgress_;
    bool barShown_ = false;
};

} // namespace kistwerk
