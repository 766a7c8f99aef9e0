// One conversion run: open the PFC file and the mailbox file, walk the node tree
// to count its leaves, convert them, and close everything again.
#pragma once

#include <cstdint>
#include <string>

#include "pfc/conversion_run.h"
#include "pfc/frontend.h"
#include "pfc/pass.h"

namespace kistwerk {

// Converts the PFC file at `inputPath` (UTF-8, as all paths of the core). Without
// `outputPath` the mailbox file is `mailboxName(inputPath)` in the current
// directory; "-" writes to standard output. A file that does not begin as a PFC
// file is refused before the mailbox file is touched; an output that is the
// input file, by whatever name or through standard output, is refused before a
// byte of it changes. Problems go to the front end; the result is false when
// one of them is a failure (isFailure), true when the file was converted, even
// with damaged items skipped (run.itemsSkipped) or no message in it.
bool runConversion(ConversionRun& run, const std::string& inputPath, FrontEnd& frontEnd,
                   const std::string& outputPath = std::string());

} // namespace kistwerk
