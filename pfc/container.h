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

#include <cstddef>
#include <cstdint>
#include <vector>

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

// Whether the input begins as a PFC file does: the head reads whole, counts at
// least one entry (the client always writes its folders), and leads to a node
// 1 that reads whole, lies clear of the head, leads on and holds no index
// beyond the table. The format carries no signature; this is what tells a
// wrong file (an empty one, a text, a program, anything else) from an archive
// before any mailbox file is made. What lies beyond node 1 is not looked at: a
// file cut further on still converts what it holds.
bool hasContainerStart(InputSource& input);

// How many table entries lie inside the file: no valid, readable index can be
// above this, whatever `entryCount` claims.
std::int64_t entriesPresent(const Container& container);

// Where the node table's entries begin, to within a block of 256 bytes. A
// record ends at the latest where the next entry begins, so a reader can take
// a record in one read of about its size, in whatever order the records lie.
// One bit per block: 512 KiB for 1 GiB. Only a table of at most a 64th of the
// file is read for it (an archive's table takes well under 1 %); for any other
// the map stays empty and tells nothing.
class EntryStarts {
public:
    // Reads the table through `input`. False when the map stays empty.
    bool build(const Container& container, InputSource& input);
    // About how many bytes the entry at `offset` takes: up to the end of the
    // block in which the next entry begins, at most `limit`; 0 when the map is
    // empty or `offset` lies outside it.
    std::size_t extentFrom(std::int64_t offset, std::size_t limit) const;

private:
    static constexpr int kBlockBits = 8;
    std::vector<std::uint64_t> bits_;
    std::int64_t size_ = 0;
};

} // namespace kistwerk
