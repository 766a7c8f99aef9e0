// Worker threads and the ordered hand-over of their output.
//
// Each lane is one worker thread with a queue of records and an output ring:
// the bytes of its items, and marks that say where each item ends. A worker
// waits when its ring is full, so memory stays bounded however large an item
// is; the calling thread empties the rings in item order. The records that lie
// in one stretch of the file go to the same lane, so that each worker reads its
// own stretches once; each new stretch goes to the lane with the least work
// waiting. Either side wakes the other only when there is a batch of work for
// it, not for every item.
#include "pfc/lanes.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "io/input.h"
#include "io/output.h"
#include "pfc/leaf.h"
#include "pfc/memory_plan.h"

namespace kistwerk {

namespace {

constexpr int kMaxThreads = 4;
// Below this size a file converts in a few milliseconds; starting threads and
// their rings would cost more than they save.
constexpr std::int64_t kSmallFile = std::int64_t{2} << 20;
constexpr std::size_t kMinRoom = std::size_t{1} << 14;    // less room than this is waited for
constexpr std::size_t kMarkCount = 4096;                  // item ends one lane holds
constexpr std::int64_t kLaneSpan = std::int64_t{1} << 19; // stretch of the file whose records one lane converts
constexpr std::uint64_t kWakeItems = 64;                  // items a waiting caller lets a lane finish
constexpr std::uint64_t kWakeJobs = 8;                    // jobs that wake an idle worker

enum class ItemEnd : std::uint8_t { NoEntry, Entry, CutEntry, OverLimit };

struct Mark {
    std::uint64_t position = 0;     // ring bytes written before the mark
    std::uint32_t recordBytes = 0;  // what the item read of its record
    ItemEnd end = ItemEnd::NoEntry;
};

// A record for a worker to convert.
struct Job {
    std::int32_t recordAt = -1;  // -1: the table leads to none
    std::uint32_t extent = 0;    // about how long it is; 0 when not known
};

} // namespace

// The worker's mailbox output. Its buffer is the free part of the ring behind
// the bytes already written, so the conversion writes straight into the ring
// and storing only hands the bytes over.
class LaneOutput final : public Output {
public:
    LaneOutput(Lane& lane, std::uint8_t* ring, std::size_t size) : Output(ring, size), lane_(lane) {}

protected:
    bool store(const std::uint8_t* data, std::size_t count) override;

private:
    Lane& lane_;
    std::uint8_t spare_[4096];  // takes the writes once the run has stopped
};

struct Lane {
    Lane(std::unique_ptr<InputSource> reader, std::size_t size)
        : jobs(MemoryPlan::kLeavesAhead), ring(new std::uint8_t[size]), ringSize(size), marks(kMarkCount),
          input(std::move(reader)), output(*this, ring.get(), size)
    {
    }

    std::mutex mutex;
    std::condition_variable workerWake;
    std::condition_variable callerWake;

    // Shared; the counters only grow and are read and written under the mutex.
    std::vector<Job> jobs;           // ring of records to convert, in item order
    std::uint64_t jobsPosted = 0;
    std::uint64_t jobsTaken = 0;
    std::uint64_t written = 0;       // bytes the worker has put into the ring
    std::uint64_t read = 0;          // bytes the caller has taken out
    std::uint64_t marksPushed = 0;
    std::uint64_t marksRead = 0;
    std::uint64_t callerWants = 0;   // a waiting caller wakes once marksPushed reaches this
    bool callerWaiting = false;
    bool workerWaitingJobs = false;
    bool workerWaitingRoom = false;
    bool stop = false;

    // Written by one side before it publishes a counter, read by the other after.
    std::unique_ptr<std::uint8_t[]> ring;
    std::size_t ringSize;
    std::vector<Mark> marks;

    // The calling thread's own: what it took of the item in hand.
    std::uint64_t itemBytes = 0;

    // The worker's own.
    std::unique_ptr<InputSource> input;
    ItemContext item;
    RunCounts counts;
    MailboxStyle style;
    LaneOutput output;

