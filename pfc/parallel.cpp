// Worker threads for the conversion pass, and the ordered hand-over of their
// output to the mailbox file.
//
// Each lane is one worker thread with a queue of data indexes and an output
// ring: the bytes of its items, and marks that say where an item ends and where
// the body filter warned. A worker waits when its ring is full, so memory stays
// bounded however large one item is; the calling thread empties the rings in
// item order. The items whose records lie in one stretch of the file go to the
// same lane, so that each worker reads only its own stretches, once; each new
// stretch goes to the lane with the least work waiting. Either
// side wakes the other only when there is a batch of work for it, not for every
// item.
#include "pfc/parallel.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "io/input.h"
#include "io/output.h"
#include "pfc/conversion_run.h"
#include "pfc/frontend.h"
#include "pfc/leaf.h"

namespace kistwerk {

namespace {

constexpr int kMaxThreads = 4;
// Below this size a file converts in a few milliseconds; starting threads and
// their rings would cost more than they save.
constexpr std::int64_t kSmallFile = std::int64_t{2} << 20;
// Output bytes all lanes together hold. A lane must hold what its worker
// converts while the caller is busy with other lanes or not scheduled at all,
// which takes a few scheduler time slices on a machine with other work.
constexpr std::size_t kRingBudget = std::size_t{8} << 20;
constexpr std::size_t kMinRoom = std::size_t{1} << 14;   // less room than this is waited for
constexpr std::size_t kMarkCount = 4096;                 // item ends and warnings one lane holds
constexpr std::size_t kLeavesAhead = 4096;               // leaves the walk runs ahead of the output
constexpr std::int64_t kLaneSpan = std::int64_t{1} << 19; // stretch of the file whose records one lane converts
constexpr std::uint64_t kWakeItems = 64;                 // items a waiting caller lets a lane finish
constexpr std::uint64_t kWakeJobs = 8;                   // jobs that wake an idle worker

// How an item ended: with no entry, with an entry, passed over because the
// worker's own share of the reading limit was spent, or not at all because
// the worker failed (made up by the calling thread, never stored).
enum class MarkKind : std::uint8_t { Warning, ItemEnd, EntryEnd, OverLimit, LaneFailed };

struct Mark {
    std::uint64_t position = 0;  // ring bytes written before the mark
    MarkKind kind = MarkKind::ItemEnd;
    std::int64_t recordBytes = 0;  // of an item's end: the record bytes it read
};

// Steps kept while the counting walk runs: 512 KiB, room for the leaves that
// two workers pass in about a second. Past it the conversion waits for the
// count.
constexpr std::size_t kKeptSteps = std::size_t{1} << 17;

// What a kept step says, in its top bits; below them the bytes its item added.
// An item adds at most 255 body sections of 65,000 bytes, far less than the
// 128 MiB a step holds; more would go into steps marked kKeptMore before it.
constexpr int kKeptFlagShift = 27;
constexpr std::uint32_t kKeptSizeMask = (std::uint32_t{1} << kKeptFlagShift) - 1;
enum KeptFlag : std::uint32_t {
    kKeptEntry = std::uint32_t{1} << kKeptFlagShift,
    kKeptSkipped = std::uint32_t{2} << kKeptFlagShift,
    kKeptOverLimit = std::uint32_t{4} << kKeptFlagShift,
    kKeptOutOfMemory = std::uint32_t{8} << kKeptFlagShift,
    kKeptWarning = std::uint32_t{16} << kKeptFlagShift,  // a warning, not a step
};
constexpr std::uint32_t kKeptMore = kKeptWarning | kKeptEntry;  // bytes only, the step follows

// A leaf that the walk passed once the run's reading limit was spent.
constexpr int kOverLimitLane = -2;
// A leaf whose item the calling thread converts, its lane having failed.
constexpr int kCallerLane = -3;

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
    LaneOutput(PipelineLane& lane, std::uint8_t* ring, std::size_t size) : Output(ring, size), lane_(lane) {}

protected:
    bool store(const std::uint8_t* data, std::size_t count) override;

private:
    PipelineLane& lane_;
    std::uint8_t spare_[4096];  // takes the writes once the run has stopped
};

// A front end that takes only the size warnings of items, to hand them on in
// their place; all else the calling thread shows through the run's own.
class WarningTaker : public FrontEnd {
public:
    void setBusyCursor(bool) override {}
    void createProgress(ConversionRun&) override {}
    bool progressStep(ConversionRun&) override { return false; }
    void destroyProgress(ConversionRun&) override {}
    void reportProblem(RunProblem, const ConversionRun&) override {}
};

// The worker's front end: a size warning becomes a mark at its place in the
// output, for the calling thread to pass on.
class LaneFrontEnd final : public WarningTaker {
public:
    explicit LaneFrontEnd(PipelineLane& lane) : lane_(lane) {}
    void warnMessageTooLarge() override;

private:
    PipelineLane& lane_;
};

// Stands in for the run's front end while the steps wait: an item's warning is
// kept in its place among the steps.
class WarningKeeper final : public WarningTaker {
public:
    explicit WarningKeeper(ItemPipeline& pipeline) : pipeline_(pipeline) {}
    void warnMessageTooLarge() override { pipeline_.kept.push_back(kKeptWarning); }

private:
    ItemPipeline& pipeline_;
};

struct PipelineLane {
    PipelineLane(std::unique_ptr<InputSource> reader, std::size_t ringSize)
        : jobs(kLeavesAhead), ring(ringSize), marks(kMarkCount), input(std::move(reader)),
          output(*this, ring.data(), ringSize), frontEnd(*this)
    {
    }

