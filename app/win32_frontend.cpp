// Win32 front end of a conversion run.
#include "app/win32_frontend.h"

#include "app/app_state.h"
#include "app/progress.h"
#include "app/resource.h"
#include "app/wide_text.h"
#include "ui/texts.h"

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

bool Win32FrontEnd::stopAsked()
{
    return takeEscape();
}

void Win32FrontEnd::reportProblem(RunProblem problem, const ConversionRun& run)
{
    const std::string text = texts::problem(problem, texts::problemFacts(run), texts::Shown::Desktop);
    if (isFailure(problem))
        showFailure(text);
    else
        showNotice(text);
}

} // namespace kistwerk
