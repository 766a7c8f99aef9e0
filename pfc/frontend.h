// What a conversion run asks of the program around it. The desktop program
// answers with the cursor, the progress dialog and message boxes; the command
// line with the terminal; tests with a recorder.
#pragma once

#include <string>

namespace kistwerk {

struct ConversionRun;

// Why a run could not do all that was asked of it, or what else the user must
// know about a finished run.
enum class RunProblem {
    InputUnreadable,   // the PFC file cannot be opened (run.fileError says why)
    OutputUnwritable,  // the mailbox file cannot be created (run.fileError says why)
    OutputIsInput,     // the mailbox file would replace the PFC file
    OutputIncomplete,  // writing the mailbox file failed part-way (run.fileError says why)
    Cancelled,         // the user stopped the run; finished entries are kept
    ItemsPassedOver,   // the file leads to the same records over and over; items beyond
                       // the run's reading limit were left out (run.itemsOverLimit)
    InputEmpty,        // the chosen file has no bytes; nothing was written
    NotPfcFile,        // the chosen file does not begin as a PFC file; nothing was written
    ItemsSkipped,      // damaged items gave no entry (run.itemsSkipped beyond run.itemsOverLimit)
    ItemsCut,          // entries whose body the end of the file cut short (run.itemsCut)
    TreePartsLost,     // chains of the folder tree that could not be read (run.treePartsLost)
    NoMessages,        // the PFC file holds no message; a mailbox file there stays as it
                       // was, else the new one is empty
    OutOfMemory,       // the run lacked memory and ended early; finished entries are kept
    // The mailbox file there stays as it was, as its folder takes no new file to
    // replace it (run.fileError says why).
    OutputNotCreatedBeside,
    // The new mailbox file was complete, but the system would not put it in the
    // place of the one there, which stays as it was (run.fileError says why).
    OutputNotReplaced,
    // The file at the mailbox file's place has the PFC file's size and bytes: the
    // PFC file reached another way (a second mount, a share), or a copy. It stays.
    OutputHoldsInputBytes,
};

// Whether the run failed. The others tell of a file that was converted, with
// losses or with nothing in it.
inline bool isFailure(RunProblem problem)
{
    return problem != RunProblem::ItemsPassedOver && problem != RunProblem::ItemsSkipped &&
           problem != RunProblem::ItemsCut && problem != RunProblem::TreePartsLost &&
           problem != RunProblem::NoMessages;
}

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    virtual void setBusyCursor(bool busy) = 0;

    // The progress display lives from before the counting pass to the end of the run.
    virtual void createProgress(ConversionRun& run) = 0;
    // Shows run.percent when it differs from run.lastDrawnPercent (lowering a value
    // above 100 to 100 and updating lastDrawnPercent). True when the user asked to
    // stop (Escape, Ctrl-C); nothing is drawn then.
    virtual bool progressStep(ConversionRun& run) = 0;
    virtual void destroyProgress(ConversionRun& run) = 0;
    // Whether the user asked to stop (Escape, Ctrl-C), asked while no progress
    // step comes: while the walk counts, or an item or the disk keeps the run
    // waiting. Nothing is drawn.
    virtual bool stopAsked() = 0;

    virtual void reportProblem(RunProblem problem, const ConversionRun& run) = 0;
};

// Whether a progress step draws: only when the percentage differs from the one
// on screen. A percentage above 100 is lowered to 100 in place first.
inline bool needsPicture(int& percent, int lastDrawnPercent)
{
    if (percent == lastDrawnPercent)
        return false;
    if (percent > 100)
        percent = 100;
    return true;
}

// A front end that shows nothing and never stops a run.
class SilentFrontEnd : public FrontEnd {
public:
    void setBusyCursor(bool) override {}
    void createProgress(ConversionRun&) override {}
    bool progressStep(ConversionRun& run) override;
    void destroyProgress(ConversionRun&) override {}
    bool stopAsked() override { return false; }
    void reportProblem(RunProblem, const ConversionRun&) override {}
};

} // namespace kistwerk