    std::mutex mutex;
    std::condition_variable workerWake;
    std::condition_variable callerWake;

    // Shared; counters only grow and are read and written under the mutex.
    std::vector<Job> jobs;           // ring of records to convert, in item order
    std::uint64_t jobsPosted = 0;
    std::uint64_t jobsTaken = 0;
    std::uint64_t written = 0;       // bytes the worker has put into the ring
    std::uint64_t read = 0;          // bytes the caller has taken out
    std::uint64_t marksPushed = 0;
    std::uint64_t marksRead = 0;
    std::uint64_t itemsDone = 0;     // item ends pushed
    std::uint64_t callerWants = 0;   // a waiting caller wakes once itemsDone reaches this
    bool callerWaiting = false;
    bool workerWaitingJobs = false;
    bool workerWaitingRoom = false;
    bool walkEnded = false;
    bool stop = false;
    bool failed = false;             // the worker has ended on an exception

    // Written by one side before it publishes a counter, read by the other after.
    std::vector<std::uint8_t> ring;
    std::vector<Mark> marks;

    // The calling thread's own.
    std::uint64_t itemsRead = 0;

    // The worker's own.
    std::unique_ptr<InputSource> input;
    ItemContext item;
    RunCounts counts;
    MailboxStyle style;
    LaneOutput output;
    LaneFrontEnd frontEnd;

