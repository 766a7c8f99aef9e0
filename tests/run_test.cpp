// The conversion run: walk order, progress values, damaged trees and the run's
// decisions about its files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "pfc/leaf_log.h"
#include "pfc/naming.h"
#include "pfc/run.h"
#include "testkit/pfc_builder.h"
#include "tests/support/recording_frontend.h"
#include "tests/support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

using namespace kistwerk;
using namespace kistwerk::fixture;
namespace fs = std::filesystem;

namespace {

// Runs both passes over an image and records the data indexes handed over.
struct WalkResult {
    std::vector<std::int32_t> converted;
    RecordingFrontEnd frontEnd;
    ConversionRun run;
};

void walk(const Bytes& image, WalkResult& r)
{
    MemoryInput input(image);
    MemoryOutput output;
    r.run.convertItem = [&r](ConversionRun&, std::int32_t dataIndex) { r.converted.push_back(dataIndex); };
    convertContainer(r.run, input, output, r.frontEnd);
}

// A top-level chain of `leaves` leaves, each of type 7 with data index 1000 + i.
Bytes flatChain(int leaves)
{
    PfcBuilder b(leaves + 1);
    for (int i = 1; i <= leaves; ++i)
        b.node(i, 7, leaves + 1, i < leaves ? i + 1 : 0, 0);
    return b.bytes();
}


std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Converter that writes one line per item, so the files' contents show the walk.
void writeIndexLine(ConversionRun& run, std::int32_t dataIndex)
{
    std::string line = "item " + std::to_string(dataIndex) + "\n";
    run.output->write(line.data(), line.size());
    ++run.entriesWritten;
}

} // namespace

TEST(Walk, VisitsSubtreesBeforeSiblings)
{
    // Top-level chain 1 -> 2 -> 5; node 2 has the children 3 -> 4, node 5 the
    // child 6, and node 6 the child 7. Leaves 1, 3, 4, 7 carry data 11, 13, 14, 17.
    PfcBuilder b(20);
    b.node(1, 7, 11, 2, 0);
    b.node(2, 7, 12, 5, 3);
    b.node(3, 8, 13, 4, 0);
    b.node(4, 12, 14, 0, 0);
    b.node(5, 7, 15, 0, 6);
    b.node(6, 7, 16, 0, 7);
    b.node(7, 20, 17, 0, 0);
    WalkResult r;
    walk(b.bytes(), r);
    EXPECT_EQ(r.converted, (std::vector<std::int32_t>{11, 13, 14, 17}));
    EXPECT_EQ(r.run.totalItems, 4u);
    EXPECT_EQ(r.frontEnd.steps, (std::vector<int>{25, 50, 75, 100}));
}

TEST(Walk, ProgressValues)
{
    struct Row { int leaves; std::vector<int> firstSteps; std::size_t distinctDrawn; };
    for (const Row& row : {Row{4, {25, 50, 75, 100}, 4}, Row{3, {33, 66, 100}, 3}, Row{300, {0, 0, 1, 1, 1, 2}, 100}}) {
        SCOPED_TRACE(row.leaves);
        WalkResult r;
        walk(flatChain(row.leaves), r);
        ASSERT_EQ(r.frontEnd.steps.size(), static_cast<std::size_t>(row.leaves));
        EXPECT_TRUE(std::equal(row.firstSteps.begin(), row.firstSteps.end(), r.frontEnd.steps.begin()));
        EXPECT_EQ(r.frontEnd.steps.back(), 100);
        EXPECT_EQ(r.frontEnd.drawn.size(), row.distinctDrawn);
        EXPECT_EQ(r.frontEnd.created, 1);
        EXPECT_EQ(r.frontEnd.destroyed, 1);
    }
}

