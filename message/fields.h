// The FieldRecord framing that every field list of a message record uses, and
// the MessageFields that the message field list fills.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/input.h"
#include "text/fold.h"

namespace kistwerk {

// A text field holds at most 4,095 bytes and its zero byte.
constexpr std::size_t kTextFieldSize = 4096;
constexpr std::size_t kMaxTextLength = kTextFieldSize - 1;

// The data of one FieldRecord is at most 64,999 bytes, so that it fits the work
// buffer with a zero byte behind it; 65,000 or more is over-long.
constexpr std::uint32_t kOverLongLength = 65000;

// Each per-item buffer holds 65,000 bytes, one more and room for the start of a
// character cut off by the piece before: the fold puts a zero byte behind a
// decompressed text that may fill all 65,000 behind that start, and the largest
// chunk (64,999 bytes) sits behind a 2-byte stream head.
constexpr std::size_t kItemBufferSize = 65001 + kMaxCutSequence;

// The mail domain that completes a sender stored without one.
constexpr char kServiceMailDomain[] = "@aol.com";

struct MessageFields {
    char dateText[kTextFieldSize];
    char sender[kTextFieldSize];
    char to[kTextFieldSize];
    char cc[kTextFieldSize];
    char bcc[kTextFieldSize];
    char subject[kTextFieldSize];
    char replyTo[kTextFieldSize];
    // Texts kept as UTF-8 rather than folded (see storeText).
    bool senderUtf8;
    bool toUtf8;
    bool ccUtf8;
    bool bccUtf8;
    bool subjectUtf8;
    bool replyToUtf8;
    std::int32_t timestamp;      // tag 24, taken only while dateText is empty
    std::uint16_t sectionCount;  // tag 2; 0 when the list has none
};

// Empties every text, zeroes both numbers and clears the UTF-8 marks. Only the first byte of a text is
// cleared: nothing reads a text past its zero byte.
void clearMessageFields(MessageFields& fields);

struct FieldRecord {
    std::uint16_t tag = 0;
    std::uint8_t sizeClass = 0;
    std::uint32_t length = 0;  // data bytes that follow
};

enum class FieldStep {
    Record,     // a record head was read; its data follows in the input
    EndOfList,  // the end marker and its two bytes were read
    Stop,       // an over-long record, or the input ended: the item ends here
};

// Reads the next record head of a field list (tag, size class, length).
FieldStep readFieldHead(InputCursor& in, FieldRecord& record);

// Reads record heads until one that `wanted` accepts, passing over the data of
// the others. Record means its data follows in the input.
FieldStep nextWantedField(InputCursor& in, FieldRecord& record, bool (*wanted)(const FieldRecord&));

// Reads the message field list into `fields`, using `work` (kItemBufferSize
// bytes) for each record's data. False when the item must end.
bool readMessageFields(InputCursor& in, MessageFields& fields, std::uint8_t* work);

// Acts on one record of the message field list. `data` holds record.length
// bytes and a zero byte behind them; a text may be folded in place.
void applyMessageField(MessageFields& fields, const FieldRecord& record, std::uint8_t* data);

// Stores record data, up to its first zero byte, as a field's text, cut to
// 4,095 bytes; data of no bytes leaves the field (and `utf8`) as it was. Text
// that is UTF-8 by isUtf8Text is kept as it is, cut only between characters,
// and sets `utf8`, so that no character is lost. Any other text is folded when
// it holds a 0xC3 byte (the lead of the UTF-8 forms of U+00C0..U+00FF) and
// clears `utf8`. Without `utf8` (the date text) only the 0xC3 rule holds.
void storeText(char* field, std::uint8_t* data, std::int32_t length, bool* utf8 = nullptr);

// Completes a non-empty sender that has no "@" with the service's mail domain:
// "jdoe" gives "jdoe@aol.com"; a screen name with a blank becomes the display
// name of its address, "Hans Schmidt" gives "Hans Schmidt <HansSchmidt@aol.com>".
// The result is cut to 4,095 bytes.
void completeSender(char* sender);

} // namespace kistwerk