    std::thread thread;
};

namespace {

// Under the lane's mutex: whether a waiting caller has enough to do. Whenever
// the worker waits, one of these holds, so the two never wait for each other.
bool callerMayGoOn(const PipelineLane& lane)
{
    return lane.stop || lane.failed || lane.itemsDone >= lane.callerWants ||
           lane.written - lane.read >= lane.ring.size() / 2 || lane.marksPushed - lane.marksRead >= kMarkCount / 2;
}

bool workerHasRoom(const PipelineLane& lane)
{
    return lane.ring.size() - (lane.written - lane.read) >= lane.ring.size() / 4 &&
           kMarkCount - (lane.marksPushed - lane.marksRead) >= kMarkCount / 4;
}

void wakeCaller(PipelineLane& lane)
{
    if (lane.callerWaiting && callerMayGoOn(lane))
        lane.callerWake.notify_one();
}

// Under the lane's mutex held by `lock`: waits while the ring or the marks are
// full. False once the run stops.
bool waitForRoom(PipelineLane& lane, std::unique_lock<std::mutex>& lock)
{
    if (lane.written - lane.read == lane.ring.size() || lane.marksPushed - lane.marksRead == kMarkCount) {
        lane.workerWaitingRoom = true;
        lane.workerWake.wait(lock, [&lane] { return lane.stop || workerHasRoom(lane); });
        lane.workerWaitingRoom = false;
    }
    return !lane.stop;
}

bool pushBytes(PipelineLane& lane, const std::uint8_t* data, std::size_t count)
{
    while (count > 0) {
        std::uint64_t at = 0;
        std::size_t room = 0;
        {
            std::unique_lock lock(lane.mutex);
            if (!waitForRoom(lane, lock))
                return false;
            at = lane.written;
            room = lane.ring.size() - static_cast<std::size_t>(lane.written - lane.read);
        }
        std::size_t n = std::min(room, count);
        std::size_t start = static_cast<std::size_t>(at % lane.ring.size());
        std::size_t first = std::min(n, lane.ring.size() - start);
        std::memcpy(lane.ring.data() + start, data, first);
        std::memcpy(lane.ring.data(), data + first, n - first);
        {
            std::lock_guard lock(lane.mutex);
            lane.written += n;
            wakeCaller(lane);
        }
        data += n;
        count -= n;
    }
    return true;
}

// The worker wrote `count` bytes in place, behind those already written.
bool publishBytes(PipelineLane& lane, std::size_t count)
{
    std::lock_guard lock(lane.mutex);
    if (lane.stop)
        return false;
    lane.written += count;
    wakeCaller(lane);
    return true;
}

// The free part of the ring behind the bytes written, up to the ring's end,
// after waiting for some room; nullptr once the run stops.
std::uint8_t* claimRoom(PipelineLane& lane, std::size_t& room)
{
    std::unique_lock lock(lane.mutex);
    const std::size_t size = lane.ring.size();
    if (size - (lane.written - lane.read) < kMinRoom) {
        lane.workerWaitingRoom = true;
        lane.workerWake.wait(lock, [&lane] { return lane.stop || workerHasRoom(lane); });
        lane.workerWaitingRoom = false;
    }
    if (lane.stop)
        return nullptr;
    std::size_t start = static_cast<std::size_t>(lane.written % size);
    room = std::min(size - static_cast<std::size_t>(lane.written - lane.read), size - start);
    return lane.ring.data() + start;
}

bool pushMark(PipelineLane& lane, MarkKind kind, std::int64_t recordBytes = 0)
{
    std::unique_lock lock(lane.mutex);
    if (!waitForRoom(lane, lock))
        return false;
    lane.marks[lane.marksPushed % kMarkCount] = Mark{lane.written, kind, recordBytes};
    ++lane.marksPushed;
    if (kind != MarkKind::Warning)
        ++lane.itemsDone;
    wakeCaller(lane);
    return true;
}

// The next record for the worker; false when there will be none.
bool takeJob(PipelineLane& lane, Job& job)
{
    std::unique_lock lock(lane.mutex);
    if (!lane.stop && !lane.walkEnded && lane.jobsTaken == lane.jobsPosted) {
        lane.workerWaitingJobs = true;
        lane.workerWake.wait(lock, [&lane] { return lane.stop || lane.walkEnded || lane.jobsTaken < lane.jobsPosted; });
        lane.workerWaitingJobs = false;
    }
    if (lane.stop || lane.jobsTaken == lane.jobsPosted)
        return false;
    job = lane.jobs[lane.jobsTaken % lane.jobs.size()];
    ++lane.jobsTaken;
    return true;
}

void workerLoop(PipelineLane& lane)
{
    Job job;
    while (takeJob(lane, job)) {
        if (job.extent > 0)
            lane.input->expect(job.recordAt, job.extent);
        const std::uint32_t entries = lane.counts.entriesWritten;
        const std::uint32_t overLimit = lane.counts.itemsOverLimit;
        const std::int64_t bytesLeft = lane.counts.recordBytesLeft;
        convertStoredRecord(lane.item, lane.style, lane.counts, job.recordAt);
        MarkKind end = lane.counts.entriesWritten != entries ? MarkKind::EntryEnd : MarkKind::ItemEnd;
        if (lane.counts.itemsOverLimit != overLimit)
            end = MarkKind::OverLimit;
        // The output fails only when the run stops.
        if (!lane.output.flush() || !pushMark(lane, end, bytesLeft - lane.counts.recordBytesLeft))
            return;
    }
}

// Nothing a worker throws may reach std::terminate. Its lane ends where its
// output ends, and the calling thread converts the rest of the lane's items.
void workerMain(PipelineLane& lane)
{
    try {
        workerLoop(lane);
    } catch (...) {
        std::lock_guard lock(lane.mutex);
        lane.failed = true;
        lane.callerWake.notify_one();
    }
}

// False when the lane's worker has failed: the job is the caller's then.
bool postJob(PipelineLane& lane, const Job& job)
{
    std::lock_guard lock(lane.mutex);
    if (lane.failed)
        return false;
    lane.jobs[lane.jobsPosted % lane.jobs.size()] = job;
    ++lane.jobsPosted;
    if (lane.workerWaitingJobs && lane.jobsPosted - lane.jobsTaken >= kWakeJobs)
        lane.workerWake.notify_one();
    return true;
}

// The lane with the fewest items still to convert: a lane that fell behind on
// heavier records gets the next stretch later.
std::size_t leastBusyLane(ItemPipeline& pipeline)
{
    std::size_t best = 0;
    std::uint64_t fewest = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t i = 0; i < pipeline.lanes.size(); ++i) {
        PipelineLane& lane = *pipeline.lanes[i];
        std::lock_guard lock(lane.mutex);
        std::uint64_t pending = lane.jobsPosted - lane.itemsDone;
        if (!lane.failed && pending < fewest) {
            fewest = pending;
            best = i;
        }
    }
    return best;
}

// Before the caller waits: every idle worker that has any job goes on with it.
void wakeIdleWorkers(ItemPipeline& pipeline)
{
    for (auto& lane : pipeline.lanes) {
        std::lock_guard lock(lane->mutex);
        if (lane->workerWaitingJobs && lane->jobsTaken < lane->jobsPosted)
            lane->workerWake.notify_one();
    }
}

// Waits until the lane has output past what the caller has read, or its worker
// has failed, then returns how far its bytes and marks go; `failed` then says
// that they go no further.
void waitForOutput(ItemPipeline& pipeline, PipelineLane& lane, std::uint64_t& written, std::uint64_t& marksPushed,
                   bool& failed)
{
    {
        std::lock_guard lock(lane.mutex);
        if (lane.written > lane.read || lane.marksPushed > lane.marksRead || lane.failed) {
            written = lane.written;
            marksPushed = lane.marksPushed;
            failed = lane.failed;
            return;
        }
    }
    wakeIdleWorkers(pipeline);
    std::unique_lock lock(lane.mutex);
    lane.callerWants = std::min(lane.itemsRead + kWakeItems, lane.jobsPosted);
    lane.callerWaiting = true;
    lane.callerWake.wait(lock, [&lane] { return callerMayGoOn(lane); });
    lane.callerWaiting = false;
    written = lane.written;
    marksPushed = lane.marksPushed;
    failed = lane.failed;
}

void writeRing(Output& output, const PipelineLane& lane, std::uint64_t from, std::uint64_t to)
{
    while (from < to) {
        std::size_t start = static_cast<std::size_t>(from % lane.ring.size());
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, lane.ring.size() - start));
        output.write(lane.ring.data() + start, n);
        from += n;
    }
}

