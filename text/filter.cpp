// The HTML body filter: one forward pass that drops markup, decodes the German
// entities, normalises line ends and escapes mailbox "From" lines.
#include "text/filter.h"

#include <array>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "io/output.h"

namespace kistwerk {

namespace {

constexpr std::uint8_t kNul = 0x00;
constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kDel = 0x7F;

// The bytes that may start anything other than a plain copy (or a plain drop
// inside a tag). Everything else takes the fast path. "F" and "f" matter only
// at a line start, so the mid-line table leaves them out.
constexpr std::array<bool, 256> makeSpecialTable(bool lineStart)
{
    std::array<bool, 256> table{};
    for (std::uint8_t b : {kNul, kLf, kCr, kDel, std::uint8_t('<'), std::uint8_t('>'), std::uint8_t('&')})
        table[b] = true;
    table['F'] = table['f'] = lineStart;
    return table;
}

constexpr std::array<bool, 256> kSpecial = makeSpecialTable(true);
constexpr std::array<bool, 256> kSpecialMidLine = makeSpecialTable(false);

// The state of one call; only the line written so far outlives it, copied back
// at the end (a copy of its own, so that the stores of the output's bytes do
// not make the compiler reload it).
struct FilterScan {
    const std::uint8_t* text;
    std::int32_t length;
    Output& output;
    BodyLine line;
    std::int32_t position = 0;
    // Where the stored text is in its line, for the rules that look at the
    // stored line start. Only zero versus non-zero matters: zero means "at
    // line start".
    std::int32_t lineColumn = 0;
    std::int32_t tagDepth = 0;
};

constexpr char kFromLine[] = "From ";
constexpr std::int32_t kFromLineLength = 5;

// The paths for the first bytes of a line stay out of line, so that the byte,
// run and line-end writers they hang off are small enough to be inlined at
// their many callers; the filter's pace depends on it.

[[gnu::noinline]] void writeHeld(Output& output, BodyLine& line)
{
    output.write(kFromLine, static_cast<std::size_t>(line.held));
    line.held = 0;
}

void releaseHeld(Output& output, BodyLine& line)
{
    if (line.held > 0)
        writeHeld(output, line);
}

// One byte written at a line start, where the line may still become "From "
// behind its ">" bytes.
[[gnu::noinline]] void putAtLineStart(Output& output, BodyLine& line, std::uint8_t byte)
{
    if (byte == static_cast<std::uint8_t>(kFromLine[line.held])) {
        if (++line.held < kFromLineLength)
            return;
        output.put('>');
        output.write(kFromLine, kFromLineLength);
        line = BodyLine{false, 0};
        return;
    }
    if (byte == '>' && line.held == 0) {
        output.put('>');
        return;
    }
    releaseHeld(output, line);
    output.put(byte);
    line.atStart = byte == kLf;
}

// One byte other than LF.
void emit(FilterScan& scan, std::uint8_t byte)
{
    if (scan.line.atStart)
        putAtLineStart(scan.output, scan.line, byte);
    else
        scan.output.put(byte);
}

// A run of bytes without LF at a line start: those that go on with "From "
// are held back, and the rest goes out once the line is decided.
[[gnu::noinline]] void emitRunAtLineStart(FilterScan& scan, const std::uint8_t* bytes, std::size_t count)
{
    BodyLine& line = scan.line;
    std::size_t matched = 0;
    while (matched < count && line.held < kFromLineLength &&
           bytes[matched] == static_cast<std::uint8_t>(kFromLine[line.held])) {
        ++matched;
        ++line.held;
    }
    if (line.held == kFromLineLength) {
        scan.output.put('>');
        scan.output.write(kFromLine, kFromLineLength);
        line = BodyLine{false, 0};
    } else if (matched == count) {
        return;
    } else {
        // The held bytes are the first `matched` of the run, or came before it.
        line.held -= static_cast<std::int32_t>(matched);
        releaseHeld(scan.output, line);
        line.atStart = false;
        matched = 0;
    }
    scan.output.write(bytes + matched, count - matched);
}

// Bytes that hold no LF and no ">" (a byte with rules of its own, which goes
// out through emit). Past the first few of a line they go out as they are.
void emitRun(FilterScan& scan, const std::uint8_t* bytes, std::size_t count)
{
    if (scan.line.atStart && count > 0) {
        // Most lines decide at their first byte.
        if (scan.line.held > 0 || bytes[0] == 'F') {
            emitRunAtLineStart(scan, bytes, count);
            return;
        }
        scan.line.atStart = false;
    }
    scan.output.write(bytes, count);
}

void emitPair(FilterScan& scan, std::uint8_t first, std::uint8_t second)
{
    emit(scan, first);
    emit(scan, second);
}

void emitLineFeed(FilterScan& scan)
{
    releaseHeld(scan.output, scan.line);
    scan.output.put(kLf);
    scan.line.atStart = true;
}

void emitLineEnd(FilterScan& scan)
{
    releaseHeld(scan.output, scan.line);
    scan.output.write("\r\n", 2);
    scan.line.atStart = true;
}

bool isLowerLetter(char c)
{
    return c >= 'a' && c <= 'z';
}

// True when `keyword` lies wholly inside the text at `at`. A lower-case letter
// in the keyword matches either case; every other byte must match exactly.
template <std::size_t N>
bool matchesAt(const FilterScan& scan, std::int32_t at, const char (&keyword)[N])
{
    constexpr std::int32_t size = static_cast<std::int32_t>(N - 1);
    if (scan.length - at < size)
        return false;
    const std::uint8_t* p = scan.text + at;
    for (std::int32_t i = 0; i < size; ++i) {
        const auto k = static_cast<std::uint8_t>(keyword[i]);
        const std::uint8_t b = isLowerLetter(keyword[i]) ? static_cast<std::uint8_t>(p[i] | 0x20) : p[i];
        if (b != k)
            return false;
    }
    return true;
}

bool byteAtIs(const FilterScan& scan, std::int32_t at, std::uint8_t value)
{
    return at < scan.length && scan.text[at] == value;
}

// "<!doctype ...>", "<html>" and "From:" are only looked for at line start.
bool filterLineStart(FilterScan& scan)
{
    const std::int32_t p = scan.position;
    if (matchesAt(scan, p, "<!doctype")) {
        std::int32_t end = p + 9;
        while (end < scan.length && scan.text[end] != '>')
            ++end;
        scan.lineColumn = 8 + (end - (p + 9));
        scan.position = end < scan.length ? end + 1 : scan.length;
        return true;
    }
    if (matchesAt(scan, p, "<html>")) {
        scan.lineColumn = 5;
        scan.position = p + 6;
        return true;
    }
    if (matchesAt(scan, p, "from:")) {
        // The original spelling is kept behind the ">".
        emit(scan, '>');
        emitRun(scan, scan.text + p, 5);
        scan.lineColumn = 5;
        scan.position = p + 5;
        return true;
    }
    return false;
}

// DEL, a lone LF and a lone CR become CR LF. An LF or CR at position 0 is left
// to the ordinary rule. Inside a tag nothing is written, but DEL and LF still
// mark a line start.
bool filterLineEnd(FilterScan& scan, std::uint8_t byte)
{
    const std::int32_t p = scan.position;
    bool lineStart;
    if (byte == kDel)
        lineStart = true;
    else if (byte == kLf && p > 0 && scan.text[p - 1] != kCr)
        lineStart = true;
    else if (byte == kCr && p > 0 && !byteAtIs(scan, p + 1, kLf))
        lineStart = false;
    else
        return false;
    if (scan.tagDepth == 0)
        emitLineEnd(scan);
    if (lineStart)
        scan.lineColumn = 0;
    scan.position = p + 1;
    return true;
}

// The byte an "&" entity stands for, and how many bytes it takes from the "&"
// on. Only the prefix is looked at; the rest of the name is skipped unread.
struct Entity {
    std::uint8_t byte;
    std::int32_t consumed;
};

Entity findEntity(const FilterScan& scan)
{
    const std::int32_t p = scan.position;
    if (scan.length - p < 3)
        return {0, 0};
    const std::uint8_t first = scan.text[p + 1];
    const std::uint8_t second = scan.text[p + 2];
    const auto foldedSecond = static_cast<std::uint8_t>(second | 0x20);
    switch (first) {
    case 'u': return second == 'u' ? Entity{0xFC, 6} : Entity{0, 0};
    case 'U': return second == 'u' ? Entity{0xDC, 6} : Entity{0, 0};
    case 'o': return second == 'u' ? Entity{0xF6, 6} : Entity{0, 0};
    case 'O': return second == 'u' ? Entity{0xD6, 6} : Entity{0, 0};
    case 'a': return second == 'u' ? Entity{0xE4, 6} : Entity{0, 0};
    case 'A': return second == 'u' ? Entity{0xC4, 6} : Entity{0, 0};
    case 's': return second == 'z' ? Entity{0xDF, 7} : Entity{0, 0};
    case 'g':
    case 'G': return foldedSecond == 't' ? Entity{'>', 4} : Entity{0, 0};
    case 'l':
    case 'L': return foldedSecond == 't' ? Entity{'<', 4} : Entity{0, 0};
    case 'n':
    case 'N':
        if (foldedSecond == 'b' && scan.length - p >= 4 && (scan.text[p + 3] | 0x20) == 's')
            return {' ', 6};
        return {0, 0};
    default: return {0, 0};
    }
}

// Entities are written inside tags too.
bool filterEntity(FilterScan& scan)
{
    const Entity entity = findEntity(scan);
    if (entity.consumed == 0)
        return false;
    emit(scan, entity.byte);
    ++scan.lineColumn;
    scan.position += entity.consumed;
    return true;
}

// A "<" that is not "<binary>" or a line-start sequence: a break, a quotation
// mark, or the start of a tag to drop.
void filterTagOpen(FilterScan& scan)
{
    const std::int32_t p = scan.position;
    if (matchesAt(scan, p, "<br")) {
        emitLineEnd(scan);
        scan.lineColumn = 0;
        // "<br" and the byte after it, taken to be the ">"; a CR LF or a CR right
        // behind belongs to the same line end.
        std::int32_t next = p + 4;
        if (byteAtIs(scan, next, kCr))
            next += byteAtIs(scan, next + 1, kLf) ? 2 : 1;
        scan.position = next;
        return;
    }
    if (matchesAt(scan, p, "<block")) {
        emitPair(scan, '<', '<');
        ++scan.tagDepth;
        scan.position = p + 7;
        return;
    }
    if (matchesAt(scan, p, "</block")) {
        emitPair(scan, '>', '>');
        ++scan.tagDepth;
        scan.position = p + 7;
        return;
    }
    ++scan.tagDepth;
    scan.position = p + 1;
}

void filterTagClose(FilterScan& scan)
{
    if (scan.tagDepth > 0) {
        --scan.tagDepth;
    } else {
        emit(scan, '>');
        ++scan.lineColumn;
    }
    ++scan.position;
}

// Any other byte: copied outside a tag, dropped inside one. A NUL is never
// written but still moves the line column.
void filterOrdinary(FilterScan& scan, std::uint8_t byte)
{
    if (scan.tagDepth == 0) {
        ++scan.lineColumn;
        if (byte == kLf)
            emitLineFeed(scan);
        else if (byte != kNul)
            emit(scan, byte);
    }
    ++scan.position;
}

// The first position from `at` on whose byte a rule may care about, or
// `length`. `withF` counts "F" and "f" as such bytes (kSpecial rather than
// kSpecialMidLine). Most body text is long runs of plain bytes, so they are
// scanned 16 at a time where the processor allows; that scan also stops at the
// other control bytes below CR (a tab, say), which the caller takes as the
// start of another plain run.
std::int32_t skipPlain(const std::uint8_t* text, std::int32_t at, std::int32_t length, bool withF)
{
#if defined(__SSE2__)
    const __m128i lastControl = _mm_set1_epi8(static_cast<char>(kCr));
    const __m128i del = _mm_set1_epi8(static_cast<char>(kDel));
    // "<" | 2 and ">" | 2 are both ">"; no other byte becomes ">".
    const __m128i angleBit = _mm_set1_epi8(0x02);
    const __m128i angle = _mm_set1_epi8('>');
    const __m128i amp = _mm_set1_epi8('&');
    // "F" | 0x20 and "f" | 0x20 are both "f"; no other byte becomes "f".
    const __m128i caseBit = _mm_set1_epi8(0x20);
    const __m128i f = _mm_set1_epi8('f');
    while (length - at >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        // NUL, LF and CR: bytes no larger than CR.
        __m128i hit = _mm_cmpeq_epi8(_mm_min_epu8(v, lastControl), v);
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, del));
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_or_si128(v, angleBit), angle));
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, amp));
        if (withF)
            hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_or_si128(v, caseBit), f));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0)
            return at + std::countr_zero(mask);
        at += 16;
    }
