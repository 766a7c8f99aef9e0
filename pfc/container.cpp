// Container head, node table and PfcNode lookups.
#include "pfc/container.h"

#include <algorithm>
#include <bit>

namespace kistwerk {

namespace {

constexpr std::int64_t kHeaderPointerOffset = 16;
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kEntryCountOffset = 8;
constexpr std::int64_t kTableBaseBehindHeader = 4;  // tableBase = header end - 4

constexpr std::size_t kNodeSize = 134;
constexpr std::size_t kItemTypeOffset = 8;
constexpr std::size_t kDataIndexOffset = 114;
constexpr std::size_t kNextIndexOffset = 118;
constexpr std::size_t kChildIndexOffset = 130;

} // namespace

bool openContainer(Container& container, InputSource& input)
{
    container.input = &input;
    container.entryCount = 0;
    container.tableBase = 0;

    std::uint8_t pointer[4];
    if (!input.readExact(kHeaderPointerOffset, pointer, sizeof pointer))
        return false;
    std::int32_t headerOffset = loadI32(pointer);
    std::uint8_t header[kHeaderSize];
    if (headerOffset < 0 || !input.readExact(headerOffset, header, sizeof header))
        return false;
    container.entryCount = loadI32(header + kEntryCountOffset);
    container.tableBase = std::int64_t{headerOffset} + std::int64_t{kHeaderSize} - kTableBaseBehindHeader;
    return true;
}

bool entryOffset(const Container& container, std::int32_t k, std::int32_t& offset)
{
    if (container.input == nullptr)
        return false;
    std::uint8_t entry[4];
    if (!container.input->readExact(container.tableBase + 4 * std::int64_t{k}, entry, sizeof entry))
        return false;
    offset = loadI32(entry);
    return true;
}

bool readNode(const Container& container, std::int32_t k, PfcNode& node)
{
    std::int32_t offset = 0;
    if (!entryOffset(container, k, offset) || offset < 0)
        return false;
    std::uint8_t raw[kNodeSize];
    if (!container.input->readExact(offset, raw, sizeof raw))
        return false;
    node.itemType = loadU16(raw + kItemTypeOffset);
    node.dataIndex = loadI32(raw + kDataIndexOffset);
    node.nextIndex = loadI32(raw + kNextIndexOffset);
    node.childIndex = loadI32(raw + kChildIndexOffset);
    return true;
}

namespace {

// Whether node 1 at `offset` could be one the client wrote: clear of the
// pointer at offset 16 and of the head with the table entry that leads to it,
// leading on to a folder, a sibling or a record, and no index in it beyond the
// table (an index that means none is 0 or negative, as the client writes it).
bool isPlausibleFirstNode(const Container& container, std::int64_t offset, const PfcNode& node)
{
    const std::int64_t headerOffset = container.tableBase + kTableBaseBehindHeader - std::int64_t{kHeaderSize};
    const std::int64_t end = offset + std::int64_t{kNodeSize};
    const bool clearOfPointer = offset >= kHeaderPointerOffset + 4;
    const bool clearOfHead = end <= headerOffset || offset >= container.tableBase + 8;
    auto link = [&container](std::int32_t k) { return k <= container.entryCount; };
    const bool leadsOn = isValidIndex(container, node.childIndex) || isValidIndex(container, node.nextIndex) ||
                         isValidIndex(container, node.dataIndex);
    return clearOfPointer && clearOfHead && leadsOn && link(node.dataIndex) && link(node.nextIndex) &&
           link(node.childIndex);
}

} // namespace

bool hasContainerStart(InputSource& input)
{
    Container container;
    if (!openContainer(container, input) || container.entryCount < 1)
        return false;
    std::int32_t offset = 0;
    PfcNode first;
    return entryOffset(container, 1, offset) && readNode(container, 1, first) &&
           isPlausibleFirstNode(container, offset, first);
}

std::int64_t entriesPresent(const Container& container)
{
    if (container.input == nullptr)
        return 0;
    std::int64_t room = container.input->size() - container.tableBase - 4;
    return room < 0 ? 0 : room / 4;
}

namespace {

// The map is made only for a table of at most a 64th of the file: a head that
// claims far more entries than an archive of this size holds would make it
// cost a read of much of the file.
constexpr std::int64_t kTableShare = 64;

} // namespace

bool EntryStarts::build(const Container& container, InputSource& input)
{
    bits_.clear();
    const std::int64_t entries = std::min<std::int64_t>(container.entryCount, entriesPresent(container));
    size_ = std::min<std::int64_t>(input.size(), INT32_MAX);
    if (entries <= 0 || entries * 4 > input.size() / kTableShare)
        return false;
    bits_.assign(static_cast<std::size_t>((size_ >> kBlockBits) / 64 + 1), 0);
    std::vector<std::uint8_t> chunk(std::size_t{1} << 16);
    for (std::int64_t k = 1; k <= entries;) {
        const std::int64_t count = std::min<std::int64_t>(entries - k + 1, static_cast<std::int64_t>(chunk.size() / 4));
        const std::size_t got = input.readAt(container.tableBase + 4 * k, chunk.data(), static_cast<std::size_t>(count) * 4);
        for (std::size_t i = 0; i + 4 <= got; i += 4) {
            const auto offset = static_cast<std::int32_t>(loadU32(chunk.data() + i));
            if (offset >= 0 && offset < size_) {
                const std::int64_t block = offset >> kBlockBits;
                bits_[static_cast<std::size_t>(block / 64)] |= std::uint64_t{1} << (block % 64);
            }
        }
        if (got < static_cast<std::size_t>(count) * 4)
            break;
        k += count;
    }
    return true;
}

std::size_t EntryStarts::extentFrom(std::int64_t offset, std::size_t limit) const
{
    if (bits_.empty() || offset < 0 || offset >= size_)
        return 0;
    const std::int64_t first = (offset >> kBlockBits) + 1;
    const std::int64_t last = std::min<std::int64_t>((offset + static_cast<std::int64_t>(limit)) >> kBlockBits,
                                                     (size_ - 1) >> kBlockBits);
    for (std::int64_t block = first; block <= last;) {
        const std::uint64_t word = bits_[static_cast<std::size_t>(block / 64)] >> (block % 64);
        if (word != 0) {
            const std::int64_t next = block + std::countr_zero(word);
            if (next > last)
                break;
            return static_cast<std::size_t>(((next + 1) << kBlockBits) - offset);
        }
        block += 64 - block % 64;
    }
    return limit;
}

} // namespace kistwerk
