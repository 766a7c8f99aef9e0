// Progress steps shown, or kept until the total is known.
#include "pfc/steps.h"

#include <new>

#include "io/output.h"
#include "pfc/leaf.h"
#include "pfc/memory_plan.h"

namespace kistwerk {

namespace {

// What a kept step says, in its top bits; below them the bytes its item added.
// An item adds at most 255 body sections of 65,000 bytes, far less than the
// 128 MiB a step holds; more would go into steps marked kMore before it.
constexpr int kFlagShift = 27;
constexpr std::uint32_t kSizeMask = (std::uint32_t{1} << kFlagShift) - 1;
constexpr std::uint32_t kEntry = std::uint32_t{1} << kFlagShift;
constexpr std::uint32_t kSkipped = std::uint32_t{2} << kFlagShift;
constexpr std::uint32_t kOverLimit = std::uint32_t{4} << kFlagShift;
constexpr std::uint32_t kCut = std::uint32_t{8} << kFlagShift;
constexpr std::uint32_t kMore = std::uint32_t{16} << kFlagShift;  // bytes only, the step follows

} // namespace

bool Steps::keep(ConversionRun& run)
{
    try {
        kept_.reserve(MemoryPlan::kKeptSteps);
    } catch (const std::bad_alloc&) {
        return false;
    }
    keeping_ = true;
    before_ = run;
    last_ = run;
    outputBefore_ = run.output->settledSize();
    outputLast_ = outputBefore_;
    return true;
}

bool Steps::roomFor(std::size_t leaves)
{
    return leaves <= MemoryPlan::kKeptSteps;
}

bool Steps::pass(ConversionRun& run)
{
    if (!keeping_)
        return stepProgress(run);
    const std::uint64_t size = run.output->settledSize();
    std::uint64_t added = size - outputLast_;
    outputLast_ = size;
    for (; added > kSizeMask; added -= kSizeMask)
        kept_.push_back(kMore | kSizeMask);
    auto step = static_cast<std::uint32_t>(added);
    if (run.entriesWritten != last_.entriesWritten)
        step |= kEntry;
    if (run.itemsSkipped != last_.itemsSkipped)
        step |= kSkipped;
    if (run.itemsOverLimit != last_.itemsOverLimit)
        step |= kOverLimit;
    if (run.itemsCut != last_.itemsCut)
        step |= kCut;
    kept_.push_back(step);
    last_ = run;
    return false;
}

void Steps::restoreCounts(ConversionRun& run) const
{
    run.doneItems = before_.doneItems;
    run.entriesWritten = before_.entriesWritten;
    run.itemsOverLimit = before_.itemsOverLimit;
    run.itemsSkipped = before_.itemsSkipped;
    run.itemsCut = before_.itemsCut;
}

bool Steps::show(ConversionRun& run)
{
    if (!keeping_)
        return false;
    keeping_ = false;
    restoreCounts(run);
    bool stopped = false;
    std::uint64_t size = outputBefore_;
    for (const std::uint32_t step : kept_) {
        size += step & kSizeMask;
        if (step & kMore)
            continue;
        ++run.doneItems;
        run.entriesWritten += (step & kEntry) ? 1 : 0;
        run.itemsSkipped += (step & kSkipped) ? 1 : 0;
        run.itemsOverLimit += (step & kOverLimit) ? 1 : 0;
        run.itemsCut += (step & kCut) ? 1 : 0;
        if (stepProgress(run)) {
            run.output->cutBack(size);
            stopped = true;
            break;
        }
    }
    kept_ = std::vector<std::uint32_t>();
    return stopped;
}

void Steps::drop(ConversionRun& run)
{
    if (!keeping_)
        return;
    keeping_ = false;
    restoreCounts(run);
    run.recordBytesLeft = before_.recordBytesLeft;
    run.outputBytesLeft = before_.outputBytesLeft;
    run.output->cutBack(outputBefore_);
    kept_ = std::vector<std::uint32_t>();
}

} // namespace kistwerk
