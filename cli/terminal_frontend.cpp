// Terminal front end: progress bar, German messages, Ctrl-C.
#include "cli/terminal_frontend.h"

#include <csignal>

#include "cli/console.h"
#include "pfc/conversion_run.h"
#include "ui/texts.h"

namespace kistwerk {

namespace {

volatile std::sig_atomic_t interruptFlag = 0;

extern "C" void onInterrupt(int)
{
    interruptFlag = 1;
#ifdef _WIN32
    // A second Ctrl-C ends the program at once, as usual.
    std::signal(SIGINT, SIG_DFL);
#endif
}

constexpr int kBarWidth = 40;

} // namespace

TerminalFrontEnd::TerminalFrontEnd(std::FILE* messages, bool showProgress)
    : messages_(messages), showProgress_(showProgress)
{
}

void TerminalFrontEnd::installInterruptHandler()
{
#ifdef _WIN32
    std::signal(SIGINT, onInterrupt);
#else
    // Not restarted: a system call that waits (opening a named pipe that no
    // one reads yet) ends at the first Ctrl-C, and the run stops. A second
    // Ctrl-C ends the program at once, as usual.
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
#endif
}

bool TerminalFrontEnd::interrupted()
{
    return interruptFlag != 0;
}

void TerminalFrontEnd::createProgress(ConversionRun& run)
{
    run.lastDrawnPercent = 0;
    if (showProgress_)
        drawBar(0);
}

bool TerminalFrontEnd::progressStep(ConversionRun& run)
{
    if (interruptFlag != 0)
        return true;
    if (!needsPicture(run.percent, run.lastDrawnPercent))
        return false;
    if (showProgress_)
        drawBar(run.percent);
    run.lastDrawnPercent = run.percent;
    return false;
}

void TerminalFrontEnd::destroyProgress(ConversionRun&)
{
    clearBar();
}

void TerminalFrontEnd::reportProblem(RunProblem problem, const ConversionRun& run)
{
    clearBar();
    texts::ProblemFacts facts = texts::problemFacts(run);
    if (run.outputName == "-")
        facts.outputName = texts::kStandardOutput;
    writeText(messages_, "kistwerk-cli: " + texts::problem(problem, facts, texts::Shown::CommandLine) + "\n");
}

void TerminalFrontEnd::drawBar(int percent)
{
    int filled = percent * kBarWidth / 100;
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i)
        bar[i] = i < filled ? '#' : '-';
    bar[kBarWidth] = '\0';
    std::fprintf(messages_, "\r[%s] %3d %%", bar, percent);
    std::fflush(messages_);
    barShown_ = true;
}

void TerminalFrontEnd::clearBar()
{
    if (!barShown_)
        return;
    std::fprintf(messages_, "\r%*s\r", kBarWidth + 8, "");
    std::fflush(messages_);
    barShown_ = false;
}

} // namespace kistwerk
