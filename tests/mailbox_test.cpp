// End to end: a PFC file with items of every body kind through the whole run,
// compared byte for byte with the mailbox file it must give.
#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "pfc/run.h"
#include "tests/support/mailbox_fixture.h"
#include "tests/support/recording_frontend.h"
#include "tests/support/temp_dir.h"

using namespace kistwerk;
using namespace kistwerk::fixture;
namespace fs = std::filesystem;

namespace {

TEST(MailboxTest, WholeFileFromEveryBodyKind)
{
    MailboxFixture f = mailboxFixture();
    TempDir temp;
    const fs::path& dir = temp.path();
    std::string input = (dir / "Post.pfc").string();
    std::string output = (dir / "Post.mbx").string();
    {
        std::ofstream pfc(input, std::ios::binary);
        pfc.write(reinterpret_cast<const char*>(f.image.data()), static_cast<std::streamsize>(f.image.size()));
    }

    ConversionRun run;
    RecordingFrontEnd frontEnd;
    EXPECT_TRUE(runConversion(run, input, frontEnd, output));
    EXPECT_EQ(run.entriesWritten, f.items.size());

    std::ifstream in(output, std::ios::binary);
    std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string expected;
    for (const ExpectedItem& item : f.items)
        expected += item.entry;
    EXPECT_EQ(written, expected);
    in.close();
}

TEST(MailboxTest, SameBytesUnderAGermanLocale)
{
    MailboxFixture f = mailboxFixture();
    std::string expected;
    for (const ExpectedItem& item : f.items)
        expected += item.entry;

    std::string saved = std::setlocale(LC_ALL, nullptr);
    bool switched = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252"})
        switched = switched || std::setlocale(LC_ALL, name) != nullptr;
    MemoryInput input(f.image);
    MemoryOutput output;
    RecordingFrontEnd frontEnd;
    ConversionRun run;
    convertContainer(run, input, output, frontEnd);
    std::setlocale(LC_ALL, saved.c_str());
    if (!switched)
        GTEST_SKIP() << "no German locale installed";
    EXPECT_EQ(output.text(), expected);
}

} // namespace
