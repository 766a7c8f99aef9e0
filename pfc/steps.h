// The progress steps of the conversion pass: one per leaf, shown at once when
// the run's total is known, or kept while the walk that counts the leaves is
// still converting them. Kept steps are shown in order once the walk is done,
// with the per cents and counts a run that counted first shows; a stop at one
// of them cuts the mailbox file back to where that leaf's item ended, so the
// file and the counts are those of a run that stopped there.
#pragma once

#include <cstdint>
#include <vector>

#include "pfc/conversion_run.h"

namespace kistwerk {

class Steps {
public:
    // From now on the steps are kept. The output must be one that can be cut
    // back. False, with nothing changed, when the memory for them cannot be had.
    bool keep(ConversionRun& run);
    bool keeping() const { return keeping_; }
    // Whether the steps of `leaves` leaves fit.
    static bool roomFor(std::size_t leaves);

    // After the leaf numbered run.doneItems: its step, kept or shown. True when
    // the user asked to stop (run.cancelled is set then).
    bool pass(ConversionRun& run);

    // The total is known (run.totalItems): shows the kept steps in order. True
    // when the user asked to stop at one of them.
    bool show(ConversionRun& run);

    // Takes back all that passed since keep(): the mailbox file goes back to
    // where it was then, and so do the counts.
    void drop(ConversionRun& run);

private:
    void restoreCounts(ConversionRun& run) const;

    bool keeping_ = false;
    // Per leaf: in the top bits what its item did, below them the bytes it
    // added to the mailbox file.
    std::vector<std::uint32_t> kept_;
    RunCounts before_;              // the counts when the steps began to be kept
    RunCounts last_;                // after the last step kept
    std::uint64_t outputBefore_ = 0;  // the mailbox file's size then
    std::uint64_t outputLast_ = 0;    // and after the last step kept
};

} // namespace kistwerk
