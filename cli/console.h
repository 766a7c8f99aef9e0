// Text for the terminal, UTF-8 in the program.
#pragma once

#include <cstdio>
#include <string>

namespace kistwerk {

// Writes the UTF-8 text to the stream. A Windows console is handed UTF-16,
// which it shows rightly whatever its code page (Wine's console shows UTF-8
// bytes written through the C library as one character per byte); files and
// pipes get the UTF-8 bytes.
void writeText(std::FILE* to, const std::string& text);

} // namespace kistwerk
