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

// The fold one sequence at a time: well-formed UTF-8 by the table of byte
// ranges (the lead, the second byte's range, 80..BF for the rest), each
// character as windows-1252, "?" where it has none, nothing for U+FEFF.
std::string referenceFold(const std::string& in)
{
    static const char32_t high[32] = {0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                      0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013,
                                      0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};
    auto at = [&](std::size_t i) { return i < in.size() ? static_cast<std::uint8_t>(in[i]) : std::uint8_t{0}; };
    std::string out;
    for (std::size_t i = 0; i < in.size();) {
        const std::uint8_t b = at(i);
        const std::size_t n = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 1;
        const std::uint8_t low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
        const std::uint8_t top = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
        bool wellFormed = n > 1 && i + n <= in.size() && at(i + 1) >= low && at(i + 1) <= top;
        for (std::size_t k = 2; wellFormed && k < n; ++k)
            wellFormed = at(i + k) >= 0x80 && at(i + k) <= 0xBF;
        if (!wellFormed) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        char32_t code = b & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k)
            code = code << 6 | (at(i + k) & 0x3F);
        i += n;
        char byte = code <= 0xFF ? static_cast<char>(code) : '?';
        for (int k = 0; k < 32; ++k)
            byte = high[k] == code ? static_cast<char>(0x80 + k) : byte;
        if (code != 0xFEFF)
            out.push_back(byte);
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
    const std::string groups[] = {"\xC3\xA4", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xEF\xBB\xBF", "\xE4", "\xC4", "\xC3"};
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
        {"From line around a tag", "\nF<i>rom ", "\r\n>From "},
        {"From: inside a tag", "<a\nFrom: x>", ">From:"},
        {"binary marker", "<binary>", ""},
        {"other control bytes", "\t\x01\x0B\x0C", "\t\x01\x0B\x0C"},
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
