// The leaves the counting walk passes without handing them on, kept in
// visiting order so that the conversion takes them from here instead of
// reading the node table and the nodes a second time. Where the nodes lie
// scattered between the records, that second walk would cost a read from the
// file per node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kistwerk {

// What the conversion pass needs of a leaf with a valid data index.
struct WalkedLeaf {
    std::int32_t dataIndex = 0;
    bool converted = false;  // its item type is one that becomes an entry
};

// Each leaf is stored as the difference of its data index to the one before
// (zigzag, 7 bits a byte) with the converted flag as its lowest bit: one byte
// for the usual archive, whose leaves' records follow one another in the
// table, at most five for any. Memory is bounded: past `limit` bytes the log
// keeps no more leaves, and the conversion pass walks the tree again for the
// rest. The bytes live in blocks taken as the log grows.
class LeafLog {
public:
    explicit LeafLog(std::size_t limit);

    // Throws std::bad_alloc when a block cannot be had.
    void add(const WalkedLeaf& leaf);
    // False once a leaf did not fit; those after it are not kept either.
    bool complete() const { return complete_; }
    // The leaves kept.
    std::uint32_t size() const { return leaves_; }

    // Calls onLeaf(leaf) for every leaf kept, in the order added, until it
    // returns false. Returns false when stopped that way.
    template <class OnLeaf>
    bool replay(OnLeaf onLeaf) const
    {
        std::size_t at = 0;
        std::int64_t index = 0;
        WalkedLeaf leaf;
        while (next(at, index, leaf)) {
            if (!onLeaf(leaf))
                return false;
        }
        return true;
    }

private:
    static constexpr std::size_t kBlockBits = 16;

    bool next(std::size_t& at, std::int64_t& index, WalkedLeaf& leaf) const;
    std::uint8_t byteAt(std::size_t at) const { return blocks_[at >> kBlockBits][at & ((1u << kBlockBits) - 1)]; }

    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
    std::size_t limit_;
    std::size_t blockSize_;
    std::size_t used_ = 0;
    std::int32_t lastIndex_ = 0;
    std::uint32_t leaves_ = 0;
    bool complete_ = true;
};

} // namespace kistwerk