// Writes the lane's next item to the mailbox file and passes on its warnings
// where they arose, or with `discard` takes it out of the ring unwritten and
// unreported. Returns the mark that ended the item.
Mark takeItem(ItemPipeline& pipeline, PipelineLane& lane, bool discard)
{
    ConversionRun& run = *pipeline.run;
    // Only this thread moves them, so its reads need no lock.
    std::uint64_t read = lane.read;
    std::uint64_t marksRead = lane.marksRead;
    for (;;) {
        std::uint64_t written = 0;
        std::uint64_t marksPushed = 0;
        bool failed = false;
        waitForOutput(pipeline, lane, written, marksPushed, failed);
        bool ended = false;
        Mark end;
        while (!ended && marksRead < marksPushed) {
            const Mark mark = lane.marks[marksRead % kMarkCount];
            if (!discard)
                writeRing(*run.output, lane, read, mark.position);
            read = mark.position;
            ++marksRead;
            if (mark.kind == MarkKind::Warning) {
                if (run.frontEnd != nullptr && !discard)
                    run.frontEnd->warnMessageTooLarge();
            } else {
                ended = true;
                end = mark;
            }
        }
        if (!ended) {
            if (!discard)
                writeRing(*run.output, lane, read, written);
            read = written;
        }
        {
            std::lock_guard lock(lane.mutex);
            lane.read = read;
            lane.marksRead = marksRead;
            if (lane.workerWaitingRoom && workerHasRoom(lane))
                lane.workerWake.notify_one();
        }
        if (ended) {
            ++lane.itemsRead;
            return end;
        }
        if (failed && marksRead == marksPushed) {
            end.kind = MarkKind::LaneFailed;
            return end;
        }
    }
}

