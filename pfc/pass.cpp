// The conversion pass: the counting walk over the node tree and the conversion
// of the leaves it found.
#include "pfc/pass.h"

#include <new>

#include "pfc/count_ahead.h"
#include "pfc/leaf.h"
#include "pfc/parallel.h"
#include "pfc/walk.h"

namespace kistwerk {

namespace {

// Records that lie apart and are each reached once read less than the whole
// file; twice the file leaves room for the odd record that two leaves share,
// and the floor for any file whose leaves together read little, however often
// they share records.
std::int64_t recordReadLimit(std::int64_t fileSize, std::int64_t floor)
{
    return 2 * fileSize + floor;
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
}

namespace {

// Calls onLeaf for every leaf of the conversion pass after `cursor`: those the
// log kept, then, when it could not keep them all, those of a second walk past
// the leaves already passed. False when onLeaf stopped it.
template <class OnLeaf>
bool passLeaves(ConversionRun& run, std::int32_t k, const LeafLog& log, LeafLog::Cursor& cursor, OnLeaf onLeaf)
{
    WalkedLeaf leaf;
    while (log.next(cursor, leaf)) {
        if (!onLeaf(leaf))
            return false;
    }
    if (log.complete())
        return true;
    std::uint32_t passed = cursor.leaves;
    NodeWalk walk(run.container);
    return walk.run(k, [&onLeaf, &passed](const PfcNode& node) {
        if (passed > 0) {
            --passed;
            return true;
        }
        return onLeaf(WalkedLeaf{node.dataIndex, isConvertedItemType(node.itemType)});
    });
}

// The conversion pass with every item converted on the calling thread.
bool convertLeavesInline(ConversionRun& run, std::int32_t k, const LeafLog& log)
{
    LeafLog::Cursor cursor;
    return passLeaves(run, k, log, cursor, [&run](const WalkedLeaf& leaf) {
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

bool convertThroughPipeline(ConversionRun& run, ItemPipeline& pipeline, std::int32_t k, const LeafLog& log,
                            LeafLog::Cursor& cursor)
{
    bool walked =
        passLeaves(run, k, log, cursor, [&pipeline](const WalkedLeaf& leaf) { return pipelineLeaf(pipeline, leaf); });
    return finishPipeline(pipeline, walked);
}

// The workers convert the leaves the counting walk has found so far while it
// goes on; their progress steps wait for its total. Leaves pass until the walk
// ends or the kept steps fill their room; then the steps are shown, and the
// pass goes on as after a count. False when the walk failed (its reader, its
// memory): nothing it passed is left then, and the run must count first.
// `going` is false when the front end asked to stop.
bool convertWhileCounting(ConversionRun& run, ItemPipeline& pipeline, CountAhead& ahead, const LeafLog& log,
                          bool& going)
{
    LeafLog::Cursor cursor;
    WalkedLeaf leaf;
    std::uint32_t total = 0;
    try {
        while (!ahead.ended() && !stepsWaiting(pipeline) && ahead.nextLeaf(cursor, leaf))
            pipelineLeaf(pipeline, leaf);
    } catch (const std::bad_alloc&) {
        // The run ends here for want of memory, as it would after the leaves
        // passed so far had each shown its step.
        if (ahead.finish(total)) {
            run.totalItems = total;
            replaySteps(pipeline);
        } else {
            dropSteps(pipeline);
        }
        throw;
    }
    if (!ahead.finish(total)) {
        dropSteps(pipeline);
        return false;
    }
    run.totalItems = total;
    going = replaySteps(pipeline) ? convertThroughPipeline(run, pipeline, 1, log, cursor)
                                  : finishPipeline(pipeline, false);
    return true;
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
    LeafLog::Cursor cursor;
    return convertThroughPipeline(run, pipeline, k, log, cursor);
}

bool countAndConvert(ConversionRun& run, LeafLog& log)
{
    // The count runs beside the conversion only where workers convert and the
    // mailbox file can be cut back to where a stop at a late step leaves it.
    const int threads = run.convertItem ? 1 : conversionThreads(run);
    if (threads >= 2 && run.output->canCutBack()) {
        bool going = true;
        {
            ItemPipeline pipeline;
            CountAhead ahead;
            if (startPipeline(pipeline, run, threads) && deferSteps(pipeline) && ahead.start(run, log) &&
                convertWhileCounting(run, pipeline, ahead, log, going))
                return going;
        }
        // Without a walk of its own, or after one that failed, the workers'
        // memory is given back before the run begins again the other way.
        log.clear();
    }
    countChain(run, 1, log);
    return convertChain(run, 1, log);
}

void convertContainer(ConversionRun& run, InputSource& input, Output& output, FrontEnd& frontEnd)
{
    run.input = &input;
    run.output = &output;
    output.setLfLineEnds(run.style.lfLineEnds);
    run.frontEnd = &frontEnd;
    resetCounts(run);
    run.recordBytesLeft = recordReadLimit(input.size(), run.recordReadFloor);
    // A head that cannot be read leaves entryCount 0: nothing is valid and the
    // mailbox file stays empty.
    openContainer(run.container, input);

    frontEnd.createProgress(run);
    run.lastDrawnPercent = 0;
    // The walks' stacks and seen-sets, the leaf log and the item buffers are
    // taken as the run needs them. A run denied them ends here, between two
    // items, so the entries written so far are whole, and it says so.
    try {
        LeafLog log(run.leafLogLimit);
        countAndConvert(run, log);
    } catch (const std::bad_alloc&) {
        run.outOfMemory = true;
    }
    frontEnd.destroyProgress(run);
}

} // namespace kistwerk
