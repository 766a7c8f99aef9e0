// Terminal front end: progress bar, German messages, Ctrl-C.
#include "cli/terminal_frontend.h"

#include <csignal>

#include "pfc/run.h"

namespace kistwerk {

namespace {

volatile std::sig_atomic_t interruptFlag = 0;

extern "C" void onInterrupt(int)
{
    interruptFlag = 1;
    // A second Ctrl-C ends the program at once, as usual.
    std::signal(SIGINT, SIG_DFL);
}

constexpr int kBarWidth = 40;

} // namespace

TerminalFrontEnd::TerminalFrontEnd(std::FILE* messages, bool showProgress)
    : messages_(messages), showProgress_(showProgress)
{
}

void TerminalFrontEnd::installInterruptHandler()
{
    std::signal(SIGINT, onInterrupt);
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
    if (run.percent == run.lastDrawnPercent)
        return false;
    if (run.percent > 100)
        run.percent = 100;
    if (showProgress_)
        drawBar(run.percent);
    run.lastDrawnPercent = run.percent;
    return false;
}

void TerminalFrontEnd::destroyProgress(ConversionRun&)
{
    clearBar();
}

void TerminalFrontEnd::warnMessageTooLarge()
{
    clearBar();
    std::fputs("Warnung: Eine Nachricht ist zu gross und wird ignoriert.\n", messages_);
}

void TerminalFrontEnd::reportProblem(RunProblem problem, const ConversionRun& run)
{
    clearBar();
    std::fprintf(messages_, "kistwerk-cli: %s\n", problemText(problem, run).c_str());
}

std::string TerminalFrontEnd::problemText(RunProblem problem, const ConversionRun& run)
{
    const std::string in = "\xE2\x80\x9E" + run.inputPath + "\xE2\x80\x9C";
    const std::string out = "\xE2\x80\x9E" + run.outputName + "\xE2\x80\x9C";
    switch (problem) {
    case RunProblem::InputUnreadable:
        return "Die PFC-Datei " + in + " kann nicht gelesen werden.";
    case RunProblem::OutputUnwritable:
        return "Die Postfachdatei " + out + " kann nicht angelegt werden.";
    case RunProblem::OutputIsInput:
        return "Die Postfachdatei " + out + " w\xC3\xA4re die PFC-Datei selbst; nichts wurde geschrieben.";
    case RunProblem::OutputIncomplete:
        return "Die Postfachdatei " + out +
               " konnte nicht vollst\xC3\xA4ndig geschrieben werden (Datentr\xC3\xA4ger voll?); sie ist unvollst\xC3\xA4ndig.";
    case RunProblem::Cancelled:
        return "Abgebrochen. Die Postfachdatei " + out + " enth\xC3\xA4lt nur die bis dahin fertigen Eintr\xC3\xA4ge.";
    case RunProblem::ItemsPassedOver:
        return std::to_string(run.itemsOverLimit) + " Eintr\xC3\xA4ge der PFC-Datei " + in +
               " wurden ausgelassen: sie verweist immer wieder auf dieselben Daten (besch\xC3\xA4" "digt?).";
    }
    return "Unbekannter Fehler.";
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
