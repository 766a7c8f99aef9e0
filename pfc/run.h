// One conversion run: open the PFC file and the mailbox file, walk the node tree
// twice (count, then convert) and close everything again.
#pragma once

#include <cstdint>
#include <string>

#include "pfc/conversion_run.h"
#include "pfc/frontend.h"

namespace kistwerk {

// Converts the PFC file at `inputPath`. Without `outputPath` the mailbox file is
// `mailboxName(inputPath)` in the current directory; "-" writes to standard output.
// Problems go to the front end; the result is true when there were none.
bool runConversion(ConversionRun& run, const std::string& inputPath, FrontEnd& frontEnd,
                   const std::string& outputPath = std::string());

// The two passes over an already opened input and output: reads the container
// head, shows the progress, counts and converts. Used by runConversion and tests.
void convertContainer(ConversionRun& run, InputSource& input, Output& output, FrontEnd& frontEnd);

// The counting walk: adds the leaves with a valid data index below and along the
// chain that starts at node index k to run.totalItems.
void countChain(ConversionRun& run, std::int32_t k);

// The conversion walk over the same nodes in the same order. Returns false when
// the front end asked to stop. Converts on as many threads as the run chooses.
bool convertChain(ConversionRun& run, std::int32_t k);

// The conversion walk with every item converted on the calling thread.
bool convertChainInline(ConversionRun& run, std::int32_t k);

} // namespace kistwerk
