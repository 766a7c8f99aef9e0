// Before the first conversion starts: where every input's mailbox file goes,
// and which inputs must wait for another day because their mailbox file would
// be another of the inputs or the mailbox file of an earlier input.
#pragma once

#include <string>
#include <vector>

#include "cli/options.h"
#include "io/files.h"

namespace kistwerk {

struct PlannedRun {
    std::string input;
    std::string output;   // as the run is given it; "-" is standard output
    std::string refusal;  // why the input is not converted (German); empty when it is
};

std::vector<PlannedRun> planRuns(const CliOptions& options);

// A mailbox file an earlier run of the plan has made, as the file it is.
struct MadeOutput {
    std::string input;
    FileIdentity file;
};

// Just before a run: a mailbox file that did not exist when the plan was made
// may exist now, and the run's output may turn out to lead to it (an 8.3 name,
// a link, another letter case). Why the run must not replace it (German), or
// empty when it may go ahead.
std::string refusalOnceMade(const PlannedRun& run, const std::vector<MadeOutput>& made);

} // namespace kistwerk
