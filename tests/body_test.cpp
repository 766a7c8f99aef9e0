// Body sections: which content becomes body text, the bracketed layout with its
// compressed chunks, the folded part types, and the closing lines.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include "tests/support/message_fixture.h"

using namespace kistwerk;
using namespace kistwerk::fixture;

namespace {

using Sections = std::function<void(MessageBuilder&)>;

// A zlib stream of `text` split as the bracketed layout stores it.
struct Split {
    Bytes head;
    Bytes chunk;
};

Split compressed(const std::string& text, int level = Z_DEFAULT_COMPRESSION)
{
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    Bytes stream(size);
    compress2(stream.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()),
              level);
    stream.resize(size);
    return Split{Bytes(stream.begin(), stream.begin() + 2), Bytes(stream.begin() + 2, stream.end())};
}

// The body text of an entry with `count` sections; checks that the entry ends
// with the closing lines, once.
std::string bodyOf(std::uint16_t count, const Sections& sections, ViewKind views)
{
    MessageBuilder m;
    m.sectionCount(count).field(5, kDateText).endList();
    sections(m);
    Converted c = convertRecord(m.bytes(), views);
    const std::string head = kDateLines + std::string("From: \r\n") + kContentLines + "\r\n";
    if (c.mailbox.compare(0, head.size(), head) != 0 || c.mailbox.size() < head.size() + 4)
        return "<no entry>";
    std::string rest = c.mailbox.substr(head.size());
    if (rest.compare(rest.size() - 4, 4, "\r\n\r\n") != 0)
        return "<not closed>";
    rest.resize(rest.size() - 4);
    return rest;
}

// Section 0 and 1 opening the bracketed layout, section 2 holding what it drops.
void bracketOpening(MessageBuilder& m)
{
    m.section().typeRecord(0, 0).content("A ").endList();
    m.section().content("[layout]").content("more ").endList();
    m.section().content("dropped").endList();
}

struct BodyRow {
    const char* name;
    std::uint16_t sections;
    Sections build;
    std::string body;
};

void checkRows(const std::vector<BodyRow>& rows)
{
    // Content is used where the input holds it, or from the work buffer when a
    // read had to copy it; the text must not depend on which.
    for (const BodyRow& row : rows) {
        for (ViewKind views : {ViewKind::InPlace, ViewKind::Copied}) {
            SCOPED_TRACE(std::string(row.name) + (views == ViewKind::InPlace ? " (in place)" : " (copied)"));
            std::string body = bodyOf(row.sections, row.build, views);
            EXPECT_EQ(body.size(), row.body.size());
            EXPECT_TRUE(body == row.body) << testing::PrintToString(body.substr(0, 200));
        }
    }
}

TEST(BodyTest, PartTypesAndRecordForms)
{
    const std::string gruesse = "Gr\xC3\xBC\xC3\x9F" "e";
    checkRows({
        {"type 0 unfolded", 1, [&](MessageBuilder& m) { m.section().typeRecord(0, 0).content(gruesse).endList(); },
         gruesse},
        {"folded types", 4,
         [&](MessageBuilder& m) {
             for (std::uint8_t type : {3, 5, 16, 20})
                 m.section().typeRecord(type, 0).content(gruesse).endList();
         },
         "Gr\xFC\xDF" "eGr\xFC\xDF" "eGr\xFC\xDF" "eGr\xFC\xDF" "e"},
        {"folded Latin-1 kept", 1, [](MessageBuilder& m) { m.section().typeRecord(3, 1).content("\xE4" "bc").endList(); },
         "\xE4" "bc"},
        {"dropped types", 6,
         [](MessageBuilder& m) {
             for (std::uint8_t type : {1, 2, 4, 15, 21, 255})
                 m.section().typeRecord(type, 0).content("x").endList();
         },
         ""},
        {"type carries across sections", 2,
         [](MessageBuilder& m) {
             m.section().typeRecord(5, 0).endList();
             m.section().content("\xC3\xA4").endList();
         },
         "\xE4"},
        {"content before any type", 1,
         [](MessageBuilder& m) { m.section().content("X").typeRecord(0, 0).content("Y").endList(); }, "Y"},
        {"type record of size class 3", 1,
         [](MessageBuilder& m) {
             m.section().typeRecord(0, 0).content("A").rawField(12, 3, 0, {1, 0}).content("B").endList();
         },
         "AB"},
        {"content of size class 4", 1,
         [](MessageBuilder& m) {
             m.section().typeRecord(0, 0).rawField(13, 4, 0, bytesOf("abcd")).rawField(13, 0, 2, bytesOf("ef"))
                 .endList();
         },
         ""},
        {"other tags skipped", 1,
         [](MessageBuilder& m) {
             m.section().field(99, std::string(64999, 'z')).typeRecord(0, 0).field(14, "no").content("ok").endList();
         },
         "ok"},
        {"no usable content", 2,
         [](MessageBuilder& m) {
             m.section().typeRecord(0, 0).endList();
             m.section().endList();
         },
         ""},
        {"one line across sections", 2,
         [](MessageBuilder& m) {
             m.section().typeRecord(0, 0).content("x\nFro").endList();
             m.section().typeRecord(3, 0).content("m a\nFrom").endList();
         },
         "x\r\n>From a\r\nFrom"},
        {"sections in order", 3,
         [](MessageBuilder& m) {
             m.section().typeRecord(0, 0).content("one ").endList();
             m.section().content("two ").endList();
             m.section().content("three").endList();
         },
         "one two three"},
        {"largest record", 1,
         [](MessageBuilder& m) { m.section().typeRecord(0, 0).content(std::string(64999, 'w')).endList(); },
         std::string(64999, 'w')},
    });
}

