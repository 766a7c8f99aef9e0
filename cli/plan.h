// Before the first conversion starts: where every input's mailbox file goes,
// and which inputs must wait for another day because their mailbox file would
// be another of the inputs or the mailbox file of an earlier input.
#pragma once

#include <string>
#include <vector>

#include "cli/options.h"

namespace kistwerk {

struct PlannedRun {
    std::string input;
    std::string output;   // as the run is given it; "-" is standard output
    std::string refusal;  // why the input is not converted (German); empty when it is
};

std::vector<PlannedRun> planRuns(const CliOptions& options);

} // namespace kistwerk
