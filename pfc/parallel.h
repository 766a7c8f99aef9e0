// Item conversion on worker threads. The calling thread walks the tree, hands
// each item to a worker, and writes the workers' output to the mailbox file
// strictly in item order; it alone calls the front end, in the order a run on
// one thread calls it, so the mailbox file and every progress step and warning
// are the same whatever the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pfc/container.h"
#include "pfc/conversion_run.h"
#include "pfc/frontend.h"
#include "pfc/leaf_log.h"

namespace kistwerk {

struct PipelineLane;  // one worker thread: its reader, buffers and output ring

// A leaf the walk has passed and whose progress step is still to come.
struct PipelineLeaf {
    std::uint32_t number = 0;  // run.doneItems once this leaf is passed
    int lane = -1;             // the lane converting it; -1 when not converted,
                               // -2 when the run's reading limit was already spent,
                               // -3 when the calling thread converts it
    std::int32_t dataIndex = 0;
};

struct ItemPipeline {
    ConversionRun* run = nullptr;
    std::vector<std::unique_ptr<PipelineLane>> lanes;
    std::vector<PipelineLeaf> leaves;  // ring of the leaves walked, not yet written
    std::size_t firstLeaf = 0;
    std::size_t leafCount = 0;
    std::uint32_t walked = 0;          // leaves the walk has passed
    std::int64_t span = -1;            // stretch of the file of the last item handed out
    std::size_t lane = 0;              // and the lane it went to
    EntryStarts entryStarts;           // where the table's entries begin

    // While the steps wait (see deferSteps).
    bool deferring = false;
    // Per leaf passed: in the top bits what its item did, below them the bytes
    // it added to the mailbox file; or a warning the next leaf's item gave.
    std::vector<std::uint32_t> kept;
    FrontEnd* frontEnd = nullptr;      // the run's own, while a keeper stands in
    std::unique_ptr<FrontEnd> keeper;
    RunCounts countsBefore;            // when the steps began to wait
    RunCounts countsLast;              // after the last leaf kept
    std::uint64_t outputBefore = 0;    // the mailbox file's size then
    std::uint64_t outputLast = 0;      // and after the last leaf kept

    ItemPipeline();
    ~ItemPipeline();  // stops and joins any thread still running
    ItemPipeline(const ItemPipeline&) = delete;
    ItemPipeline& operator=(const ItemPipeline&) = delete;
};

// How many threads convert: run.threads when set, otherwise the machine's
// hardware threads, or one for a file of less than 2 MiB; at most 4, since
// one thread writes all the output.
int conversionThreads(const ConversionRun& run);

// Starts `threads` worker threads, each with its own reader of run.input. False
// when any reader, thread or their memory cannot be had; nothing has been
// converted then, and nothing is left running.
bool startPipeline(ItemPipeline& pipeline, ConversionRun& run, int threads);

// The walk's next leaf with a valid data index. Writes the leaves that are
// ready and runs their progress steps; false once the user asked to stop.
bool pipelineLeaf(ItemPipeline& pipeline, const WalkedLeaf& leaf);

// While the counting walk still runs no progress step can be shown, its total
// not being known. From deferSteps on the leaves passed keep what they did (and
// their items' warnings), and replaySteps, once run.totalItems is set, runs
// those steps and warnings in order, as a run that had counted first would
// have run them; a stop at one of them cuts the mailbox file back to the end of
// that leaf's item. The output must be one that can be cut back. False, with
// nothing changed, when the memory for the kept steps cannot be had.
bool deferSteps(ItemPipeline& pipeline);
// Whether the kept steps fill the room they have: no more leaves may pass
// before replaySteps.
bool stepsWaiting(const ItemPipeline& pipeline);
// False when the user asked to stop at one of the steps.
bool replaySteps(ItemPipeline& pipeline);
// Takes back all that passed since deferSteps: the mailbox file and the counts.
void dropSteps(ItemPipeline& pipeline);

// After the walk: writes the leaves still pending unless the walk was stopped
// (`walked` false), then ends the threads. False when the run was stopped.
bool finishPipeline(ItemPipeline& pipeline, bool walked);

} // namespace kistwerk