TEST(BodyTest, BracketedLayout)
{
    const Split hallo = compressed("Hallo Welt");
    const Split umlaut = compressed("Gr\xC3\xBC\xC3\x9F" "e");
    const Split level9 = compressed("zweiter Kopf", 9);
    checkRows({
        {"head then chunks", 5,
         [&](MessageBuilder& m) {
             bracketOpening(m);
             m.section().typeRecord(0, 1).content(hallo.head).content(hallo.chunk).endList();
             m.section().content(umlaut.chunk).endList();
         },
         "A more Hallo WeltGr\xFC\xDF" "e"},
        {"no bracket: chunk written raw", 4,
         [&](MessageBuilder& m) {
             m.section().typeRecord(0, 0).content("A ").endList();
             m.section().content("no bracket ").endList();
             m.section().content("kept ").endList();
             m.section().typeRecord(0, 1).content("ab").content("raw chunk").endList();
         },
         "A no bracket kept abraw chunk"},
        {"bracket in section 0 counts not", 3,
         [&](MessageBuilder& m) {
             m.section().typeRecord(0, 0).content("[a ").endList();
             m.section().content("b ").endList();
             m.section().content("c").endList();
         },
         "[a b c"},
        {"empty content in section 1", 3,
         [&](MessageBuilder& m) {
             m.section().typeRecord(0, 0).endList();
             m.section().content("").endList();
             m.section().content("c").endList();
         },
         "c"},
        {"chunk before any head", 4,
         [&](MessageBuilder& m) {
             bracketOpening(m);
             m.section().typeRecord(0, 1).content("raw1 ").content(hallo.head).typeRecord(0, 0).content("plain")
                 .endList();
         },
         "A more raw1 plain"},
        {"other encoding unchanged", 4,
         [&](MessageBuilder& m) {
             bracketOpening(m);
             m.section().typeRecord(0, 1).content(hallo.head).typeRecord(0, 2).content("as is").endList();
         },
         "A more as is"},
        {"second head replaces the first", 4,
         [&](MessageBuilder& m) {
             bracketOpening(m);
             m.section().typeRecord(0, 1).content("zz").content(level9.head).content(level9.chunk).endList();
         },
         "A more zweiter Kopf"},
        {"a bad second head spoils what follows", 4,
         [&](MessageBuilder& m) {
             bracketOpening(m);
             m.section().typeRecord(0, 1).content(hallo.head).content("zz").content(hallo.chunk).endList();
         },
         "A more "},
        {"head kept across sections", 5,
         [&](MessageBuilder& m) {
             bracketOpening(m);
             m.section().typeRecord(0, 1).content(hallo.head).endList();
             m.section().content(hallo.chunk).endList();
         },
         "A more Hallo Welt"},
    });
}

// A character cut between two folded pieces is folded whole in the second; one
// that waits goes out as its bytes, and before an unfolded piece in a call of
// its own.
TEST(BodyTest, CharactersCutBetweenPieces)
{
    const Split gr = compressed("Gr\xC3");
    const Split uesse = compressed("\xBC\xC3\x9F" "e");
    const Split emojiStart = compressed("x\xF0\x9F\x98");
    const Split emojiEnd = compressed("\x80" + std::string(64999, 'a'));
    const Split cut = compressed("x\xC3");
    const Split plain = compressed(std::string(65000, 'a'));
    auto chunks = [](const char* name, std::vector<Split> list, const std::string& body) {
        return BodyRow{name, 4,
                       [list](MessageBuilder& m) {
                           bracketOpening(m);
                           m.section().typeRecord(0, 1).content(list[0].head);
                           for (const Split& split : list)
                               m.content(split.chunk);
                           m.endList();
                       },
                       "A more " + body};
    };
    checkRows({
        chunks("compressed chunks", {gr, uesse}, "Gr\xFC\xDF" "e"),
        chunks("65,000 bytes behind three waiting", {emojiStart, emojiEnd}, "x?" + std::string(64999, 'a')),
        chunks("a waiting byte and 65,000 more", {cut, plain}, "x\xC3" + std::string(65000, 'a')),
        {"across three pieces", 3,
         [](MessageBuilder& m) {
             m.section().typeRecord(3, 0).content("10 \xE2").endList();
             m.section().content("\x82").endList();
             m.section().typeRecord(5, 0).content("\xAC!").endList();
         },
         "10 \x80!"},
        {"dropped content between", 1,
         [](MessageBuilder& m) {
             m.section().typeRecord(3, 0).content("a\xC3").typeRecord(1, 0).content("x").typeRecord(3, 0)
                 .content("\xA4").endList();
         },
         "a\xE4"},
        {"before an unfolded piece", 1,
         [](MessageBuilder& m) {
             m.section().typeRecord(3, 0).content("x\n\xC3").typeRecord(0, 0).content("From: a").endList();
         },
         "x\r\n\xC3>From: a"},
        {"body ending early", 2,
         [](MessageBuilder& m) { m.section().typeRecord(3, 0).content("ab\xE2\x82").rawField(13, 7, 65000, {}); },
         "ab\xE2\x82"},
        {"behind <binary>", 1,
         [](MessageBuilder& m) { m.section().typeRecord(3, 0).content("x<binary>\xC3").content("\xA4y").endList(); },
         "x\xA4y"},
    });
}

