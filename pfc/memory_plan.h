// What a run may hold in memory, all of it drawn from one budget, so that no
// file (a crafted one least of all) makes the program grow past it: peak
// memory stays below 16 MiB with the program itself and four workers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kistwerk {

struct MemoryPlan {
    // The whole budget, beyond the program's own few MiB.
    static constexpr std::size_t kBudget = std::size_t{12} << 20;

    // Fixed shares, each a ceiling the part it names never passes.
    static constexpr std::size_t kSeenPages = 256;                     // of 4 KiB: the walk's seen-set, 1 MiB
    static constexpr std::size_t kPendingSiblings = std::size_t{1} << 16;  // the walk's stack, 256 KiB
    static constexpr std::size_t kLeafLog = std::size_t{1} << 20;      // leaves kept between the walks
    static constexpr std::size_t kKeptSteps = std::size_t{1} << 17;    // 4 bytes each, 512 KiB
    static constexpr std::size_t kEntryMap = std::size_t{1} << 20;     // where entries begin: 2 GiB at 256 bytes a bit
    static constexpr std::size_t kLeavesAhead = 4096;                  // leaves posted, not yet written
    // The readers' windows, the item buffers, the mailbox file's buffer, the
    // reading ahead and the bookkeeping of the lanes, with room to spare.
    static constexpr std::size_t kCallerFixed = std::size_t{3} << 20;  // the calling thread's readers and buffers
    static constexpr std::size_t kWorkerFixed = std::size_t{1} << 19;  // a worker's reader, buffers and marks

    // The rest is the workers' output rings, shared out evenly, at most 2 MiB
    // each: enough to go on converting through a few of the scheduler's time
    // slices while the writing thread is busy elsewhere.
    static constexpr std::size_t kMaxRing = std::size_t{2} << 20;

    static constexpr std::size_t ringSize(int workers)
    {
        const std::size_t fixed = kSeenPages * 4096 + kPendingSiblings * 4 + kLeafLog + kKeptSteps * 4 + kEntryMap +
                                  kCallerFixed + kWorkerFixed * static_cast<std::size_t>(workers);
        const std::size_t share = workers > 0 ? (kBudget - fixed) / static_cast<std::size_t>(workers) : 0;
        return share < kMaxRing ? share : kMaxRing;
    }
};

static_assert(MemoryPlan::ringSize(4) >= (std::size_t{512} << 10), "the budget leaves each of four lanes a ring");

} // namespace kistwerk
