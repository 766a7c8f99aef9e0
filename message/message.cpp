// convertMessage: one stored mail item, from its message record to its entry.
//
// Format notes. The record header is 16 bytes: "R" at 0, "S" at 1 and "A" at 8;
// the rest means nothing. The message field list follows, then the body
// sections. Nothing is written before the whole field list has been read and the
// section count has passed the gate, so an item that fails early leaves no trace.
#include "message/message.h"

#include "message/dates.h"
#include "message/fields.h"
#include "message/header.h"

namespace kistwerk {

namespace {

constexpr std::size_t kRecordHeaderSize = 16;
constexpr std::uint16_t kMaxSectionCount = 255;

bool isRecordHeader(const std::uint8_t* header)
{
    return header[0] == 0x52 && header[1] == 0x53 && header[8] == 0x41;
}

// The buffers keep their size from item to item.
ItemBuffers takeBuffers(MessageScratch& scratch)
{
    if (scratch.work.size() < kItemBufferSize)
        scratch.work.resize(kItemBufferSize);
    if (scratch.reassembly.size() < kItemBufferSize)
        scratch.reassembly.resize(kItemBufferSize);
    if (!scratch.inflater)
        scratch.inflater.reset(makeChunkInflater());
    return ItemBuffers{scratch.work.data(), scratch.reassembly.data(), scratch.inflater.get()};
}

} // namespace

void takeMessageScratch(MessageScratch& scratch)
{
    takeBuffers(scratch);
}

namespace {

void writeEntry(const MessageContext& context, InputCursor& in, const MessageFields& fields,
                const ItemBuffers& buffers)
{
    writeDateLines(fields, context.output, context.style);
    writeHeaderBlock(fields, context.output);
    convertBodySections(in, fields.sectionCount, buffers, context.output);
}

// True when the item's entry was written.
bool convertRecord(const MessageContext& context, InputCursor& in, MessageScratch& scratch)
{
    std::uint8_t header[kRecordHeaderSize];
    if (!in.read(header, sizeof header) || !isRecordHeader(header))
        return false;

    ItemBuffers buffers = takeBuffers(scratch);
    MessageFields fields;
    clearMessageFields(fields);
    if (!readMessageFields(in, fields, buffers.work))
        return false;
    if (fields.sectionCount == 0 || fields.sectionCount > kMaxSectionCount)
        return false;
    writeEntry(context, in, fields, buffers);
    return true;
}

} // namespace

ItemOutcome convertMessage(const MessageContext& context, std::int64_t recordOffset, MessageScratch& scratch)
{
    InputCursor in(context.input, recordOffset);
    ItemOutcome outcome;
    outcome.entryWritten = convertRecord(context, in, scratch);
    // A read of the record that ran past the end of the file ended the body
    // early: the entry holds what the file still had.
    outcome.cut = outcome.entryWritten && in.ended();
    outcome.recordBytes = in.offset() - recordOffset;
    return outcome;
}

} // namespace kistwerk
