// The header block of an entry: sender, recipient, reply, subject and content
// lines, then the blank line that ends the header.
//   From: jdoe@aol.com
//   Subject: Hi
#pragma once

namespace kistwerk {

class Output;
struct MessageFields;

// Writes `name`, the field's text and CR LF. A CR or LF inside the text is
// written as a blank, so a stored text can neither end the line early nor
// start a header or a "From " separator of its own.
void writeHeaderLine(Output& output, const char* name, const char* text);

// Writes the header lines of the item and the blank line.
void writeHeaderBlock(const MessageFields& fields, Output& output);

} // namespace kistwerk
