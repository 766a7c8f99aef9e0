// The counting walk on its own thread.
#include "pfc/count_ahead.h"

#include <exception>
#include <new>

#include "pfc/conversion_run.h"
#include "pfc/leaf.h"
#include "pfc/walk.h"

namespace kistwerk {

namespace {

// Leaves the walk adds between two looks at a waiting reader.
constexpr std::uint32_t kLeavesPerLook = 64;

} // namespace

CountAhead::~CountAhead()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    if (thread_.joinable())
        thread_.join();
}

bool CountAhead::start(ConversionRun& run, LeafLog& log)
{
    try {
        reader_ = run.input->openReader();
        if (!reader_)
            return false;
        log_ = &log;
        container_ = run.container;
        container_.input = reader_.get();
        thread_ = std::thread(&CountAhead::walk, this);
    } catch (const std::exception&) {
        reader_.reset();
        return false;
    }
    return true;
}

void CountAhead::walk()
{
    std::uint32_t total = 0;
    bool failed = false;
    try {
        NodeWalk walk(container_);
        walk.run(1, [this, &total](const PfcNode& node) {
            ++total;
            log_->add(WalkedLeaf{node.dataIndex, isConvertedItemType(node.itemType)});
            if (total % kLeavesPerLook != 0)
                return true;
            std::lock_guard lock(mutex_);
            if (readerWaiting_)
                wake_.notify_one();
            return !stop_;
        });
    } catch (...) {
        failed = true;
    }
    std::lock_guard lock(mutex_);
    total_ = total;
    failed_ = failed;
    ended_.store(true, std::memory_order_release);
    wake_.notify_one();
}

bool CountAhead::nextLeaf(LeafLog::Cursor& cursor, WalkedLeaf& leaf)
{
    if (log_->next(cursor, leaf))
        return true;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (log_->next(cursor, leaf))
            return true;
        if (ended_.load(std::memory_order_relaxed))
            return false;
        readerWaiting_ = true;
        wake_.wait(lock);
        readerWaiting_ = false;
    }
}

bool CountAhead::finish(std::uint32_t& total)
{
    if (thread_.joinable())
        thread_.join();
    total = total_;
    return !failed_;
}

} // namespace kistwerk
