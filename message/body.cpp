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

// A client that compresses its text in blocks cuts characters wherever a block
// ends, so the start of a UTF-8 sequence that a folded piece ends with waits
// for the next folded piece, to be folded with the rest of its character.
struct CutSequence {
    std::uint8_t bytes[kMaxCutSequence];
    std::int32_t length = 0;
};

struct BodyContext {
    const ItemBuffers& buffers;
    Output& output;
    BodyState state;
    BodyLine line;  // the pieces of text are one body, line by line
    CutSequence cut;
};

bool isFoldedPartType(std::uint8_t partType)
{
    return partType == 3 || partType == 5 || partType == 16 || partType == 20;
}

Filtered filterText(BodyContext& body, const std::uint8_t* data, std::int32_t length)
{
    return filterBody(data, length, body.output, body.line);
}

// A sequence still waiting goes out as it stands, in a call of its own: the
// filter looks for "From:" and markup afresh at the start of each piece, so the
// piece after it must still begin a call.
void releaseCutSequence(BodyContext& body)
{
    if (body.cut.length == 0)
        return;
    filterText(body, body.cut.bytes, body.cut.length);
    body.cut.length = 0;
}

// A piece that is not folded.
void writeText(BodyContext& body, const std::uint8_t* data, std::uint32_t length)
{
    releaseCutSequence(body);
    filterText(body, data, static_cast<std::int32_t>(length));
}

// Folds and filters the `length` bytes at `work` + the waiting sequence's
// length, which lie in the work buffer; the waiting sequence goes in front of
// them, and the one this piece ends with is kept back for the next.
void foldAndWrite(BodyContext& body, std::int32_t length)
{
    std::uint8_t* work = body.buffers.work;
    const std::int32_t waiting = body.cut.length;
    std::memcpy(work, body.cut.bytes, static_cast<std::size_t>(waiting));
    std::int32_t text = waiting + length;
    const std::int32_t cut = cutSequenceLength(work, text);
    text -= cut;
    // Taken before the fold puts its zero byte behind the text.
    std::memcpy(body.cut.bytes, work + text, static_cast<std::size_t>(cut));
    body.cut.length = cut;
    foldUtf8(work, text);
    // A waiting sequence that this piece does not go on with stays as its
    // bytes, in front; should the two then be too large for the filter, the
    // bytes go in a call of their own.
    const bool split = waiting > 0 && text > kMaxBodyText;
    const std::int32_t first = split ? waiting : 0;
    if (split)
        filterText(body, work, first);
    // Behind "<binary>" nothing is text: a sequence cut off there is dropped
    // as the rest of the piece is.
    if (filterText(body, work + first, text - first) == Filtered::AtBinary)
        body.cut.length = 0;
}

// The fold works in place and needs a spare byte behind the text, so it runs in
// the work buffer.
void writeFolded(BodyContext& body, const std::uint8_t* data, std::uint32_t length)
{
    std::uint8_t* at = body.buffers.work + body.cut.length;
    if (data != at)
        std::memmove(at, data, length);
    foldAndWrite(body, static_cast<std::int32_t>(length));
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
    // The text goes to the work buffer, behind room for a waiting sequence.
    std::uint8_t* out = body.buffers.work + body.cut.length;
    if (body.buffers.inflater != nullptr) {
        // A chunk that was copied to the work buffer moves out of the text's way first.
        if (data == body.buffers.work) {
            std::memcpy(body.buffers.reassembly + kStreamHeadSize, data, length);
            data = body.buffers.reassembly + kStreamHeadSize;
        }
        produced = inflateChunk(*body.buffers.inflater, body.buffers.reassembly, data, length, out);
    } else {
        std::memcpy(body.buffers.reassembly + kStreamHeadSize, data, length);
        uncompress(out, &produced, body.buffers.reassembly, length + kStreamHeadSize);
    }
    // The destination limit keeps the reported length at most 65,000; the fold
    // needs the one spare byte behind it.
    foldAndWrite(body, static_cast<std::int32_t>(produced));
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

void convertBodySections(InputCursor& in, std::uint16_t sectionCount, const ItemBuffers& buffers, Output& output)
{
    BodyContext body{buffers, output, BodyState{}, BodyLine{}, CutSequence{}};
    for (int section = 0; section < sectionCount; ++section) {
        if (!convertSection(body, in, section))
            break;
    }
    releaseCutSequence(body);
    endBody(body.line, output);
    output.write("\r\n\r\n", 4);
}

} // namespace kistwerk
