// Deterministic pseudo-random and mutated inputs through the body filter and the
// whole conversion, the same entry points the libFuzzer targets use. Every input
// lives in a heap block of exactly its size, so a memory checker sees any read
// past its end.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "io/output.h"
#include "pfc/frontend.h"
#include "pfc/run.h"
#include "testkit/pfc_builder.h"
#include "text/filter.h"

using namespace kistwerk;
using namespace kistwerk::fixture;

namespace {

// Pieces that reach the filter's rules more often than random bytes would.
constexpr std::string_view kFilterPieces[] = {
    "<br>", "<BR>", "<br", "<blockquote>", "</blockquote>", "<block", "<binary>", "<BINARY", "<!doctype",
    "<!DocType x>", "<html>", "<HTML", "From:", "fRoM:", "From ", "From", "&uuml;", "&Uu", "&szlig;", "&sz",
    "&gt;", "&LT;", "&nbsp;", "&nb", "&", "<", ">", "\r", "\n", "\r\n", "\x7F", std::string_view("\0", 1),
    "text ", "x",
};

std::string randomFilterText(std::mt19937& random)
{
    std::string text;
    const int pieces = static_cast<int>(random() % 40);
    for (int i = 0; i < pieces; ++i) {
        if (random() % 4 == 0)
            text.push_back(static_cast<char>(random() & 0xFF));
        else
            text += kFilterPieces[random() % std::size(kFilterPieces)];
    }
    return text;
}

std::string filterExact(const std::string& input)
{
    std::unique_ptr<std::uint8_t[]> text(new std::uint8_t[input.size()]);
    std::copy(input.begin(), input.end(), text.get());
    MemoryOutput output;
    filterBody(text.get(), static_cast<std::int32_t>(input.size()), output);
    return output.text();
}

TEST(Robustness, FilterOnRandomText)
{
    std::mt19937 random(20260407);
    for (int i = 0; i < 4000; ++i) {
        const std::string input = randomFilterText(random);
        const std::string output = filterExact(input);
        SCOPED_TRACE(i);
        // No rule writes more than two bytes for one byte it consumes.
        ASSERT_LE(output.size(), 2 * input.size());
    }
}

// Without bytes that the filter drops or decodes, what it writes is what the
// text says line by line, so no written line may begin with "From ".
TEST(Robustness, NoWrittenLineStartsWithFrom)
{
    constexpr std::string_view pieces[] = {"From ", "From", "F", "rom ", "from ", ":", " ", "x",
                                           "\r",    "\n",   "\r\n", "\x7F"};
    std::mt19937 random(4711);
    for (int i = 0; i < 3000; ++i) {
        std::string input;
        const int count = static_cast<int>(random() % 20);
        for (int j = 0; j < count; ++j)
            input += pieces[random() % std::size(pieces)];
        const std::string output = filterExact(input);
        SCOPED_TRACE(testing::PrintToString(input));
        std::size_t lineStart = 0;
        for (;;) {
            ASSERT_NE(output.compare(lineStart, 5, "From "), 0) << testing::PrintToString(output);
            const std::size_t lf = output.find('\n', lineStart);
            if (lf == std::string::npos)
                break;
            lineStart = lf + 1;
        }
    }
}

// A small archive that reaches folders, several item types and body sections.
Bytes seedImage()
{
    PfcBuilder b(12);
    b.node(1, 0, 0, 0, 2);
    b.node(2, 7, 8, 3, 0);
    b.node(3, 0, 0, 5, 4);
    b.node(4, 12, 9, 0, 0);
    b.node(5, 20, 10, 6, 0);
    b.node(6, 3, 11, 0, 0);
    MessageBuilder plain;
    plain.sectionCount(1).field(6, "jdoe").field(10, "Betreff").endList()
        .section().typeRecord(0, 0).content("<b>Hallo</b><br>\nFrom here &uuml;\r\n").endList();
    b.record(8, plain.bytes());
    MessageBuilder folded;
    folded.sectionCount(2).timestamp(1041757387).field(7, "a@example.org").endList()
        .section().typeRecord(3, 0).content("Gr\xC3\xBC\xC3\x9F" "e\n").endList()
        .section().typeRecord(0, 1).content("[x]").content(Bytes{0x78, 0x9C}).endList();
    b.record(9, folded.bytes());
    b.record(10, MessageBuilder().sectionCount(0).endList().bytes());
    b.record(11, bytesOf("not a record"));
    return b.bytes();
}

void mutate(Bytes& image, std::mt19937& random)
{
    const int edits = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < edits && !image.empty(); ++i) {
        const std::size_t at = random() % image.size();
        switch (random() % 5) {
        case 0: image[at] = static_cast<std::uint8_t>(random()); break;
        case 1: image[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
        case 2: image.resize(at); break;
        case 3: image.insert(image.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(random())); break;
        default: {
            // Small integers and sign flips hit the index and length fields.
            static constexpr std::uint8_t values[] = {0x00, 0x01, 0x02, 0x07, 0x0C, 0x0D, 0x7F, 0x80, 0xFF};
            image[at] = values[random() % std::size(values)];
        }
        }
    }
}

void convertExact(const Bytes& image)
{
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[image.size()]);
    std::copy(image.begin(), image.end(), bytes.get());
    MemoryInput input(bytes.get(), image.size());
    MemoryOutput output;
    SilentFrontEnd frontEnd;
    ConversionRun run;
    convertContainer(run, input, output, frontEnd);
    EXPECT_LE(run.doneItems, run.totalItems);
}

TEST(Robustness, ConversionOnMutatedImages)
{
    const Bytes seed = seedImage();
    std::mt19937 random(1999);
    for (int i = 0; i < 3000; ++i) {
        Bytes image = seed;
        mutate(image, random);
        SCOPED_TRACE(i);
        convertExact(image);
    }
}

TEST(Robustness, ConversionOnRandomBytes)
{
    std::mt19937 random(77);
    for (int i = 0; i < 1000; ++i) {
        Bytes image(random() % 400);
        for (auto& byte : image)
            byte = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : random() % 3);
        SCOPED_TRACE(i);
        convertExact(image);
    }
}

} // namespace