TEST(Walk, ItemTypesAndDataIndexes)
{
    // Leaves: type 9 with valid data (counted, not converted), a leaf whose data
    // index is entryCount + 1 (passed over), an inner node with its own data index
    // (never used), and the six converted types.
    PfcBuilder b(30);
    b.node(1, 9, 21, 2, 0);
    b.node(2, 7, 31, 3, 0);       // data index past entryCount 30
    b.node(3, 7, 22, 4, 5);       // inner node: 22 is never handed over
    b.node(5, 14, 23, 6, 0);
    b.node(6, 15, 30, 0, 0);      // data index equal to entryCount is valid
    b.node(4, 0, 0, 7, 0);        // leaf with data index 0
    b.node(7, 12, 24, 8, 0);
    b.node(8, 13, 25, 9, 0);
    b.node(9, 8, 26, 10, 0);
    b.node(10, 20, 27, 11, 0);
    b.node(11, 0xFFFF, 28, 0, 0);
    WalkResult r;
    walk(b.bytes(), r);
    EXPECT_EQ(r.converted, (std::vector<std::int32_t>{23, 30, 24, 26, 27}));
    EXPECT_EQ(r.run.totalItems, 8u);  // 21, 23, 30, 24, 25, 26, 27, 28
    EXPECT_EQ(r.frontEnd.steps.size(), 8u);
}

TEST(Walk, EmptyTreesDrawNothing)
{
    PfcBuilder zero(3);
    zero.node(1, 7, 2, 2, 2);
    zero.setEntryCount(0);
    PfcBuilder noData(3);
    noData.node(1, 7, 0, 2, 0);
    noData.node(2, 7, -4, 0, 0);
    for (const Bytes& image : {zero.bytes(), noData.bytes()}) {
        WalkResult r;
        walk(image, r);
        EXPECT_TRUE(r.converted.empty());
        EXPECT_TRUE(r.frontEnd.steps.empty());
        EXPECT_EQ(r.frontEnd.created, 1);
        EXPECT_EQ(r.frontEnd.destroyed, 1);
    }
}

TEST(Walk, DamagedTreesEnd)
{
    struct Row { const char* name; Bytes image; std::vector<std::int32_t> converted; };
    std::vector<Row> rows;
    {
        PfcBuilder b(4);  // 1 -> 2 -> 3 -> 1 ...
        b.node(1, 7, 4, 2, 0);
        b.node(2, 7, 4, 3, 0);
        b.node(3, 7, 4, 1, 0);
        rows.push_back({"cycle along next", b.bytes(), {4, 4, 4}});
    }
    {
        PfcBuilder b(3);
        b.node(1, 7, 3, 1, 0);
        rows.push_back({"self-loop", b.bytes(), {3}});
    }
    {
        PfcBuilder b(4);  // node 2's child chain leads back to its parent
        b.node(1, 7, 4, 0, 2);
        b.node(2, 7, 4, 0, 1);
        rows.push_back({"cycle through children", b.bytes(), {}});
    }
    {
        PfcBuilder b(6);  // two parents share the child chain 3
        b.node(1, 7, 6, 2, 3);
        b.node(2, 7, 6, 0, 3);
        b.node(3, 8, 5, 4, 0);
        b.node(4, 8, 6, 0, 0);
        rows.push_back({"shared subtree", b.bytes(), {5, 6}});
    }
    {
        PfcBuilder b(6);
        b.node(1, 7, 6, 2, 0);
        b.setEntry(2, 0x7FFFFFFF);       // offset beyond the file
        b.node(3, 7, 6, 0, 4);
        b.setEntry(4, -1);               // negative offset
        rows.push_back({"offsets outside the file", b.bytes(), {6}});
    }
    {
        PfcBuilder b(4);
        b.node(1, 7, 4, 2, 0);
        b.node(2, 7, 4, 3, 0);
        b.node(3, 7, 4, 0, 0);
        Bytes cut = b.bytes();
        cut.resize(cut.size() - 1);     // node 3 is one byte short
        rows.push_back({"truncated file", cut, {4, 4}});
    }
    {
        PfcBuilder b(2);
        b.node(1, 7, 2, 0, 0);
        b.setEntryCount(2000000000);    // claims far more entries than the file holds
        rows.push_back({"huge entry count", b.bytes(), {2}});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WalkResult r;
        walk(row.image, r);
        EXPECT_EQ(r.converted, row.converted);
        EXPECT_EQ(r.run.totalItems, row.converted.size());
        EXPECT_EQ(r.frontEnd.steps.size(), row.converted.size());
    }
}

