// UTF-8 to Latin-1 fold: one output byte per character group, written in place
// behind the read position.
#include "text/fold.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kistwerk {

namespace {

// The byte at `at`, or 0 where a group runs past the end of the text: a group
// cut off by the end still yields its one byte, and nothing outside is read.
inline std::uint8_t byteOrZero(const std::uint8_t* text, std::int64_t length, std::int64_t at)
{
    return at < length ? text[at] : 0;
}

} // namespace

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
        std::uint8_t b = text[in];
        std::uint8_t folded;
        if (b < 0x80) {
            folded = b;
            in += 1;
        } else if (b >= 0xC0 && b <= 0xDF) {
            // Two-byte lead (0xC0 and 0xC1 too): its low two bits become bits 7..6.
            folded = static_cast<std::uint8_t>((b << 6) | (byteOrZero(text, end, in + 1) & 0x3F));
            in += 2;
        } else {
            // Three-byte lead, or a byte that cannot start a group: the lead is
            // dropped and the two bytes after it give the low 8 bits. Whatever
            // stands there is used; continuation bytes are not checked.
            folded = static_cast<std::uint8_t>((byteOrZero(text, end, in + 1) << 6) |
                                               (byteOrZero(text, end, in + 2) & 0x3F));
            in += 3;
        }
        text[out++] = folded;
    }
    text[out] = 0;
    length = static_cast<std::int32_t>(out);
}

} // namespace kistwerk