// Instead of the progress step while the steps wait: what the leaf did.
bool keepStep(ItemPipeline& pipeline)
{
    ConversionRun& run = *pipeline.run;
    RunCounts& last = pipeline.countsLast;
    const std::uint64_t size = run.output->settledSize();
    std::uint64_t added = size - pipeline.outputLast;
    pipeline.outputLast = size;
    for (; added > kKeptSizeMask; added -= kKeptSizeMask)
        pipeline.kept.push_back(kKeptMore | kKeptSizeMask);
    auto step = static_cast<std::uint32_t>(added);
    if (run.entriesWritten != last.entriesWritten)
        step |= kKeptEntry;
    if (run.itemsSkipped != last.itemsSkipped)
        step |= kKeptSkipped;
    if (run.itemsOverLimit != last.itemsOverLimit)
        step |= kKeptOverLimit;
    if (run.outOfMemory)
        step |= kKeptOutOfMemory;
    pipeline.kept.push_back(step);
    last.entriesWritten = run.entriesWritten;
    last.itemsSkipped = run.itemsSkipped;
    last.itemsOverLimit = run.itemsOverLimit;
    return true;
}

// Writes the oldest pending leaf's item, if it has one, and runs its progress
// step. False when the user asked to stop.
bool passLeaf(ItemPipeline& pipeline)
{
    ConversionRun& run = *pipeline.run;
    PipelineLeaf leaf = pipeline.leaves[pipeline.firstLeaf];
    pipeline.firstLeaf = (pipeline.firstLeaf + 1) % pipeline.leaves.size();
    --pipeline.leafCount;
    if (leaf.lane >= 0) {
        // The reading limit counts the items in walk order, as on one thread:
        // an item converted ahead of its turn is dropped once the limit is spent.
        const bool overLimit = run.recordBytesLeft <= 0;
        PipelineLane& lane = *pipeline.lanes[static_cast<std::size_t>(leaf.lane)];
        const std::uint64_t itemStart = lane.read;
        const Mark end = takeItem(pipeline, lane, overLimit);
        if (end.kind == MarkKind::LaneFailed) {
            // A worker takes nothing it could fail on after it has written an
            // item's first byte; should one fail later all the same, the bytes
            // already written cannot be taken back and the run says so.
            if (lane.read == itemStart || overLimit)
                convertStoredItem(run, run.style, run, leaf.dataIndex);
            else
                run.outOfMemory = true;
        } else if (overLimit || end.kind == MarkKind::OverLimit) {
            ++run.itemsOverLimit;
            ++run.itemsSkipped;
        } else {
            run.recordBytesLeft -= end.recordBytes;
            if (end.kind == MarkKind::EntryEnd)
                ++run.entriesWritten;
            else
                ++run.itemsSkipped;
        }
    } else if (leaf.lane == kOverLimitLane) {
        ++run.itemsOverLimit;
        ++run.itemsSkipped;
    } else if (leaf.lane == kCallerLane) {
        convertStoredItem(run, run.style, run, leaf.dataIndex);
    }
    run.doneItems = leaf.number;
    if (pipeline.deferring)
        return keepStep(pipeline);
    return !stepProgress(run);
}

void stopLanes(ItemPipeline& pipeline)
{
    for (auto& lane : pipeline.lanes) {
        {
            std::lock_guard lock(lane->mutex);
            lane->stop = true;
        }
        lane->workerWake.notify_all();
    }
    for (auto& lane : pipeline.lanes) {
        if (lane->thread.joinable())
            lane->thread.join();
    }
}

void endWalk(ItemPipeline& pipeline)
{
    for (auto& lane : pipeline.lanes) {
        std::lock_guard lock(lane->mutex);
        lane->walkEnded = true;
        lane->workerWake.notify_one();
    }
}

} // namespace