TEST(Walk, DeepNestingUsesNoRecursion)
{
    constexpr int kDepth = 200000;
    PfcBuilder b(kDepth + 1);
    for (int k = 1; k < kDepth; ++k)
        b.node(k, 7, kDepth + 1, 0, k + 1);
    b.node(kDepth, 7, kDepth + 1, 0, 0);
    WalkResult r;
    walk(b.bytes(), r);
    EXPECT_EQ(r.converted.size(), 1u);
}

// The counting walk's leaves come back as they went in, whatever the jumps
// between data indexes; a log over its limit keeps the leaves before the first
// that did not fit, and none after it.
TEST(Walk, LeafLogGivesBackItsLeaves)
{
    const std::vector<WalkedLeaf> leaves = {
        {15, true}, {17, true}, {19, false}, {1, true}, {INT32_MAX, false}, {1, true},
        {INT32_MAX, true}, {INT32_MAX, false}, {2, false}, {300000, true}, {299999, true},
    };
    struct Row { const char* name; std::size_t limit; bool complete; std::size_t kept; };
    const Row rows[] = {
        {"room for all", 1 << 10, true, 11}, {"just room", 29, true, 11}, {"one byte short", 28, false, 10},
        {"no room", 0, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LeafLog log(row.limit);
        for (const WalkedLeaf& leaf : leaves)
            log.add(leaf);
        ASSERT_EQ(log.complete(), row.complete);
        std::size_t all = 0;
        log.replay([&all](const WalkedLeaf&) { return ++all > 0; });
        EXPECT_EQ(all, row.kept);
        std::vector<WalkedLeaf> back;
        log.replay([&back](const WalkedLeaf& leaf) {
            back.push_back(leaf);
            return back.size() < 6;
        });
        ASSERT_EQ(back.size(), std::min<std::size_t>(6, row.kept));
        for (std::size_t i = 0; i < back.size(); ++i) {
            EXPECT_EQ(back[i].dataIndex, leaves[i].dataIndex) << i;
            EXPECT_EQ(back[i].converted, leaves[i].converted) << i;
        }
    }
}

TEST(Walk, StopRequestEndsTheRunAfterTheItemInHand)
{
    WalkResult r;
    r.frontEnd.stopAfterSteps = 1;
    walk(flatChain(4), r);
    EXPECT_EQ(r.converted.size(), 2u);
    EXPECT_TRUE(r.run.cancelled);
    EXPECT_EQ(r.frontEnd.destroyed, 1);
}

TEST(Run, MailboxNames)
{
    struct Row { const char* input; const char* name; };
    for (Row row : {Row{"Post.2009.pfc", "Post.2009.mbx"}, Row{"Post", "Post.mbx"},
                    Row{"C:\\AOL\\Ablage\\Post.pfc", "Post.mbx"}, Row{"C:Post.pfc", "Post.mbx"},
                    Row{"/home/a.b/Post", "Post.mbx"}, Row{"dir.x\\Post", "Post.mbx"},
                    Row{"Post.mbx", "Post.mbx"}, Row{".pfc", ".mbx"}}) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(mailboxName(row.input), row.name);
    }
}

