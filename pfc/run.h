// One conversion run: open the PFC file and the mailbox file, walk the node tree
// twice (count, then convert) and close everything again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pfc/container.h"
#include "pfc/frontend.h"
#include "pfc/input.h"
#include "pfc/output.h"
#include "pfc/style.h"

namespace kistwerk {

struct ConversionRun;
struct ChunkInflater;  // kept with the body sections

struct ChunkInflaterDeleter {
    void operator()(ChunkInflater* inflater) const;
};

// Converts the item whose message record the data index leads to.
using ItemConverter = std::function<void(ConversionRun&, std::int32_t dataIndex)>;

struct ConversionRun {
    std::string inputPath;
    InputSource* input = nullptr;
    std::string outputName;      // where the mailbox file goes; "-" is standard output
    Output* output = nullptr;
    Container container;          // entryCount and tableBase
    std::uint32_t totalItems = 0; // leaves with a valid data index (counting pass)
    std::uint32_t doneItems = 0;  // of those, passed so far (conversion pass)
    int percent = 0;
    int lastDrawnPercent = 0;
    FrontEnd* frontEnd = nullptr;
    MailboxStyle style;           // set before the run; the default is the Windows form

    // Threads that convert items: 0 lets the run choose by the machine's cores,
    // 1 converts every item on the calling thread.
    int threads = 0;

    std::uint32_t entriesWritten = 0;  // items that reached the mailbox file
    // Bytes of message records the items of this run may still read. Records
    // that several leaves share, or that start inside one another, would make a
    // small file read its records over and over; the limit keeps the run's time
    // in proportion to the file, far above what a file of separate records needs.
    std::int64_t recordBytesLeft = INT64_MAX;
    std::uint32_t itemsOverLimit = 0;  // items passed over once the limit was spent
    bool cancelled = false;
    bool outputOpened = false;    // the mailbox file was created (or standard output taken)

    // Scratch storage the message conversion reuses from item to item.
    std::vector<std::uint8_t> workBuffer;
    std::vector<std::uint8_t> reassemblyBuffer;
    std::unique_ptr<ChunkInflater, ChunkInflaterDeleter> inflater;

    // Tests replace the message conversion to watch the walk; empty means
    // convertMessage. A replaced conversion always runs on the calling thread.
    ItemConverter convertItem;
};

// The item types whose leaves become mailbox entries.
bool isConvertedItemType(std::uint16_t itemType);

// File-name part of the path (no drive, no folder, nothing from its last dot on)
// followed by ".mbx": "C:\\Post\\Post.2009.pfc" gives "Post.2009.mbx".
std::string mailboxName(const std::string& inputPath);

// Converts the PFC file at `inputPath`. Without `outputPath` the mailbox file is
// `mailboxName(inputPath)` in the current directory; "-" writes to standard output.
// Problems go to the front end; the result is true when there were none.
bool runConversion(ConversionRun& run, const std::string& inputPath, FrontEnd& frontEnd,
                   const std::string& outputPath = std::string());

// The two passes over an already opened input and output: reads the container
// head, shows the progress, counts and converts. Used by runConversion and tests.
void convertContainer(ConversionRun& run, InputSource& input, Output& output, FrontEnd& frontEnd);

// The counting walk: adds the leaves with a valid data index below and along the
// chain that starts at node index k to run.totalItems.
void countChain(ConversionRun& run, std::int32_t k);

// The conversion walk over the same nodes in the same order. Returns false when
// the front end asked to stop. Converts on as many threads as the run chooses.
bool convertChain(ConversionRun& run, std::int32_t k);

// The conversion walk with every item converted on the calling thread.
bool convertChainInline(ConversionRun& run, std::int32_t k);

// After the leaf numbered run.doneItems: sets run.percent and runs the front
// end's progress step. True when the user asked to stop (run.cancelled is set).
bool stepProgress(ConversionRun& run);

} // namespace kistwerk
