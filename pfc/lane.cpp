// A worker lane: its ring, its queue and its thread.
#include "pfc/lane.h"

#include <algorithm>

#include "pfc/leaf.h"
#include "pfc/memory_plan.h"

namespace kistwerk {

namespace {

constexpr std::size_t kMinRoom = std::size_t{1} << 14;  // less room than this is waited for
constexpr std::size_t kMarkCount = 4096;                // item ends one lane holds
constexpr std::uint64_t kWakeItems = 64;                // items a waiting caller lets a lane finish
constexpr std::uint64_t kWakeJobs = 8;                  // jobs that wake an idle worker
// How long a caller with part of an item written waits between two looks.
constexpr std::chrono::milliseconds kInHandWait{100};

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
// end, after waiting for some room; nullptr once the run stops. A short rest
// before the ring's end is passed over, and the caller skips it: the output
// holds back a CR at a buffer's end until it sees the next byte, so a buffer
// must take at least two.
std::uint8_t* publishAndClaim(Lane& lane, std::size_t count, std::size_t& room)
{
    std::unique_lock lock(lane.mutex);
    lane.written += count;
    wakeCaller(lane);
    for (;;) {
        if (!waitForRoom(lane, lock, kMinRoom))
            return nullptr;
        const auto start = static_cast<std::size_t>(lane.written % lane.ringSize);
        if (lane.ringSize - start >= kMinRoom) {
            room = std::min(lane.ringSize - static_cast<std::size_t>(used(lane)), lane.ringSize - start);
            return lane.ring.get() + start;
        }
        lane.skipFrom = lane.written;
        lane.written += lane.ringSize - start;
        lane.skipTo = lane.written;
    }
}

bool pushMark(Lane& lane, ItemEnd end, std::int64_t recordBytes, std::uint64_t givenBytes)
{
    std::unique_lock lock(lane.mutex);
    if (!waitForRoom(lane, lock, 0))
        return false;
    lane.marks[lane.marksPushed % kMarkCount] =
        Mark{lane.written, static_cast<std::uint32_t>(recordBytes), static_cast<std::uint32_t>(givenBytes), end};
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
        const std::uint64_t given = lane.output.bytesGiven();
        convertStoredRecord(lane.item, lane.style, lane.counts, job.recordAt);
        ItemEnd end = lane.counts.entriesWritten != before.entriesWritten ? ItemEnd::Entry : ItemEnd::NoEntry;
        if (lane.counts.itemsCut != before.itemsCut)
            end = ItemEnd::CutEntry;
        if (lane.counts.itemsOverLimit != before.itemsOverLimit)
            end = ItemEnd::OverLimit;
        const std::int64_t bytesLeft = before.recordBytesLeft;
        // The output fails only when the run stops.
        if (!lane.output.flush() ||
            !pushMark(lane, end, bytesLeft - lane.counts.recordBytesLeft, lane.output.bytesGiven() - given))
            return;
    }
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

} // namespace

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

Lane::Lane(const ConversionRun& run, std::unique_ptr<InputSource> reader, std::size_t size)
    : jobs(MemoryPlan::kLeavesAhead), ring(new std::uint8_t[size]), ringSize(size), marks(kMarkCount),
      input(std::move(reader)), output(*this, ring.get(), size)
{
    item.input = input.get();
    item.output = &output;
    item.container = run.container;
    item.container.input = input.get();
    takeMessageScratch(item.scratch);
    style = run.style;
    // The worker joins its line ends itself, so that the writing thread only
    // copies: an item ends in CR LF CR LF, so no pair spans two items.
    output.setLfLineEnds(run.style.lfLineEnds);
    // The worker also stops at the run's whole limits on its own items: those
    // read and write no more than all items before them, so an item a worker
    // passes over is one the limits leave out anyway, and a hostile file cannot
    // keep the workers busy past them.
    counts.recordBytesLeft = run.recordBytesLeft;
    counts.outputBytesLeft = run.outputBytesLeft;
}

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

void startWorker(Lane& lane)
{
    lane.thread = std::thread(workerMain, std::ref(lane));
}

void stopWorker(Lane& lane)
{
    {
        std::lock_guard lock(lane.mutex);
        lane.stop = true;
    }
    lane.workerWake.notify_all();
    if (lane.thread.joinable())
        lane.thread.join();
}

std::uint64_t itemsWaiting(Lane& lane)
{
    std::lock_guard lock(lane.mutex);
    return lane.jobsPosted - lane.marksPushed;
}

bool takeItem(Lane& lane, Output* output, std::chrono::milliseconds patience, Mark& end)
{
    for (;;) {
        std::uint64_t written = 0;
        std::uint64_t skipFrom = 0;
        std::uint64_t skipTo = 0;
        bool ended = false;
        {
            std::unique_lock lock(lane.mutex);
            if (lane.marksPushed == lane.marksRead && lane.written == lane.read) {
                if (patience.count() == 0 && !lane.itemBegun)
                    return false;
                const std::uint64_t wanted =
                    lane.itemBegun ? 1 : std::min<std::uint64_t>(kWakeItems, lane.jobsPosted - lane.marksRead);
                lane.callerWants = lane.marksRead + wanted;
                lane.callerWaiting = true;
                lane.callerWake.wait_for(lock, lane.itemBegun ? kInHandWait : patience,
                                         [&lane] { return callerMayGoOn(lane); });
                lane.callerWaiting = false;
            }
            written = lane.written;
            skipFrom = lane.skipFrom;
            skipTo = lane.skipTo;
            ended = lane.marksPushed > lane.marksRead;
            if (ended)
                end = lane.marks[lane.marksRead % kMarkCount];
        }
        const std::uint64_t upTo = ended ? end.position : written;
        if (upTo == lane.read && !ended) {
            if (lane.itemBegun)
                continue;
            return false;
        }
        if (output != nullptr) {
            writeRing(*output, lane, lane.read, std::min(upTo, std::max(lane.read, skipFrom)));
            writeRing(*output, lane, std::max(lane.read, skipTo), upTo);
        }
        {
            std::lock_guard lock(lane.mutex);
            lane.read = upTo;
            if (ended)
                ++lane.marksRead;
            if (lane.workerWaitingRoom && workerHasRoom(lane))
                lane.workerWake.notify_one();
        }
        lane.itemBegun = !ended;
        if (ended)
            return true;
    }
}

} // namespace kistwerk
