// In-place fold of UTF-8 text to one byte per character, as windows-1252:
// U+0000 to U+00FF give their own byte, the 27 characters windows-1252 places
// at 0x80 to 0x9F (the euro sign, typographic quotes, dashes ...) give that
// byte, every other character "?", a byte-order mark nothing. A byte that
// begins no well-formed sequence stays as it is, so Latin-1 text passes.
//   "Gr\xC3\xBC\xC3\x9F" "e" becomes "Gr\xFC\xDF" "e"; "10 \xE2\x82\xAC" becomes "10 \x80".
#pragma once

#include <cstddef>
#include <cstdint>

namespace kistwerk {

// Rewrites the first `length` bytes of `text` in place, puts a zero byte behind
// the new end and sets `length` to the new count. `text` must have room for
// length + 1 bytes. Reads nothing beyond the first `length` bytes.
void foldUtf8(std::uint8_t* text, std::int32_t& length);

// The most bytes of a UTF-8 sequence that an end can cut off.
constexpr std::int32_t kMaxCutSequence = 3;

// How many bytes at the end of the first `length` bytes of `text` (0 to 3) are
// the start of a well-formed UTF-8 sequence that the end cuts off: a lead byte
// C2 to F4 and fewer of its continuation bytes than it needs, each in the range
// a well-formed sequence allows there. "Gr\xC3" ends with 1, "10 \xE2\x82" with 2.
std::int32_t cutSequenceLength(const std::uint8_t* text, std::int32_t length);

// True when every byte of 0x80 and above among the first `length` bytes
// belongs to a well-formed UTF-8 sequence, and at least one such sequence
// occurs: text to be kept as UTF-8 rather than folded. Latin-1 text almost
// never passes (an umlaut followed by a byte from 0x80 to 0xBF would be needed).
bool isUtf8Text(const std::uint8_t* text, std::size_t length);

} // namespace kistwerk