TEST(Run, ConvertsIntoANewOrExistingFile)
{
    TempDir dir;
    PfcBuilder b(3);
    b.node(1, 7, 3, 2, 0);
    b.node(2, 8, 3, 0, 0);
    ASSERT_TRUE(b.writeTo(dir / "Post.2009.pfc"));
    {
        std::ofstream old(dir / "Post.2009.mbx");
        old << "an older mailbox file that is much longer than the new one\n";
    }
    ConversionRun run;
    run.convertItem = writeIndexLine;
    RecordingFrontEnd fe;
    EXPECT_TRUE(runConversion(run, dir / "Post.2009.pfc", fe, dir / "Post.2009.mbx"));
    EXPECT_EQ(slurp(dir / "Post.2009.mbx"), "item 3\nitem 3\n");
    EXPECT_TRUE(fe.problems.empty());
    EXPECT_FALSE(fe.busy);
    EXPECT_EQ(run.entriesWritten, 2u);
}

TEST(Run, DefaultOutputGoesToTheCurrentDirectory)
{
    TempDir dir;
    PfcBuilder b(2);
    b.node(1, 9, 2, 0, 0);
    ASSERT_TRUE(b.writeTo(dir / "Post"));
    fs::path before = fs::current_path();
    fs::current_path(dir.path());
    ConversionRun run;
    RecordingFrontEnd fe;
    EXPECT_TRUE(runConversion(run, dir / "Post", fe));
    fs::current_path(before);
    EXPECT_TRUE(fs::exists(dir / "Post.mbx"));
    EXPECT_EQ(fs::file_size(dir / "Post.mbx"), 0u);
}

TEST(Run, FileProblems)
{
    TempDir dir;
    PfcBuilder b(3);
    b.node(1, 7, 3, 0, 0);
    ASSERT_TRUE(b.writeTo(dir / "in.pfc"));
    ASSERT_TRUE(b.writeTo(dir / "Post.mbx"));
    const std::string original = slurp(dir / "Post.mbx");
    // Wrong files (an empty one and a text: cli_test): none may replace Post.mbx.
    std::string noise;
    for (std::uint32_t x = 1; noise.size() < 1024;)
        noise += static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    std::ofstream(dir / "zufall.pfc", std::ios::binary) << noise;
    PfcBuilder cut(3);
    cut.setEntry(1, 4000);  // node 1 lies beyond the end of the file
    ASSERT_TRUE(cut.writeTo(dir / "cut.pfc"));
    PfcBuilder negative(3);
    negative.node(1, 7, 3, 0, 0);
    negative.setEntryCount(-1);
    ASSERT_TRUE(negative.writeTo(dir / "negative.pfc"));

    struct Row { const char* name; std::string input; std::string output; RunProblem problem;
                 FileFault fault = FileFault::None; };
    std::vector<Row> rows = {
        {"input missing", dir / "missing.pfc", dir / "missing.mbx", RunProblem::InputUnreadable, FileFault::NotFound},
        {"input is a folder", dir.path().string(), dir / "missing.mbx", RunProblem::InputUnreadable,
         FileFault::IsFolder},
        {"output folder missing", dir / "in.pfc", dir / "no/such/folder/x.mbx", RunProblem::OutputUnwritable,
         FileFault::NotFound},
        {"output is a folder", dir / "in.pfc", dir.path().string(), RunProblem::OutputUnwritable, FileFault::IsFolder},
        {"output is the input", dir / "Post.mbx", dir / "Post.mbx", RunProblem::OutputIsInput},
        {"output reaches the input by another path", dir / "in.pfc", dir / "./in.pfc", RunProblem::OutputIsInput},
        {"output holds the input's bytes", dir / "in.pfc", dir / "Post.mbx", RunProblem::OutputHoldsInputBytes},
        {"random bytes", dir / "zufall.pfc", dir / "Post.mbx", RunProblem::NotPfcFile},
        {"first node beyond the end", dir / "cut.pfc", dir / "Post.mbx", RunProblem::NotPfcFile},
        {"negative entry count", dir / "negative.pfc", dir / "Post.mbx", RunProblem::NotPfcFile},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ConversionRun run;
        run.convertItem = writeIndexLine;
        RecordingFrontEnd fe;
        EXPECT_FALSE(runConversion(run, row.input, fe, row.output));
        EXPECT_EQ(fe.problems, std::vector<RunProblem>{row.problem});
        EXPECT_EQ(run.fileError.fault, row.fault);
        EXPECT_EQ(fe.created, 0);
        EXPECT_FALSE(fe.busy);
    }
    EXPECT_FALSE(fs::exists(dir / "missing.mbx"));
    EXPECT_EQ(slurp(dir / "Post.mbx"), original);
    EXPECT_EQ(slurp(dir / "in.pfc"), original);
}

