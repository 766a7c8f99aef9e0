// Storing the counting walk's leaves.
#include "pfc/leaf_log.h"

namespace kistwerk {

void LeafLog::add(const WalkedLeaf& leaf)
{
    if (!complete_)
        return;
    const std::int64_t delta = std::int64_t{leaf.dataIndex} - lastIndex_;
    const std::uint64_t zigzag = (static_cast<std::uint64_t>(delta) << 1) ^ static_cast<std::uint64_t>(delta >> 63);
    std::uint64_t value = (zigzag << 1) | (leaf.converted ? 1u : 0u);
    std::uint8_t encoded[10];
    std::size_t length = 0;
    do {
        encoded[length] = static_cast<std::uint8_t>(value & 0x7Fu);
        value >>= 7;
        if (value != 0)
            encoded[length] |= 0x80u;
        ++length;
    } while (value != 0);
    if (bytes_.size() + length > limit_) {
        complete_ = false;
        bytes_ = std::vector<std::uint8_t>();
        return;
    }
    bytes_.insert(bytes_.end(), encoded, encoded + length);
    lastIndex_ = leaf.dataIndex;
}

void LeafLog::finish()
{
    bytes_.shrink_to_fit();
}

} // namespace kistwerk
