// One conversion run: open the PFC file and the mailbox file, walk the node tree
// to count its leaves, convert them, and close everything again.
#pragma once

#include <cstdint>
#include <string>

#include "pfc/conversion_run.h"
#include "pfc/frontend.h"
#include "pfc/leaf_log.h"

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

// The two passes over an already opened input and output: reads the container
// head, shows the progress, counts and converts. Used by runConversion and tests.
void convertContainer(ConversionRun& run, InputSource& input, Output& output, FrontEnd& frontEnd);

// The counting walk: adds the leaves with a valid data index below and along the
// chain that starts at node index k to run.totalItems, and keeps them in `log`.
void countChain(ConversionRun& run, std::int32_t k, LeafLog& log);

// The conversion pass over the same leaves in the same order: replayed from
// `log` as far as it kept them, walked again from node index k for the rest.
// Returns false when the front end asked to stop. Converts on as many threads
// as the run chooses.
bool convertChain(ConversionRun& run, std::int32_t k, const LeafLog& log);

// Both passes from node index 1. Where workers convert, the counting walk runs
// on a thread of its own and the conversion begins beside it; the progress
// steps, the warnings and the mailbox file are those of the two passes one
// after the other. False when the front end asked to stop.
bool countAndConvert(ConversionRun& run, LeafLog& log);

} // namespace kistwerk