TEST(Run, MailboxInputInTheCurrentDirectoryIsNotReplaced)
{
    TempDir dir;
    PfcBuilder b(2);
    b.node(1, 9, 2, 0, 0);
    ASSERT_TRUE(b.writeTo(dir / "Post.mbx"));
    fs::path before = fs::current_path();
    fs::current_path(dir.path());
    ConversionRun run;
    RecordingFrontEnd fe;
    EXPECT_FALSE(runConversion(run, "Post.mbx", fe));
    fs::current_path(before);
    EXPECT_EQ(fe.problems, std::vector<RunProblem>{RunProblem::OutputIsInput});
    EXPECT_EQ(slurp(dir / "Post.mbx"), std::string(b.bytes().begin(), b.bytes().end()));
}

#ifndef _WIN32
TEST(Run, WriteFailureIsReportedAfterAnOrderlyEnd)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    {
        Bytes image = flatChain(3000);
        std::ofstream(dir / "in.pfc", std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                               static_cast<std::streamsize>(image.size()));
    }
    ConversionRun run;
    run.convertItem = [](ConversionRun& r, std::int32_t) {
        std::string line(100, 'x');
        r.output->write(line.data(), line.size());
        ++r.entriesWritten;
    };
    RecordingFrontEnd fe;
    EXPECT_FALSE(runConversion(run, dir / "in.pfc", fe, "/dev/full"));
    EXPECT_EQ(fe.problems, std::vector<RunProblem>{RunProblem::OutputIncomplete});
    EXPECT_EQ(fe.steps.size(), 3000u);  // the walk went on to its end
    EXPECT_EQ(fe.destroyed, 1);
}
#endif

