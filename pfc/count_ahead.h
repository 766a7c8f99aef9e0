// The counting walk on a thread of its own, so that the conversion pass can
// begin while it still runs. Where the nodes lie scattered between the records,
// the count reads the file node by node and takes a good part of the run; on a
// thread of its own the workers need not wait for it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "pfc/container.h"
#include "pfc/leaf_log.h"

namespace kistwerk {

struct ConversionRun;

class CountAhead {
public:
    CountAhead() = default;
    ~CountAhead();  // stops the walk and waits for its thread
    CountAhead(const CountAhead&) = delete;
    CountAhead& operator=(const CountAhead&) = delete;

    // Starts the counting walk of node index 1 on a reader of its own, adding
    // every leaf to `log`. False when no reader or thread can be had; nothing
    // runs then.
    bool start(ConversionRun& run, LeafLog& log);

    // Whether the walk has ended (without waiting for it).
    bool ended() const { return ended_.load(std::memory_order_acquire); }

    // The leaf after `cursor`, waiting for the walk to reach it; false once the
    // walk has ended and every leaf it kept has been read.
    bool nextLeaf(LeafLog::Cursor& cursor, WalkedLeaf& leaf);

    // Waits for the walk's end. Its total of leaves, or false when the walk
    // failed (its reader or its memory threw).
    bool finish(std::uint32_t& total);

private:
    void walk();

    LeafLog* log_ = nullptr;
    std::unique_ptr<InputSource> reader_;
    Container container_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool readerWaiting_ = false;
    bool stop_ = false;
    bool failed_ = false;
    std::uint32_t total_ = 0;
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

} // namespace kistwerk