bool LaneOutput::store(const std::uint8_t* data, std::size_t count)
{
    bool stored = data == lane_.ring.data() + lane_.written % lane_.ring.size() ? publishBytes(lane_, count)
                                                                        : pushBytes(lane_, data, count);
    std::size_t room = 0;
    std::uint8_t* next = stored ? claimRoom(lane_, room) : nullptr;
    if (next == nullptr) {
        useBuffer(spare_, sizeof spare_);
        return false;
    }
    useBuffer(next, room);
    return true;
}

void LaneFrontEnd::warnMessageTooLarge()
{
    // The bytes before the warning go first, so that its mark lands after them.
    if (lane_.output.flush())
        pushMark(lane_, MarkKind::Warning);
}

ItemPipeline::ItemPipeline() = default;

ItemPipeline::~ItemPipeline()
{
    stopLanes(*this);
    // A run left while its steps waited gets its front end back.
    if (deferring)
        run->frontEnd = frontEnd;
}

int conversionThreads(const ConversionRun& run)
{
    int threads = run.threads;
    if (threads <= 0 && run.input != nullptr && run.input->size() < kSmallFile)
        return 1;
    if (threads <= 0) {
        unsigned hardware = std::thread::hardware_concurrency();
        threads = hardware == 0 ? 1 : static_cast<int>(std::min<unsigned>(hardware, kMaxThreads));
    }
    return std::min(threads, kMaxThreads);
}

namespace {

// One lane per thread, each with its own reader, ring and item buffers, all
// taken here so that a worker needs no memory of its own once it runs. False
// when the input gives no readers.
bool openLanes(ItemPipeline& pipeline, ConversionRun& run, int threads)
{
    for (int i = 0; i < threads; ++i) {
        std::unique_ptr<InputSource> reader = run.input->openReader();
        if (!reader)
            return false;
        auto lane = std::make_unique<PipelineLane>(std::move(reader), kRingBudget / static_cast<std::size_t>(threads));
        lane->item.input = lane->input.get();
        lane->item.container = run.container;
        lane->item.container.input = lane->input.get();
        lane->item.output = &lane->output;
        lane->item.frontEnd = &lane->frontEnd;
        takeMessageScratch(lane->item.scratch);
        lane->style = run.style;
        // Each worker also stops at the whole limit on its own items: those
        // read no more than all items before them, so an item a worker passes
        // over is one the limit leaves out anyway, and a hostile file cannot
        // keep the workers busy beyond it.
        lane->counts.recordBytesLeft = run.recordBytesLeft;
        pipeline.lanes.push_back(std::move(lane));
    }
    return true;
}

// Lets the workers read each record in one read of about its size, where the
// records lie apart; without the map (no memory for it) they read as before.
void takeEntryStarts(ItemPipeline& pipeline, ConversionRun& run)
{
    try {
        pipeline.entryStarts.build(run.container, *run.input);
    } catch (const std::bad_alloc&) {
        pipeline.entryStarts = EntryStarts();
    }
}

bool abandonPipeline(ItemPipeline& pipeline)
{
    stopLanes(pipeline);
    pipeline.lanes.clear();
    pipeline.leaves.clear();
    return false;
}

} // namespace

bool startPipeline(ItemPipeline& pipeline, ConversionRun& run, int threads)
{
    if (run.input == nullptr || run.output == nullptr)
        return false;
    pipeline.run = &run;
    // Rings, readers and thread stacks are what a tight memory limit denies
    // first; the run then converts on the calling thread, with the same output.
    try {
        pipeline.leaves.assign(kLeavesAhead, PipelineLeaf{});
        takeEntryStarts(pipeline, run);
        if (!openLanes(pipeline, run, threads))
            return abandonPipeline(pipeline);
        for (auto& lane : pipeline.lanes)
            lane->thread = std::thread(workerMain, std::ref(*lane));
    } catch (const std::exception&) {
        return abandonPipeline(pipeline);
    }
    return true;
}

