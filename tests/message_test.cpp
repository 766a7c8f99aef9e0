// Message records: record header, FieldRecord framing, tag actions and their
// order, text storing, the gate, the header block and damaged records.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/message_fixture.h"

using namespace kistwerk;
using namespace kistwerk::fixture;

namespace {

// The entry of a record with the usual date, a sender "a@b" and one body text.
std::string entryWith(const std::string& headerLines, const std::string& body = "Hi")
{
    return std::string(kDateLines) + headerLines + kContentLines + "\r\n" + body + "\r\n\r\n";
}

// A record whose message fields are `fields` followed by a usual body.
Bytes withBody(MessageBuilder m, const std::string& body = "Hi")
{
    return m.endList().section().typeRecord(0, 0).content(body).endList().bytes();
}

MessageBuilder usual()
{
    MessageBuilder m;
    m.sectionCount(1).field(5, kDateText);
    return m;
}

// The header lines between the "Date:" line and the content lines.
std::string headerLinesOf(const std::string& mailbox)
{
    std::size_t start = std::string(kDateLines).size();
    std::size_t end = mailbox.find("MIME-Version:");
    if (mailbox.compare(0, start, kDateLines) != 0 || end == std::string::npos)
        return "<no entry>";
    return mailbox.substr(start, end - start);
}

TEST(MessageTest, WorkedExampleRecord)
{
    const Bytes record = {
        0x52, 0x53, 0, 0, 0, 0, 0, 0, 0x41, 0, 0, 0, 0, 0, 0, 0,
        0x02, 0x00, 0x02, 0x01, 0x00,
        0x05, 0x00, 0x07, 0x13, 0, 0, 0, '0', '1', '.', '0', '2', '.', '2', '0', '0', '3', ' ',
        '1', '0', ':', '2', '0', ':', '3', '0',
        0x06, 0x00, 0x07, 0x04, 0, 0, 0, 0x6A, 0x64, 0x6F, 0x65,
        0x0A, 0x00, 0x01, 0x48,
        0x41, 0x4F, 0x00, 0x00,
        1, 2, 3, 4, 5, 6, 7, 8,
        0x0C, 0x00, 0x02, 0x00, 0x00,
        0x0D, 0x00, 0x07, 0x02, 0, 0, 0, 0x48, 0x69,
        0x41, 0x4F, 0x00, 0x00,
    };
    Converted c = convertRecord(record);
    EXPECT_EQ(c.mailbox, std::string("From - Sat Feb 1 10:20:30 2003\r\n"
                                     "Date: Sat, 1 Feb 2003 10:20:30\r\n"
                                     "From: jdoe@aol.com\r\n"
                                     "Subject: H\r\n") +
                             kContentLines + "\r\nHi\r\n\r\n");
    EXPECT_EQ(c.entries, 1u);
}

TEST(MessageTest, RecordHeaderTestsOnlyThreeBytes)
{
    for (std::size_t at = 0; at < 16; ++at) {
        SCOPED_TRACE(at);
        Bytes record = withBody(usual().field(6, "a@b"));
        record[at] ^= 0x20;
        Converted c = convertRecord(record);
        if (at == 0 || at == 1 || at == 8) {
            EXPECT_EQ(c.mailbox, "");
            EXPECT_EQ(c.entries, 0u);
        } else {
            EXPECT_EQ(c.mailbox, entryWith("From: a@b\r\n"));
        }
    }
}

TEST(MessageTest, FieldOrderDecidesSenderAndDate)
{
    const struct {
        const char* name;
        MessageBuilder fields;
        const char* headerLines;
        const char* dateLines;
    } rows[] = {
        {"11 then 6", MessageBuilder().sectionCount(1).field(5, kDateText).field(11, "alt").field(6, "main"),
         "From: main@aol.com\r\n", kDateLines},
        {"6 then 11", MessageBuilder().sectionCount(1).field(5, kDateText).field(6, "main").field(11, "alt"),
         "From: main@aol.com\r\n", kDateLines},
        {"11 alone", MessageBuilder().sectionCount(1).field(5, kDateText).field(11, "alt@x.de"),
         "From: alt@x.de\r\n", kDateLines},
        {"empty 6 then 11", MessageBuilder().sectionCount(1).field(5, kDateText).field(6, "").field(11, "alt"),
         "From: alt@aol.com\r\n", kDateLines},
        {"24 then 5", MessageBuilder().sectionCount(1).timestamp(1041757387).field(5, "31.12.1999 23:59:59"),
         "From: \r\n", kDateLines},
        {"5 then 24", MessageBuilder().sectionCount(1).field(5, kDateText).timestamp(946684799),
         "From: \r\n", kDateLines},
        {"24 alone", MessageBuilder().sectionCount(1).timestamp(1041757387), "From: \r\n", kDateLines},
        {"empty 5 then 24", MessageBuilder().sectionCount(1).field(5, "").timestamp(1041757387),
         "From: \r\n", kDateLines},
        {"24 of 2 bytes", MessageBuilder().sectionCount(1).rawField(24, 2, 0, {0x10, 0x0E}),
         "From: \r\n", "From - Thu Jan 1 01:00:00 1970\r\nDate: Thu, 1 Jan 1970 01:00:00\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Converted c = convertRecord(withBody(row.fields));
        EXPECT_EQ(c.mailbox, std::string(row.dateLines) + row.headerLines + kContentLines + "\r\nHi\r\n\r\n");
    }
}

TEST(MessageTest, SizeClassesGiveTheDataLength)
{
    for (int sizeClass = 0; sizeClass <= 255; ++sizeClass) {
        SCOPED_TRACE(sizeClass);
        std::string subject;
        MessageBuilder m = usual();
        auto sc = static_cast<std::uint8_t>(sizeClass);
        switch (sizeClass) {
        case 1: subject = "A"; break;
        case 2: case 3: subject = "AB"; break;
        case 4: subject = "ABCD"; break;
        default: subject = "XYZ"; break;
        }
        m.rawField(10, sc, static_cast<std::uint32_t>(subject.size()), bytesOf(subject));
        Converted c = convertRecord(withBody(m));
        EXPECT_EQ(c.mailbox, entryWith("From: \r\nSubject: " + subject + "\r\n"));
    }
}

TEST(MessageTest, RecordLengthBound)
{
    const struct {
        std::uint32_t length;
        bool accepted;
    } rows[] = {{64999, true}, {65000, false}, {0x80000003u, false}, {0xFFFFFFFFu, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        MessageBuilder m = usual();
        Bytes data(row.length < 65000 ? row.length : 3, 'q');
        m.rawField(77, 7, row.length, data).field(10, "after");
        Converted c = convertRecord(withBody(m));
        if (row.accepted) {
            EXPECT_EQ(c.mailbox, entryWith("From: \r\nSubject: after\r\n"));
        } else {
            EXPECT_EQ(c.mailbox, "");
            EXPECT_EQ(c.entries, 0u);
        }
    }
}

TEST(MessageTest, SectionCountGate)
{
    const struct {
        const char* name;
        Bytes sectionCount;  // tag-2 data; empty: no tag-2 record
        bool written;
    } rows[] = {
        {"0", {0, 0}, false},   {"1", {1, 0}, true},      {"255", {255, 0}, true},
        {"256", {0, 1}, false}, {"none", {}, false},      {"one byte 1", {1}, true},
        {"four bytes", {1, 0, 9, 9}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MessageBuilder m;
        if (!row.sectionCount.empty())
            m.rawField(2, 7, static_cast<std::uint32_t>(row.sectionCount.size()), row.sectionCount);
        m.field(5, kDateText).endList();
        // Sections beyond the first end at the input's end; the entry still closes.
        m.section().typeRecord(0, 0).content("Hi").endList();
        Converted c = convertRecord(m.bytes());
        EXPECT_EQ(c.entries, row.written ? 1u : 0u);
        EXPECT_EQ(c.mailbox, row.written ? entryWith("From: \r\n") : "");
    }
}

TEST(MessageTest, TextsAreStoredCutAndFolded)
{
    const std::string longText(5000, 'k');
    const struct {
        const char* name;
        MessageBuilder fields;
        std::string headerLines;
    } rows[] = {
        {"cut to 4095", usual().field(10, longText), "From: \r\nSubject: " + longText.substr(0, 4095) + "\r\n"},
        {"4095 kept", usual().field(10, longText.substr(0, 4095)),
         "From: \r\nSubject: " + longText.substr(0, 4095) + "\r\n"},
        {"shorter replaces", usual().field(10, "long subject").field(10, "short"), "From: \r\nSubject: short\r\n"},
        {"empty leaves", usual().field(10, "kept").field(10, ""), "From: \r\nSubject: kept\r\n"},
        {"zero ends text", usual().field(10, Bytes{'a', 'b', 0, 'c'}), "From: \r\nSubject: ab\r\n"},
        {"zero first empties", usual().field(10, "kept").field(10, Bytes{0, 'c'}), "From: \r\n"},
        // A "To:" text without angle brackets is written as stored, 8-bit bytes too.
        // Well-formed UTF-8 stays UTF-8; a byte outside a sequence makes it
        // windows-1252, folded where it holds a 0xC3.
        {"UTF-8 kept", usual().field(7, "K\xC3\xA4se 10 \xE2\x82\xAC"), "From: \r\nTo: K\xC3\xA4se 10 \xE2\x82\xAC\r\n"},
        {"UTF-8 with a stray byte folded", usual().field(7, "K\xC3\xA4se \xE4 10 \xE2\x82\xAC"),
         "From: \r\nTo: K\xE4se \xE4 10 \x80\r\n"},
        {"Latin-1 kept", usual().field(7, "K\xE4se"), "From: \r\nTo: K\xE4se\r\n"},
        {"no C3 no fold", usual().field(7, "5 \x80 \xE2\x82\xAC"), "From: \r\nTo: 5 \x80 \xE2\x82\xAC\r\n"},
        {"C3 after zero", usual().field(7, Bytes{0xE2, 0x82, 0xAC, 0xE4, 0, 0xC3, 0xA4}),
         "From: \r\nTo: \xE2\x82\xAC\xE4\r\n"},
        {"fold before cut", usual().field(10, std::string(4095, 'u') + "\xC3\xA4\xE4"),
         "From: \r\nSubject: " + std::string(4095, 'u') + "\r\n"},
        {"UTF-8 cut between characters", usual().field(7, std::string(4094, 'u') + "\xC3\xA4"),
         "From: \r\nTo: " + std::string(4094, 'u') + "\r\n"},
        // A C3 that leads no sequence stays: 7000 bytes, cut to 4,095.
        {"fold then cut", usual().field(7, std::string(3000, 'u') + std::string(4000, '\xC3')),
         "From: \r\nTo: " + std::string(3000, 'u') + std::string(1095, '\xC3') + "\r\n"},
        {"long sender completed", usual().field(6, std::string(4090, 's')),
         "From: " + std::string(4090, 's') + "@aol.\r\n"},
        {"sender with @", usual().field(6, "x@"), "From: x@\r\n"},
        {"UTF-8 sender", usual().field(6, "J\xC3\xBCrgen"), "From: J\xC3\xBCrgen@aol.com\r\n"},
        // A screen name with a blank is the display name of an address without one.
        {"sender with a blank", usual().field(6, "Hans Schmidt"), "From: Hans Schmidt <HansSchmidt@aol.com>\r\n"},
        {"quoted name", usual().field(6, "Dr. \"Q\\\" Hans"), "From: \"Dr. \\\"Q\\\\\\\" Hans\" <Dr.\"Q\\\"Hans@aol.com>\r\n"},
        {"8-bit name", usual().field(6, "Frau Dr. J\xFCrgen von K\xF6ln"),
         "From: Frau =?windows-1252?Q?Dr=2E_J=FCrgen?= von =?windows-1252?Q?K=F6ln?= "
         "<FrauDr.J\xFCrgenvonK\xF6ln@aol.com>\r\n"},
        {"named sender cut", usual().field(6, "a " + std::string(4093, 'b')), "From: a " + std::string(4093, 'b') + "\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Converted c = convertRecord(withBody(row.fields));
        EXPECT_EQ(headerLinesOf(c.mailbox), row.headerLines);
    }
}

TEST(MessageTest, HeaderBlockOrderAndForm)
{
    MessageBuilder all = usual();
    all.field(10, "Subj").field(9, "bcc@x").field(8, "cc@x").field(16, "reply@x").field(7, "to@x").field(6,
                                                                                                        "me@x");
    const struct {
        const char* name;
        MessageBuilder fields;
        std::string headerLines;
    } rows[] = {
        {"all six", all,
         "From: me@x\r\nTo: to@x\r\nReply-To: reply@x\r\nCC: cc@x\r\nBCC: bcc@x\r\nSubject: Subj\r\n"},
        {"sender only", usual().field(6, "me@x"), "From: me@x\r\n"},
        {"nothing", usual(), "From: \r\n"},
        {"recipients stay bare", usual().field(7, "to").field(8, "cc").field(9, "bcc").field(16, "re"),
         "From: \r\nTo: to\r\nReply-To: re\r\nCC: cc\r\nBCC: bcc\r\n"},
        {"blank is not empty", usual().field(10, " "), "From: \r\nSubject:  \r\n"},
        {"CR LF become blanks", usual().field(10, "a\r\nFrom evil\rb\nc").field(7, "\n"),
         "From: \r\nTo:  \r\nSubject: a  From evil b c\r\n"},
        // 8-bit texts: the subject and display names as encoded words, never an address.
        {"8-bit subject", usual().field(10, "Gr\xFC\xDF" "e, 50% =?_\r\n"),
         "From: \r\nSubject: =?windows-1252?Q?Gr=FC=DFe=2C_50=25_=3D=3F=5F__?=\r\n"},
        {"words of 75 characters", usual().field(10, "\xE4" + std::string(60, 'a')),
         "From: \r\nSubject: =?windows-1252?Q?=E4" + std::string(53, 'a') + "?=\r\n =?windows-1252?Q?aaaaaaa?=\r\n"},
        {"address lists", usual().field(6, "\"J\xFC\\\"rgen\" <j@x.de>").field(8, "M\xFC <a@x>, b@y, \"Z, \xC4\"  <c@z> , K\xE4se"),
         "From: =?windows-1252?Q?J=FC=22rgen?= <j@x.de>\r\n"
         "CC: =?windows-1252?Q?M=FC?= <a@x>, b@y, =?windows-1252?Q?Z=2C_=C4?= <c@z> , K\xE4se\r\n"},
        {"8-bit address stays", usual().field(7, "Hans <h\xE4@x.de>"), "From: \r\nTo: Hans <h\xE4@x.de>\r\n"},
        // UTF-8 texts become UTF-8 words by the same rules; a character is never split.
        {"UTF-8 subject", usual().field(10, "\xE2\x80\x9E" "Angebot\xE2\x80\x9C \xE2\x80\x93 10 \xE2\x82\xAC"),
         "From: \r\nSubject: =?UTF-8?Q?=E2=80=9EAngebot=E2=80=9C_=E2=80=93_10_=E2=82=AC?=\r\n"},
        {"UTF-8 words of 75 characters", usual().field(10, std::string(52, 'a') + "\xF0\x9F\x98\x80" "b"),
         "From: \r\nSubject: =?UTF-8?Q?" + std::string(52, 'a') + "?=\r\n =?UTF-8?Q?=F0=9F=98=80b?=\r\n"},
        {"UTF-8 names", usual().field(6, "\xC5\x81ukasz W\xC3\xB3jcik <lukasz@x.pl>").field(7, "Anna <a@x>, \xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD <i@x.ru>"),
         "From: =?UTF-8?Q?=C5=81ukasz_W=C3=B3jcik?= <lukasz@x.pl>\r\n"
         "To: Anna <a@x>, =?UTF-8?Q?=D0=98=D0=B2=D0=B0=D0=BD?= <i@x.ru>\r\n"},
        {"UTF-8 with a stray byte", usual().field(10, "Gr\xC3\xBC\xC3\x9F" "e \xE4 \xE2\x82\xAC"),
         "From: \r\nSubject: =?windows-1252?Q?Gr=FC=DFe_=E4_=80?=\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Converted c = convertRecord(withBody(row.fields));
        EXPECT_EQ(c.mailbox, entryWith(row.headerLines));
    }
}

TEST(MessageTest, EndMarkerTags)
{
    for (std::uint16_t tag : {0x4F40, 0x4F41, 0x4F42, 0xFFFF}) {
        SCOPED_TRACE(tag);
        // After a list-ending tag the two bytes "XY" are skipped and a section starts.
        MessageBuilder m = usual();
        m.rawBytes({static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8), 'X', 'Y'});
        if (tag == 0x4F40) {
            // An ordinary tag: 'X' is its size class, so a length follows and swallows the rest.
            Converted c = convertRecord(withBody(m));
            EXPECT_EQ(c.mailbox, "");
            continue;
        }
        m.section().typeRecord(0, 0).content("Hi").endList();
        Converted c = convertRecord(m.bytes());
        EXPECT_EQ(c.mailbox, entryWith("From: \r\n"));
    }
}

TEST(MessageTest, EndOfInputAnywhereEndsTheItemCleanly)
{
    Bytes record = usual().field(6, "me@x").field(10, "Subj").endList()
                       .section().typeRecord(0, 0).content("Hello").endList()
                       .section().typeRecord(3, 0).content("World").endList().bytes();
    Bytes fieldList = usual().field(6, "me@x").field(10, "Subj").endList().bytes();
    const std::string head = kDateLines + std::string("From: me@x\r\nSubject: Subj\r\n") + kContentLines + "\r\n";
    for (std::size_t cut = 0; cut < record.size(); ++cut) {
        SCOPED_TRACE(cut);
        Bytes image = imageWithRecord(record);
        // The record is the last thing in the image: cut it short.
        image.resize(image.size() - (record.size() - cut));
        Converted c = convertImage(image);
        if (cut < fieldList.size()) {
            EXPECT_EQ(c.mailbox, "");
            EXPECT_EQ(c.entries, 0u);
            continue;
        }
        EXPECT_EQ(c.entries, 1u);
        ASSERT_EQ(c.mailbox.compare(0, head.size(), head), 0);
        std::string body = c.mailbox.substr(head.size());
        ASSERT_GE(body.size(), 4u);
        EXPECT_EQ(body.substr(body.size() - 4), "\r\n\r\n");
        EXPECT_EQ(body.find("\r\n"), body.size() - 4) << "closing lines once";
    }
}

TEST(MessageTest, UnreadableDataIndexYieldsNothing)
{
    Bytes good = withBody(usual());
    {
        SCOPED_TRACE("negative offset");
        PfcBuilder b(2);
        b.node(1, 7, 2, 0, 0);
        b.record(2, good);
        b.setEntry(2, -16);
        EXPECT_EQ(convertImage(b.bytes()).mailbox, "");
    }
    {
        SCOPED_TRACE("offset past the end");
        PfcBuilder b(2);
        b.node(1, 7, 2, 0, 0);
        b.setEntry(2, 0x7FFFFFF0);
        EXPECT_EQ(convertImage(b.bytes()).mailbox, "");
    }
    {
        SCOPED_TRACE("table entry outside the file");
        PfcBuilder b(1);
        b.setEntryCount(1000000);
        b.node(1, 7, 999999, 0, 0);
        EXPECT_EQ(convertImage(b.bytes()).mailbox, "");
    }
}

TEST(MessageTest, ItemsDoNotInheritFromEachOther)
{
    PfcBuilder b(5);
    b.node(1, 7, 3, 2, 0);
    b.node(2, 8, 4, 5, 0);
    b.node(5, 12, 4, 0, 0);
    b.record(3, withBody(usual().field(6, "first").field(10, std::string(300, 'x')).field(16, "r"),
                         std::string(500, 'y')));
    b.record(4, withBody(usual().field(10, "second"), "z"));
    Converted c = convertImage(b.bytes());
    EXPECT_EQ(c.entries, 3u);
    EXPECT_EQ(c.mailbox, entryWith("From: first@aol.com\r\nReply-To: r\r\nSubject: " + std::string(300, 'x') + "\r\n",
                                   std::string(500, 'y')) +
                             entryWith("From: \r\nSubject: second\r\n", "z") +
                             entryWith("From: \r\nSubject: second\r\n", "z"));
}

TEST(MessageTest, DamagedRecordsNeverBreakTheEntryFrame)
{
    Bytes record = usual().field(6, "me").field(11, "alt").field(10, "Subj").timestamp(1041757387).endList()
                       .section().typeRecord(0, 0).content("Hello").endList()
                       .section().content("[x]").endList()
                       .section().content("drop").endList()
                       .section().typeRecord(0, 1).content(Bytes{0x78, 0x9C}).content(Bytes{0xF3, 0x48, 0x04, 0x00})
                       .typeRecord(3, 0).content("\xC3\xA4\xE2").endList().bytes();
    // The engine's raw output is fixed by the standard, so every platform runs the same cases.
    std::mt19937 random(20030105);
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = record;
        int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i)
            damaged[16 + random() % (damaged.size() - 16)] = static_cast<std::uint8_t>(random());
        Converted c = convertRecord(damaged);
        if (c.mailbox.empty()) {
            EXPECT_EQ(c.entries, 0u);
            continue;
        }
        SCOPED_TRACE(round);
        EXPECT_EQ(c.entries, 1u);
        EXPECT_EQ(c.mailbox.compare(0, 7, "From - "), 0);
        ASSERT_GE(c.mailbox.size(), 4u);
        EXPECT_EQ(c.mailbox.compare(c.mailbox.size() - 4, 4, "\r\n\r\n"), 0);
    }
}

} // namespace
