// The UTF-8 fold: well-formed forms, malformed input and groups cut off by the
// end of the text.
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

TEST(FoldTest, FoldsEachGroupToOneByte)
{
    const FoldRow rows[] = {
        {"plain ASCII 123", "plain ASCII 123"},
        {"Gr\xC3\xBC\xC3\x9F" "e", "Gr\xFC\xDF" "e"},
        {"\xC3\xA4", "\xE4"},
        {"\xC2\xA0", "\xA0"},
        {"\xE2\x82\xAC", "\xAC"},
        {"\xE2\x80\x98", "\x18"},
        {std::string("x\xC4\x80y"), std::string("x\0y", 3)},
        {"\xF0\x9F\x98\x80" "ab", "\xD8" "b"},
        {"\xE4" "bc", "\xA3"},
        {"\xC4" "b", "\x22"},
        {"\xBF" "\x80\x80", std::string(1, '\0')},
        {"\xC0" "\x81", "\x01"},
        {"\xDF" "\xBF", "\xFF"},
        {"\xE0" "\x83\xBF", "\xFF"},
        {"", ""},
    };
    for (const FoldRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.in));
        EXPECT_EQ(fold(row.in), row.out);
    }
}

TEST(FoldTest, GroupCutOffByTheEndCountsMissingBytesAsZero)
{
    const FoldRow rows[] = {
        {"a\xC3", "a\xC0"},                       // a lead alone keeps its two low bits
        {"a\xC4", std::string("a\0", 2)},
        {"a\xC7", "a\xC0"},
        {"a\xE2", std::string("a\0", 2)},
        {"a\xE2\x82", "a\x80"},
        {"a\xE2\x83", "a\xC0"},
    };
    for (const FoldRow& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.in));
        EXPECT_EQ(fold(row.in), row.out);
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