TEST(BodyTest, DamagedAndLargestChunks)
{
    std::string text;
    for (int i = 0; text.size() < 65001; ++i)
        text += "Zeile " + std::to_string(i) + " ";
    const std::string exact = text.substr(0, 65000);
    const std::string over = text.substr(0, 65001);

    // Stored blocks (level 0) keep the text as it is, so a cut-off chunk gives
    // exactly the bytes that stood before the cut.
    Split stored = compressed("Hallo Welt, das ist ein Text", 0);
    Bytes cut(stored.chunk.begin(), stored.chunk.begin() + 5 + 10);
    Bytes badSum = stored.chunk;
    badSum.back() ^= 0xFF;

    const Split full = compressed(exact);
    const Split tooLong = compressed(over);
    auto chunkRow = [](const char* name, const Split& split, const Bytes& chunk, const std::string& body) {
        return BodyRow{name, 4,
                       [split, chunk](MessageBuilder& m) {
                           bracketOpening(m);
                           m.section().typeRecord(0, 1).content(split.head).content(chunk).endList();
                       },
                       "A more " + body};
    };
    checkRows({
        chunkRow("cut-off chunk", stored, cut, "Hallo Welt"),
        chunkRow("wrong check value", stored, badSum, "Hallo Welt, das ist ein Text"),
        chunkRow("exactly 65,000 bytes", full, full.chunk, exact),
        chunkRow("65,001 bytes give the first 65,000", tooLong, tooLong.chunk, exact),
        chunkRow("garbage", stored, bytesOf("\xFF\xFF\xFF"), ""),
    });
}

// zlib refuses a stream whose head is not a deflate head it can use, and then
// produces nothing, however good the data behind it.
TEST(BodyTest, ChunksBehindUnusableHeads)
{
    const Split good = compressed("Hallo Welt");
    auto headRow = [&good](const char* name, const Bytes& head, const std::string& body) {
        return BodyRow{name, 4,
                       [head, &good](MessageBuilder& m) {
                           bracketOpening(m);
                           m.section().typeRecord(0, 1).content(head).content(good.chunk).endList();
                       },
                       "A more " + body};
    };
    checkRows({
        headRow("usual head", bytesOf("\x78\x9C"), "Hallo Welt"),
        headRow("smallest window", bytesOf("\x08\x1D"), "Hallo Welt"),
        headRow("check bits wrong", bytesOf("\x78\x9D"), ""),
        headRow("not deflate", bytesOf("\x79\x18"), ""),
        headRow("window above 32 KiB", bytesOf("\x88\x98"), ""),
        headRow("preset dictionary", bytesOf("\x78\xBB"), ""),
    });
}

TEST(BodyTest, ItemsEndingEarlyStillGetTheirClosingLines)
{
    checkRows({
        {"over-long record", 2,
         [](MessageBuilder& m) {
             m.section().typeRecord(0, 0).content("A").rawField(13, 7, 65000, {}).content("B").endList();
             m.section().content("C").endList();
         },
         "A"},
        {"length with top bit", 1,
         [](MessageBuilder& m) { m.section().typeRecord(0, 0).content("A").rawField(13, 7, 0x80000002u, bytesOf("B")); },
         "A"},
        {"fewer sections than counted", 3, [](MessageBuilder& m) { m.section().typeRecord(0, 0).content("A").endList(); },
         "A"},
        {"input ends in the 8 leading bytes", 2,
         [](MessageBuilder& m) {
             m.section().typeRecord(0, 0).content("A").endList();
             m.rawBytes({1, 2, 3});
         },
         "A"},
        {"input ends inside content", 1,
         [](MessageBuilder& m) { m.section().typeRecord(0, 0).content("A").rawField(13, 7, 10, bytesOf("short")); },
         "A"},
    });
}

} // namespace
