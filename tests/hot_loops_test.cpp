// The word-at-a-time paths of the fold and the body filter against the byte
// rules they speed up: every special byte at every offset of a long run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/output.h"
#include "text/filter.h"
#include "text/fold.h"

using namespace kistwerk;

namespace {

// The fold one group at a time, as the format defines it.
std::string referenceFold(const std::string& in)
{
    auto at = [&](std::size_t i) { return i < in.size() ? static_cast<std::uint8_t>(in[i]) : std::uint8_t{0}; };
    std::string out;
    for (std::size_t i = 0; i < in.size();) {
        std::uint8_t b = at(i);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            i += 1;
        } else if (b >= 0xC0 && b <= 0xDF) {
            out.push_back(static_cast<char>(static_cast<std::uint8_t>((b << 6) | (at(i + 1) & 0x3F))));
            i += 2;
        } else {
            out.push_back(static_cast<char>(static_cast<std::uint8_t>((at(i + 1) << 6) | (at(i + 2) & 0x3F))));
            i += 3;
        }
    }
    return out;
}

std::string fold(const std::string& in)
{
    std::vector<std::uint8_t> buffer(in.begin(), in.end());
    buffer.push_back(0xEE);
    auto length = static_cast<std::int32_t>(in.size());
    foldUtf8(buffer.data(), length);
    EXPECT_EQ(buffer[static_cast<std::size_t>(length)], 0);
    return std::string(buffer.begin(), buffer.begin() + length);
}

std::string filter(const std::string& in)
{
    MemoryOutput output;
    filterBody(reinterpret_cast<const std::uint8_t*>(in.data()), static_cast<std::int32_t>(in.size()), output);
    return output.text();
}

} // namespace

TEST(HotLoops, FoldMatchesTheGroupRulesAtEveryOffset)
{
    // Multi-byte groups placed so that they start, end and straddle every byte
    // of an eight-byte word, behind text that has already shrunk.
    const std::string groups[] = {"\xC3\xA4", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE4", "\xC4", "\xC3"};
    for (const std::string& group : groups) {
        for (std::size_t lead = 0; lead < 20; ++lead) {
            for (std::size_t trail = 0; trail < 12; ++trail) {
                std::string text = "\xC3\xBC" + std::string(lead, 'a') + group + std::string(trail, 'b') + group;
                SCOPED_TRACE(testing::Message() << "group " << group.size() << " bytes, lead " << lead << ", trail " << trail);
                ASSERT_EQ(fold(text), referenceFold(text));
            }
        }
    }
}

TEST(HotLoops, FoldOfPseudoRandomMixes)
{
    std::uint32_t x = 12345;
    for (int round = 0; round < 500; ++round) {
        std::string text;
        std::size_t size = round % 97;
        for (std::size_t i = 0; i < size; ++i) {
            x = x * 1664525u + 1013904223u;
            std::uint8_t b = static_cast<std::uint8_t>(x >> 24);
            text.push_back(static_cast<char>((x & 0x300) != 0 ? (b & 0x7F) : b));
        }
        SCOPED_TRACE(round);
        ASSERT_EQ(fold(text), referenceFold(text));
    }
}

TEST(HotLoops, FilterFindsEverySpecialByteInLongRuns)
{
    struct Row {
        const char* what;
        std::string sequence;
        std::string written;
    };
    const Row rows[] = {
        {"tag", "<b>", ""},
        {"entity", "&uuml;", "\xFC"},
        {"lone LF", "\n", "\r\n"},
        {"lone CR", "\r", "\r\n"},
        {"CR LF", "\r\n", "\r\n"},
        {"DEL", "\x7F", "\r\n"},
        {"NUL", std::string(1, '\0'), ""},
        {"closing sign", ">", ">"},
        {"break", "<br>", "\r\n"},
        {"quotation", "<blockquote>q</blockquote>", "<<q>>"},
        {"From line", "\nFrom: x", "\r\n>From: x"},
        {"From: inside a tag", "<a\nFrom: x>", ">From:"},
        {"binary marker", "<binary>", ""},
    };
    for (const Row& row : rows) {
        for (std::size_t lead = 1; lead < 40; ++lead) {
            bool ends = row.sequence == "<binary>";
            std::string tail = ends ? "" : std::string(40 - lead, 'y');
            std::string text = std::string(lead, 'x') + row.sequence + std::string(40 - lead, 'y');
            SCOPED_TRACE(testing::Message() << row.what << ", lead " << lead);
            ASSERT_EQ(filter(text), std::string(lead, 'x') + row.written + tail);
        }
    }
}
