// Header block: the lines the item has, in a fixed order, and the MIME lines
// that say the body is 8-bit windows-1252 text.
//
// Header texts are windows-1252 bytes, or UTF-8 where the field reader kept
// them so, but a header line is ASCII: a text that holds bytes of 0x80 and
// above is written as RFC 2047 encoded words in its own character set
// ("=?windows-1252?Q?K=F6ln?=", "=?UTF-8?Q?K=C3=B6ln?="), the whole subject,
// and in the address lines only the NAME of each "NAME <ADDRESS>" element.
// Everything else stays as it is stored.
#include "message/header.h"

#include <cstddef>
#include <cstring>

#include "io/output.h"
#include "message/fields.h"

namespace kistwerk {

namespace {

// windows-1252 rather than ISO 8859-1: they agree on 0xA0 to 0xFF, and the
// Windows clients stored the euro sign, typographic quotes and dashes at 0x80
// to 0x9F, where ISO 8859-1 has control characters.
constexpr char kContentLines[] =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=windows-1252\r\n"
    "Content-Transfer-Encoding: 8bit\r\n";

constexpr char kWindows1252WordStart[] = "=?windows-1252?Q?";
constexpr char kUtf8WordStart[] = "=?UTF-8?Q?";
constexpr char kWordEnd[] = "?=";
// RFC 2047 allows an encoded word 75 characters, its frame included.
constexpr std::size_t kWordLength = 75;
constexpr std::size_t kWordEndLength = sizeof kWordEnd - 1;

// The character set of a header text, and the start of its encoded words.
struct WordCharset {
    const char* start;
    std::size_t startLength;
    bool utf8;
};

constexpr WordCharset kWindows1252{kWindows1252WordStart, sizeof kWindows1252WordStart - 1, false};
constexpr WordCharset kUtf8{kUtf8WordStart, sizeof kUtf8WordStart - 1, true};

const WordCharset& charsetOf(bool utf8)
{
    return utf8 ? kUtf8 : kWindows1252;
}

// The bytes of the character that starts at `at`: one in windows-1252; in
// UTF-8 its lead and the continuation bytes behind it, which one encoded word
// must carry whole.
std::size_t characterLength(const WordCharset& charset, const char* text, std::size_t at, std::size_t length)
{
    std::size_t end = at + 1;
    if (charset.utf8) {
        while (end < length && end - at < 4 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            ++end;
    }
    return end - at;
}

bool hasEightBit(const char* text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80)
            return true;
    }
    return false;
}

bool hasEightBit(const char* text)
{
    return hasEightBit(text, std::strlen(text));
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The characters a Q-encoded word may carry as they are, also inside a display
// name (RFC 2047, 5 (3)); the blank becomes "_", all others "=XX".
bool isQLiteral(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '!' || c == '*' ||
           c == '+' || c == '-' || c == '/';
}

std::size_t encodedLength(const char* bytes, std::size_t count)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        n += c == ' ' || isQLiteral(c) ? 1 : 3;
    }
    return n;
}

// Writes `text` as Q-encoded words of at most 75 characters, none splitting a
// character; each word after the first starts a continuation line.
void writeEncodedWords(Output& output, const WordCharset& charset, const char* text, std::size_t length)
{
    static const char hex[] = "0123456789ABCDEF";
    const std::size_t room = kWordLength - charset.startLength - kWordEndLength;
    char word[kWordLength];
    std::size_t used = 0;
    bool first = true;
    auto flush = [&] {
        if (!first)
            output.write("\r\n ", 3);
        output.write(charset.start, charset.startLength);
        output.write(word, used);
        output.write(kWordEnd, kWordEndLength);
        used = 0;
        first = false;
    };
    for (std::size_t i = 0; i < length;) {
        const std::size_t bytes = characterLength(charset, text, i, length);
        if (used + encodedLength(text + i, bytes) > room)
            flush();
        for (const std::size_t end = i + bytes; i < end; ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c == ' ' || isQLiteral(c)) {
                word[used++] = c == ' ' ? '_' : static_cast<char>(c);
            } else {
                word[used++] = '=';
                word[used++] = hex[c >> 4];
                word[used++] = hex[c & 0x0F];
            }
        }
    }
    if (used > 0)
        flush();
}

// A word of a display name that may stand as it is: ASCII "atext" of RFC 5322,
// less "=" and "?", which could make it look like an encoded word.
bool isPlainWord(const char* word, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(word[i]);
        if (c == 0 || !(isQLiteral(c) || std::strchr("#$%&'^_`{|}~", c) != nullptr))
            return false;
    }
    return true;
}

std::size_t wordEnd(const char* text, std::size_t at, std::size_t length)
{
    while (at < length && !isBlank(text[at]))
        ++at;
    return at;
}

std::size_t blanksEnd(const char* text, std::size_t at, std::size_t length)
{
    while (at < length && isBlank(text[at]))
        ++at;
    return at;
}

// A display name: each run of words that cannot stand as they are (8-bit bytes,
// specials) becomes encoded words, the blanks inside the run encoded with it;
// the other words, and the blanks around a run, stay as they are. Readers then
// join the words right whether or not they drop the blanks between two encoded
// words (RFC 2047 says they must; Python's email package keeps them in a name).
//   Frau Dr. J\xFCrgen von K\xF6ln
//   Frau =?windows-1252?Q?Dr=2E_J=FCrgen?= von =?windows-1252?Q?K=F6ln?=
void writeDisplayName(Output& output, const WordCharset& charset, const char* name, std::size_t length)
{
    std::size_t at = blanksEnd(name, 0, length);
    while (at < length) {
        std::size_t end = wordEnd(name, at, length);
        if (isPlainWord(name + at, end - at)) {
            output.write(name + at, end - at);
        } else {
            for (std::size_t next = blanksEnd(name, end, length); next < length;
                 next = blanksEnd(name, end, length)) {
                const std::size_t nextEnd = wordEnd(name, next, length);
                if (isPlainWord(name + next, nextEnd - next))
                    break;
                end = nextEnd;
            }
            writeEncodedWords(output, charset, name + at, end - at);
        }
        at = blanksEnd(name, end, length);
        if (at < length)
            output.write(name + end, at - end);
    }
}

