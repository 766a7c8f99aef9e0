// Handing the walk's leaves to the worker lanes and taking their items back in
// order. The records that lie in one stretch of the file go to the same lane,
// so that each worker reads its own stretches once; each new stretch goes to
// the lane with the least work waiting.
#include "pfc/lanes.h"

#include <algorithm>
#include <limits>
#include <new>
#include <system_error>
#include <thread>

#include "io/input.h"
#include "pfc/lane.h"
#include "pfc/leaf.h"
#include "pfc/memory_plan.h"

namespace kistwerk {

namespace {

constexpr int kMaxThreads = 4;
// Below this size a file converts in a few milliseconds; starting threads and
// their rings would cost more than they save.
constexpr std::int64_t kSmallFile = std::int64_t{2} << 20;
constexpr std::int64_t kLaneSpan = std::int64_t{1} << 19;  // stretch of the file whose records one lane converts

// Whether the run's limits are spent: an item's turn comes after them.
bool limitsSpent(const RunCounts& counts)
{
    return counts.recordBytesLeft <= 0 || counts.outputBytesLeft <= 0;
}

void countPassedOver(RunCounts& counts)
{
    ++counts.itemsOverLimit;
    ++counts.itemsSkipped;
}

void countTaken(RunCounts& counts, bool passedOver, const Mark& end)
{
    if (passedOver || end.end == ItemEnd::OverLimit) {
        countPassedOver(counts);
        return;
    }
    counts.recordBytesLeft -= end.recordBytes;
    counts.outputBytesLeft -= end.givenBytes;
    if (end.end == ItemEnd::NoEntry)
        ++counts.itemsSkipped;
    else
        ++counts.entriesWritten;
    if (end.end == ItemEnd::CutEntry)
        ++counts.itemsCut;
}

} // namespace

int conversionThreads(const ConversionRun& run)
{
    int threads = run.threads;
    if (threads <= 0 && run.input != nullptr && run.input->size() < kSmallFile)
        return 1;
    if (threads <= 0) {
        const unsigned hardware = std::thread::hardware_concurrency();
        threads = hardware == 0 ? 1 : static_cast<int>(std::min<unsigned>(hardware, kMaxThreads));
    }
    return std::min(threads, kMaxThreads);
}

Lanes::Lanes(ConversionRun& run) : run_(run) {}

Lanes::~Lanes()
{
    stop();
}

bool Lanes::start(int workers)
{
    stop();
    lanes_.clear();
    takeMessageScratch(run_.scratch);
    pending_.assign(workers > 0 ? MemoryPlan::kLeavesAhead : 1, Pending{});
    firstPending_ = 0;
    pendingCount_ = 0;
    // The workers hand over their items with the line ends joined already.
    run_.output->setLfLineEnds(run_.style.lfLineEnds && workers == 0);
    if (workers == 0)
        return true;
    // Readers, rings and thread stacks are what a tight memory limit denies
    // first; the run then converts on the calling thread, with the same output.
    try {
        for (int i = 0; i < workers; ++i) {
            std::unique_ptr<InputSource> reader = run_.input->openReader();
            if (!reader)
                throw std::bad_alloc();
            lanes_.push_back(std::make_unique<Lane>(run_, std::move(reader), MemoryPlan::ringSize(workers)));
        }
        for (auto& lane : lanes_)
            startWorker(*lane);
        // Lets the workers read each record in one read of about its size, where
        // the records lie apart; without the map they read as the stream goes.
        try {
            entryStarts_.build(run_.container, *run_.input);
        } catch (const std::bad_alloc&) {
            entryStarts_ = EntryStarts();
        }
    } catch (const std::exception&) {
        stop();
        lanes_.clear();
        pending_.assign(1, Pending{});
        run_.output->setLfLineEnds(run_.style.lfLineEnds);
        return false;
    }
    return true;
}

void Lanes::stop()
{
    for (auto& lane : lanes_)
        stopWorker(*lane);
    pendingCount_ = 0;
}

// The lane with the fewest items still to convert, for a new stretch: a lane
// that fell behind on heavier records gets the next one later.
std::size_t Lanes::laneFor(std::int32_t recordAt)
{
    const std::int64_t span = std::max(recordAt, 0) / kLaneSpan;
    if (span == span_)
        return spanLane_;
    span_ = span;
    std::uint64_t fewest = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t i = 0; i < lanes_.size(); ++i) {
        const std::uint64_t waiting = itemsWaiting(*lanes_[i]);
        if (waiting < fewest) {
            fewest = waiting;
            spanLane_ = i;
        }
    }
    return spanLane_;
}

void Lanes::post(const WalkedLeaf& leaf)
{
    Pending p;
    p.dataIndex = leaf.dataIndex;
    if (!leaf.converted) {
        p.route = Pending::Route::NoItem;
    } else if (limitsSpent(run_)) {
        p.route = Pending::Route::PassedOver;
    } else if (lanes_.empty() || run_.convertItem) {
        p.route = Pending::Route::Here;
    } else {
        // The walk reads the table entry, so the worker reads only the record.
        // A record the table does not lead to fails at once, wherever it goes.
        const std::int32_t recordAt = recordOffset(run_.container, leaf.dataIndex);
        const std::size_t lane = laneFor(recordAt);
        const auto extent = static_cast<std::uint32_t>(entryStarts_.extentFrom(recordAt, FileInput::kReaderWindowSize));
        postJob(*lanes_[lane], Job{recordAt, extent});
        p.route = Pending::Route::Lane;
        p.lane = static_cast<std::uint8_t>(lane);
    }
    pending_[(firstPending_ + pendingCount_) % pending_.size()] = p;
    ++pendingCount_;
}

bool Lanes::take(std::chrono::milliseconds patience)
{
    const Pending& p = pending_[firstPending_];
    switch (p.route) {
    case Pending::Route::NoItem:
        break;
    case Pending::Route::PassedOver:
        countPassedOver(run_);
        break;
    case Pending::Route::Here:
        convertHere(p.dataIndex);
        break;
    case Pending::Route::Lane:
        if (!takeFromLane(*lanes_[p.lane], patience))
            return false;
        break;
    }
    firstPending_ = (firstPending_ + 1) % pending_.size();
    --pendingCount_;
    return true;
}

void Lanes::convertHere(std::int32_t dataIndex)
{
    if (run_.convertItem)
        run_.convertItem(run_, dataIndex);
    else
        convertStoredItem(run_, run_.style, run_, dataIndex);
}

// Writes the lane's next item to the mailbox file as its bytes come, or, when
// the run's limits were spent before its turn, drops it unwritten: the limits
// count the items in walk order, as on one thread.
bool Lanes::takeFromLane(Lane& lane, std::chrono::milliseconds patience)
{
    const bool passedOver = limitsSpent(run_);
    Mark end;
    Output* output = passedOver ? nullptr : run_.output;
    if (!takeItem(lane, output, std::chrono::milliseconds(0), end)) {
        // Before the calling thread waits, every idle worker goes on with the
        // jobs it has, however few.
        for (auto& other : lanes_)
            wakeIdleWorker(*other);
        if (!takeItem(lane, output, patience, end))
            return false;
    }
    countTaken(run_, passedOver, end);
    return true;
}

} // namespace kistwerk
