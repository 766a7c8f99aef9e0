// Message field list: FieldRecord framing, tag actions and text storing.
//
// Format notes. A field list is a run of FieldRecords (16-bit tag, 8-bit size
// class, an optional 32-bit length, data) ended where a tag of 0x4F41 ("AO") or
// more is due; two unread bytes follow that end marker. Size class 1 gives one
// data byte, 2 and 3 give two, 4 gives four; every other class is followed by
// the length. All integers are little-endian.
#include "message/fields.h"

#include <cstring>

#include "text/fold.h"

namespace kistwerk {

namespace {

constexpr std::uint16_t kEndMarker = 0x4F41;

enum MessageTag : std::uint16_t {
    kTagSectionCount = 2,
    kTagDateText = 5,
    kTagSender = 6,
    kTagTo = 7,
    kTagCc = 8,
    kTagBcc = 9,
    kTagSubject = 10,
    kTagAlternateSender = 11,
    kTagReplyTo = 16,
    kTagTimestamp = 24,
};

// Tags the message field list acts on; the data of all others is passed over.
bool isMessageRecord(const FieldRecord& record)
{
    switch (record.tag) {
    case kTagSectionCount: case kTagDateText: case kTagSender: case kTagTo: case kTagCc: case kTagBcc:
    case kTagSubject: case kTagAlternateSender: case kTagReplyTo: case kTagTimestamp:
        return true;
    default:
        return false;
    }
}

bool lengthOfClass(std::uint8_t sizeClass, std::uint32_t& length)
{
    switch (sizeClass) {
    case 1: length = 1; return true;
    case 2: case 3: length = 2; return true;
    case 4: length = 4; return true;
    default: return false;
    }
}

// Little-endian number from the first `width` data bytes; bytes the data lacks
// count as zero.
std::uint32_t leadingNumber(const std::uint8_t* data, std::uint32_t length, std::uint32_t width)
{
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < width && i < length; ++i)
        value |= std::uint32_t{data[i]} << (8 * i);
    return value;
}

// Bytes before the first zero byte among the first `length`.
std::size_t textLength(const std::uint8_t* data, std::size_t length)
{
    const void* zero = std::memchr(data, 0, length);
    return zero == nullptr ? length : static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data);
}

// Appends to a text field and drops what goes past its 4,095 bytes.
struct FieldWriter {
    char* text;
    std::size_t used = 0;

    void put(char c)
    {
        if (used < kMaxTextLength)
            text[used++] = c;
    }
    void put(const char* s)
    {
        for (; *s != 0; ++s)
            put(*s);
    }
};

bool isPlainNameByte(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// A screen name with a blank is no address: it is written as a display name
// before the address the service gave it, which has no blanks.
//   Hans Schmidt   gives   Hans Schmidt <HansSchmidt@aol.com>
//   Dr. Hans       gives   "Dr. Hans" <Dr.Hans@aol.com>
// A name of letters, digits, blanks and 8-bit bytes stands as it is (the header
// writes 8-bit names as encoded words); any other is quoted, so that a comma or
// a quote in it cannot split the address list.
void completeNamedSender(char* sender)
{
    char completed[kTextFieldSize];
    FieldWriter out{completed};
    bool plain = true;
    for (const char* p = sender; *p != 0; ++p)
        plain = plain && isPlainNameByte(*p);
    if (!plain)
        out.put('"');
    for (const char* p = sender; *p != 0; ++p) {
        if (!plain && (*p == '"' || *p == '\\'))
            out.put('\\');
        out.put(*p);
    }
    if (!plain)
        out.put('"');
    out.put(" <");
    for (const char* p = sender; *p != 0; ++p) {
        if (*p != ' ')
            out.put(*p);
    }
    out.put(kServiceMailDomain);
    out.put('>');
    std::memcpy(sender, completed, out.used);
    sender[out.used] = 0;
}

// A text cut at a byte count ends with a whole character.
void endWithWholeCharacter(char* text)
{
    auto length = static_cast<std::int32_t>(std::strlen(text));
    length -= cutSequenceLength(reinterpret_cast<const std::uint8_t*>(text), length);
    text[length] = 0;
}

void storeSender(MessageFields& fields, std::uint8_t* data, std::int32_t length)
{
    storeText(fields.sender, data, length, &fields.senderUtf8);
    completeSender(fields.sender);
    if (fields.senderUtf8)
        endWithWholeCharacter(fields.sender);
}

} // namespace

void clearMessageFields(MessageFields& fields)
{
    fields.dateText[0] = 0;
    fields.sender[0] = 0;
    fields.to[0] = 0;
    fields.cc[0] = 0;
    fields.bcc[0] = 0;
    fields.subject[0] = 0;
    fields.replyTo[0] = 0;
    fields.senderUtf8 = false;
    fields.toUtf8 = false;
    fields.ccUtf8 = false;
    fields.bccUtf8 = false;
    fields.subjectUtf8 = false;
    fields.replyToUtf8 = false;
    fields.timestamp = 0;
    fields.sectionCount = 0;
}