#endif
    const std::array<bool, 256>& special = withF ? kSpecial : kSpecialMidLine;
    while (at < length && !special[text[at]])
        ++at;
    return at;
}

// Copies (or, inside a tag, skips) the run of bytes no rule cares about. The
// byte at the scan position is known to be one of them.
void filterPlainRun(FilterScan& scan)
{
    const std::int32_t start = scan.position;
    // Once an ordinary byte is written the stored line has begun, and "From:"
    // cannot start before the next line end. The run holds no LF.
    const std::int32_t end = skipPlain(scan.text, start + 1, scan.length, scan.tagDepth > 0);
    scan.position = end;
    if (scan.tagDepth > 0)
        return;
    emitRun(scan, scan.text + start, static_cast<std::size_t>(end - start));
    scan.lineColumn += end - start;
}

// A CR LF pair, the commonest special bytes in mail text: a CR before an LF is
// no lone line end, nor is an LF behind a CR, so both take the ordinary rule
// and the pair is copied as it stands (or dropped inside a tag).
bool filterCrLf(FilterScan& scan)
{
    const std::int32_t p = scan.position;
    if (scan.text[p] != kCr || !byteAtIs(scan, p + 1, kLf))
        return false;
    if (scan.tagDepth == 0) {
        emitLineEnd(scan);
        scan.lineColumn += 2;
    }
    scan.position = p + 2;
    return true;
}

