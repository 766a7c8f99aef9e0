// Damaged and extreme inputs through the whole conversion: files cut short at
// every offset, the largest field records wherever they may stand, table counts
// far beyond the file, and trees built to make a walk go round or deep.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

#include "pfc/run.h"
#include "tests/support/mailbox_fixture.h"
#include "tests/support/message_fixture.h"
#include "tests/support/recording_frontend.h"
#include "tests/support/temp_dir.h"

using namespace kistwerk;
using namespace kistwerk::fixture;

namespace {

constexpr std::size_t kLargestRecord = 64999;

// Entries of a mailbox file: each starts with its separator line "From - ".
std::vector<std::string> entriesOf(const std::string& mailbox)
{
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start < mailbox.size()) {
        const std::size_t next = mailbox.find("\nFrom - ", start);
        const std::size_t end = next == std::string::npos ? mailbox.size() : next + 1;
        entries.push_back(mailbox.substr(start, end - start));
        start = end;
    }
    return entries;
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct Outcome {
    std::string mailbox;
    std::uint32_t totalItems = 0;
    std::uint32_t doneItems = 0;
    std::size_t steps = 0;
};

// The image lives in a heap block of exactly its size, so a memory checker
// sees any read behind the cut.
Outcome convertExactly(const Bytes& image, ViewKind views)
{
    std::unique_ptr<InputSource> input;
    std::unique_ptr<std::uint8_t[]> bytes;
    if (views == ViewKind::InPlace) {
        bytes.reset(new std::uint8_t[image.size() + 1]);
        std::copy(image.begin(), image.end(), bytes.get());
        input = std::make_unique<MemoryInput>(bytes.get(), image.size());
    } else {
        input = std::make_unique<CopyingInput>(image);
    }
    MemoryOutput output;
    RecordingFrontEnd frontEnd;
    ConversionRun run;
    convertContainer(run, *input, output, frontEnd);
    return Outcome{output.text(), run.totalItems, run.doneItems, frontEnd.steps.size()};
}

// Every entry of a cut file must be the whole entry of the uncut file or a
// shortened one: its own beginning, then the closing lines. They come in the
// uncut file's order.
void expectShortenedEntries(const std::vector<std::string>& cut, const std::vector<std::string>& full,
                            std::size_t& identical)
{
    identical = 0;
    std::size_t from = 0;
    for (const std::string& entry : cut) {
        ASSERT_TRUE(endsWith(entry, "\r\n\r\n")) << testing::PrintToString(entry);
        const std::string text = entry.substr(0, entry.size() - 4);
        std::size_t match = from;
        while (match < full.size() && full[match].compare(0, text.size(), text) != 0)
            ++match;
        ASSERT_LT(match, full.size()) << "not an entry of the uncut file: " << testing::PrintToString(entry);
        if (entry == full[match])
            ++identical;
        from = match + 1;
    }
}

TEST(Faults, FileCutShortAtEveryOffset)
{
    const MailboxFixture fixture = mailboxFixture();
    const Bytes& image = fixture.image;
    const Outcome whole = convertExactly(image, ViewKind::InPlace);
    const std::vector<std::string> full = entriesOf(whole.mailbox);
    ASSERT_EQ(full.size(), fixture.items.size());

    for (ViewKind views : {ViewKind::InPlace, ViewKind::Copied}) {
        std::size_t lastIdentical = 0;
        for (std::size_t cut = 0; cut <= image.size(); ++cut) {
            SCOPED_TRACE(std::to_string(cut) + (views == ViewKind::InPlace ? " in place" : " copied"));
            const Outcome o = convertExactly(Bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(cut)),
                                             views);
            EXPECT_LE(o.doneItems, o.totalItems);
            EXPECT_EQ(o.steps, o.doneItems);
            std::size_t identical = 0;
            expectShortenedEntries(entriesOf(o.mailbox), full, identical);
            // More of the file never loses an entry that was already whole.
            EXPECT_GE(identical, lastIdentical);
            lastIdentical = identical;
        }
        EXPECT_EQ(lastIdentical, full.size());
    }
}

