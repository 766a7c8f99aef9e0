// The conversion run and its two walks over the node tree.
#include "pfc/run.h"

#include "pfc/leaf.h"
#include "pfc/naming.h"
#include "pfc/parallel.h"
#include "pfc/walk.h"

namespace kistwerk {

namespace {

// Records that lie apart and are each reached once read less than the whole
// file; twice the file leaves room for the odd record that two leaves share.
std::int64_t recordReadLimit(std::int64_t fileSize)
{
    return 2 * fileSize + 65536;
}

void report(ConversionRun& run, FrontEnd& frontEnd, RunProblem problem, bool& ok)
{
    frontEnd.reportProblem(problem, run);
    if (isFailure(problem))
        ok = false;
}

// Opens the PFC file and makes sure it begins as one, before anything happens
// to the mailbox file: a wrong file chosen must not replace a mailbox file with
// an empty one. False with the problem when the run cannot go on.
bool openInput(ConversionRun& run, FileInput& input, RunProblem& problem)
{
    if (!input.open(run.inputPath)) {
        run.fileError = input.error();
        problem = RunProblem::InputUnreadable;
        return false;
    }
    if (input.size() == 0 || !hasContainerStart(input)) {
        problem = input.size() == 0 ? RunProblem::InputEmpty : RunProblem::NotPfcFile;
        input.close();
        return false;
    }
    return true;
}

// Creates the mailbox file (or takes standard output) unless it would be the
// PFC file itself.
bool openOutput(ConversionRun& run, FileOutput& output, RunProblem& problem)
{
    bool toStandardOutput = run.outputName == "-";
    if (!toStandardOutput && samePath(run.inputPath, run.outputName)) {
        problem = RunProblem::OutputIsInput;
        return false;
    }
    if (!(toStandardOutput ? output.openStandardOutput() : output.open(run.outputName))) {
        run.fileError = output.error();
        problem = RunProblem::OutputUnwritable;
        return false;
    }
    return true;
}

// What a run that went through must still tell: a failure at its end, or what
// became of the file's items when not all of them became entries. An
// incomplete mailbox file holds less than the counts say; its report is enough.
void reportEnd(ConversionRun& run, FrontEnd& frontEnd, bool written, bool& ok)
{
    if (!written)
        report(run, frontEnd, RunProblem::OutputIncomplete, ok);
    if (run.cancelled)
        report(run, frontEnd, RunProblem::Cancelled, ok);
    if (run.itemsOverLimit > 0)
        report(run, frontEnd, RunProblem::ItemsPassedOver, ok);
    if (written && run.itemsSkipped > run.itemsOverLimit)
        report(run, frontEnd, RunProblem::ItemsSkipped, ok);
    if (written && !run.cancelled && run.entriesWritten == 0 && run.itemsSkipped == 0)
        report(run, frontEnd, RunProblem::NoMessages, ok);
}

} // namespace

void countChain(ConversionRun& run, std::int32_t k)
{
    NodeWalk walk(run.container);
    walk.run(k, [&run](const PfcNode&) {
        ++run.totalItems;
        return true;
    });
}

bool convertChainInline(ConversionRun& run, std::int32_t k)
{
    NodeWalk walk(run.container);
    return walk.run(k, [&run](const PfcNode& node) {
        ++run.doneItems;
        if (isConvertedItemType(node.itemType)) {
            if (run.convertItem)
                run.convertItem(run, node.dataIndex);
            else
                convertStoredItem(run, run.style, run, node.dataIndex);
        }
        return !stepProgress(run);
    });
}

bool convertChain(ConversionRun& run, std::int32_t k)
{
    int threads = run.convertItem ? 1 : conversionThreads(run);
    if (threads < 2)
        return convertChainInline(run, k);
    ItemPipeline pipeline;
    // Without its threads or readers the run converts on this thread alone.
    if (!startPipeline(pipeline, run, threads))
        return convertChainInline(run, k);
    NodeWalk walk(run.container);
    bool walked = walk.run(k, [&pipeline](const PfcNode& node) { return pipelineLeaf(pipeline, node); });
    return finishPipeline(pipeline, walked);
}

void convertContainer(ConversionRun& run, InputSource& input, Output& output, FrontEnd& frontEnd)
{
    run.input = &input;
    run.output = &output;
    output.setLfLineEnds(run.style.lfLineEnds);
    run.frontEnd = &frontEnd;
    resetCounts(run);
    run.recordBytesLeft = recordReadLimit(input.size());
    // A head that cannot be read leaves entryCount 0: nothing is valid and the
    // mailbox file stays empty.
    openContainer(run.container, input);

    frontEnd.createProgress(run);
    run.lastDrawnPercent = 0;
    countChain(run, 1);
    convertChain(run, 1);
    frontEnd.destroyProgress(run);
}

bool runConversion(ConversionRun& run, const std::string& inputPath, FrontEnd& frontEnd,
                   const std::string& outputPath)
{
    bool ok = true;
    run.inputPath = inputPath;
    run.outputName = outputPath.empty() ? mailboxName(inputPath) : outputPath;
    run.frontEnd = &frontEnd;
    resetCounts(run);
    run.outputOpened = false;
    frontEnd.setBusyCursor(true);

    FileInput input;
    FileOutput output;
    RunProblem problem = RunProblem::InputUnreadable;
    if (!openInput(run, input, problem) || !openOutput(run, output, problem)) {
        input.close();
        report(run, frontEnd, problem, ok);
        frontEnd.setBusyCursor(false);
        return ok;
    }

    run.outputOpened = true;
    convertContainer(run, input, output, frontEnd);

    input.close();
    bool written = output.close();
    run.input = nullptr;
    run.output = nullptr;
    if (!written)
        run.fileError = output.error();
    reportEnd(run, frontEnd, written, ok);
    frontEnd.setBusyCursor(false);
    return ok;
}

} // namespace kistwerk
