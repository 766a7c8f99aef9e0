// The HTML body filter: turns one piece of message body text into plain text and
// writes it to the mailbox file. "<b>Sch&ouml;n</b><br>" becomes "Sch\xF6n\r\n".
#pragma once

#include <cstdint>

namespace kistwerk {

class FrontEnd;
class Output;

// The longest text the filter takes; a longer one is skipped with a warning.
constexpr std::int32_t kMaxBodyText = 65000;

// Filters `length` bytes of `text` (need not be zero-ended) into `output`. Each
// call starts afresh. Reads nothing outside the text.
void filterBody(const std::uint8_t* text, std::int32_t length, Output& output, FrontEnd& frontEnd);

} // namespace kistwerk