// The same cuts as files on disk, read through the file input, at a stride.
TEST(Faults, FileCutShortOnDisk)
{
    const MailboxFixture fixture = mailboxFixture();
    const Bytes& image = fixture.image;
    const std::vector<std::string> full = entriesOf(convertExactly(image, ViewKind::InPlace).mailbox);
    TempDir dir;
    for (std::size_t cut = 0; cut <= image.size(); cut += 37) {
        SCOPED_TRACE(cut);
        Bytes part(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(cut));
        {
            std::ofstream out(dir / "cut.pfc", std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(part.data()), static_cast<std::streamsize>(part.size()));
        }
        ConversionRun run;
        RecordingFrontEnd frontEnd;
        // A cut before the first node leaves no PFC file: refused, nothing written.
        MemoryInput start(part);
        const bool converts = !part.empty() && hasContainerStart(start);
        std::filesystem::remove(dir / "cut.mbx");
        EXPECT_EQ(runConversion(run, dir / "cut.pfc", frontEnd, dir / "cut.mbx"), converts);
        if (!converts) {
            EXPECT_FALSE(std::filesystem::exists(dir / "cut.mbx"));
            continue;
        }
        std::ifstream in(dir / "cut.mbx", std::ios::binary);
        const std::string mailbox((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(mailbox, convertExactly(part, ViewKind::InPlace).mailbox);
        std::size_t identical = 0;
        expectShortenedEntries(entriesOf(mailbox), full, identical);
    }
}

// ---- The largest field records ------------------------------------------------

Bytes repeated(const std::string& piece, std::size_t size)
{
    Bytes out;
    out.reserve(size);
    while (out.size() < size)
        out.push_back(static_cast<std::uint8_t>(piece[out.size() % piece.size()]));
    return out;
}

// A record whose message field list holds `fields` (behind a date text unless
// the row brings its own), then one plain body section.
Bytes recordWith(const std::function<void(MessageBuilder&)>& fields, bool dated = true)
{
    MessageBuilder m;
    m.sectionCount(1);
    if (dated)
        m.field(5, kDateText);
    fields(m);
    m.endList().section().typeRecord(0, 0).content("Hi").endList();
    return m.bytes();
}

// A zlib stream of `text` made of stored blocks, split into head and chunk.
void storedChunks(const Bytes& text, Bytes& head, Bytes& chunk)
{
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    Bytes stream(size);
    compress2(stream.data(), &size, text.data(), static_cast<uLong>(text.size()), 0);
    head.assign(stream.begin(), stream.begin() + 2);
    chunk.assign(stream.begin() + 2, stream.begin() + static_cast<std::ptrdiff_t>(size));
}

TEST(Faults, LargestRecordsInTheMessageFieldList)
{
    // A text record of the largest size gives what its first 4,095 bytes give.
    const Bytes text = repeated("Grosse Zeile ", kLargestRecord);
    const Bytes first(text.begin(), text.begin() + 4095);
    const Bytes date = [] {
        Bytes d = bytesOf("01.02.2003 10:20:30");
        Bytes pad = repeated(" x", kLargestRecord - d.size());
        d.insert(d.end(), pad.begin(), pad.end());
        return d;
    }();
    const Bytes dateFirst(date.begin(), date.begin() + 4095);
    Bytes count = repeated("\x02", kLargestRecord);
    count[1] = 0;
    Bytes seconds = repeated("\x7F", kLargestRecord);
    const Bytes folded = repeated("\xC3\xA4", kLargestRecord);
    using Fields = std::function<void(MessageBuilder&)>;
    struct Row {
        std::string name;
        Fields largest;
        Fields expected;
        bool dated = true;
    };
    std::vector<Row> rows;
    for (std::uint16_t tag : {6, 7, 8, 9, 10, 11, 16}) {
        rows.push_back({"text tag " + std::to_string(tag), [&, tag](MessageBuilder& m) { m.field(tag, text); },
                        [&, tag](MessageBuilder& m) { m.field(tag, first); }});
    }
    rows.push_back({"date text", [&](MessageBuilder& m) { m.field(5, date); },
                    [&](MessageBuilder& m) { m.field(5, dateFirst); }, false});
    rows.push_back({"section count", [&](MessageBuilder& m) { m.rawField(2, 7, kLargestRecord, count); },
                    [](MessageBuilder& m) { m.sectionCount(2); }});
    rows.push_back({"count of seconds", [&](MessageBuilder& m) { m.rawField(24, 7, kLargestRecord, seconds); },
                    [](MessageBuilder& m) { m.timestamp(0x7F7F7F7F); }, false});
    rows.push_back({"unknown tag", [&](MessageBuilder& m) { m.field(0x4F40, text); }, [](MessageBuilder&) {}});
    rows.push_back({"UTF-8 text folded", [&](MessageBuilder& m) { m.field(10, folded); },
                    [](MessageBuilder& m) { m.field(10, std::string(4095, '\xE4')); }});
    rows.push_back({"several in a row", [&](MessageBuilder& m) { m.field(7, text).field(99, text).field(10, folded); },
                    [&](MessageBuilder& m) { m.field(7, first).field(10, std::string(4095, '\xE4')); }});

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Converted expected = convertRecord(recordWith(row.expected, row.dated));
        ASSERT_EQ(expected.entries, 1u);
        for (ViewKind views : {ViewKind::InPlace, ViewKind::Copied}) {
            const Outcome got = convertExactly(imageWithRecord(recordWith(row.largest, row.dated)), views);
            EXPECT_TRUE(got.mailbox == expected.mailbox) << testing::PrintToString(got.mailbox.substr(0, 300));
        }
    }
}

TEST(Faults, LargestRecordsInBodySections)
{
    const Bytes letters = repeated("abc def ", kLargestRecord);
    const std::string lettersText(letters.begin(), letters.end());
    Bytes foldedTail = repeated("x", kLargestRecord - 2);
    foldedTail.push_back(0xC3);
    foldedTail.push_back(0xA4);
    // Stored blocks add 5 bytes per block and 4 bytes of check value.
    const Bytes chunkText = repeated("Zeile ", kLargestRecord - 9);
    Bytes head, chunk;
    storedChunks(chunkText, head, chunk);
    ASSERT_EQ(chunk.size(), kLargestRecord);
    const Bytes bracket = [&] {
        Bytes b = letters;
        b[0] = '[';
        return b;
    }();

    using Sections = std::function<void(MessageBuilder&)>;
    struct Row {
        std::string name;
        std::uint16_t sections;
        Sections build;
        std::string body;
    };
    const std::vector<Row> rows = {
        {"plain content", 1, [&](MessageBuilder& m) { m.section().typeRecord(0, 0).content(letters).endList(); },
         lettersText},
        {"folded content", 1, [&](MessageBuilder& m) { m.section().typeRecord(3, 0).content(foldedTail).endList(); },
         std::string(kLargestRecord - 2, 'x') + "\xE4"},
        {"dropped part type", 1, [&](MessageBuilder& m) { m.section().typeRecord(1, 0).content(letters).endList(); },
         ""},
        {"type record of another size class", 1,
         [&](MessageBuilder& m) {
             m.section().typeRecord(0, 0).rawField(12, 7, kLargestRecord, letters).content("ok").endList();
         },
         "ok"},
        {"unknown tag", 1,
         [&](MessageBuilder& m) { m.section().typeRecord(0, 0).rawField(40, 7, kLargestRecord, letters).endList(); },
         ""},
        {"bracket opener and dropped section", 3,
         [&](MessageBuilder& m) {
             m.section().typeRecord(0, 0).content("A ").endList();
             m.section().content(bracket).endList();
             m.section().content(letters).endList();
         },
         "A "},
        {"largest compressed chunk", 4,
         [&](MessageBuilder& m) {
             m.section().typeRecord(0, 0).content("A ").endList();
             m.section().content("[x]").endList();
             m.section().content("dropped").endList();
             m.section().typeRecord(0, 1).content(head).content(chunk).endList();
         },
         "A " + std::string(chunkText.begin(), chunkText.end())},
        {"largest chunk without a head", 4,
         [&](MessageBuilder& m) {
             m.section().typeRecord(0, 0).content("A ").endList();
             m.section().content("[x]").endList();
             m.section().content("dropped").endList();
             m.section().typeRecord(0, 1).content(letters).endList();
         },
         "A " + lettersText},
        {"three sections of the largest content", 3,
         [&](MessageBuilder& m) {
             for (int i = 0; i < 3; ++i)
                 m.section().typeRecord(0, 0).content(letters).endList();
         },
         lettersText + lettersText + lettersText},
    };
    const std::string head0 = kDateLines + std::string("From: \r\n") + kContentLines + "\r\n";
    for (const Row& row : rows) {
        MessageBuilder m;
        m.sectionCount(row.sections).field(5, kDateText).endList();
        row.build(m);
        for (ViewKind views : {ViewKind::InPlace, ViewKind::Copied}) {
            SCOPED_TRACE(row.name + (views == ViewKind::InPlace ? " in place" : " copied"));
            const Outcome got = convertExactly(imageWithRecord(m.bytes()), views);
            const std::string want = head0 + row.body + "\r\n\r\n";
            EXPECT_EQ(got.mailbox.size(), want.size());
            EXPECT_TRUE(got.mailbox == want) << testing::PrintToString(got.mailbox.substr(0, 300));
        }
    }
}

// Through the file input, with the largest records lying across the boundaries
// of the input's cached blocks at several shifts.
TEST(Faults, LargestRecordsAcrossInputBlocks)
{
    const Bytes letters = repeated("abc def ", kLargestRecord);
    MessageBuilder m;
    m.sectionCount(2).field(5, kDateText).field(10, letters).endList();
    m.section().typeRecord(0, 0).content(letters).endList();
    m.section().typeRecord(3, 0).content(letters).endList();
    const Bytes record = m.bytes();
    TempDir dir;
    const std::int64_t block = static_cast<std::int64_t>(FileInput::kWindowSize);
    for (std::int64_t shift : {std::int64_t{-40}, std::int64_t{-70000}, std::int64_t{-130010}, std::int64_t{-200000}}) {
        SCOPED_TRACE(shift);
        PfcBuilder b(2);
        b.node(1, 7, 2, 0, 0);
        const std::int64_t pad = block + shift - static_cast<std::int64_t>(b.bytes().size());
        ASSERT_GT(pad, 0);
        b.append(Bytes(static_cast<std::size_t>(pad), 0xEE));
        b.record(2, record);
        ASSERT_TRUE(b.writeTo(dir / "big.pfc"));
        ConversionRun run;
        RecordingFrontEnd frontEnd;
        ASSERT_TRUE(runConversion(run, dir / "big.pfc", frontEnd, dir / "big.mbx"));
        std::ifstream in(dir / "big.mbx", std::ios::binary);
        const std::string mailbox((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(mailbox == convertExactly(b.bytes(), ViewKind::InPlace).mailbox);
        EXPECT_EQ(run.entriesWritten, 1u);
    }
}

// ---- Tables and trees ------------------------------------------------------------

TEST(Faults, TablesThatClaimFarMoreThanTheFileHolds)
{
    struct Row {
        const char* name;
        std::int32_t entryCount;
        std::int32_t data;   // data index of leaf 1
        std::int32_t next;   // next index of leaf 2
        std::int32_t child;  // child index of folder 3
        std::uint32_t counted;
    };
    const Row rows[] = {
        {"two thousand million, indexes inside the file", 2000000000, 4, 0, 0, 2},
        {"two thousand million, data beyond the table", 2000000000, 1999999999, 1999999998, 2000000000, 2},
        {"largest count", 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFE, 0x7FFFFFFF, 2},
        {"negative count", -5, 4, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PfcBuilder b(4);
        b.node(1, 7, row.data, 2, 0);
        b.node(2, 8, 4, 3, 0);
        b.node(3, 0, 0, row.next, row.child);
        b.record(4, recordWith([](MessageBuilder&) {}));
        b.setEntryCount(row.entryCount);
        const Outcome o = convertExactly(b.bytes(), ViewKind::InPlace);
        EXPECT_EQ(o.totalItems, row.counted);
        EXPECT_EQ(o.doneItems, row.counted);
        for (const std::string& entry : entriesOf(o.mailbox))
            EXPECT_TRUE(endsWith(entry, "\r\n\r\n"));
    }
}

TEST(Faults, WalksEndOnCyclesAndDeepTrees)
{
    constexpr std::int32_t kDepth = 200000;
    struct Row {
        const char* name;
        std::function<Bytes()> image;  // built when its row runs: the images are large
        std::uint32_t leaves;
    };
    const Row rows[] = {
        {"deep folders with siblings, cycle at the bottom",
         [] {
             // Every folder's child chain starts at the folder below, the bottom
             // one leads back to the top, and every folder has the same leaf as its
             // next sibling, so the walk holds one pending sibling per level.
             PfcBuilder b(kDepth + 2);
             for (std::int32_t level = 1; level <= kDepth; ++level)
                 b.node(level, 0, 0, kDepth + 1, level < kDepth ? level + 1 : 1);
             b.node(kDepth + 1, 9, kDepth + 2, 0, 0);
             return b.bytes();
         },
         1},
        {"long next chain looping back",
         [] {
             PfcBuilder b(kDepth + 1);
             for (std::int32_t k = 1; k <= kDepth; ++k)
                 b.node(k, 9, kDepth + 1, k < kDepth ? k + 1 : kDepth / 2, 0);
             return b.bytes();
         },
         kDepth},
        {"all entries lead to one node",
         [] {
             // Its child chain and next chain both lead back into the table.
             PfcBuilder b(kDepth);
             const std::int32_t at = b.node(1, 0, 0, 2, 3);
             for (std::int32_t k = 2; k <= kDepth; ++k)
                 b.setEntry(k, at);
             return b.bytes();
         },
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome o = convertExactly(row.image(), ViewKind::InPlace);
        EXPECT_EQ(o.totalItems, row.leaves);
        EXPECT_EQ(o.doneItems, row.leaves);
        EXPECT_EQ(o.mailbox, "");
    }
}

// Records read again and again are cut off by the run's reading limit: about
// twice the file's size above a floor that no cheap file reaches. The walk
// itself still passes every leaf.
TEST(Faults, RecordsReadOverAndOverReachTheReadingLimit)
{
    struct Row {
        const char* name;
        std::int32_t leaves;
        std::int32_t records;  // leaf k reads record k % records
        std::size_t bodySize;
        std::int64_t floor;
        bool limited;
    };
    const std::int64_t floor = RunSettings{}.recordReadFloor;
    const Row rows[] = {
        {"three leaves share a record", 3, 1, 5000, floor, false},
        // 95 KB whose leaves read 500 KB: well under the floor, though more than twice the file.
        {"22 leaves share four large records", 22, 4, 22000, floor, false},
        {"two thousand leaves share a record, low floor", 2000, 1, 5000, 65536, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PfcBuilder b(row.leaves + row.records);
        for (std::int32_t k = 1; k <= row.leaves; ++k)
            b.node(k, 7, row.leaves + 1 + k % row.records, k < row.leaves ? k + 1 : 0, 0);
        std::size_t recordSize = 0;
        for (std::int32_t r = 0; r < row.records; ++r) {
            MessageBuilder m;
            m.sectionCount(1).field(5, kDateText).endList().section().typeRecord(0, 0)
                .content(std::string(row.bodySize, static_cast<char>('q' + r))).endList();
            recordSize = m.bytes().size();
            b.record(row.leaves + 1 + r, m.bytes());
        }
        const Bytes image = b.bytes();
        MemoryInput input(image);
        MemoryOutput output;
        RecordingFrontEnd frontEnd;
        ConversionRun run;
        run.recordReadFloor = row.floor;
        convertContainer(run, input, output, frontEnd);
        const std::vector<std::string> entries = entriesOf(output.text());
        const std::size_t allowed = static_cast<std::size_t>(2 * image.size() + row.floor) / recordSize + 1;
        EXPECT_EQ(run.entriesWritten, entries.size());
        EXPECT_EQ(entries.size(), row.limited ? allowed : static_cast<std::size_t>(row.leaves));
        EXPECT_EQ(run.itemsOverLimit > 0, row.limited);
        EXPECT_EQ(run.entriesWritten + run.itemsOverLimit, static_cast<std::uint32_t>(row.leaves));
        EXPECT_EQ(run.itemsSkipped, run.itemsOverLimit);
        EXPECT_EQ(frontEnd.steps.size(), static_cast<std::size_t>(row.leaves));
        EXPECT_EQ(frontEnd.steps.back(), 100);
        for (std::size_t i = 0; i < entries.size(); ++i)
            EXPECT_TRUE(entries[i] == entries[i % static_cast<std::size_t>(row.records)]) << i;

        // The user learns that entries were left out; the file was converted, with losses.
        fixture::TempDir dir;
        std::ofstream(dir / "shared.pfc", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        RecordingFrontEnd fileFrontEnd;
        ConversionRun fileRun;
        fileRun.recordReadFloor = row.floor;
        const bool ok = runConversion(fileRun, dir / "shared.pfc", fileFrontEnd, dir / "shared.mbx");
        EXPECT_TRUE(ok);
        EXPECT_EQ(fileRun.itemsSkipped, fileRun.itemsOverLimit);
        const std::vector<RunProblem> expected =
            row.limited ? std::vector<RunProblem>{RunProblem::ItemsPassedOver} : std::vector<RunProblem>{};
        EXPECT_EQ(fileFrontEnd.problems, expected);
    }
    // A file of separate records never comes near the limit.
    MailboxFixture fixture = mailboxFixture();
    MemoryInput input(fixture.image);
    MemoryOutput output;
    SilentFrontEnd frontEnd;
    ConversionRun run;
    convertContainer(run, input, output, frontEnd);
    EXPECT_EQ(run.itemsOverLimit, 0u);
    EXPECT_GT(run.recordBytesLeft, static_cast<std::int64_t>(fixture.image.size()));
}

} // namespace
