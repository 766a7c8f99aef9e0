// The PFC container: the pointer at offset 16, the PfcHeader, the node table and
// the PfcNode tree records.
//
// Format notes. All integers are little-endian. The 32-bit value at offset 16 is
// the file offset of a 16-byte PfcHeader whose bytes 8..11 hold `entryCount`. The
// node table follows the header: entry k (numbered from 1) is a signed 32-bit
// absolute file offset at tableBase + 4k, where tableBase = headerOffset + 12.
// An index is valid when 1 <= k <= entryCount. A PfcNode is 134 bytes, of which
// only itemType (8), dataIndex (114), nextIndex (118) and childIndex (130) mean
// anything. Nothing is cross-checked against the file size by the format itself;
// here every read must deliver all its bytes or the lookup fails.
#pragma once

#include <cstdint>

#include "io/input.h"

namespace kistwerk {

struct PfcNode {
    std::uint16_t itemType = 0;
    std::int32_t dataIndex = 0;
    std::int32_t nextIndex = 0;
    std::int32_t childIndex = 0;
};

struct Container {
    InputSource* input = nullptr;
    std::int32_t entryCount = 0;
    std::int64_t tableBase = 0;  // 64-bit: tableBase + 4k must never wrap
};

// Reads the container head. False when it cannot be read whole or points before
// the file's start; the container then has no valid index (entryCount 0).
bool openContainer(Container& container, InputSource& input);

inline bool isValidIndex(const Container& container, std::int32_t k)
{
    return k >= 1 && k <= container.entryCount;
}

// The offset held in node-table entry k; false when the entry lies outside the
// file. The value itself is returned as stored, possibly negative.
bool entryOffset(const Container& container, std::int32_t k, std::int32_t& offset);

// The PfcNode of node index k; false when its table entry or its 134 bytes
// cannot be read whole, which ends the chain that leads there.
bool readNode(const Container& container, std::int32_t k, PfcNode& node);

// Whether the input begins as a PFC file does: the head reads whole and, when
// it claims entries, the node of index 1 reads whole too. The format carries no
// signature; this is what tells a wrong file (an empty one, a text, anything
// else) from an archive before any mailbox file is made. A negative count is no
// count an archive has. What lies beyond node 1 is not looked at: a file cut
// further on still converts what it holds.
bool hasContainerStart(InputSource& input);

// How many table entries lie inside the file: no valid, readable index can be
// above this, whatever `entryCount` claims.
std::int64_t entriesPresent(const Container& container);

} // namespace kistwerk
