// One worker thread of the conversion: its queue of records, its reader and
// item buffers, and the output ring its items go into, with marks that say
// where each item ends. A worker waits when its ring is full, so memory stays
// bounded however large an item is; the calling thread takes the items out in
// the order it posted them. Either side wakes the other only when there is a
// batch of work for it, not for every item.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "io/input.h"
#include "io/output.h"
#include "pfc/conversion_run.h"

namespace kistwerk {

struct Lane;

// How an item ended.
enum class ItemEnd : std::uint8_t { NoEntry, Entry, CutEntry, OverLimit };

struct Mark {
    std::uint64_t position = 0;     // ring bytes written before the mark
    std::uint32_t recordBytes = 0;  // what the item read of its record
    std::uint32_t givenBytes = 0;   // what it wrote, before its line ends were joined
    ItemEnd end = ItemEnd::NoEntry;
};

// A record for a worker to convert.
struct Job {
    std::int32_t recordAt = -1;  // -1: the table leads to none
    std::uint32_t extent = 0;    // about how long it is; 0 when not known
};

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
    // Takes everything the worker will need; throws std::bad_alloc when it
    // cannot be had.
    Lane(const ConversionRun& run, std::unique_ptr<InputSource> reader, std::size_t ringSize);

    std::mutex mutex;
    std::condition_variable workerWake;
    std::condition_variable callerWake;

    // Shared; the counters only grow and are read and written under the mutex.
    std::vector<Job> jobs;           // ring of records to convert, in item order
    std::uint64_t jobsPosted = 0;
    std::uint64_t jobsTaken = 0;
    std::uint64_t written = 0;       // bytes the worker has put into the ring
    std::uint64_t read = 0;          // bytes the caller has taken out
    std::uint64_t skipFrom = 0;      // the ring's end last passed over, which the
    std::uint64_t skipTo = 0;        // caller skips: one at a time, as it lies a ring apart
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

    // The caller's own: part of the item in hand is written, so the rest must
    // follow before the caller does anything else.
    bool itemBegun = false;

    // The worker's own.
    std::unique_ptr<InputSource> input;
    ItemContext item;
    RunCounts counts;
    MailboxStyle style;
    LaneOutput output;

    std::thread thread;
};

// Starts the worker; throws std::system_error when no thread can be had.
void startWorker(Lane& lane);
// Ends the worker; what it converted and no one took is dropped.
void stopWorker(Lane& lane);

void postJob(Lane& lane, const Job& job);
// Items posted to the lane and not yet taken.
std::uint64_t itemsWaiting(Lane& lane);
// A worker that waits for a batch of jobs goes on with those it has.
void wakeIdleWorker(Lane& lane);

// Takes the lane's next item out of its ring as its bytes come, writing them
// to `output` (or dropping them where it is null). False when nothing of the
// item has come after `patience`; once a byte of it is taken, it waits for the
// item's end, as one thread finishes the item in hand, so that no stop or
// failure in between can leave a torn entry. The item's end mark is in `end`.
bool takeItem(Lane& lane, Output* output, std::chrono::milliseconds patience, Mark& end);

} // namespace kistwerk