// Handles the special byte at the scan position. False when the scan ends here.
bool filterSpecial(FilterScan& scan)
{
    const std::uint8_t byte = scan.text[scan.position];
    if (scan.lineColumn == 0 && scan.length > 4 && filterLineStart(scan))
        return true;
    // Each rule below looks at bytes of one kind only, so the byte picks the
    // rule at once.
    switch (byte) {
    case '<':
        if (matchesAt(scan, scan.position, "<binary>"))
            return false;
        filterTagOpen(scan);
        return true;
    case '>':
        filterTagClose(scan);
        return true;
    case '&':
        if (!filterEntity(scan))
            filterOrdinary(scan, byte);
        return true;
    case kDel:
    case kLf:
    case kCr:
        if (!filterLineEnd(scan, byte))
            filterOrdinary(scan, byte);
        return true;
    default:
        filterOrdinary(scan, byte);
        return true;
    }
}

} // namespace

Filtered filterBody(const std::uint8_t* text, std::int32_t length, Output& output, BodyLine& line)
{
    if (length > kMaxBodyText)
        return Filtered::TooLarge;
    if (length <= 0)
        return Filtered::Whole;
    FilterScan scan{text, length, output, line};
    Filtered result = Filtered::Whole;
    while (scan.position < scan.length) {
        if (!kSpecial[scan.text[scan.position]]) {
            filterPlainRun(scan);
            continue;
        }
        if (filterCrLf(scan))
            continue;
        if (!filterSpecial(scan)) {
            result = Filtered::AtBinary;
            break;
        }
    }
    line = scan.line;
    return result;
}

void endBody(BodyLine& line, Output& output)
{
    releaseHeld(output, line);
    line = BodyLine{};
}

bool filterBody(const std::uint8_t* text, std::int32_t length, Output& output)
{
    BodyLine line;
    const Filtered filtered = filterBody(text, length, output, line);
    endBody(line, output);
    return filtered != Filtered::TooLarge;
}

} // namespace kistwerk
