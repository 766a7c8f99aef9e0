// Body sections.
//
// Format notes. Each section is 8 unread bytes and a field list framed like the
// message field list. Tag 12 with size class 2 is a type record (part type,
// encoding byte) that holds for all later content of the item, across sections;
// tag 13 with size class 7 is a content record. Part type 0 is plain text, or in
// the bracketed layout (section 1 opens with "["), from section 3 on, zlib
// chunks: a 2-byte chunk with encoding 1 is the stream head (RFC 1950 header),
// and each later encoding-1 chunk is one complete stream behind that head. Part
// types 3, 5, 16 and 20 are UTF-8 text; all others are not mail text.
#include "message/body.h"

#include <cstring>

#include <zlib.h>

#include "io/output.h"
#include "message/fields.h"
#include "text/filter.h"
#include "text/fold.h"

namespace kistwerk {

// A raw-deflate stream, reset for each chunk. The stream head is checked by
// hand, and the trailing Adler-32 is not checked at all: a chunk's text is what
// decompression produced, whether the checksum agrees or not.
struct ChunkInflater {
    z_stream stream{};
};

ChunkInflater* makeChunkInflater()
{
    auto* inflater = new ChunkInflater;
    if (inflateInit2(&inflater->stream, -MAX_WBITS) != Z_OK) {
        delete inflater;
        return nullptr;
    }
    return inflater;
}

void ChunkInflaterDeleter::operator()(ChunkInflater* inflater) const
{
    inflateEnd(&inflater->stream);
    delete inflater;
}

namespace {

constexpr std::size_t kSectionLeadSize = 8;
constexpr std::uint16_t kTagType = 12;
constexpr std::uint8_t kTypeSizeClass = 2;
constexpr std::uint16_t kTagContent = 13;
constexpr std::uint8_t kContentSizeClass = 7;
constexpr std::uint8_t kEncodingCompressed = 1;
constexpr std::uint32_t kStreamHeadSize = 2;
constexpr uLongf kInflatedLimit = 65000;

struct BodyContext {
    const ItemBuffers& buffers;
    Output& output;
    MessageWarnings* warnings;
    BodyState state;
    BodyLine line;  // the pieces of text are one body, line by line
};

bool isFoldedPartType(std::uint8_t partType)
{
    return partType == 3 || partType == 5 || partType == 16 || partType == 20;
}

void writeText(BodyContext& body, const std::uint8_t* data, std::uint32_t length)
{
    if (!filterBody(data, static_cast<std::int32_t>(length), body.output, body.line) && body.warnings != nullptr)
        body.warnings->textTooLarge();
}

// The fold works in place and needs a spare byte behind the text, so it runs in
// the work buffer.
void writeFolded(BodyContext& body, const std::uint8_t* data, std::uint32_t length)
{
    if (data != body.buffers.work)
        std::memcpy(body.buffers.work, data, length);
    auto folded = static_cast<std::int32_t>(length);
    foldUtf8(body.buffers.work, folded);
    writeText(body, body.buffers.work, static_cast<std::uint32_t>(folded));
}

// The heads zlib accepts: the check bits, deflate, a window of at most 32 KiB
// and no preset dictionary. Behind any other head nothing is produced.
bool isUsableStreamHead(const std::uint8_t* head)
{
    const unsigned method = head[0];
    const unsigned flags = head[1];
    return (method * 256 + flags) % 31 == 0 && (method & 0x0F) == Z_DEFLATED && (method >> 4) + 8 <= MAX_WBITS &&
           (flags & 0x20) == 0;
}

// The chunk's deflate data straight from `data`, into the work buffer.
uLongf inflateChunk(ChunkInflater& inflater, const std::uint8_t* head, const std::uint8_t* data,
                    std::uint32_t length, std::uint8_t* out)
{
    if (!isUsableStreamHead(head))
        return 0;
    z_stream& stream = inflater.stream;
    if (inflateReset(&stream) != Z_OK)
        return 0;
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = length;
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(kInflatedLimit);
    // All input and all room are there at once: finishing in one call spares
    // zlib keeping a copy of the output as its window.
    inflate(&stream, Z_FINISH);
    return kInflatedLimit - stream.avail_out;
}

// Decompresses the chunk behind the held stream head. A damaged chunk is not an
// error: what zlib managed to produce is the text.
void writeInflated(BodyContext& body, const std::uint8_t* data, std::uint32_t length)
{
    uLongf produced = kInflatedLimit;
    if (body.buffers.inflater != nullptr) {
        // The text goes to the work buffer, so a chunk that was copied there
        // moves out of its way first.
        if (data == body.buffers.work) {
            std::memcpy(body.buffers.reassembly + kStreamHeadSize, data, length);
            data = body.buffers.reassembly + kStreamHeadSize;
        }
        produced = inflateChunk(*body.buffers.inflater, body.buffers.reassembly, data, length, body.buffers.work);
    } else {
        std::memcpy(body.buffers.reassembly + kStreamHeadSize, data, length);
        uncompress(body.buffers.work, &produced, body.buffers.reassembly, length + kStreamHeadSize);
    }
    // The destination limit keeps the reported length at most 65,000; the fold
    // needs the one spare byte behind it.
    writeFolded(body, body.buffers.work, static_cast<std::uint32_t>(produced));
}

void handlePlainContent(BodyContext& body, int section, const std::uint8_t* data, std::uint32_t length)
{
    BodyState& s = body.state;
    if (section == 1) {
        if (length > 0 && data[0] == '[')
            s.bracketed = true;
        else
            writeText(body, data, length);
        return;
    }
    if (!s.bracketed) {
        writeText(body, data, length);
        return;
    }
    if (section == 0 || section == 2)
        return;
    if (s.encoding == kEncodingCompressed && length == kStreamHeadSize) {
        std::memcpy(body.buffers.reassembly, data, kStreamHeadSize);
        s.headHeld = true;
        return;
    }
    if (s.encoding == kEncodingCompressed && s.headHeld) {
        writeInflated(body, data, length);
        return;
    }
    writeText(body, data, length);
}

// `data` may lie in the input's own memory: it is used before the next read.
void handleContent(BodyContext& body, int section, const std::uint8_t* data, std::uint32_t length)
{
    if (!body.state.typeSeen)
        return;
    if (body.state.partType == 0)
        handlePlainContent(body, section, data, length);
    else if (isFoldedPartType(body.state.partType))
        writeFolded(body, data, length);
}

bool isWanted(const FieldRecord& record)
{
    return (record.tag == kTagType && record.sizeClass == kTypeSizeClass) ||
           (record.tag == kTagContent && record.sizeClass == kContentSizeClass);
}

// One section field list. False when the item must end.
bool convertSection(BodyContext& body, InputCursor& in, int section)
{
    if (!in.skip(kSectionLeadSize))
        return false;
    FieldRecord record;
    for (;;) {
        FieldStep step = nextWantedField(in, record, isWanted);
        if (step != FieldStep::Record)
            return step == FieldStep::EndOfList;
        const std::uint8_t* data = in.view(record.length, body.buffers.work);
        if (data == nullptr)
            return false;
        if (record.tag == kTagType) {
            body.state.typeSeen = true;
            body.state.partType = data[0];
            body.state.encoding = data[1];
        } else {
            handleContent(body, section, data, record.length);
        }
    }
}

} // namespace

void convertBodySections(InputCursor& in, std::uint16_t sectionCount, const ItemBuffers& buffers,
                         Output& output, MessageWarnings* warnings)
{
    BodyContext body{buffers, output, warnings, BodyState{}, BodyLine{}};
    for (int section = 0; section < sectionCount; ++section) {
        if (!convertSection(body, in, section))
            break;
    }
    endBody(body.line, output);
    output.write("\r\n\r\n", 4);
}

} // namespace kistwerk
