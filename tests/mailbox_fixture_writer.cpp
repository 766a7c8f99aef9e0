// Writes the end-to-end fixture for the mbox read-back check:
//   mailbox_fixture_writer OUT.pfc EXPECTED.txt
// EXPECTED.txt holds one line per entry: the subject and the body, each in hex.
#include <cstdio>

#include "tests/support/mailbox_fixture.h"

using namespace kistwerk::fixture;

namespace {

void putHex(std::FILE* out, const std::string& text)
{
    for (unsigned char c : text)
        std::fprintf(out, "%02x", c);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: mailbox_fixture_writer OUT.pfc EXPECTED.txt\n");
        return 2;
    }
    MailboxFixture f = mailboxFixture();
    std::FILE* pfc = std::fopen(argv[1], "wb");
    std::FILE* expected = std::fopen(argv[2], "wb");
    if (pfc == nullptr || expected == nullptr)
        return 1;
    std::fwrite(f.image.data(), 1, f.image.size(), pfc);
    for (const ExpectedItem& item : f.items) {
        putHex(expected, item.subject);
        std::fputc(' ', expected);
        putHex(expected, item.body);
        std::fputc('\n', expected);
    }
    bool ok = std::fclose(pfc) == 0;
    ok = std::fclose(expected) == 0 && ok;
    return ok ? 0 : 1;
}
