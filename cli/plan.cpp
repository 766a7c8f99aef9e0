// Planning the outputs of all inputs before any of them is written.
#include "cli/plan.h"

#include "io/files.h"
#include "pfc/naming.h"
#include "ui/texts.h"

namespace kistwerk {

namespace {

// On Windows the program expands "*" and "?" itself; a pattern left as it
// was matched no file, and the system would only call it a bad name.
bool isUnmatchedPattern(const std::string& input)
{
#ifdef _WIN32
    return input.find_first_of("*?", lastPartStart(input)) != std::string::npos;
#else
    (void)input;
    return false;
#endif
}

std::string outputOf(const CliOptions& options, const std::string& input)
{
    if (options.outputFolder)
        return outputPathIn(options.output, input);
    return options.hasOutput ? options.output : defaultOutputPath(input);
}

} // namespace

std::vector<PlannedRun> planRuns(const CliOptions& options)
{
    const std::size_t count = options.inputs.size();
    std::vector<FileIdentity> inputs;
    inputs.reserve(count);
    for (const std::string& input : options.inputs)
        inputs.push_back(identityOfPath(input));

    std::vector<PlannedRun> plan;
    std::vector<FilePlace> places;
    for (std::size_t i = 0; i < count; ++i) {
        PlannedRun run{options.inputs[i], outputOf(options, options.inputs[i]), std::string()};
        if (isUnmatchedPattern(run.input))
            run.refusal = texts::noFileMatches(run.input);
        // Standard output, and a mailbox file that is its own input, are the
        // run's to refuse: it compares the files it has open.
        const FilePlace place = run.output == "-" ? FilePlace{} : placeOf(run.output);
        for (std::size_t j = 0; j < count && run.refusal.empty() && run.output != "-"; ++j)
            if (j != i && sameFile(place.file, inputs[j]))
                run.refusal = texts::outputIsOtherInput(run.input, run.output, options.inputs[j]);
        for (std::size_t k = 0; k < i && run.refusal.empty() && run.output != "-"; ++k)
            if (plan[k].refusal.empty() && plan[k].output != "-" && samePlace(place, places[k]))
                run.refusal = texts::outputOfEarlierInput(run.input, run.output, plan[k].input);
        plan.push_back(run);
        places.push_back(place);
    }
    return plan;
}

std::string refusalOnceMade(const PlannedRun& run, const std::vector<MadeOutput>& made)
{
    if (run.output == "-")
        return std::string();
    const FileIdentity output = identityOfPath(run.output);
    for (const MadeOutput& earlier : made)
        if (sameFile(output, earlier.file))
            return texts::outputOfEarlierInput(run.input, run.output, earlier.input);
    return std::string();
}

} // namespace kistwerk