FieldStep readFieldHead(InputCursor& in, FieldRecord& record)
{
    std::uint8_t raw[4];
    if (!in.read(raw, 2))
        return FieldStep::Stop;
    record.tag = loadU16(raw);
    if (record.tag >= kEndMarker)
        return in.skip(2) ? FieldStep::EndOfList : FieldStep::Stop;
    if (!in.read(&record.sizeClass, 1))
        return FieldStep::Stop;
    if (!lengthOfClass(record.sizeClass, record.length)) {
        if (!in.read(raw, 4))
            return FieldStep::Stop;
        record.length = loadU32(raw);
    }
    return record.length < kOverLongLength ? FieldStep::Record : FieldStep::Stop;
}

FieldStep nextWantedField(InputCursor& in, FieldRecord& record, bool (*wanted)(const FieldRecord&))
{
    for (;;) {
        FieldStep step = readFieldHead(in, record);
        if (step != FieldStep::Record || wanted(record))
            return step;
        if (!in.skip(record.length))
            return FieldStep::Stop;
    }
}

bool readMessageFields(InputCursor& in, MessageFields& fields, std::uint8_t* work)
{
    FieldRecord record;
    for (;;) {
        FieldStep step = nextWantedField(in, record, isMessageRecord);
        if (step != FieldStep::Record)
            return step == FieldStep::EndOfList;
        if (!in.read(work, record.length))
            return false;
        // The zero byte makes the data a text as well; the buffer has room for
        // it behind the longest record.
        work[record.length] = 0;
        applyMessageField(fields, record, work);
    }
}

void applyMessageField(MessageFields& fields, const FieldRecord& record, std::uint8_t* data)
{
    auto length = static_cast<std::int32_t>(record.length);
    switch (record.tag) {
    case kTagSectionCount:
        fields.sectionCount = static_cast<std::uint16_t>(leadingNumber(data, record.length, 2));
        break;
    case kTagDateText:
        storeText(fields.dateText, data, length);
        break;
    case kTagSender:
        storeSender(fields, data, length);
        break;
    case kTagAlternateSender:
        // Order decides: taken only while no earlier record gave a sender.
        if (fields.sender[0] == 0)
            storeSender(fields, data, length);
        break;
    case kTagTo:
        storeText(fields.to, data, length, &fields.toUtf8);
        break;
    case kTagCc:
        storeText(fields.cc, data, length, &fields.ccUtf8);
        break;
    case kTagBcc:
        storeText(fields.bcc, data, length, &fields.bccUtf8);
        break;
    case kTagSubject:
        storeText(fields.subject, data, length, &fields.subjectUtf8);
        break;
    case kTagReplyTo:
        storeText(fields.replyTo, data, length, &fields.replyToUtf8);
        break;
    case kTagTimestamp:
        // Order decides: a date text that came first wins over the count.
        if (fields.dateText[0] == 0)
            fields.timestamp = static_cast<std::int32_t>(leadingNumber(data, record.length, 4));
        break;
    default:
        break;
    }
}

void storeText(char* field, std::uint8_t* data, std::int32_t length, bool* utf8)
{
    if (length < 1)
        return;
    std::size_t text = textLength(data, static_cast<std::size_t>(length));
    const bool keptAsUtf8 = utf8 != nullptr && isUtf8Text(data, text);
    if (utf8 != nullptr)
        *utf8 = keptAsUtf8;
    if (keptAsUtf8) {
        if (text > kMaxTextLength)
            text = kMaxTextLength -
                   static_cast<std::size_t>(cutSequenceLength(data, static_cast<std::int32_t>(kMaxTextLength)));
    } else if (std::memchr(data, 0xC3, text) != nullptr) {
        // Other high bytes alone are windows-1252 already.
        foldUtf8(data, length);
        text = std::strlen(reinterpret_cast<const char*>(data));
    }
    if (text > kMaxTextLength)
        text = kMaxTextLength;
    std::memcpy(field, data, text);
    field[text] = 0;
}

void completeSender(char* sender)
{
    if (sender[0] == 0 || std::strchr(sender, '@') != nullptr)
        return;
    if (std::strchr(sender, ' ') != nullptr) {
        completeNamedSender(sender);
        return;
    }
    std::size_t used = std::strlen(sender);
    std::size_t room = kMaxTextLength - used;
    std::size_t add = sizeof kServiceMailDomain - 1;
    if (add > room)
        add = room;
    std::memcpy(sender + used, kServiceMailDomain, add);
    sender[used + add] = 0;
}

} // namespace kistwerk
