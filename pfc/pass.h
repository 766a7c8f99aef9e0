// The conversion pass over an opened PFC file and mailbox file: the container
// head, the progress, the walk that counts the leaves and the conversion of
// their items.
#pragma once

#include "pfc/conversion_run.h"
#include "pfc/frontend.h"

namespace kistwerk {

// Reads the container head, shows the progress, counts and converts, on as
// many threads as the run chooses; the mailbox file, the counts and the front
// end's calls are those of the format's two passes one after the other. Used by
// runConversion and tests.
void convertContainer(ConversionRun& run, InputSource& input, Output& output, FrontEnd& frontEnd);

} // namespace kistwerk