// The old mailbox file is replaced only by a new one with entries, or by the
// empty one of a run that went through where no file was: whatever else ends
// the run leaves the place as it was, and no new file behind.
TEST(Run, OldMailboxFileStaysUntilTheNewOneHasEntries)
{
    TempDir dir;
    Bytes image = flatChain(5);
    std::ofstream(dir / "in.pfc", std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                           static_cast<std::streamsize>(image.size()));
    const ItemConverter writesNothing = [](ConversionRun&, std::int32_t) {};
    const ItemConverter lacksMemory = [](ConversionRun& run, std::int32_t dataIndex) {
        if (run.entriesWritten == 2)
            throw std::bad_alloc();
        writeIndexLine(run, dataIndex);
    };
    const std::string old = "die alte Postfachdatei\n";
    struct Row { const char* name; ItemConverter convert; int stopAt; bool oldFile; RunProblem problem;
                 const char* after;  // nullptr: no file
                 bool held = false; };  // another program holds the old file open (Windows)
    const std::vector<Row> rows = {
        {"stopped after three entries", writeIndexLine, 2, true, RunProblem::Cancelled, "item 6\nitem 6\nitem 6\n"},
        {"stopped before the first entry", writesNothing, 0, true, RunProblem::Cancelled, nullptr},
        {"stopped before the first entry, no file", writesNothing, 0, false, RunProblem::Cancelled, nullptr},
        {"no message", writesNothing, -1, true, RunProblem::NoMessages, nullptr},
        {"no message, no file", writesNothing, -1, false, RunProblem::NoMessages, ""},
        {"out of memory after two entries", lacksMemory, -1, true, RunProblem::OutOfMemory, nullptr},
        {"out of memory after two entries, no file", lacksMemory, -1, false, RunProblem::OutOfMemory,
         "item 6\nitem 6\n"},
#ifdef _WIN32
        {"old file open in another program", writeIndexLine, -1, true, RunProblem::OutputNotReplaced, nullptr, true},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(dir / "out.mbx");
        if (row.oldFile) {
            std::ofstream(dir / "out.mbx", std::ios::binary) << old;
            fs::permissions(dir / "out.mbx", fs::perms::owner_read | fs::perms::owner_write);
        }
#ifdef _WIN32
        HANDLE held = row.held ? CreateFileW(fs::path(dir / "out.mbx").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, 0, nullptr)
                               : INVALID_HANDLE_VALUE;
#endif
        ConversionRun run;
        run.convertItem = row.convert;
        RecordingFrontEnd fe;
        fe.stopAfterSteps = row.stopAt;
        EXPECT_EQ(runConversion(run, dir / "in.pfc", fe, dir / "out.mbx"), row.problem == RunProblem::NoMessages);
        EXPECT_EQ(fe.problems, std::vector<RunProblem>{row.problem});
#ifdef _WIN32
        if (held != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(run.fileError.fault, FileFault::InUse);
            CloseHandle(held);
        }
#endif
        EXPECT_EQ(fs::exists(dir / "out.mbx"), row.after != nullptr || row.oldFile);
        if (fs::exists(dir / "out.mbx")) {
            EXPECT_EQ(slurp(dir / "out.mbx"), row.after != nullptr ? row.after : old);
        }
#ifndef _WIN32
        if (row.oldFile) {  // private mail stays private
            EXPECT_EQ(fs::status(dir / "out.mbx").permissions() & fs::perms::all,
                      fs::perms::owner_read | fs::perms::owner_write);
        }
#endif
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()),
                  fs::exists(dir / "out.mbx") ? 2 : 1) << "a new file was left behind";
    }
}

// A killed run leaves its new file under the mailbox file's name with a mark
// of its own; the next run for that mailbox file removes it, but never the
// file of a run still going (held open) or one that belongs to another name.
TEST(Run, NewFilesOfKilledRunsAreRemoved)
{
    TempDir dir;
    PfcBuilder b(2);
    b.node(1, 9, 2, 0, 0);
    ASSERT_TRUE(b.writeTo(dir / "in.pfc"));
    const std::string left = dir / "out.mbx.kistwerk-0badf00d.tmp";
    const std::vector<std::string> kept = {dir / "out.mbx.kistwerk-12345678.tmp", dir / "other.mbx.kistwerk-0badf00d.tmp",
                                           dir / "out.mbx.kistwerk-0badf00x.tmp"};
    for (const std::string& name : kept)
        std::ofstream(name) << "x";
    std::ofstream(left) << "x";
#ifdef _WIN32
    HANDLE held = CreateFileW(fs::path(kept[0]).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
#else
    const int held = open(kept[0].c_str(), O_RDONLY);
    flock(held, LOCK_EX);
#endif
    ConversionRun run;
    RecordingFrontEnd fe;
    EXPECT_TRUE(runConversion(run, dir / "in.pfc", fe, dir / "out.mbx"));
#ifdef _WIN32
    CloseHandle(held);
#else
    close(held);
#endif
    EXPECT_FALSE(fs::exists(left));
    for (const std::string& name : kept)
        EXPECT_TRUE(fs::exists(name)) << name;
}

TEST(Run, SecondRunStartsAfresh)
{
    ConversionRun run;
    for (int pass = 0; pass < 2; ++pass) {
        RecordingFrontEnd fe;
        MemoryInput input(flatChain(4));
        MemoryOutput output;
        run.convertItem = [](ConversionRun&, std::int32_t) {};
        convertContainer(run, input, output, fe);
        EXPECT_EQ(fe.steps, (std::vector<int>{25, 50, 75, 100}));
        EXPECT_EQ(fe.drawn, (std::vector<int>{25, 50, 75, 100}));
    }
}
