// The leaves the counting walk passes, kept in visiting order so that the
// conversion pass replays them instead of reading the node table and the nodes
// a second time. Where the nodes lie scattered between the records, that second
// walk would cost a read from the file per node.
#pragma once

#include <cstddef>
#include <cstdint>
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
// gives up, and the conversion pass walks the tree again.
class LeafLog {
public:
    explicit LeafLog(std::size_t limit) : limit_(limit) {}

    void add(const WalkedLeaf& leaf);
    // After the last leaf: gives back the room the log does not use.
    void finish();
    // False once a leaf did not fit.
    bool complete() const { return complete_; }

    // Calls onLeaf(leaf) for every leaf in the order added, until it returns
    // false. Returns false when stopped that way.
    template <class OnLeaf>
    bool replay(OnLeaf onLeaf) const
    {
        std::int64_t index = 0;
        std::size_t at = 0;
        while (at < bytes_.size()) {
            std::uint64_t value = 0;
            for (int shift = 0; at < bytes_.size(); shift += 7) {
                const std::uint8_t byte = bytes_[at++];
                value |= std::uint64_t{byte & 0x7Fu} << shift;
                if ((byte & 0x80u) == 0)
                    break;
            }
            const std::uint64_t zigzag = value >> 1;
            index += static_cast<std::int64_t>(zigzag >> 1) ^ -static_cast<std::int64_t>(zigzag & 1);
            if (!onLeaf(WalkedLeaf{static_cast<std::int32_t>(index), (value & 1) != 0}))
                return false;
        }
        return true;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t limit_;
    std::int32_t lastIndex_ = 0;
    bool complete_ = true;
};

} // namespace kistwerk
