// The state of one conversion run, in three parts: what the caller sets before
// the run, what the run counts as it goes (and the front ends show), and what
// converting one item needs. A worker thread holds the last two of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "io/file_fault.h"
#include "io/input.h"
#include "io/output.h"
#include "io/style.h"
#include "message/message.h"
#include "pfc/container.h"
#include "pfc/memory_plan.h"

namespace kistwerk {

class FrontEnd;
struct ConversionRun;

// Converts the item whose message record the data index leads to.
using ItemConverter = std::function<void(ConversionRun&, std::int32_t dataIndex)>;

struct RunSettings {
    std::string inputPath;
    std::string outputName;  // where the mailbox file goes; "-" is standard output
    MailboxStyle style;      // the default is the Windows form

    // Threads that convert items: 0 lets the run choose by the machine's cores,
    // 1 converts every item on the calling thread.
    int threads = 0;

    // Message-record bytes every run may read, whatever the file's size: the
    // reading limit guards against a small file that makes its leaves read the
    // same records over and over, but a file this cheap to convert is never cut.
    // Tests lower it to reach the limit with small files.
    std::int64_t recordReadFloor = std::int64_t{64} << 20;
    // The same for the bytes the run may write: a small file whose records
    // inflate to the most text a chunk can hold, read over and over, would
    // otherwise fill a disk.
    std::int64_t outputFloor = std::int64_t{1} << 30;

    // Tests replace the message conversion to watch the walk; empty means the
    // message conversion. A replaced conversion always runs on the calling thread.
    ItemConverter convertItem;

    // The longest the front end goes without being asked whether the user
    // wants to stop, whatever the run is waiting for (the count, a slow disk,
    // a large item). Tests set 0 to ask at every chance.
    std::chrono::milliseconds lookEvery{100};

    // Bytes the run may keep of the counting walk's leaves, so that the
    // conversion pass need not walk the tree again; a file with more leaves is
    // walked twice. A million leaves usually fit. Tests lower it.
    std::size_t leafLogLimit = MemoryPlan::kLeafLog;
};

struct RunCounts {
    std::uint32_t totalItems = 0;  // leaves with a valid data index (counting pass)
    std::uint32_t doneItems = 0;   // of those, passed so far (conversion pass)
    int percent = 0;
    int lastDrawnPercent = 0;
    std::uint32_t entriesWritten = 0;  // items that reached the mailbox file
    // Bytes of message records the items of this run may still read. Records
    // that several leaves share, or that start inside one another, would make a
    // small file read its records over and over; the limit keeps the run's time
    // in proportion to the file, far above what a file of separate records needs.
    std::int64_t recordBytesLeft = INT64_MAX;
    // Bytes the items of this run may still write, in the Windows form.
    std::int64_t outputBytesLeft = INT64_MAX;
    std::uint32_t itemsOverLimit = 0;  // items passed over once a limit was spent
    // Leaves of a converted type that gave no entry: a damaged or cut record, one
    // without body sections or with too many, and the items over the limit.
    std::uint32_t itemsSkipped = 0;
    // Entries whose body the end of the file cut short: written as far as it went.
    std::uint32_t itemsCut = 0;
    // Chains of the folder tree the walk could not follow to their end (a table
    // entry or a node it could not read) and subtrees past its ceilings: the
    // leaves behind them are neither counted nor converted.
    std::uint32_t treePartsLost = 0;
    bool cancelled = false;
    FileError fileError;  // why the PFC file or the mailbox file failed, if one did
    bool outOfMemory = false;  // the run ended early for want of memory
};

// Whether the run went through: neither stopped nor ended for want of memory.
inline bool ranToItsEnd(const RunCounts& counts)
{
    return !counts.cancelled && !counts.outOfMemory;
}

struct ItemContext {
    InputSource* input = nullptr;
    Output* output = nullptr;
    Container container;  // entryCount and tableBase
    MessageScratch scratch;
};

// What became of the place the mailbox file goes to. A mailbox file on disk is
// written beside the file at that place and takes its place only at the end.
enum class MailboxFate {
    NoneMade,   // no file was there, and none is now
    OldKept,    // the file that was there stays as it was
    InPlace,    // the new mailbox file stands there
    Streamed,   // a device, a pipe or standard output took every byte
    StreamCut,  // a device, a pipe or standard output took only some of them
};

struct ConversionRun : RunSettings, RunCounts, ItemContext {
    FrontEnd* frontEnd = nullptr;
    bool outputOpened = false;  // the mailbox file was created (or standard output taken)
    MailboxFate mailbox = MailboxFate::NoneMade;
};

// Back to the counts of a run that has not begun.
inline void resetCounts(RunCounts& counts)
{
    counts = RunCounts{};
}

} // namespace kistwerk
