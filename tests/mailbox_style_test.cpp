// The Unix form of the mailbox file: CR LF pairs joined to LF also where a
// buffer edge splits them, the asctime day in the separator line, and a whole
// file that differs from the Windows form in nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "message/dates.h"
#include "message/fields.h"
#include "pfc/run.h"
#include "testkit/synth.h"
#include "tests/support/mailbox_fixture.h"
#include "tests/support/recording_frontend.h"
#include "tests/support/temp_dir.h"

using namespace kistwerk;
using namespace kistwerk::fixture;

namespace {

std::string joinedLineEnds(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

// The Windows form turned into the Unix form by rule: every CR LF pair becomes
// LF, and a one-digit day in a separator line gets a blank in front.
std::string unixFormOf(const std::string& windows)
{
    static const std::regex separatorDay("(^|\n)(From - [A-Z][a-z]{2} [A-Z][a-z]{2}) ([1-9]) ");
    return std::regex_replace(joinedLineEnds(windows), separatorDay, "$1$2  $3 ");
}

std::string convert(const Bytes& image, const MailboxStyle& style)
{
    MemoryInput input(image);
    MemoryOutput output;
    ConversionRun run;
    run.style = style;
    RecordingFrontEnd frontEnd;
    convertContainer(run, input, output, frontEnd);
    return output.text();
}

const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

TEST(MailboxStyleTest, SeparatorDayOfEveryDayOfTheMonth)
{
    // 2003-01-01 was a Wednesday; 1041757387 is 2003-01-05 09:03:07.
    for (int day = 1; day <= 31; ++day) {
        SCOPED_TRACE("day " + std::to_string(day));
        MessageFields fields;
        clearMessageFields(fields);
        fields.timestamp = 1041757387 + (day - 5) * 86400;
        const std::string weekday = kDays[(3 + day - 1) % 7];
        const std::string number = std::to_string(day);
        std::string dateLine = "Date: ";
        dateLine.append(weekday).append(", ").append(number).append(" Jan 2003 09:03:07\r\n");
        std::string windowsLines = "From - ";
        windowsLines.append(weekday).append(" Jan ").append(number).append(" 09:03:07 2003\r\n").append(dateLine);
        std::string unixLines = "From - ";
        unixLines.append(weekday).append(" Jan ").append(day < 10 ? " " : "").append(number);
        unixLines.append(" 09:03:07 2003\r\n").append(dateLine);

        MemoryOutput windows;
        writeDateLines(fields, windows);
        EXPECT_EQ(windows.text(), windowsLines);

        MemoryOutput unixForm;
        writeDateLines(fields, unixForm, unixMailboxStyle());
        EXPECT_EQ(unixForm.text(), unixLines);
    }
}

TEST(MailboxStyleTest, FallbackSeparatorIsPaddedToo)
{
    MessageFields fields;
    clearMessageFields(fields);
    std::strcpy(fields.dateText, "19.01.2038 03:14:08");
    MemoryOutput output;
    writeDateLines(fields, output, unixMailboxStyle());
    static const std::regex form("From - [A-Z][a-z]{2} [A-Z][a-z]{2} ( [1-9]|[1-3][0-9]) "
                                 "[0-2][0-9]:[0-5][0-9]:[0-5][0-9] [0-9]{4}\r\nDate: 19\\.01\\.2038 03:14:08\r\n");
    EXPECT_TRUE(std::regex_match(output.text(), form)) << output.text();
}

// How a test row hands its bytes to the output.
enum class WriteMode { ByteByByte, OneWrite, SplitBetweenCrAndLf, LargerThanBuffer };

TEST(MailboxStyleTest, LineEndsJoinedAtBufferEdges)
{
    constexpr std::size_t edge = Output::kBufferSize;
    struct Row {
        std::size_t filler;   // bytes before the tail
        const char* tail;
        WriteMode mode;
    };
    const Row rows[] = {
        {edge - 1, "\r\nnext", WriteMode::ByteByByte},           // CR last in the buffer, LF first of the next
        {edge - 1, "\r\nnext", WriteMode::OneWrite},
        {edge - 1, "\r\nnext", WriteMode::SplitBetweenCrAndLf},
        {edge - 2, "\r\nnext", WriteMode::SplitBetweenCrAndLf},  // the pair fills the buffer exactly
        {edge, "\r\nnext", WriteMode::SplitBetweenCrAndLf},      // the pair starts the second buffer
        {edge - 1, "\rx\r\n", WriteMode::SplitBetweenCrAndLf},   // a lone CR held back, then let go
        {edge - 1, "\r\r\n", WriteMode::ByteByByte},             // lone CR, then a pair
        {edge - 1, "\r", WriteMode::OneWrite},                   // the very last byte is a lone CR
        {2 * edge - 1, "\r\n", WriteMode::SplitBetweenCrAndLf},
        {3, "\r\n", WriteMode::LargerThanBuffer},
        {edge - 5, "ab\r\ncd\r\n", WriteMode::LargerThanBuffer},
        {0, "\r\n\r\n\n\r", WriteMode::OneWrite},
        // Pairs packed close, on both sides of the 16-byte steps the joining takes.
        {14, "\r\n\r\r\n\n\r\n\r\n\rx\r\n\r\n\r\n\r\r\r\n\r\n\r\n", WriteMode::OneWrite},
        {15, "\r\n\r\r\n\n\r\n\r\n\rx\r\n\r\n\r\n\r\r\r\n\r\n\r\n", WriteMode::OneWrite},
        {31, "\r\n" "0123456789abcd\r\r\n" "0123456789abc\r", WriteMode::OneWrite},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("filler " + std::to_string(row.filler) + ", tail " + std::to_string(std::strlen(row.tail)) +
                     " bytes, mode " + std::to_string(static_cast<int>(row.mode)));
        // The filler holds CR LF pairs of its own, away from the edge.
        std::string filler(row.filler, 'a');
        for (std::size_t i = 100; i + 1 < row.filler; i += 1000) {
            filler[i] = '\r';
            filler[i + 1] = '\n';
        }
        const std::string text = filler + row.tail;

        MemoryOutput output;
        output.setLfLineEnds(true);
        switch (row.mode) {
        case WriteMode::ByteByByte:
            for (char c : text)
                output.put(static_cast<std::uint8_t>(c));
            break;
        case WriteMode::OneWrite:
            output.write(text.data(), text.size());
            break;
        case WriteMode::SplitBetweenCrAndLf: {
            std::size_t cut = text.find('\r', row.filler) + 1;
            output.write(text.data(), cut);
            output.write(text.data() + cut, text.size() - cut);
            break;
        }
        case WriteMode::LargerThanBuffer: {
            const std::string large = text + std::string(edge + 7, 'b') + "\r\n";
            output.write(large.data(), large.size());
            output.write(text.data(), text.size());
            EXPECT_EQ(output.text(), joinedLineEnds(large + text));
            continue;
        }
        }
        const std::string expected = joinedLineEnds(text);
        EXPECT_TRUE(output.text() == expected) << "got " << output.text().size() << " bytes, expected "
                                               << expected.size();
        EXPECT_EQ(output.bytesWritten(), expected.size());
    }
}

// Entries on days 1 to 31, one without a date, and bodies with line ends of
// every kind, among them a lone CR at the start of a piece of text.
Bytes datesFixture()
{
    PfcBuilder b(80);
    std::int32_t leaves = 33;
    for (std::int32_t k = 1; k <= leaves; ++k)
        b.node(k, 7, 40 + k, k < leaves ? k + 1 : 0, 0);
    for (std::int32_t k = 1; k <= leaves; ++k) {
        MessageBuilder m;
        m.sectionCount(2);
        char text[32];
        if (k <= 31) {
            std::snprintf(text, sizeof text, "%02d.03.2004 23:59:59", k);
            m.field(5, text);
        }
        std::snprintf(text, sizeof text, "Tag %d", k);
        m.field(6, "jdoe").field(10, text).endList();
        m.section().typeRecord(0, 0).content("Zeile\r\nlose LF\nlose CR\rEnde").endList();
        m.section().typeRecord(0, 0).content(k % 2 == 0 ? "\rmit CR vorn\r\n" : "\nmit LF vorn<br>\r\n").endList();
        b.record(40 + k, m.bytes());
    }
    return b.bytes();
}

TEST(MailboxStyleTest, UnixFileDiffersOnlyInLineEndsAndSeparatorDay)
{
    struct Row {
        const char* name;
        Bytes image;
    };
    const Row rows[] = {
        {"every body kind", mailboxFixture().image},
        {"days of the month", datesFixture()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string windows = convert(row.image, MailboxStyle{});
        const std::string unixForm = convert(row.image, unixMailboxStyle());
        EXPECT_NE(windows, unixForm);
        EXPECT_EQ(unixForm, unixFormOf(windows));
        EXPECT_EQ(unixForm.find("\r\n"), std::string::npos);
    }
}

// A generated file large enough that the mailbox file fills the output buffer
// many times over, with compressed chunks and damaged records.
TEST(MailboxStyleTest, GeneratedFileInBothForms)
{
    TempDir temp;
    bench::SynthOptions options;
    options.targetBytes = 2 << 20;
    options.seed = 7;
    options.outPath = (temp.path() / "synth.pfc").string();
    bench::SynthSummary summary;
    ASSERT_TRUE(bench::writeSynth(options, summary));
    std::ifstream in(options.outPath, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    const std::string windows = convert(image, MailboxStyle{});
    const std::string unixForm = convert(image, unixMailboxStyle());
    ASSERT_GT(windows.size(), 4 * Output::kBufferSize);
    EXPECT_TRUE(unixForm == unixFormOf(windows));
}

} // namespace
