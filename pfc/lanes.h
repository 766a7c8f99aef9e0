// The conversion of the walk's leaves, in the walk's order, on zero to four
// worker threads. The calling thread posts each leaf as the walk finds it and
// takes the oldest one back, its entry written to the mailbox file and
// counted; in between, the workers convert ahead. Without workers the calling
// thread converts each item as it takes it, through the same calls, so the
// mailbox file and the counts are the same whatever the number of threads.
//
// Everything a worker needs (its reader, output ring, item buffers and
// decompressor) is taken before it starts, and nothing it calls afterwards
// throws, so a worker never fails half-way through an item.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pfc/container.h"
#include "pfc/conversion_run.h"
#include "pfc/leaf_log.h"

namespace kistwerk {

struct Lane;  // one worker thread with its reader, buffers and output ring

// How many threads convert: run.threads when set, otherwise the machine's
// hardware threads, or one for a file of less than 2 MiB; at most 4, since
// one thread writes all the output. One converting thread is the calling
// thread itself, with no workers.
int conversionThreads(const ConversionRun& run);

class Lanes {
public:
    explicit Lanes(ConversionRun& run);
    ~Lanes();  // stops and waits for every worker
    Lanes(const Lanes&) = delete;
    Lanes& operator=(const Lanes&) = delete;

    // Starts `workers` threads, all or none: false, with none running, when a
    // reader, a thread or their memory cannot be had. Zero workers always start.
    // Throws std::bad_alloc when not even the calling thread's item buffers
    // can be had.
    bool start(int workers);
    int workers() const { return static_cast<int>(lanes_.size()); }

    // Whether another leaf can be posted before the oldest is taken.
    bool full() const { return pendingCount_ == pending_.size(); }
    bool empty() const { return pendingCount_ == 0; }

    // Hands the leaf's item, if it has one, to a worker.
    void post(const WalkedLeaf& leaf);

    // Takes the oldest leaf posted: writes its item's entry to the mailbox
    // file and counts the item in the run. False when nothing of its item has
    // come after `patience`; nothing has changed then.
    bool take(std::chrono::milliseconds patience);

    // Ends the workers; what they converted and no leaf took is dropped.
    void stop();

private:
    // A leaf posted and not yet taken.
    struct Pending {
        enum class Route : std::uint8_t { NoItem, PassedOver, Here, Lane };
        Route route = Route::NoItem;
        std::uint8_t lane = 0;
        std::int32_t dataIndex = 0;
    };

    std::size_t laneFor(std::int32_t recordAt);
    bool takeFromLane(Lane& lane, std::chrono::milliseconds patience);
    void convertHere(std::int32_t dataIndex);

    ConversionRun& run_;
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::vector<Pending> pending_;  // a ring, oldest at firstPending_
    std::size_t firstPending_ = 0;
    std::size_t pendingCount_ = 0;
    std::int64_t span_ = -1;        // stretch of the file of the last record posted
    std::size_t spanLane_ = 0;      // and the lane it went to
    EntryStarts entryStarts_;
};

} // namespace kistwerk
