// The conversion pass: one walk over the node tree that counts the leaves and,
// where workers convert and the mailbox file can be cut back, hands them on at
// once; then the leaves it could not hand on yet, kept in a log or found by a
// second walk.
//
// The progress of a leaf needs the total, which only the end of the counting
// walk gives. Until then the steps of the leaves converted are kept and shown
// afterwards (see Steps); once no more fit, the walk goes on counting alone and
// logs the leaves it passes. With no workers, or a mailbox file that cannot be
// cut back, the walk only counts: every step is then shown as it comes, as the
// format's two passes do.
#include "pfc/pass.h"

#include <chrono>
#include <new>

#include "pfc/lanes.h"
#include "pfc/leaf.h"
#include "pfc/steps.h"
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

// A mailbox file is about as large as the text its PFC file holds; a body
// compressed in the file writes a few times its size. Sixty-four times the
// file, and the floor for a small one, leave any archive room.
std::int64_t outputLimit(std::int64_t fileSize, std::int64_t floor)
{
    return 64 * fileSize + floor;
}

struct Pass {
    ConversionRun& run;
    Lanes& lanes;
    Steps& steps;
    LeafLog& log;
    std::uint32_t posted = 0;  // leaves the counting walk handed on itself
    std::chrono::steady_clock::time_point lastLook = std::chrono::steady_clock::now();
};

// Asks the front end, now and then, whether the user wants to stop.
bool stopAsked(Pass& pass)
{
    const auto now = std::chrono::steady_clock::now();
    if (now - pass.lastLook < pass.run.lookEvery)
        return false;
    pass.lastLook = now;
    if (pass.run.frontEnd == nullptr || !pass.run.frontEnd->stopAsked())
        return false;
    pass.run.cancelled = true;
    return true;
}

// Writes the oldest leaf's item and runs or keeps its step. False when the
// user asked to stop.
bool takeOldest(Pass& pass)
{
    while (!pass.lanes.take(pass.run.lookEvery)) {
        if (stopAsked(pass))
            return false;
    }
    ++pass.run.doneItems;
    return !pass.steps.pass(pass.run) && !stopAsked(pass);
}

bool passLeaf(Pass& pass, const WalkedLeaf& leaf)
{
    while (pass.lanes.full()) {
        if (!takeOldest(pass))
            return false;
    }
    pass.lanes.post(leaf);
    return true;
}

bool drain(Pass& pass)
{
    while (!pass.lanes.empty()) {
        if (!takeOldest(pass))
            return false;
    }
    return true;
}

WalkedLeaf walkedLeaf(const PfcNode& node)
{
    return WalkedLeaf{node.dataIndex, isConvertedItemType(node.itemType)};
}

// The walk that counts. Its leaves go on to the lanes while their steps fit
// among those kept, the rest into the log. False when the user asked to stop.
bool countingWalk(Pass& pass)
{
    bool handing = pass.steps.keeping();
    NodeWalk walk(pass.run.container);
    const bool walked = walk.run(1, [&pass, &handing](const PfcNode& node) {
        ++pass.run.totalItems;
        handing = handing && pass.steps.roomFor(pass.posted + 1);
        if (!handing) {
            pass.log.add(walkedLeaf(node));
            return !stopAsked(pass);
        }
        ++pass.posted;
        return passLeaf(pass, walkedLeaf(node)) && !stopAsked(pass);
    });
    pass.run.treePartsLost = walk.partsLost();
    return walked;
}

// The leaves neither handed on nor logged: a second walk past those passed.
bool walkAgain(Pass& pass)
{
    std::uint32_t passed = pass.posted + pass.log.size();
    NodeWalk walk(pass.run.container);
    return walk.run(1, [&pass, &passed](const PfcNode& node) {
        if (passed > 0) {
            --passed;
            return true;
        }
        return passLeaf(pass, walkedLeaf(node));
    });
}

// The leaves after the counting walk, every step shown as it comes.
void convertTheRest(Pass& pass)
{
    if (!drain(pass) || !pass.log.replay([&pass](const WalkedLeaf& leaf) { return passLeaf(pass, leaf); }))
        return;
    if (!pass.log.complete()) {
        // Memory that a second walk cannot have ends the run at that leaf,
        // with the leaves before it written whole; the walk may have run out
        // ahead of the steps, and a stop before that leaf is all the run says.
        try {
            if (!walkAgain(pass))
                return;
        } catch (const std::bad_alloc&) {
            if (drain(pass))
                pass.run.outOfMemory = true;
            return;
        }
    }
    drain(pass);
}

void convertLeaves(ConversionRun& run, LeafLog& log)
{
    // The reading ahead goes first, so that the workers' readers follow it;
    // it ends first too, so that no worker waits for it while the lanes end.
    run.input->startReadingAhead();
    Lanes lanes(run);
    struct EndReading {
        InputSource& input;
        ~EndReading() { input.stopReadingAhead(); }
    } endReading{*run.input};
    const int threads = run.convertItem ? 1 : conversionThreads(run);
    if (threads < 2 || !lanes.start(threads))
        lanes.start(0);
    Steps steps;
    if (lanes.workers() > 0 && run.output->canCutBack())
        steps.keep(run);
    Pass pass{run, lanes, steps, log};

    bool counted = false;
    try {
        counted = countingWalk(pass);
    } catch (const std::bad_alloc&) {
        // As when the walk that counts comes first: nothing is converted.
        run.outOfMemory = true;
    }
    if (!counted) {
        endReading.input.stopReadingAhead();
        lanes.stop();
        steps.drop(run);
        return;
    }
    if (!steps.show(run))
        convertTheRest(pass);
    endReading.input.stopReadingAhead();
}

} // namespace

void convertContainer(ConversionRun& run, InputSource& input, Output& output, FrontEnd& frontEnd)
{
    run.input = &input;
    run.output = &output;
    output.setLfLineEnds(run.style.lfLineEnds);
    run.frontEnd = &frontEnd;
    resetCounts(run);
    run.recordBytesLeft = recordReadLimit(input.size(), run.recordReadFloor);
    run.outputBytesLeft = outputLimit(input.size(), run.outputFloor);
    // A head that cannot be read leaves entryCount 0: nothing is valid and the
    // mailbox file stays empty.
    openContainer(run.container, input);

    frontEnd.createProgress(run);
    run.lastDrawnPercent = 0;
    // A run denied the memory of its walks, its log or its item buffers ends
    // between two items, so the entries written so far are whole, and says so.
    try {
        LeafLog log(run.leafLogLimit);
        convertLeaves(run, log);
    } catch (const std::bad_alloc&) {
        run.outOfMemory = true;
    }
    frontEnd.destroyProgress(run);
}

} // namespace kistwerk
