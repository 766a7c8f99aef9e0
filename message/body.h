// The body sections of a message record: which content becomes body text, the
// reassembly and decompression of compressed chunks, and the closing lines.
#pragma once

#include <cstdint>

#include "io/input.h"

namespace kistwerk {

class Output;

struct ChunkInflater;

struct ChunkInflaterDeleter {
    void operator()(ChunkInflater* inflater) const;
};

// The decompressor kept for all chunks of all items, so that no chunk sets one
// up and tears it down again. Null when zlib could not set one up.
ChunkInflater* makeChunkInflater();

// The item's two buffers, kItemBufferSize bytes each, and the kept
// decompressor. The work buffer takes record data and the text handed to the
// body filter; the reassembly buffer holds the 2-byte stream head (and, without
// a decompressor, a chunk behind it).
struct ItemBuffers {
    std::uint8_t* work = nullptr;
    std::uint8_t* reassembly = nullptr;
    ChunkInflater* inflater = nullptr;
};

// What the sections of one item carry over from record to record.
struct BodyState {
    bool typeSeen = false;      // no part type holds before the first type record
    std::uint8_t partType = 0;
    std::uint8_t encoding = 0;
    bool bracketed = false;     // section 1 opened with "[": the bracketed layout
    bool headHeld = false;      // a stream head sits in the reassembly buffer
};

// Reads `sectionCount` body sections from `in`, writes their text through the
// body filter and ends the entry with the closing lines. An over-long record or
// the end of the input ends the sections early; the closing lines still follow,
// so the entry stays apart from the next one. A text too large for the filter
// is left out (none that a record holds is).
void convertBodySections(InputCursor& in, std::uint16_t sectionCount, const ItemBuffers& buffers, Output& output);

} // namespace kistwerk
