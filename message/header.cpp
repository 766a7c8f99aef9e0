// Header block: the lines the item has, in a fixed order, and the MIME lines
// that say the body is 8-bit ISO 8859-1 text.
#include "message/header.h"

#include <cstring>

#include "io/output.h"
#include "message/fields.h"

namespace kistwerk {

namespace {

// Header texts stay as the record holds them (no encoded words); the body is
// Latin-1 after the fold, and readers need to be told.
constexpr char kContentLines[] =
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=ISO-8859-1\r\n"
    "Content-Transfer-Encoding: 8bit\r\n";

void writeIfPresent(Output& output, const char* name, const char* text)
{
    if (text[0] != 0)
        writeHeaderLine(output, name, text);
}

} // namespace

void writeHeaderLine(Output& output, const char* name, const char* text)
{
    output.write(name);
    const char* run = text;
    for (const char* p = text;; ++p) {
        char c = *p;
        if (c != 0 && c != '\r' && c != '\n')
            continue;
        output.write(run, static_cast<std::size_t>(p - run));
        if (c == 0)
            break;
        output.put(' ');
        run = p + 1;
    }
    output.write("\r\n", 2);
}

void writeHeaderBlock(const MessageFields& fields, Output& output)
{
    writeHeaderLine(output, "From: ", fields.sender);
    writeIfPresent(output, "To: ", fields.to);
    writeIfPresent(output, "Reply-To: ", fields.replyTo);
    writeIfPresent(output, "CC: ", fields.cc);
    writeIfPresent(output, "BCC: ", fields.bcc);
    writeIfPresent(output, "Subject: ", fields.subject);
    output.write(kContentLines, sizeof kContentLines - 1);
    output.write("\r\n", 2);
}

} // namespace kistwerk
