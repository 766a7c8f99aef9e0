// Container head, node table and PfcNode lookups.
#include "pfc/container.h"

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

bool hasContainerStart(InputSource& input)
{
    Container container;
    if (!openContainer(container, input) || container.entryCount < 0)
        return false;
    PfcNode first;
    return container.entryCount == 0 || readNode(container, 1, first);
}

std::int64_t entriesPresent(const Container& container)
{
    if (container.input == nullptr)
        return 0;
    std::int64_t room = container.input->size() - container.tableBase - 4;
    return room < 0 ? 0 : room / 4;
}

} // namespace kistwerk
