// In-place fold of UTF-8 text to one byte per character (ISO 8859-1 for U+0000 to
// U+00FF, the low 8 bits of the code point above). "Gr\xC3\xBC\xC3\x9F" "e" becomes
// "Gr\xFC\xDF" "e".
#pragma once

#include <cstdint>

namespace kistwerk {

// Rewrites the first `length` bytes of `text` in place, puts a zero byte behind
// the new end and sets `length` to the new count. `text` must have room for
// length + 1 bytes. Reads nothing beyond the first `length` bytes.
void foldUtf8(std::uint8_t* text, std::int32_t& length);

} // namespace kistwerk