    std::thread thread;
};

namespace {

std::uint64_t used(const Lane& lane)
{
    return lane.written - lane.read;
}

// Under the lane's mutex: whether a waiting caller has enough to do. Whenever
// the worker waits, one of these holds, so the two never wait for each other.
bool callerMayGoOn(const Lane& lane)
{
    return lane.stop || lane.marksPushed >= lane.callerWants || used(lane) >= lane.ringSize / 2 ||
           lane.marksPushed - lane.marksRead >= kMarkCount / 2;
}

bool workerHasRoom(const Lane& lane)
{
    return lane.ringSize - used(lane) >= lane.ringSize / 4 && kMarkCount - (lane.marksPushed - lane.marksRead) >= kMarkCount / 4;
}

void wakeCaller(Lane& lane)
{
    if (lane.callerWaiting && callerMayGoOn(lane))
        lane.callerWake.notify_one();
}

// Under the lane's mutex held by `lock`: waits while less than `room` bytes
// or no mark is free. False once the run stops.
bool waitForRoom(Lane& lane, std::unique_lock<std::mutex>& lock, std::size_t room)
{
    if (lane.ringSize - used(lane) < room || lane.marksPushed - lane.marksRead == kMarkCount) {
        lane.workerWaitingRoom = true;
        lane.workerWake.wait(lock, [&lane] { return lane.stop || workerHasRoom(lane); });
        lane.workerWaitingRoom = false;
    }
    return !lane.stop;
}

// Hands over the `count` bytes the worker wrote in place, behind those already
// written, and returns the free part of the ring behind them, up to the ring's
// end, after waiting for some room; nullptr once the run stops.
std::uint8_t* publishAndClaim(Lane& lane, std::size_t count, std::size_t& room)
{
    std::unique_lock lock(lane.mutex);
    lane.written += count;
    wakeCaller(lane);
    if (!waitForRoom(lane, lock, kMinRoom))
        return nullptr;
    const auto start = static_cast<std::size_t>(lane.written % lane.ringSize);
    room = std::min(lane.ringSize - static_cast<std::size_t>(used(lane)), lane.ringSize - start);
    return lane.ring.get() + start;
}

bool pushMark(Lane& lane, ItemEnd end, std::int64_t recordBytes)
{
    std::unique_lock lock(lane.mutex);
    if (!waitForRoom(lane, lock, 0))
        return false;
    lane.marks[lane.marksPushed % kMarkCount] = Mark{lane.written, static_cast<std::uint32_t>(recordBytes), end};
    ++lane.marksPushed;
    wakeCaller(lane);
    return true;
}

// The next record for the worker; false when the run stops.
bool takeJob(Lane& lane, Job& job)
{
    std::unique_lock lock(lane.mutex);
    if (!lane.stop && lane.jobsTaken == lane.jobsPosted) {
        lane.workerWaitingJobs = true;
        lane.workerWake.wait(lock, [&lane] { return lane.stop || lane.jobsTaken < lane.jobsPosted; });
        lane.workerWaitingJobs = false;
    }
    if (lane.stop)
        return false;
    job = lane.jobs[lane.jobsTaken % lane.jobs.size()];
    ++lane.jobsTaken;
    return true;
}

// Nothing here throws: the reader, the ring and the item buffers were all
// taken before the thread started, and the conversion takes no more.
void workerMain(Lane& lane) noexcept
{
    Job job;
    while (takeJob(lane, job)) {
        if (job.extent > 0)
            lane.input->expect(job.recordAt, job.extent);
        const RunCounts before = lane.counts;
        convertStoredRecord(lane.item, lane.style, lane.counts, job.recordAt);
        ItemEnd end = lane.counts.entriesWritten != before.entriesWritten ? ItemEnd::Entry : ItemEnd::NoEntry;
        if (lane.counts.itemsCut != before.itemsCut)
            end = ItemEnd::CutEntry;
        if (lane.counts.itemsOverLimit != before.itemsOverLimit)
            end = ItemEnd::OverLimit;
        const std::int64_t bytesLeft = before.recordBytesLeft;
        // The output fails only when the run stops.
        if (!lane.output.flush() || !pushMark(lane, end, bytesLeft - lane.counts.recordBytesLeft))
            return;
    }
}

void postJob(Lane& lane, const Job& job)
{
    std::lock_guard lock(lane.mutex);
    lane.jobs[lane.jobsPosted % lane.jobs.size()] = job;
    ++lane.jobsPosted;
    if (lane.workerWaitingJobs && lane.jobsPosted - lane.jobsTaken >= kWakeJobs)
        lane.workerWake.notify_one();
}

void wakeIdleWorker(Lane& lane)
{
    std::lock_guard lock(lane.mutex);
    if (lane.workerWaitingJobs && lane.jobsTaken < lane.jobsPosted)
        lane.workerWake.notify_one();
}

void writeRing(Output& output, const Lane& lane, std::uint64_t from, std::uint64_t to)
{
    while (from < to) {
        const auto start = static_cast<std::size_t>(from % lane.ringSize);
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, lane.ringSize - start));
        output.write(lane.ring.get() + start, n);
        from += n;
    }
}

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

