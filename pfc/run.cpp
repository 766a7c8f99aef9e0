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
    ok = false;
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
    if (!input.open(inputPath)) {
        report(run, frontEnd, RunProblem::InputUnreadable, ok);
        frontEnd.setBusyCursor(false);
        return ok;
    }
    bool toStandardOutput = run.outputName == "-";
    if (!toStandardOutput && samePath(inputPath, run.outputName)) {
        input.close();
        report(run, frontEnd, RunProblem::OutputIsInput, ok);
        frontEnd.setBusyCursor(false);
        return ok;
    }
    FileOutput output;
    bool opened = toStandardOutput ? output.openStandardOutput() : output.open(run.outputName);
    if (!opened) {
        input.close();
        report(run, frontEnd, RunProblem::OutputUnwritable, ok);
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
        report(run, frontEnd, RunProblem::OutputIncomplete, ok);
    if (run.cancelled)
        report(run, frontEnd, RunProblem::Cancelled, ok);
    if (run.itemsOverLimit > 0)
        report(run, frontEnd, RunProblem::ItemsPassedOver, ok);
    frontEnd.setBusyCursor(false);
    return ok;
}

} // namespace kistwerk
