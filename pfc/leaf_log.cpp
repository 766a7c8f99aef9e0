// Storing the counting walk's leaves.
#include "pfc/leaf_log.h"

namespace kistwerk {

LeafLog::LeafLog(std::size_t limit)
    : blocks_((limit >> kBlockBits) + 1), limit_(limit),
      blockSize_(limit < (std::size_t{1} << kBlockBits) ? limit : std::size_t{1} << kBlockBits)
{
}

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
    if (used_ + length > limit_) {
        complete_ = false;
        return;
    }
    for (std::size_t i = 0; i < length; ++i, ++used_) {
        std::unique_ptr<std::uint8_t[]>& block = blocks_[used_ >> kBlockBits];
        if (!block)
            block.reset(new std::uint8_t[blockSize_]);
        block[used_ & ((1u << kBlockBits) - 1)] = encoded[i];
    }
    lastIndex_ = leaf.dataIndex;
    ++leaves_;
}

bool LeafLog::next(std::size_t& at, std::int64_t& index, WalkedLeaf& leaf) const
{
    if (at >= used_)
        return false;
    std::uint64_t value = 0;
    for (int shift = 0; at < used_; shift += 7) {
        const std::uint8_t byte = byteAt(at++);
        value |= std::uint64_t{byte & 0x7Fu} << shift;
        if ((byte & 0x80u) == 0)
            break;
    }
    const std::uint64_t zigzag = value >> 1;
    index += static_cast<std::int64_t>(zigzag >> 1) ^ -static_cast<std::int64_t>(zigzag & 1);
    leaf = WalkedLeaf{static_cast<std::int32_t>(index), (value & 1) != 0};
    return true;
}

} // namespace kistwerk
