// convertMessage: one stored mail item, from its message record to its entry.
//
// Format notes. The record header is 16 bytes: "R" at 0, "S" at 1 and "A" at 8;
// the rest means nothing. The message field list follows, then the body
// sections. Nothing is written before the whole field list has been read and the
// section count has passed the gate, so an item that fails early leaves no trace.
#include "message/message.h"

#include "message/body.h"
#include "message/dates.h"
#include "message/fields.h"
#include "message/header.h"
#include "pfc/run.h"

namespace kistwerk {

namespace {

constexpr std::size_t kRecordHeaderSize = 16;
constexpr std::uint16_t kMaxSectionCount = 255;

bool isRecordHeader(const std::uint8_t* header)
{
    return header[0] == 0x52 && header[1] == 0x53 && header[8] == 0x41;
}

// The buffers live in the run and keep their size from item to item; no item
// reads a byte it did not put there itself.
ItemBuffers takeBuffers(ConversionRun& run)
{
    if (run.workBuffer.size() < kItemBufferSize)
        run.workBuffer.resize(kItemBufferSize);
    if (run.reassemblyBuffer.size() < kItemBufferSize)
        run.reassemblyBuffer.resize(kItemBufferSize);
    if (!run.inflater)
        run.inflater.reset(makeChunkInflater());
    return ItemBuffers{run.workBuffer.data(), run.reassemblyBuffer.data(), run.inflater.get()};
}

void writeEntry(ConversionRun& run, InputCursor& in, const MessageFields& fields, const ItemBuffers& buffers)
{
    SilentFrontEnd silent;
    FrontEnd& frontEnd = run.frontEnd != nullptr ? *run.frontEnd : silent;
    writeDateLines(fields, *run.output, run.style);
    writeHeaderBlock(fields, *run.output);
    convertBodySections(in, fields.sectionCount, buffers, *run.output, frontEnd);
}

void convertRecord(ConversionRun& run, InputCursor& in)
{
    std::uint8_t header[kRecordHeaderSize];
    if (!in.read(header, sizeof header) || !isRecordHeader(header))
        return;

    ItemBuffers buffers = takeBuffers(run);
    MessageFields fields;
    clearMessageFields(fields);
    if (!readMessageFields(in, fields, buffers.work))
        return;
    if (fields.sectionCount == 0 || fields.sectionCount > kMaxSectionCount)
        return;
    ++run.entriesWritten;
    writeEntry(run, in, fields, buffers);
}

} // namespace

void convertMessage(ConversionRun& run, std::int32_t dataIndex)
{
    if (run.input == nullptr || run.output == nullptr)
        return;
    if (run.recordBytesLeft <= 0) {
        ++run.itemsOverLimit;
        return;
    }
    std::int32_t offset = 0;
    if (!entryOffset(run.container, dataIndex, offset) || offset < 0)
        return;
    InputCursor in(*run.input, offset);
    convertRecord(run, in);
    run.recordBytesLeft -= in.offset() - offset;
}

} // namespace kistwerk
