// The header block of an entry: sender, recipient, reply, subject and content
// lines, then the blank line that ends the header.
//   From: Hans Schmidt <HansSchmidt@aol.com>
//   Subject: =?windows-1252?Q?Gr=FC=DFe_aus_K=F6ln?=
#pragma once

namespace kistwerk {

class Output;
struct MessageFields;

// Writes `name`, the field's text and CR LF. A CR or LF inside the text is
// written as a blank, so a stored text can neither end the line early nor
// start a header or a "From " separator of its own. The text goes out as it
// is, 8-bit bytes too.
void writeHeaderLine(Output& output, const char* name, const char* text);

// Writes the header lines of the item and the blank line. A subject that holds
// 8-bit bytes, and the display names with 8-bit bytes in the address lines,
// become encoded words of windows-1252, or of UTF-8 for a text the field reader
// kept as UTF-8; the addresses are never encoded.
void writeHeaderBlock(const MessageFields& fields, Output& output);

} // namespace kistwerk
