// Writes PFC images for tests and generated samples: a node table, PfcNodes and
// data records at chosen indexes, and raw bytes where a test needs damage.
//
//   PfcBuilder b(8);                       // room for 8 table entries
//   b.node(1, 0, 0, 2, 0);                 // index 1: next 2
//   b.node(2, 7, 3, 0, 0);                 // index 2: leaf of type 7, data 3
//   b.record(3, MessageBuilder().text(10, "Hi").sections(1).end()...bytes());
//   std::vector<uint8_t> image = b.bytes();
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kistwerk::fixture {

using Bytes = std::vector<std::uint8_t>;

void putU16(Bytes& out, std::uint16_t v);
void putU32(Bytes& out, std::uint32_t v);
void setU32(Bytes& out, std::size_t at, std::uint32_t v);
Bytes bytesOf(std::string_view text);

class PfcBuilder {
public:
    // The header sits at offset 20, the table of `tableSize` entries right behind
    // it; entryCount is tableSize unless set otherwise.
    explicit PfcBuilder(std::int32_t tableSize);

    std::int32_t headerOffset() const { return 20; }
    std::int64_t tableBase() const { return headerOffset() + 12; }

    void setEntryCount(std::int32_t count);
    void setEntry(std::int32_t k, std::int32_t offset);   // raw table entry

    // Appends bytes behind everything so far; returns their file offset.
    std::int32_t append(const Bytes& data);

    // Appends a 134-byte PfcNode and points table entry k at it.
    std::int32_t node(std::int32_t k, std::uint16_t itemType, std::int32_t dataIndex,
                      std::int32_t nextIndex, std::int32_t childIndex);
    // Appends a data record and points table entry k at it.
    std::int32_t record(std::int32_t k, const Bytes& data);

    Bytes& raw() { return image_; }
    const Bytes& bytes() const { return image_; }
    bool writeTo(const std::string& path) const;

private:
    Bytes image_;
};

// A 134-byte PfcNode with filler in the bytes that mean nothing.
Bytes pfcNode(std::uint16_t itemType, std::int32_t dataIndex, std::int32_t nextIndex,
              std::int32_t childIndex);

// Encodes a message record: the 16-byte record header, the message field list,
// and body sections, each a field list of its own behind 8 unread bytes.
class MessageBuilder {
public:
    MessageBuilder();

    // A FieldRecord with size class 7 (a 32-bit length follows).
    MessageBuilder& field(std::uint16_t tag, const Bytes& data);
    MessageBuilder& field(std::uint16_t tag, std::string_view text) { return field(tag, bytesOf(text)); }
    // A FieldRecord with an explicit size class; `length` is written only for
    // size classes outside 1..4, and the data as given.
    MessageBuilder& rawField(std::uint16_t tag, std::uint8_t sizeClass, std::uint32_t length,
                             const Bytes& data);
    MessageBuilder& sectionCount(std::uint16_t count);   // tag 2, size class 2
    MessageBuilder& timestamp(std::int32_t seconds);    // tag 24, size class 4
    MessageBuilder& endList();                           // end marker "AO" + 2 bytes

    // Starts a body section: 8 unread bytes.
    MessageBuilder& section();
    MessageBuilder& typeRecord(std::uint8_t partType, std::uint8_t encoding);  // tag 12
    MessageBuilder& content(const Bytes& data);                                // tag 13
    MessageBuilder& content(std::string_view text) { return content(bytesOf(text)); }

    MessageBuilder& rawBytes(const Bytes& data);
    const Bytes& bytes() const { return data_; }

private:
    Bytes data_;
};

} // namespace kistwerk::fixture
