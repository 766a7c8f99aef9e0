// The conversion run: the counting walk over the node tree and the conversion
// pass over the leaves it found.
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

void countChain(ConversionRun& run, std::int32_t k, LeafLog& log)
{
    NodeWalk walk(run.container);
    walk.run(k, [&run, &log](const PfcNode& node) {
        ++run.totalItems;
        log.add(WalkedLeaf{node.dataIndex, isConvertedItemType(node.itemType)});
        return true;
    });
    log.finish();
}

namespace {

// Calls onLeaf for every leaf of the conversion pass, from the log or from a
// second walk. False when onLeaf stopped it.
template <class OnLeaf>
bool passLeaves(ConversionRun& run, std::int32_t k, const LeafLog& log, OnLeaf onLeaf)
{
    if (log.complete())
        return log.replay(onLeaf);
    NodeWalk walk(run.container);
    return walk.run(k, [&onLeaf](const PfcNode& node) {
        return onLeaf(WalkedLeaf{node.dataIndex, isConvertedItemType(node.itemType)});
    });
}

// The conversion pass with every item converted on the calling thread.
bool convertLeavesInline(ConversionRun& run, std::int32_t k, const LeafLog& log)
{
    return passLeaves(run, k, log, [&run](const WalkedLeaf& leaf) {
        ++run.doneItems;
        if (leaf.converted) {
            if (run.convertItem)
                run.convertItem(run, leaf.dataIndex);
            else
                convertStoredItem(run, run.style, run, leaf.dataIndex);
        }
        return !stepProgress(run);
    });
}

} // namespace

bool convertChain(ConversionRun& run, std::int32_t k, const LeafLog& log)
{
    int threads = run.convertItem ? 1 : conversionThreads(run);
    if (threads < 2)
        return convertLeavesInline(run, k, log);
    ItemPipeline pipeline;
    // Without its threads or readers the run converts on this thread alone.
    if (!startPipeline(pipeline, run, threads))
        return convertLeavesInline(run, k, log);
    bool walked = passLeaves(run, k, log, [&pipeline](const WalkedLeaf& leaf) { return pipelineLeaf(pipeline, leaf); });
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
    LeafLog log(run.leafLogLimit);
    countChain(run, 1, log);
    convertChain(run, 1, log);
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
