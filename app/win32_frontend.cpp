// Win32 front end of a conversion run.
#include "app/win32_frontend.h"

#include "app/app_state.h"
#include "app/progress.h"
#include "app/resource.h"

namespace kistwerk {

void Win32FrontEnd::setBusyCursor(bool busy)
{
    SetCursor(LoadCursorA(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

void Win32FrontEnd::createProgress(ConversionRun& run)
{
    progressDialog_ = CreateDialogParamA(instance_, KISTWERK_PROGRESS_DIALOG, owner_, progressDialogProc, 0);
    run.lastDrawnPercent = 0;
}

bool Win32FrontEnd::progressStep(ConversionRun& run)
{
    return kistwerk::progressStep(run, progressDialog_);
}

void Win32FrontEnd::destroyProgress(ConversionRun&)
{
    if (progressDialog_ != nullptr)
        DestroyWindow(progressDialog_);
    progressDialog_ = nullptr;
}

void Win32FrontEnd::warnMessageTooLarge()
{
    MessageBoxA(owner_, "Eine Nachricht ist zu gross und wird ignoriert.", "Warnung", MB_OK | MB_ICONWARNING);
}

void Win32FrontEnd::reportProblem(RunProblem problem, const ConversionRun& run)
{
    showFailure(problemMessage(problem, run).c_str());
}

// Texts in code page 1252: \x84 and \x93 are the German quotation marks.
std::string problemMessage(RunProblem problem, const ConversionRun& run)
{
    const std::string in = "\x84" + run.inputPath + "\x93";
    const std::string out = "\x84" + run.outputName + "\x93";
    switch (problem) {
    case RunProblem::InputUnreadable:
        return "Die PFC-Datei " + in + " kann nicht gelesen werden. Vielleicht ist sie noch in einem anderen Programm ge\xF6" "ffnet.";
    case RunProblem::OutputUnwritable:
        return "Die Postfachdatei " + out + " kann im Ordner der PFC-Datei nicht angelegt werden. "
               "Kopieren Sie die PFC-Datei in einen beschreibbaren Ordner und versuchen Sie es dort noch einmal.";
    case RunProblem::OutputIsInput:
        return "Die Postfachdatei " + out + " w\xE4re die PFC-Datei selbst. Es wurde nichts geschrieben; "
               "benennen Sie die PFC-Datei um (Endung .pfc).";
    case RunProblem::OutputIncomplete:
        return "Die Postfachdatei " + out + " konnte nicht vollst\xE4ndig geschrieben werden "
               "(Datentr\xE4ger voll?). Sie ist unvollst\xE4ndig.";
    case RunProblem::Cancelled:
        return "Die Umwandlung wurde abgebrochen. Die Postfachdatei " + out +
               " enth\xE4lt nur die bis dahin fertigen Eintr\xE4ge.";
    case RunProblem::ItemsPassedOver:
        return std::to_string(run.itemsOverLimit) + " Eintr\xE4ge der PFC-Datei " + in +
               " wurden ausgelassen: Die Datei verweist immer wieder auf dieselben Daten und ist "
               "vermutlich besch\xE4" "digt. Alle anderen Eintr\xE4ge stehen in der Postfachdatei " + out + ".";
    }
    return "Unbekannter Fehler.";
}

} // namespace kistwerk
