// The HTML body filter: turns one piece of message body text into plain text and
// writes it to the mailbox file. "<b>Sch&ouml;n</b><br>" becomes "Sch\xF6n\r\n".
#pragma once

#include <cstdint>

namespace kistwerk {

class Output;

// The longest text the filter takes; a longer one is skipped and the caller warns.
constexpr std::int32_t kMaxBodyText = 65000;

// The line that the pieces of one body written so far leave open. No line of a
// body may begin with ">" any number of times (none too) and then "From " as
// written (a line begins at the start of the body and after every LF): such a
// line gets one ">" more, the mboxrd way, so that readers neither take it for
// the next message nor, where they take one ">" off again, show it otherwise
// than written. At a line start the ">" bytes go out at once (one more in
// front is the same as one more behind them), and the bytes that are still a
// prefix of "From " are held back until the line either becomes "From " (and
// gets its ">") or turns out otherwise. A piece that follows a piece without a
// line end goes on with its line.
struct BodyLine {
    bool atStart = true;    // nothing but ">" written on the line so far
    std::int32_t held = 0;  // bytes of "From " held back, 0 to 4
};

// How far a piece of text went through the filter.
enum class Filtered {
    Whole,        // to its end
    AtBinary,     // up to a "<binary>" marker; nothing behind it is text
    TooLarge,     // longer than kMaxBodyText: nothing of it is written
};

// Filters `length` bytes of `text` (need not be zero-ended) into `output`, as
// the next piece of the body that `line` follows. Markup, the "From:" escape and
// line ends start afresh with each piece. Reads nothing outside the text. A
// text too large is to be told to the user.
Filtered filterBody(const std::uint8_t* text, std::int32_t length, Output& output, BodyLine& line);

// Writes the bytes `line` still holds back; the body ends here.
void endBody(BodyLine& line, Output& output);

// A whole body in one piece. False when the text was too large.
bool filterBody(const std::uint8_t* text, std::int32_t length, Output& output);

} // namespace kistwerk
