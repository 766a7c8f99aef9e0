// In-place fold of UTF-8 text to one byte per character, as windows-1252:
// U+0000 to U+00FF give their own byte, the 27 characters windows-1252 places
// at 0x80 to 0x9F (the euro sign, typographic quotes, dashes ...) give that
// byte, every other character "?", a byte-order mark nothing. A byte that
// begins no well-formed sequence stays as it is, so Latin-1 text passes.
//   "Gr\xC3\xBC\xC3\x9F" "e" becomes "Gr\xFC\xDF" "e"; "10 \xE2\x82\xAC" becomes "10 \x80".
#pragma once

#include <cstdint>

namespace kistwerk {

// Rewrites the first `length` bytes of `text` in place, puts a zero byte behind
// the new end and sets `length` to the new count. `text` must have room for
// length + 1 bytes. Reads nothing beyond the first `length` bytes.
void foldUtf8(std::uint8_t* text, std::int32_t& length);

} // namespace kistwerk
