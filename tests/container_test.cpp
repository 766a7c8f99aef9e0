// Container head, index bounds and node lookups on built and damaged images.
#include <gtest/gtest.h>

#include "pfc/container.h"
#include "testkit/pfc_builder.h"

using namespace kistwerk;
using namespace kistwerk::fixture;

namespace {

Container open(MemoryInput& input)
{
    Container c;
    openContainer(c, input);
    return c;
}

} // namespace

TEST(Container, HeadGivesEntryCountAndTableBase)
{
    PfcBuilder b(5);
    MemoryInput input(b.bytes());
    Container c;
    ASSERT_TRUE(openContainer(c, input));
    EXPECT_EQ(c.entryCount, 5);
    EXPECT_EQ(c.tableBase, b.headerOffset() + 12);
}

TEST(Container, ValidIndexBoundsAreInclusive)
{
    PfcBuilder b(3);
    MemoryInput input(b.bytes());
    Container c = open(input);
    struct Row { std::int32_t k; bool valid; };
    for (Row row : {Row{0, false}, Row{1, true}, Row{3, true}, Row{4, false}, Row{-1, false},
                    Row{INT32_MIN, false}, Row{INT32_MAX, false}}) {
        SCOPED_TRACE(row.k);
        EXPECT_EQ(isValidIndex(c, row.k), row.valid);
    }
}

TEST(Container, EntryCountZeroMakesNoIndexValid)
{
    PfcBuilder b(2);
    b.setEntryCount(0);
    MemoryInput input(b.bytes());
    Container c = open(input);
    EXPECT_FALSE(isValidIndex(c, 1));
    EXPECT_FALSE(isValidIndex(c, 0));
}

TEST(Container, ReadNodeTakesOnlyTheNamedFields)
{
    PfcBuilder b(4);
    b.append({0x99});  // the node starts at an odd offset
    std::int32_t at = b.node(2, 0x1234, 3, -7, 4);
    ASSERT_EQ(at % 2, 1);
    MemoryInput input(b.bytes());
    Container c = open(input);
    PfcNode n;
    ASSERT_TRUE(readNode(c, 2, n));
    EXPECT_EQ(n.itemType, 0x1234);
    EXPECT_EQ(n.dataIndex, 3);
    EXPECT_EQ(n.nextIndex, -7);
    EXPECT_EQ(n.childIndex, 4);
}

TEST(Container, DamagedHeadsGiveNoValidIndex)
{
    struct Row { const char* name; Bytes image; };
    PfcBuilder good(2);
    Bytes negativeHeader = good.bytes();
    setU32(negativeHeader, 16, 0xFFFFFFF0u);
    Bytes headerPastEnd = good.bytes();
    setU32(headerPastEnd, 16, 1000000);
    Bytes shortHeader = good.bytes();
    setU32(shortHeader, 16, static_cast<std::uint32_t>(shortHeader.size() - 10));
    std::vector<Row> rows = {
        {"empty file", Bytes{}},
        {"19 bytes", Bytes(19, 0)},
        {"negative header offset", negativeHeader},
        {"header past the end", headerPastEnd},
        {"header cut short", shortHeader},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemoryInput input(row.image);
        Container c;
        EXPECT_FALSE(openContainer(c, input));
        EXPECT_EQ(c.entryCount, 0);
        EXPECT_FALSE(isValidIndex(c, 1));
    }
}

TEST(Container, UnreadableNodesAreNotRead)
{
    PfcBuilder b(6);
    b.node(1, 7, 2, 0, 0);
    b.setEntry(2, -5);                                   // negative offset
    b.setEntry(3, 0x7FFFFFF0);                           // beyond the file
    b.setEntry(4, static_cast<std::int32_t>(b.bytes().size() - 100));  // cut short by the end
    MemoryInput input(b.bytes());
    Container c = open(input);
    PfcNode n;
    EXPECT_TRUE(readNode(c, 1, n));
    for (std::int32_t k : {2, 3, 4}) {
        SCOPED_TRACE(k);
        EXPECT_FALSE(readNode(c, k, n));
    }
}

TEST(Container, TableOffsetsAreComputedWithoutWrapping)
{
    // A table far into a claimed 2^31-entry range must land beyond the file, not
    // wrap back into it.
    PfcBuilder b(2);
    b.setEntryCount(INT32_MAX);
    b.node(1, 7, 2, 0, 0);
    MemoryInput input(b.bytes());
    Container c = open(input);
    std::int32_t offset = 0;
    EXPECT_TRUE(entryOffset(c, 1, offset));
    EXPECT_FALSE(entryOffset(c, INT32_MAX, offset));
    EXPECT_FALSE(entryOffset(c, 1 << 30, offset));
    EXPECT_EQ(entriesPresent(c), 2 + static_cast<std::int64_t>(b.bytes().size() - (b.tableBase() + 4 + 8)) / 4);
}

// The start check tells an archive from a wrong file by its head and node 1
// alone; a program or a catalogue that happens to point at readable bytes
// is refused too.
TEST(Container, StartCheckWantsAPlausibleFirstNode)
{
    auto archive = [](std::int32_t next, std::int32_t entries, std::int32_t nodeAt) {
        PfcBuilder b(3);
        b.node(1, 0, 0, next, 2);
        b.node(2, 7, 3, 0, 0);
        b.record(3, bytesOf("RS      A       "));
        b.setEntryCount(entries);
        if (nodeAt >= 0)
            b.setEntry(1, nodeAt);
        return b.bytes();
    };
    struct Row { const char* name; Bytes image; bool start; };
    const Row rows[] = {
        {"an archive", archive(0, 3, -1), true},
        {"none written as -1", archive(-1, 3, -1), true},
        {"no entry counted", archive(0, 0, -1), false},
        {"node 1 over the pointer at 16", archive(0, 3, 0), false},
        {"node 1 over the head", archive(0, 3, 10), false},
        {"an index beyond the table", archive(4, 3, -1), false},
        {"node 1 leading nowhere", [] {
             PfcBuilder b(1);
             b.node(1, 0, 0, 0, 0);
             return b.bytes();
         }(), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemoryInput input(row.image);
        EXPECT_EQ(hasContainerStart(input), row.start);
    }
}