bool pipelineLeaf(ItemPipeline& pipeline, const WalkedLeaf& walked)
{
    PipelineLeaf leaf;
    leaf.number = ++pipeline.walked;
    leaf.dataIndex = walked.dataIndex;
    if (walked.converted && pipeline.run->recordBytesLeft <= 0) {
        leaf.lane = kOverLimitLane;
    } else if (walked.converted) {
        // The walk reads the table entry, so the worker reads only the record.
        // A record the table does not lead to fails at once, wherever it goes.
        const std::int32_t recordAt = recordOffset(pipeline.run->container, walked.dataIndex);
        std::int64_t span = std::max(recordAt, 0) / kLaneSpan;
        if (span != pipeline.span) {
            pipeline.span = span;
            pipeline.lane = leastBusyLane(pipeline);
        }
        std::size_t lane = pipeline.lane;
        const Job job{recordAt,
                      static_cast<std::uint32_t>(pipeline.entryStarts.extentFrom(recordAt, FileInput::kReaderWindowSize))};
        leaf.lane = postJob(*pipeline.lanes[lane], job) ? static_cast<int>(lane) : kCallerLane;
    }
    pipeline.leaves[(pipeline.firstLeaf + pipeline.leafCount) % pipeline.leaves.size()] = leaf;
    ++pipeline.leafCount;
    if (pipeline.leafCount == pipeline.leaves.size())
        return passLeaf(pipeline);
    return true;
}

bool deferSteps(ItemPipeline& pipeline)
{
    ConversionRun& run = *pipeline.run;
    try {
        if (!pipeline.keeper)
            pipeline.keeper = std::make_unique<WarningKeeper>(pipeline);
        // An item gives at most one warning per body section, 255 of them.
        pipeline.kept.reserve(kKeptSteps + 256);
    } catch (const std::bad_alloc&) {
        return false;
    }
    pipeline.deferring = true;
    pipeline.frontEnd = run.frontEnd;
    run.frontEnd = pipeline.keeper.get();
    pipeline.countsBefore = run;
    pipeline.countsLast = run;
    pipeline.outputBefore = run.output->settledSize();
    pipeline.outputLast = pipeline.outputBefore;
    return true;
}

bool stepsWaiting(const ItemPipeline& pipeline)
{
    return pipeline.deferring && pipeline.kept.size() >= kKeptSteps;
}

namespace {

// The counts the steps show back to where they began to wait. The reading
// limit is left as the leaves passed have spent it: it is not shown, and only
// the leaves still to come look at it.
void restoreCounts(ItemPipeline& pipeline)
{
    ConversionRun& run = *pipeline.run;
    const RunCounts& before = pipeline.countsBefore;
    run.doneItems = before.doneItems;
    run.entriesWritten = before.entriesWritten;
    run.itemsOverLimit = before.itemsOverLimit;
    run.itemsSkipped = before.itemsSkipped;
    run.outOfMemory = before.outOfMemory;
    run.frontEnd = pipeline.frontEnd;
    pipeline.deferring = false;
}

void applyStep(ConversionRun& run, std::uint32_t step)
{
    ++run.doneItems;
    if (step & kKeptEntry)
        ++run.entriesWritten;
    if (step & kKeptSkipped)
        ++run.itemsSkipped;
    if (step & kKeptOverLimit)
        ++run.itemsOverLimit;
    if (step & kKeptOutOfMemory)
        run.outOfMemory = true;
}

} // namespace

bool replaySteps(ItemPipeline& pipeline)
{
    ConversionRun& run = *pipeline.run;
    restoreCounts(pipeline);
    bool going = true;
    std::uint64_t size = pipeline.outputBefore;
    for (const std::uint32_t step : pipeline.kept) {
        size += step & kKeptSizeMask;
        if ((step & kKeptMore) == kKeptMore)
            continue;
        if (step & kKeptWarning) {
            if (run.frontEnd != nullptr)
                run.frontEnd->warnMessageTooLarge();
            continue;
        }
        applyStep(run, step);
        if (stepProgress(run)) {
            run.output->cutBack(size);
            going = false;
            break;
        }
    }
    pipeline.kept = std::vector<std::uint32_t>();
    return going;
}

void dropSteps(ItemPipeline& pipeline)
{
    restoreCounts(pipeline);
    pipeline.run->recordBytesLeft = pipeline.countsBefore.recordBytesLeft;
    pipeline.run->output->cutBack(pipeline.outputBefore);
    pipeline.kept = std::vector<std::uint32_t>();
}

bool finishPipeline(ItemPipeline& pipeline, bool walked)
{
    bool going = walked;
    if (going) {
        endWalk(pipeline);
        while (going && pipeline.leafCount > 0)
            going = passLeaf(pipeline);
    }
    stopLanes(pipeline);
    return going;
}

} // namespace kistwerk