void countTaken(RunCounts& counts, bool passedOver, const Mark& end, std::uint64_t bytes)
{
    if (passedOver || end.end == ItemEnd::OverLimit) {
        countPassedOver(counts);
        return;
    }
    counts.recordBytesLeft -= end.recordBytes;
    counts.outputBytesLeft -= static_cast<std::int64_t>(bytes);
    if (end.end == ItemEnd::NoEntry)
        ++counts.itemsSkipped;
    else
        ++counts.entriesWritten;
    if (end.end == ItemEnd::CutEntry)
        ++counts.itemsCut;
}

} // namespace

bool LaneOutput::store(const std::uint8_t*, std::size_t count)
{
    std::size_t room = 0;
    std::uint8_t* next = publishAndClaim(lane_, count, room);
    if (next == nullptr) {
        useBuffer(spare_, sizeof spare_);
        return false;
    }
    useBuffer(next, room);
    return true;
}

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
    if (workers == 0)
        return true;
    // Readers, rings and thread stacks are what a tight memory limit denies
    // first; the run then converts on the calling thread, with the same output.
    try {
        for (int i = 0; i < workers; ++i) {
            std::unique_ptr<InputSource> reader = run_.input->openReader();
            if (!reader)
                throw std::bad_alloc();
            auto lane = std::make_unique<Lane>(std::move(reader), MemoryPlan::ringSize(workers));
            lane->item.input = lane->input.get();
            lane->item.output = &lane->output;
            lane->item.container = run_.container;
            lane->item.container.input = lane->input.get();
            takeMessageScratch(lane->item.scratch);
            lane->style = run_.style;
            // Each worker also stops at the run's whole limits on its own
            // items: those read and write no more than all items before them,
            // so an item a worker passes over is one the limits leave out
            // anyway, and a hostile file cannot keep the workers busy past them.
            lane->counts.recordBytesLeft = run_.recordBytesLeft;
            lane->counts.outputBytesLeft = run_.outputBytesLeft;
            lanes_.push_back(std::move(lane));
        }
        for (auto& lane : lanes_)
            lane->thread = std::thread(workerMain, std::ref(*lane));
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
        return false;
    }
    return true;
}

void Lanes::stop()
{
    for (auto& lane : lanes_) {
        {
            std::lock_guard lock(lane->mutex);
            lane->stop = true;
        }
        lane->workerWake.notify_all();
    }
    for (auto& lane : lanes_) {
        if (lane->thread.joinable())
            lane->thread.join();
    }
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
        Lane& lane = *lanes_[i];
        std::lock_guard lock(lane.mutex);
        const std::uint64_t waiting = lane.jobsPosted - lane.marksPushed;
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
// count the items in walk order, as on one thread. False when the item has not
// ended after `patience`; what came of it so far is taken all the same.
bool Lanes::takeFromLane(Lane& lane, std::chrono::milliseconds patience)
{
    const bool passedOver = limitsSpent(run_);
    for (;;) {
        std::uint64_t written = 0;
        bool ended = false;
        Mark end;
        {
            std::unique_lock lock(lane.mutex);
            if (lane.marksPushed == lane.marksRead && lane.written == lane.read) {
                lock.unlock();
                for (auto& other : lanes_)
                    wakeIdleWorker(*other);
                lock.lock();
                lane.callerWants = lane.marksRead + std::min<std::uint64_t>(kWakeItems, lane.jobsPosted - lane.marksRead);
                lane.callerWaiting = true;
                lane.callerWake.wait_for(lock, patience, [&lane] { return callerMayGoOn(lane); });
                lane.callerWaiting = false;
            }
            written = lane.written;
            ended = lane.marksPushed > lane.marksRead;
            if (ended)
                end = lane.marks[lane.marksRead % kMarkCount];
        }
        const std::uint64_t upTo = ended ? end.position : written;
        if (upTo == lane.read && !ended)
            return false;
        if (!passedOver)
            writeRing(*run_.output, lane, lane.read, upTo);
        lane.itemBytes += upTo - lane.read;
        {
            std::lock_guard lock(lane.mutex);
            lane.read = upTo;
            if (ended)
                ++lane.marksRead;
            if (lane.workerWaitingRoom && workerHasRoom(lane))
                lane.workerWake.notify_one();
        }
        if (ended) {
            countTaken(run_, passedOver, end, lane.itemBytes);
            lane.itemBytes = 0;
            return true;
        }
    }
}

} // namespace kistwerk
