// The HTML body filter: turns one piece of message body text into plain text and
// writes it to the mailbox file. "<b>Sch&ouml;n</b><br>" becomes "Sch\xF6n\r\n".
#pragma once

#include <cstdint>

namespace kistwerk {

class Output;

// The longest text the filter takes; a longer one is skipped and the caller warns.
constexpr std::int32_t kMaxBodyText = 65000;

// Filters `length` bytes of `text` (need not be zero-ended) into `output`. Each
// call starts afresh. Reads nothing outside the text. False when the text was
// longer than kMaxBodyText: nothing of it is written, and the user is to be told.
bool filterBody(const std::uint8_t* text, std::int32_t length, Output& output);

} // namespace kistwerk