// The field's text with CR and LF as blanks, as writeHeaderLine writes it.
std::size_t lineText(const char* text, char* line)
{
    std::size_t n = 0;
    for (; text[n] != 0; ++n)
        line[n] = text[n] == '\r' || text[n] == '\n' ? ' ' : text[n];
    return n;
}

// Where the element that starts at `at` ends: at a comma outside quotes and
// angle brackets, or at the end of the text.
std::size_t elementEnd(const char* text, std::size_t at, std::size_t length)
{
    bool quoted = false;
    int angles = 0;
    for (; at < length; ++at) {
        const char c = text[at];
        if (quoted) {
            if (c == '\\' && at + 1 < length)
                ++at;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '<') {
            ++angles;
        } else if (c == '>' && angles > 0) {
            --angles;
        } else if (c == ',' && angles == 0) {
            return at;
        }
    }
    return length;
}

// The first "<" outside quotes in [begin, end), or `end`.
std::size_t addressStart(const char* text, std::size_t begin, std::size_t end)
{
    bool quoted = false;
    for (std::size_t at = begin; at < end; ++at) {
        const char c = text[at];
        if (quoted && c == '\\')
            ++at;
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '<')
            return at;
    }
    return end;
}

// A display name without its quotes and backslash escapes.
std::size_t unquotedName(const char* name, std::size_t length, char* out)
{
    std::size_t n = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < length; ++i) {
        if (name[i] == '"')
            quoted = !quoted;
        else if (quoted && name[i] == '\\' && i + 1 < length)
            out[n++] = name[++i];
        else
            out[n++] = name[i];
    }
    return n;
}

// One element of an address list: "NAME <ADDRESS>" with an 8-bit NAME gets the
// NAME as encoded words; any other element is written as it stands.
void writeAddressElement(Output& output, const WordCharset& charset, const char* text, std::size_t begin,
                         std::size_t end)
{
    std::size_t last = end;
    while (last > begin && isBlank(text[last - 1]))
        --last;
    const std::size_t address = addressStart(text, begin, last);
    std::size_t nameBegin = begin;
    while (nameBegin < address && isBlank(text[nameBegin]))
        ++nameBegin;
    std::size_t nameEnd = address;
    while (nameEnd > nameBegin && isBlank(text[nameEnd - 1]))
        --nameEnd;
    if (address == last || text[last - 1] != '>' || !hasEightBit(text + nameBegin, nameEnd - nameBegin)) {
        output.write(text + begin, end - begin);
        return;
    }
    char name[kTextFieldSize];
    const std::size_t nameLength = unquotedName(text + nameBegin, nameEnd - nameBegin, name);
    output.write(text + begin, nameBegin - begin);
    writeDisplayName(output, charset, name, nameLength);
    output.put(' ');
    output.write(text + address, end - address);
}

// "From:", "To:", "Reply-To:", "CC:" and "BCC:": a list of addresses.
void writeAddressLine(Output& output, const char* name, const char* text, bool utf8)
{
    if (!hasEightBit(text)) {
        writeHeaderLine(output, name, text);
        return;
    }
    char line[kTextFieldSize];
    const std::size_t length = lineText(text, line);
    output.write(name);
    for (std::size_t at = 0;;) {
        const std::size_t end = elementEnd(line, at, length);
        writeAddressElement(output, charsetOf(utf8), line, at, end);
        if (end == length)
            break;
        output.put(',');
        at = end + 1;
    }
    output.write("\r\n", 2);
}

void writeSubjectLine(Output& output, const char* text, bool utf8)
{
    if (!hasEightBit(text)) {
        writeHeaderLine(output, "Subject: ", text);
        return;
    }
    char line[kTextFieldSize];
    const std::size_t length = lineText(text, line);
    output.write("Subject: ");
    writeEncodedWords(output, charsetOf(utf8), line, length);
    output.write("\r\n", 2);
}

void writeAddressIfPresent(Output& output, const char* name, const char* text, bool utf8)
{
    if (text[0] != 0)
        writeAddressLine(output, name, text, utf8);
}

} // namespace

void writeHeaderLine(Output& output, const char* name, const char* text)
{
    output.write(name);
    const char* run = text;
    for (const char* p = text;; ++p) {
        char c = *p;
        if (c != 0 && c != '\r' && c != '\n')
            continue;
        output.write(run, static_cast<std::size_t>(p - run));
        if (c == 0)
            break;
        output.put(' ');
        run = p + 1;
    }
    output.write("\r\n", 2);
}

void writeHeaderBlock(const MessageFields& fields, Output& output)
{
    writeAddressLine(output, "From: ", fields.sender, fields.senderUtf8);
    writeAddressIfPresent(output, "To: ", fields.to, fields.toUtf8);
    writeAddressIfPresent(output, "Reply-To: ", fields.replyTo, fields.replyToUtf8);
    writeAddressIfPresent(output, "CC: ", fields.cc, fields.ccUtf8);
    writeAddressIfPresent(output, "BCC: ", fields.bcc, fields.bccUtf8);
    if (fields.subject[0] != 0)
        writeSubjectLine(output, fields.subject, fields.subjectUtf8);
    output.write(kContentLines, sizeof kContentLines - 1);
    output.write("\r\n", 2);
}

} // namespace kistwerk
