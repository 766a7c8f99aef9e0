// PFC image builder for tests, the bundled sample and generated benchmarks.
#include "testkit/pfc_builder.h"

#include <cstdio>

namespace kistwerk::fixture {

void putU16(Bytes& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void putU32(Bytes& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void setU32(Bytes& out, std::size_t at, std::uint32_t v)
{
    if (out.size() < at + 4)
        out.resize(at + 4, 0);
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

PfcBuilder::PfcBuilder(std::int32_t tableSize)
{
    // Bytes that mean nothing are filled with a pattern, so a reader that used
    // them by mistake would stand out.
    image_.assign(static_cast<std::size_t>(tableBase() + 4 + 4 * std::int64_t{tableSize}), 0xEE);
    setU32(image_, 16, static_cast<std::uint32_t>(headerOffset()));
    setEntryCount(tableSize);
    for (std::int32_t k = 1; k <= tableSize; ++k)
        setEntry(k, 0);
}

void PfcBuilder::setEntryCount(std::int32_t count)
{
    setU32(image_, static_cast<std::size_t>(headerOffset() + 8), static_cast<std::uint32_t>(count));
}

void PfcBuilder::setEntry(std::int32_t k, std::int32_t offset)
{
    setU32(image_, static_cast<std::size_t>(tableBase() + 4 * std::int64_t{k}), static_cast<std::uint32_t>(offset));
}

std::int32_t PfcBuilder::append(const Bytes& data)
{
    auto at = static_cast<std::int32_t>(image_.size());
    image_.insert(image_.end(), data.begin(), data.end());
    return at;
}

std::int32_t PfcBuilder::node(std::int32_t k, std::uint16_t itemType, std::int32_t dataIndex,
                              std::int32_t nextIndex, std::int32_t childIndex)
{
    std::int32_t at = append(pfcNode(itemType, dataIndex, nextIndex, childIndex));
    setEntry(k, at);
    return at;
}

std::int32_t PfcBuilder::record(std::int32_t k, const Bytes& data)
{
    std::int32_t at = append(data);
    setEntry(k, at);
    return at;
}

bool PfcBuilder::writeTo(const std::string& path) const
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(image_.data(), 1, image_.size(), f) == image_.size();
    return std::fclose(f) == 0 && ok;
}

Bytes pfcNode(std::uint16_t itemType, std::int32_t dataIndex, std::int32_t nextIndex,
              std::int32_t childIndex)
{
    Bytes node(134, 0xA5);
    node[8] = static_cast<std::uint8_t>(itemType);
    node[9] = static_cast<std::uint8_t>(itemType >> 8);
    setU32(node, 114, static_cast<std::uint32_t>(dataIndex));
    setU32(node, 118, static_cast<std::uint32_t>(nextIndex));
    setU32(node, 130, static_cast<std::uint32_t>(childIndex));
    return node;
}

MessageBuilder::MessageBuilder()
{
    data_ = {0x52, 0x53, 0, 0, 0, 0, 0, 0, 0x41, 0, 0, 0, 0, 0, 0, 0};
}

MessageBuilder& MessageBuilder::field(std::uint16_t tag, const Bytes& data)
{
    return rawField(tag, 7, static_cast<std::uint32_t>(data.size()), data);
}

MessageBuilder& MessageBuilder::rawField(std::uint16_t tag, std::uint8_t sizeClass, std::uint32_t length,
                                         const Bytes& data)
{
    putU16(data_, tag);
    data_.push_back(sizeClass);
    if (sizeClass < 1 || sizeClass > 4)
        putU32(data_, length);
    data_.insert(data_.end(), data.begin(), data.end());
    return *this;
}

MessageBuilder& MessageBuilder::sectionCount(std::uint16_t count)
{
    return rawField(2, 2, 0, Bytes{static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)});
}

MessageBuilder& MessageBuilder::timestamp(std::int32_t seconds)
{
    Bytes v;
    putU32(v, static_cast<std::uint32_t>(seconds));
    return rawField(24, 4, 0, v);
}

MessageBuilder& MessageBuilder::endList()
{
    data_.insert(data_.end(), {0x41, 0x4F, 0x00, 0x00});
    return *this;
}

MessageBuilder& MessageBuilder::section()
{
    data_.insert(data_.end(), 8, 0x5A);
    return *this;
}

MessageBuilder& MessageBuilder::typeRecord(std::uint8_t partType, std::uint8_t encoding)
{
    return rawField(12, 2, 0, Bytes{partType, encoding});
}

MessageBuilder& MessageBuilder::content(const Bytes& data)
{
    return rawField(13, 7, static_cast<std::uint32_t>(data.size()), data);
}

MessageBuilder& MessageBuilder::rawBytes(const Bytes& data)
{
    data_.insert(data_.end(), data.begin(), data.end());
    return *this;
}

} // namespace kistwerk::fixture
