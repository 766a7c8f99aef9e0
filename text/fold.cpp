// UTF-8 to windows-1252 fold: one output byte (or none, for a byte-order mark)
// per well-formed sequence, written in place behind the read position.
#include "text/fold.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kistwerk {

namespace {

// The characters above U+00FF that windows-1252 places at 0x80 to 0x9F, by
// byte; 0 where it places none.
constexpr std::uint16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

constexpr std::uint32_t kByteOrderMark = 0xFEFF;

std::uint8_t windows1252Byte(std::uint32_t codePoint)
{
    if (codePoint <= 0xFF)
        return static_cast<std::uint8_t>(codePoint);
    for (std::uint8_t i = 0; i < 32; ++i) {
        if (kWindows1252High[i] == codePoint)
            return static_cast<std::uint8_t>(0x80 + i);
    }
    return '?';
}

// The range of the byte after `lead` in a well-formed sequence, and the
// sequence's length; a length of 0 where `lead` leads none.
struct LeadForm {
    std::int32_t length;
    std::uint8_t low;
    std::uint8_t high;
};

LeadForm leadForm(std::uint8_t lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return {2, 0x80, 0xBF};
    if (lead >= 0xE0 && lead <= 0xEF) {
        const std::uint8_t low = lead == 0xE0 ? 0xA0 : 0x80;
        const std::uint8_t high = lead == 0xED ? 0x9F : 0xBF;
        return {3, low, high};
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const std::uint8_t low = lead == 0xF0 ? 0x90 : 0x80;
        const std::uint8_t high = lead == 0xF4 ? 0x8F : 0xBF;
        return {4, low, high};
    }
    return {0, 0, 0};
}

struct Sequence {
    std::int64_t length;  // 0: the byte begins no well-formed sequence
    std::uint32_t codePoint;
};

// The well-formed sequence at `at`, whose lead is 0x80 or above. The range of
// the second byte is what shuts out overlong forms (after E0 and F0), the
// surrogates (after ED) and code points above U+10FFFF (after F4); C0, C1 and
// F5 to FF lead nothing.
Sequence sequenceAt(const std::uint8_t* text, std::int64_t end, std::int64_t at)
{
    const std::uint8_t lead = text[at];
    const LeadForm form = leadForm(lead);
    if (form.length == 0 || end - at < form.length || text[at + 1] < form.low || text[at + 1] > form.high)
        return {0, 0};
    std::uint32_t codePoint = lead & (0x7Fu >> form.length);
    for (std::int64_t i = 1; i < form.length; ++i) {
        const std::uint8_t next = text[at + i];
        if ((next & 0xC0) != 0x80)
            return {0, 0};
        codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    return {form.length, codePoint};
}

} // namespace

std::int32_t cutSequenceLength(const std::uint8_t* text, std::int32_t length)
{
    // A lead is no continuation byte, so the first byte from the end that is
    // none decides.
    for (std::int32_t cut = 1; cut <= 3 && cut <= length; ++cut) {
        const std::uint8_t b = text[length - cut];
        if (b >= 0x80 && b <= 0xBF)
            continue;
        const LeadForm form = leadForm(b);
        if (cut >= form.length)
            return 0;
        if (cut > 1) {
            const std::uint8_t second = text[length - cut + 1];
            if (second < form.low || second > form.high)
                return 0;
        }
        return cut;
    }
    return 0;
}

bool isUtf8Text(const std::uint8_t* text, std::size_t length)
{
    const auto end = static_cast<std::int64_t>(length);
    bool sequenceSeen = false;
    for (std::int64_t at = 0; at < end;) {
        if (end - at >= 8) {
            std::uint64_t word;
            std::memcpy(&word, text + at, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                at += 8;
                continue;
            }
        }
        if (text[at] < 0x80) {
            ++at;
            continue;
        }
        const Sequence sequence = sequenceAt(text, end, at);
        if (sequence.length == 0)
            return false;
        sequenceSeen = true;
        at += sequence.length;
    }
    return sequenceSeen;
}

void foldUtf8(std::uint8_t* text, std::int32_t& length)
{
    // 64-bit positions: a group near the largest length must not wrap.
    std::int64_t end = length < 0 ? 0 : length;
    std::int64_t in = 0;
    std::int64_t out = 0;
    while (in < end) {
        // Runs of ASCII, most of any text, move eight bytes at a time. The word is
        // loaded before it is stored, and out never passes in.
#if defined(__SSE2__)
        if (end - in >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + in));
            const auto high = static_cast<unsigned>(_mm_movemask_epi8(v));
            const std::int64_t ascii = high == 0 ? 16 : std::countr_zero(high);
            if (ascii == 16) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(text + out), v);
                in += 16;
                out += 16;
                continue;
            }
            if (ascii > 0) {
                std::memmove(text + out, text + in, static_cast<std::size_t>(ascii));
                in += ascii;
                out += ascii;
                continue;
            }
        }
#endif
        if (end - in >= 8) {
            std::uint64_t word;
            std::memcpy(&word, text + in, 8);
            const std::uint64_t high = word & 0x8080808080808080ull;
            // Bytes in memory order are the word's low bytes first.
            const std::int64_t ascii =
                high == 0 ? 8 : (std::endian::native == std::endian::little ? std::countr_zero(high) / 8 : 0);
            if (ascii > 0) {
                // Only the ASCII bytes are stored: a byte stored past them could
                // land on input not yet read.
                std::memcpy(text + out, &word, static_cast<std::size_t>(ascii));
                in += ascii;
                out += ascii;
                continue;
            }
        }
        const std::uint8_t b = text[in];
        // U+0080 to U+00FF, most of what is not ASCII, in short.
        if ((b == 0xC2 || b == 0xC3) && end - in >= 2 && (text[in + 1] & 0xC0) == 0x80) {
            text[out++] = static_cast<std::uint8_t>((b << 6) | (text[in + 1] & 0x3F));
            in += 2;
            continue;
        }
        const Sequence sequence = b < 0x80 ? Sequence{0, 0} : sequenceAt(text, end, in);
        if (sequence.length == 0) {
            // ASCII, or a byte that starts nothing (Latin-1 text, a stray
            // continuation byte, a cut-off lead): kept, and the scan goes on
            // at the next byte.
            text[out++] = b;
            in += 1;
            continue;
        }
        in += sequence.length;
        if (sequence.codePoint != kByteOrderMark)
            text[out++] = windows1252Byte(sequence.codePoint);
    }
    text[out] = 0;
    length = static_cast<std::int32_t>(out);
}

} // namespace kistwerk
