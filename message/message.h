// One stored mail item: from its message record to its mailbox entry.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "io/input.h"
#include "io/style.h"
#include "message/body.h"

namespace kistwerk {

class Output;

// Storage the message conversion reuses from item to item: the two item
// buffers and the decompressor. No item reads a byte it did not put there
// itself, so nothing carries over from one item to the next.
struct MessageScratch {
    std::vector<std::uint8_t> work;
    std::vector<std::uint8_t> reassembly;
    std::unique_ptr<ChunkInflater, ChunkInflaterDeleter> inflater;
};

// Where one item is read from and written to.
struct MessageContext {
    InputSource& input;
    Output& output;
    const MailboxStyle& style;
};

// What became of one item.
struct ItemOutcome {
    bool entryWritten = false;
    bool cut = false;              // the end of the file came before the end of the body
    std::int64_t recordBytes = 0;  // bytes of its message record that were read
};

// Takes the scratch's buffers and decompressor now rather than at the first
// item, for a thread that must not allocate once it converts. Throws
// std::bad_alloc when they cannot be had.
void takeMessageScratch(MessageScratch& scratch);

// Reads the message record at `recordOffset` and appends its entry to the
// output. An item that fails a test yields nothing; the caller goes on.
ItemOutcome convertMessage(const MessageContext& context, std::int64_t recordOffset, MessageScratch& scratch);

} // namespace kistwerk
