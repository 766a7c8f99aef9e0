// The leaves the counting walk passes, kept in visiting order so that the
// conversion pass replays them instead of reading the node table and the nodes
// a second time. Where the nodes lie scattered between the records, that second
// walk would cost a read from the file per node.
#pragma once

#include <atomic>
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
// rest.
//
// One thread may add while another reads: the bytes live in blocks that never
// move, and a leaf is published whole, after its bytes.
class LeafLog {
public:
    explicit LeafLog(std::size_t limit);

    // Where a reader stands in the log.
    struct Cursor {
        std::size_t at = 0;
        std::int64_t index = 0;
        std::uint32_t leaves = 0;  // leaves read so far
    };

    void add(const WalkedLeaf& leaf);
    // Empty again, with room for `limit` bytes; only while no other thread reads.
    void clear();
    // False once a leaf did not fit; those after it are not kept either.
    bool complete() const { return complete_.load(std::memory_order_acquire); }

    // The leaf after `cursor`, if one has been added; false otherwise.
    bool next(Cursor& cursor, WalkedLeaf& leaf) const;

    // Calls onLeaf(leaf) for every leaf kept, in the order added, until it
    // returns false. Returns false when stopped that way.
    template <class OnLeaf>
    bool replay(OnLeaf onLeaf) const
    {
        Cursor cursor;
        WalkedLeaf leaf;
        while (next(cursor, leaf)) {
            if (!onLeaf(leaf))
                return false;
        }
        return true;
    }

private:
    static constexpr std::size_t kBlockBits = 16;

    std::uint8_t byteAt(std::size_t at) const { return blocks_[at >> kBlockBits][at & ((1u << kBlockBits) - 1)]; }

    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;  // sized once: never reallocated
    std::size_t limit_;
    std::size_t blockSize_;
    std::size_t used_ = 0;  // the adding thread's own
    std::atomic<std::size_t> published_{0};
    std::int32_t lastIndex_ = 0;
    std::atomic<bool> complete_{true};
};

} // namespace kistwerk
