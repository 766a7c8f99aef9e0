// The front end that shows nothing.
#include "pfc/frontend.h"

#include "pfc/conversion_run.h"

namespace kistwerk {

bool SilentFrontEnd::progressStep(ConversionRun& run)
{
    if (needsPicture(run.percent, run.lastDrawnPercent))
        run.lastDrawnPercent = run.percent;
    return false;
}

} // namespace kistwerk
