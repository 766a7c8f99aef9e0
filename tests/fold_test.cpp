// The UTF-8 fold: well-formed forms, malformed input and sequences cut off by
// the end of the text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/fold.h"

using namespace kistwerk;

namespace {

struct FoldRow {
    std::string in;
    std::string out;
};

// Folds `in` in a buffer exactly length + 1 bytes long, so that a read or write
// beyond the text is caught by the sanitizers and by the guard check.
std::string fold(const std::string& in)
{
    std::vector<std::uint8_t> buffer(in.begin(), in.end());
    buffer.push_back(0x77);
    auto length = static_cast<std::int32_t>(in.size());
    foldUtf8(buffer.data(), length);
    EXPECT_LE(length, static_cast<std::int32_t>(in.size()));
    EXPECT_EQ(buffer[static_cast<std::size_t>(length)], 0) << "zero byte behind the text";
    return std::string(buffer.begin(), buffer.begin() + length);
}

TEST(FoldTest, FoldsEachSequenceToOneWindows1252Byte)
{
    const FoldRow rows[] = {
        {"plain ASCII 123", "plain ASCII 123"},
        {"Gr\xC3\xBC\xC3\x9F" "e", "Gr\xFC\xDF" "e"},
        {"\xC3\xA4", "\xE4"},
        {"\xC2\xA0", "\xA0"},
        {"\xC2\x80\xC2\x9F", "\x80\x9F"},
        // The 27 characters windows-1252 places at 0x80 to 0x9F.
        {"€‚ƒ„…†‡ˆ‰Š‹ŒŽ‘’“”•–—˜™š›œžŸ",
         "\x80\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C\x8E\x91\x92\x93\x94\x95\x96\x97\x98\x99\x9A\x9B\x9C\x9E\x9F"},
        {"10 \xE2\x82\xAC, \xE2\x80\x9EZitat\xE2\x80\x9C", "10 \x80, \x84Zitat\x93"},
        // Any other character above U+00FF is a question mark, however long its form.
        {"x\xC4\x80y", "x?y"},
        {"\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBD", "???"},
        {"\xF0\x9F\x98\x80" "ab", "?ab"},
        {"\xF4\x8F\xBF\xBF", "?"},
        {"\xEF\xBB\xBF" "Hallo \xEF\xBB\xBF", "Hallo "},
        // Bytes that begin no well-formed sequence stay, and so does Latin-1 text.
        {"K\xE4se, Gr\xFC\xDF" "e", "K\xE4se, Gr\xFC\xDF" "e"},
        {"\xE4" "bc \xC4" "b", "\xE4" "bc \xC4" "b"},
        {"\xBF\x80\x80", "\xBF\x80\x80"},
        {"\xC3\xC3\xA4", "\xC3\xE4"},
        {"\xE2\x82x", "\xE2\x82x"},
        {"\xC0\x81 \xC1\xBF", "\xC0\x81 \xC1\xBF"},                    // overlong two-byte forms
        {"\xE0\x9F\xBF \xF0\x8F\xBF\xBF", "\xE0\x9F\xBF \xF0\x8F\xBF\xBF"},  // overlong longer forms
        {"\xED\xA0\x80", "\xED\xA0\x80"},                                // a surrogate
        {"\xF4\x90\x80\x80 \xF5\x80\x80\x80", "\xF4\x90\x80\x80 \xF5\x80\x80\x80"},  // above U+10FFFF
        {"", ""},
    };
    for (const FoldRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.in));
        EXPECT_EQ(fold(row.in), row.out);
    }
}

TEST(FoldTest, SequenceCutOffByTheEndIsKept)
{
    for (const char* in : {"a\xC3", "a\xE2", "a\xE2\x82", "a\xF0\x9F\x98", "a\xF4\x8F\xBF"}) {
        SCOPED_TRACE(testing::PrintToString(in));
        EXPECT_EQ(fold(in), in);
    }
}

// What the body keeps back for its next piece, and which header texts stay UTF-8.
TEST(FoldTest, CutSequencesAndUtf8Texts)
{
    const struct {
        std::string text;
        std::int32_t cut;
        bool utf8;
    } rows[] = {
        {"Gr\xC3", 1, false},
        {"10 \xE2\x82", 2, false},
        {"a\xF0\x9F\x98", 3, false},
        {"10 \xE2\x82\xAC", 0, true},
        {"a\xE0\x9F", 0, false},  // overlong
        {"a\xED\xA0", 0, false},  // a surrogate
        {"a\xF4\x90", 0, false},  // above U+10FFFF
        {"a\xC3\xBC\xBC", 0, false},
        {"a\xC0", 0, false},
        {"\xE2\x80\x9E" "Angebot\xE2\x80\x9C \xD0\x9F \xC5\x81", 0, true},
        {"K\xE4se", 0, false},
        {"Gr\xC3\xBC\xC3\x9F" "e \xE4", 1, false},
        {"\xEF\xBB\xBF", 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.text));
        const auto* text = reinterpret_cast<const std::uint8_t*>(row.text.data());
        EXPECT_EQ(cutSequenceLength(text, static_cast<std::int32_t>(row.text.size())), row.cut);
        EXPECT_EQ(isUtf8Text(text, row.text.size()), row.utf8);
    }
}

TEST(FoldTest, EmptyAndNegativeLengthsWriteOnlyTheZeroByte)
{
    for (std::int32_t start : {0, -1, -65000}) {
        SCOPED_TRACE(start);
        std::uint8_t buffer[2] = {0x41, 0x42};
        std::int32_t length = start;
        foldUtf8(buffer, length);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(buffer[0], 0);
        EXPECT_EQ(buffer[1], 0x42);
    }
}

} // namespace
