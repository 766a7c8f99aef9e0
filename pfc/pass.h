// The conversion pass over an opened PFC file and mailbox file: the container
// head, the progress, the counting walk and the conversion of its leaves.
#pragma once

#include <cstdint>

#include "pfc/conversion_run.h"
#include "pfc/frontend.h"
#include "pfc/leaf_log.h"

namespace kistwerk {

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
