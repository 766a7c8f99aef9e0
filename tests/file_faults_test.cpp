// The files around a run going wrong: an input that cannot be read, an output
// that cannot be created or written, an output that would replace the input,
// Ctrl-C in the middle of a run, and the input never being opened for writing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "pfc/run.h"
#include "testkit/synth.h"
#include "tests/support/message_fixture.h"
#include "tests/support/temp_dir.h"

using namespace kistwerk;
using namespace kistwerk::fixture;
namespace fs = std::filesystem;

namespace {

// One message record with a body of a few lines.
Bytes sampleRecord()
{
    std::string body;
    for (int i = 0; i < 20; ++i)
        body += "Zeile " + std::to_string(i) + " des Briefes, mit etwas Text.\r\n";
    MessageBuilder m;
    m.sectionCount(1).field(5, kDateText).field(6, "jdoe").field(10, "Betreff").endList();
    m.section().typeRecord(0, 0).content(body).endList();
    return m.bytes();
}

// A chain of `leaves` leaves, each with its own copy of that record.
Bytes imageWithLeaves(std::int32_t leaves)
{
    const Bytes record = sampleRecord();
    PfcBuilder b(2 * leaves);
    for (std::int32_t k = 1; k <= leaves; ++k) {
        b.node(k, 7, leaves + k, k < leaves ? k + 1 : 0, 0);
        b.record(leaves + k, record);
    }
    return b.bytes();
}

void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct RunOutcome {
    bool ok = false;
    FileFault fault = FileFault::None;
    std::vector<RunProblem> problems;
    int created = 0;
    bool busy = true;
};

RunOutcome convertFile(const std::string& input, const std::string& output, ItemConverter convert = {})
{
    ConversionRun run;
    run.convertItem = std::move(convert);
    RecordingFrontEnd frontEnd;
    RunOutcome o;
    o.ok = runConversion(run, input, frontEnd, output);
    o.fault = run.fileError.fault;
    o.problems = frontEnd.problems;
    o.created = frontEnd.created;
    o.busy = frontEnd.busy;
    return o;
}

// Devices, pipes and sockets are refused at once: a pipe without a writer
// would keep the open waiting.
TEST(FileFaults, InputThatCannotBeOpened)
{
    TempDir dir;
    writeFile(dir / "in.pfc", imageWithLeaves(2));
    fs::create_directory(dir.path() / "folder.pfc");
#ifndef _WIN32
    ASSERT_EQ(mkfifo((dir / "pipe.pfc").c_str(), 0600), 0);
    const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (dir / "socket.pfc").c_str());
    ASSERT_EQ(bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
#endif
    const struct {
        const char* name;
        std::string input;
        FileFault fault = FileFault::None;  // None: any
    } rows[] = {
        {"missing", dir / "missing.pfc"},
        {"a folder", dir / "folder.pfc"},
        {"below a file", dir / "in.pfc/x.pfc"},
        {"empty name", ""},
#ifdef _WIN32
        {"the null device", "NUL.pfc", FileFault::NotAFile},
#else
        {"a named pipe without a writer", dir / "pipe.pfc", FileFault::NotAFile},
        {"a socket", dir / "socket.pfc", FileFault::NotAFile},
        {"a device", "/dev/null", FileFault::NotAFile},
#endif
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RunOutcome o = convertFile(row.input, dir / "out.mbx");
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.problems, std::vector<RunProblem>{RunProblem::InputUnreadable});
        if (row.fault != FileFault::None) {
            EXPECT_EQ(o.fault, row.fault);
        }
        EXPECT_EQ(o.created, 0);
        EXPECT_FALSE(o.busy);
        EXPECT_FALSE(fs::exists(dir / "out.mbx"));
    }
#ifndef _WIN32
    close(listening);
#endif
}

#ifndef _WIN32

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The new mailbox files a run left in a folder.
int newFilesIn(const TempDir& dir)
{
    int found = 0;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        found += entry.path().filename().string().find(".kistwerk-") != std::string::npos;
    return found;
}

// The entry each of those leaves gives.
std::string sampleEntry()
{
    return convertRecord(sampleRecord()).mailbox;
}

// Runs `body` in a child process that cannot pass over file permissions: as
// root it gives up root for the user "nobody" first. Returns the child's exit
// status, or -1 when the child could not give up root.
int runUnprivileged(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -2;
    return WEXITSTATUS(status) == 99 ? -1 : WEXITSTATUS(status);
}

// The outcome of a run as an exit status: 0 for success, 10 + 10 x the problem
// + the file fault.
int runStatus(const std::string& input, const std::string& output)
{
    RunOutcome o = convertFile(input, output);
    if (o.ok)
        return o.problems.empty() ? 0 : 1;
    if (o.problems.size() != 1 || o.created != 0 || o.busy)
        return 2;
    return 10 + 10 * static_cast<int>(o.problems[0]) + static_cast<int>(o.fault);
}

TEST(FileFaults, PermissionsThatForbidTheRun)
{
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    const Bytes image = imageWithLeaves(2);
    writeFile(dir / "in.pfc", image);
    writeFile(dir / "locked.pfc", image);
    fs::permissions(dir / "locked.pfc", fs::perms::none);
    fs::create_directory(dir.path() / "readonly");
    std::ofstream(dir / "readonly/old.mbx") << "die alte Postfachdatei\n";
    fs::permissions(dir / "readonly/old.mbx", fs::perms::all);  // the file may change, its folder may not
    fs::permissions(dir.path() / "readonly", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                                 fs::perms::group_exec | fs::perms::others_read |
                                                 fs::perms::others_exec);
    const struct {
        const char* name;
        std::string input;
        std::string output;
        RunProblem problem;
    } rows[] = {
        {"input without read permission", dir / "locked.pfc", dir / "x.mbx", RunProblem::InputUnreadable},
        {"read-only output folder", dir / "in.pfc", dir / "readonly/Post.mbx", RunProblem::OutputUnwritable},
        {"writable mailbox file in a read-only folder", dir / "in.pfc", dir / "readonly/old.mbx",
         RunProblem::OutputNotCreatedBeside},
    };
    const int noPermission = static_cast<int>(FileFault::NoPermission);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const int status = runUnprivileged([&] {
            // Without root the folder itself must still be reachable.
            return access((dir / "in.pfc").c_str(), R_OK) == 0 ? runStatus(row.input, row.output) : 98;
        });
        if (status == -1)
            GTEST_SKIP() << "running as root and cannot give up root";
        if (status == 98)
            GTEST_SKIP() << "the temporary folder cannot be reached without root";
        EXPECT_EQ(status, 10 + 10 * static_cast<int>(row.problem) + noPermission);
        EXPECT_EQ(fs::exists(row.output), row.output == dir / "readonly/old.mbx");
    }
    EXPECT_EQ(slurp(dir / "readonly/old.mbx"), "die alte Postfachdatei\n");
    fs::permissions(dir / "locked.pfc", fs::perms::owner_all);
    fs::permissions(dir.path() / "readonly", fs::perms::owner_all);
}

// A write that fails part-way (here the file size limit, which binds root too)
// costs the new file only: the old mailbox file stays as it was.
TEST(FileFaults, WriteFailureKeepsTheOldMailboxFile)
{
    TempDir dir;
    writeFile(dir / "in.pfc", imageWithLeaves(1000));
    const std::string old = "die alte Postfachdatei\n";
    std::ofstream(dir / "Post.mbx") << old;
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{64 << 10, 64 << 10};
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(99);
        const RunOutcome o = convertFile(dir / "in.pfc", dir / "Post.mbx");
        _exit(o.problems == std::vector<RunProblem>{RunProblem::OutputIncomplete} ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(slurp(dir / "Post.mbx"), old);
    EXPECT_EQ(newFilesIn(dir), 0);
}

// Places where no one, root included, can create a file.
TEST(FileFaults, OutputThatCannotBeCreated)
{
    TempDir dir;
    writeFile(dir / "in.pfc", imageWithLeaves(2));
    const std::string original = slurp(dir / "in.pfc");
    const struct {
        const char* name;
        std::string output;
    } rows[] = {
        {"folder missing", dir / "no/such/folder/Post.mbx"},
        {"folder is a file", dir / "in.pfc/Post.mbx"},
        {"kernel's process folder", "/proc/kistwerk-" + std::to_string(getpid()) + ".mbx"},
        {"a folder of that name", dir.path().string()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RunOutcome o = convertFile(dir / "in.pfc", row.output);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.problems, std::vector<RunProblem>{RunProblem::OutputUnwritable});
        EXPECT_EQ(o.created, 0);
        EXPECT_FALSE(o.busy);
    }
    EXPECT_EQ(slurp(dir / "in.pfc"), original);
}

// An overlay mount shows the files of its lower folder under another device
// and inode: one file reached two ways that no identity ties together.
struct OverlayMount {
    std::string merged;
    bool mounted = false;
    explicit OverlayMount(const TempDir& dir) : merged(dir / "merged")
    {
        for (const char* name : {"lower", "upper", "work", "merged"})
            fs::create_directory(dir.path() / name);
        const std::string options = "lowerdir=" + dir / "lower" + ",upperdir=" + dir / "upper" + ",workdir=" + dir / "work";
        mounted = mount("overlay", merged.c_str(), "overlay", 0, options.c_str()) == 0;
    }
    ~OverlayMount()
    {
        if (mounted)
            umount(merged.c_str());
    }
};

TEST(FileFaults, OutputThatWouldReplaceTheInput)
{
    TempDir dir;
    writeFile(dir / "Post.mbx", imageWithLeaves(3));
    const std::string original = slurp(dir / "Post.mbx");
    fs::create_symlink(dir / "Post.mbx", dir / "link.mbx");
    fs::create_hard_link(dir / "Post.mbx", dir / "hard.mbx");
    fs::copy_file(dir / "Post.mbx", dir / "copy.mbx");
    fs::create_directory(dir.path() / "sub");
    OverlayMount overlay(dir);
    writeFile(dir / "lower/in.pfc", imageWithLeaves(3));
    // What the first item does: the place changes while the run goes on.
    const auto during = [](std::function<void()> change) -> ItemConverter {
        return [change, done = false](ConversionRun& run, std::int32_t) mutable {
            if (!std::exchange(done, true))
                change();
            run.output->write("entry\n");
            ++run.entriesWritten;
        };
    };
    struct Row {
        const char* name;
        std::string input;
        std::string output;
        RunProblem problem = RunProblem::OutputIsInput;
        ItemConverter convert = {};
    };
    std::vector<Row> rows = {
        {"same name", dir / "Post.mbx", dir / "Post.mbx"},
        {"through a symbolic link", dir / "Post.mbx", dir / "link.mbx"},
        {"input named through the link", dir / "link.mbx", dir / "Post.mbx"},
        {"through a hard link", dir / "hard.mbx", dir / "Post.mbx"},
        {"through another folder", dir / "Post.mbx", dir / "sub/../Post.mbx"},
        {"a copy", dir / "Post.mbx", dir / "copy.mbx", RunProblem::OutputHoldsInputBytes},
        {"linked there during the run", dir / "Post.mbx", dir / "later.mbx", RunProblem::OutputIsInput,
         during([&] { fs::create_hard_link(dir / "Post.mbx", dir / "later.mbx"); })},
        {"copied there during the run", dir / "Post.mbx", dir / "later copy.mbx", RunProblem::OutputHoldsInputBytes,
         during([&] { fs::copy_file(dir / "Post.mbx", dir / "later copy.mbx"); })},
    };
    if (overlay.mounted)
        rows.push_back({"the lower file of an overlay", overlay.merged + "/in.pfc", dir / "lower/in.pfc",
                        RunProblem::OutputHoldsInputBytes});
    else
        std::printf("overlay mount not allowed here: the two-mount case is left to the copy\n");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RunOutcome o = convertFile(row.input, row.output, row.convert);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.problems, std::vector<RunProblem>{row.problem});
        EXPECT_EQ(slurp(row.output), original);
        EXPECT_EQ(slurp(dir / "Post.mbx"), original);
    }
    EXPECT_EQ(newFilesIn(dir), 0);
}

// ---- kistwerk-cli as a process -------------------------------------------------

struct Child {
    pid_t pid = -1;
    int out = -1;  // read end of the child's standard output
};

// Starts kistwerk-cli with standard output into a pipe and standard error into
// `errPath`.
Child startCli(const std::vector<std::string>& args, const std::string& errPath)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(fds[1], 1);
        dup2(err, 2);
        dup2(in, 0);
        close(fds[0]);
        std::vector<char*> argv;
        std::string cli = KISTWERK_CLI_PATH;
        argv.push_back(cli.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(cli.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    return Child{pid, fds[0]};
}

// Waits until `fd` has something to read (or its writer is gone), so a child
// that fails early cannot leave the test waiting for ever.
bool waitReadable(int fd, int seconds)
{
    pollfd p{fd, POLLIN, 0};
    int n = 0;
    do
        n = poll(&p, 1, seconds * 1000);
    while (n < 0 && errno == EINTR);
    return n > 0;
}

std::string drain(int fd)
{
    std::string all;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

// Reads what is left of the child's standard output, so it never writes into a
// closed pipe, and waits for its end.
int finish(Child& child)
{
    drain(child.out);
    close(child.out);
    int status = 0;
    waitpid(child.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 1000 + WTERMSIG(status) : -1;
}

struct CliResult {
    int status;
    std::string out;
    std::string err;
};

CliResult runCli(const std::vector<std::string>& args, const std::string& errPath)
{
    Child child = startCli(args, errPath);
    std::string out = drain(child.out);
    int status = finish(child);
    return CliResult{status, out, slurp(errPath)};
}

// Writes a little-endian 32-bit value at `at` of an open file.
void putU32(int fd, std::int64_t at, std::uint32_t v)
{
    Bytes bytes(4);
    setU32(bytes, 0, v);
    ASSERT_EQ(pwrite(fd, bytes.data(), 4, at), 4);
}

// A head claiming every index over a 1 GiB file that is nearly all hole: node 1,
// at offset 1024, leads near the table's end, whose entries lead to offset 0.
void claimEveryIndex(int fd)
{
    putU32(fd, 16, 200);          // the head lies at 200, the table behind it
    putU32(fd, 208, 0x7FFFFFFF);  // entry count
    putU32(fd, 216, 1024);        // table entry 1
    putU32(fd, 1024 + 118, (std::uint32_t{1} << 28) - 100);
    ASSERT_EQ(ftruncate(fd, std::int64_t{1} << 30), 0);
}

// A next chain over 1 GiB of table that visits one index in every 32,768, so
// that a seen-set taken in pages would take a page for every node.
void visitOneIndexPerPage(int fd)
{
    constexpr std::int64_t kTableBase = 212, kNodes = std::int64_t{1} << 30;
    constexpr std::uint32_t kStride = 1 << 15, kCount = (1 << 28) - 64;
    putU32(fd, 16, 200);
    putU32(fd, 208, kCount);
    for (std::uint32_t k = 1, n = 0; k < kCount; k = (n + 1) * kStride, ++n) {
        const std::int64_t node = kNodes + 134 * std::int64_t{n};
        putU32(fd, kTableBase + 4 * std::int64_t{k}, static_cast<std::uint32_t>(node));
        putU32(fd, node + 118, (n + 1) * kStride);
    }
    ASSERT_EQ(ftruncate(fd, kNodes + 134 * std::int64_t{kCount / kStride + 1}), 0);
}

// Over two million folders nested one in the other, each with a sibling not yet seen,
// so that a walk would hold every sibling while it goes down. The nodes lie 8
// bytes apart and overlap: node k's next index is word 2k of the node area and its
// child index word 2k + 3. The siblings' table entries point outside the file.
void nestEveryFolderWithASibling(int fd)
{
    constexpr std::uint32_t kFolders = 2200000;
    constexpr std::int64_t kTableBase = 212, kArea = kTableBase + 4 * (2 * std::int64_t{kFolders} + 1);
    Bytes table(4 * (2 * std::size_t{kFolders} + 1));
    Bytes area(8 * (std::size_t{kFolders} + 2) + 134);
    for (std::uint32_t k = 1; k <= kFolders; ++k) {
        setU32(table, 4 * k, static_cast<std::uint32_t>(kArea + 8 * k - 118 + 128));
        setU32(table, 4 * (kFolders + k), 0xFFFFFFFF);
        setU32(area, 128 + 8 * k, kFolders + k);                       // next
        setU32(area, 128 + 8 * k + 12, k < kFolders ? k + 1 : 0);      // child
    }
    putU32(fd, 16, 200);
    putU32(fd, 208, 2 * kFolders);
    ASSERT_EQ(pwrite(fd, table.data(), table.size(), kTableBase), static_cast<ssize_t>(table.size()));
    ASSERT_EQ(pwrite(fd, area.data(), area.size(), kArea), static_cast<ssize_t>(area.size()));
}

// Every ceiling at once over a 2 GiB sparse file: a table of 8 million entries
// (the record map for 2 GiB is built), 300,000 leaves in one chain whose node
// indexes spread over 240 pages of the seen-set and whose data indexes jump
// about (the leaf log fills, the kept steps fill, a second walk follows), and
// every hundredth leaf sharing one record of 3 MB of text, so that every
// worker's ring fills. The nodes lie 32 bytes apart and overlap, their fields
// apart.
void fillEveryCeiling(int fd)
{
    constexpr std::uint32_t kEntries = 8u << 20, kLeaves = 300000, kStride = 26, kRecord = kEntries - 1;
    constexpr std::int64_t kTableBase = 212, kNodes = kTableBase + 4 * std::int64_t{kEntries} + 4;
    Bytes table(4 * (std::size_t{kEntries} + 1));
    Bytes nodes(32 * (std::size_t{kLeaves} + 8));
    for (std::uint32_t i = 0; i < kLeaves; ++i) {
        const std::uint32_t k = 1 + i * kStride;
        const std::int64_t node = kNodes + 32 * std::int64_t{i};
        setU32(table, 4 * k, static_cast<std::uint32_t>(node));
        nodes[32 * i + 8] = 7;
        const std::uint32_t data = i % 100 == 0 ? kRecord : 2 + (i * 7919u) % (kEntries - 4);
        setU32(nodes, 32 * i + 114, data);
        setU32(nodes, 32 * i + 118, i + 1 < kLeaves ? k + kStride : 0);
    }
    MessageBuilder text;
    text.sectionCount(50).field(10, "geteilt").endList();
    for (int s = 0; s < 50; ++s)
        text.section().typeRecord(0, 0).content(std::string(60000, 'x')).endList();
    const Bytes record = text.bytes();
    const std::int64_t recordAt = (std::int64_t{1} << 31) - 8 - static_cast<std::int64_t>(record.size());
    setU32(table, 4 * kRecord, static_cast<std::uint32_t>(recordAt));
    putU32(fd, 16, 200);
    putU32(fd, 208, kEntries);
    ASSERT_EQ(pwrite(fd, table.data(), table.size(), kTableBase), static_cast<ssize_t>(table.size()));
    ASSERT_EQ(pwrite(fd, nodes.data(), nodes.size(), kNodes), static_cast<ssize_t>(nodes.size()));
    ASSERT_EQ(pwrite(fd, record.data(), record.size(), recordAt), static_cast<ssize_t>(record.size()));
    ASSERT_EQ(ftruncate(fd, std::int64_t{1} << 31), 0);
}

// Crafted heads and trees: the walk's memory stays small whatever the file
// claims or how it nests, with four workers besides.
TEST(CliFaults, CraftedTreesKeepTheWalkSmall)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's own memory hides the program's";
#endif
    // Past a ceiling the walk ends the chain in hand, which the run reports
    // as parts of the folder tree it could not read (exit 3).
    const struct {
        const char* name;
        void (*write)(int fd);
        int status;
    } rows[] = {
        {"sparse file claiming every index", claimEveryIndex, 0},
        {"one index visited per page of the seen-set", visitOneIndexPerPage, 3},
        {"2.2 million folders, each with a pending sibling", nestEveryFolderWithASibling, 3},
        {"every ceiling at once", fillEveryCeiling, 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string input = dir / "crafted.pfc";
        const int fd = open(input.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        // Made in a process of its own: the child that runs the program
        // starts as a copy of this one, and its peak counts that copy too.
        const pid_t maker = fork();
        if (maker == 0) {
            row.write(fd);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        int made = -1;
        waitpid(maker, &made, 0);
        close(fd);
        ASSERT_TRUE(WIFEXITED(made) && WEXITSTATUS(made) == 0);
        setenv("KISTWERK_THREADS", "4", 1);
        Child child = startCli({"-q", "-o", "/dev/null", input}, dir / "err");
        unsetenv("KISTWERK_THREADS");
        drain(child.out);
        close(child.out);
        int status = 0;
        rusage usage{};
        wait4(child.pid, &status, 0, &usage);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == row.status) << status;
        EXPECT_LT(usage.ru_maxrss, 16 * 1024) << "KiB";
    }
}

// Under every address-space limit from too little to load the program to
// enough for all its threads: the program either cannot start (the loader
// says so), or says it lacks memory (status 1), or converts the file as it
// always does; it never aborts, also where the C++ runtime has too little to
// throw std::bad_alloc.
TEST(CliFaults, NoAbortUnderAnyMemoryLimit)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer reserves far more address space than any limit here";
#endif
    TempDir dir;
    const std::string input = dir / "synth.pfc";
    bench::SynthOptions options;
    options.targetBytes = std::int64_t{3} << 20;
    options.outPath = input;
    bench::SynthSummary summary;
    ASSERT_TRUE(bench::writeSynth(options, summary));
    ASSERT_EQ(runCli({"-q", "-o", dir / "whole.mbx", input}, dir / "err").status, 3);
    const std::string whole = slurp(dir / "whole.mbx");
    int converted = 0;
    // Finely where the program starts up, coarsely where the threads come in.
    for (int kib = 4000; kib <= 16000; kib += kib < 8000 ? 24 : 512) {
        SCOPED_TRACE(kib);
        std::remove((dir / "out.mbx").c_str());
        const std::string command = "ulimit -v " + std::to_string(kib) + "; exec " + KISTWERK_CLI_PATH + " -q -o " +
                                    (dir / "out.mbx") + " " + input + " 2>" + (dir / "err");
        const int raw = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(raw)) << raw;
        const int status = WEXITSTATUS(raw);
        const std::string err = slurp(dir / "err");
        if (status == 3) {
            ++converted;
            EXPECT_TRUE(slurp(dir / "out.mbx") == whole);
        } else if (status == 1) {
            EXPECT_NE(err.find("Zu wenig Arbeitsspeicher"), std::string::npos) << err;
        } else {
            EXPECT_EQ(status, 127) << err;
        }
    }
    EXPECT_GT(converted, 0);
}

TEST(CliFaults, FullDisk)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    writeFile(dir / "small.pfc", imageWithLeaves(3));     // fails only when the file is closed
    writeFile(dir / "large.pfc", imageWithLeaves(1000));  // fails in the middle of the run
    for (const char* name : {"small.pfc", "large.pfc"}) {
        SCOPED_TRACE(name);
        CliResult r = runCli({"-o", "/dev/full", dir / name}, dir / "err");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("nicht vollst\xC3\xA4ndig geschrieben"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("/dev/full"), std::string::npos) << r.err;
    }
}

// Ctrl-C while the mailbox is being written: the run stops after the entry in
// hand, and what was written is whole entries only. The mailbox goes into a
// pipe, so the child is surely in the middle of its run when the signal comes:
// it waits for the test to read.
TEST(CliFaults, CtrlCLeavesOnlyWholeEntries)
{
    constexpr int kLeaves = 6000;
    TempDir dir;
    writeFile(dir / "in.pfc", imageWithLeaves(kLeaves));
    const std::string entry = sampleEntry();
    ASSERT_GT(entry.size(), 500u);
    ASSERT_EQ(mkfifo((dir / "fifo.mbx").c_str(), 0600), 0);

    const struct {
        const char* name;
        std::string output;  // "-" or the named pipe
    } rows[] = {{"standard output", "-"}, {"named pipe as the mailbox file", dir / "fifo.mbx"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // The entries are compared with the Windows form the library writes.
        Child child = startCli({"--windows", "-o", row.output, dir / "in.pfc"}, dir / "err");
        int from = child.out;
        if (row.output != "-") {
            // Opened without waiting for the writer; blocking again once it is there.
            from = open(row.output.c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(from, 0);
        }
        const bool started = waitReadable(from, 60);
        if (from != child.out)
            fcntl(from, F_SETFL, fcntl(from, F_GETFL) & ~O_NONBLOCK);
        if (!started)
            kill(child.pid, SIGKILL);
        ASSERT_TRUE(started) << "kistwerk-cli wrote nothing";
        char first = 0;
        ASSERT_EQ(read(from, &first, 1), 1);
        ASSERT_EQ(kill(child.pid, SIGINT), 0);
        std::string mailbox = std::string(1, first) + drain(from);
        if (from != child.out)
            close(from);
        EXPECT_EQ(finish(child), 1);
        EXPECT_NE(slurp(dir / "err").find("abgebrochen"), std::string::npos) << slurp(dir / "err");

        const std::size_t whole = mailbox.size() / entry.size();
        EXPECT_EQ(mailbox.size() % entry.size(), 0u) << "an entry was cut off";
        EXPECT_GT(whole, 0u);
        EXPECT_LT(whole, static_cast<std::size_t>(kLeaves)) << "the run did not stop";
        for (std::size_t i = 0; i < whole; ++i) {
            if (mailbox.compare(i * entry.size(), entry.size(), entry) != 0) {
                ADD_FAILURE() << "entry " << i << " differs";
                break;
            }
        }
    }
}

// A run into a mailbox file on disk, stopped or killed while it writes: Ctrl-C
// puts the finished entries in place (none, and so the old file stays, when it
// comes while the walk still counts, however much the workers wrote meanwhile,
// as a slow build sees it); a kill leaves the old file as it was and
// a new file under a name of its own, which the next run for that mailbox file
// removes.
TEST(CliFaults, StoppedOrKilledRunIntoAFile)
{
    constexpr std::size_t kLeaves = 20000;
    TempDir dir;
    writeFile(dir / "in.pfc", imageWithLeaves(kLeaves));
    fs::create_directory(dir.path() / "log");  // outside the watched folder
    const std::string entry = sampleEntry();
    const std::string old = "die alte Postfachdatei\n";
    const std::vector<std::string> args = {"-q", "--windows", "-o", dir / "Post.mbx", dir / "in.pfc"};
    for (const int signal : {SIGINT, SIGKILL}) {
        SCOPED_TRACE(signal);
        std::ofstream(dir / "Post.mbx") << old;
        const int watch = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_MODIFY), 0);
        Child child = startCli(args, dir / "log/err");
        const bool writing = waitReadable(watch, 60);
        kill(child.pid, writing ? signal : SIGKILL);
        const int status = finish(child);
        close(watch);
        ASSERT_TRUE(writing) << "kistwerk-cli wrote nothing";
        const std::string after = slurp(dir / "Post.mbx");
        if (signal == SIGKILL) {
            EXPECT_EQ(status, 1000 + SIGKILL);
            EXPECT_EQ(after, old);
            EXPECT_EQ(newFilesIn(dir), 1);
            continue;
        }
        EXPECT_EQ(status, 1);
        if (after != old) {
            EXPECT_EQ(after.size() % entry.size(), 0u) << "an entry was cut off";
            EXPECT_GT(after.size(), 0u);
            EXPECT_LT(after.size(), kLeaves * entry.size()) << "the run did not stop";
        }
        EXPECT_EQ(newFilesIn(dir), 0);
    }
    const CliResult r = runCli(args, dir / "log/err");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir / "Post.mbx").size(), kLeaves * entry.size());
    EXPECT_EQ(newFilesIn(dir), 0) << "what the killed run left is still there";
}

// Opening a named pipe that no one reads waits; the first Ctrl-C ends the wait.
TEST(CliFaults, CtrlCEndsTheWaitForAPipeNoOneReads)
{
    TempDir dir;
    writeFile(dir / "in.pfc", imageWithLeaves(3));
    ASSERT_EQ(mkfifo((dir / "fifo.mbx").c_str(), 0600), 0);
    Child child = startCli({"-o", dir / "fifo.mbx", dir / "in.pfc"}, dir / "err");
    // The PFC file is opened just before the mailbox file.
    const auto inputOpen = [&] {
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(child.pid) + "/fd", ec))
            if (fs::read_symlink(fd.path(), ec) == fs::path(dir / "in.pfc"))
                return true;
        return false;
    };
    int waited = 0;
    for (; waited < 500 && !inputOpen(); ++waited)
        usleep(10000);
    usleep(200000);
    kill(child.pid, SIGINT);
    const bool ended = waitReadable(child.out, 10);
    if (!ended)
        kill(child.pid, SIGKILL);
    EXPECT_LT(waited, 500) << "the PFC file was never opened";
    EXPECT_TRUE(ended) << "the first Ctrl-C did not end the wait";
    EXPECT_EQ(finish(child), 1);
    EXPECT_NE(slurp(dir / "err").find("abgebrochen"), std::string::npos) << slurp(dir / "err");
}

// What the kernel reports about the input while the converter runs: any open
// for writing shows as a close of a written file, whoever runs the test.
struct InputWatch {
    int fd = -1;
    explicit InputWatch(const std::string& path)
    {
        fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd >= 0 && inotify_add_watch(fd, path.c_str(), IN_ALL_EVENTS) < 0) {
            close(fd);
            fd = -1;
        }
    }
    ~InputWatch()
    {
        if (fd >= 0)
            close(fd);
    }
    std::uint32_t events() const
    {
        std::uint32_t mask = 0;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (char* p = buffer; p < buffer + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                mask |= e->mask;
                p += sizeof(inotify_event) + e->len;
            }
        }
        return mask;
    }
};

TEST(CliFaults, InputIsNeverOpenedForWriting)
{
    TempDir dir;
    const std::string input = dir / "Post.pfc";
    writeFile(input, imageWithLeaves(50));
    ASSERT_EQ(chmod(input.c_str(), 0444), 0);
    struct stat before {};
    ASSERT_EQ(stat(input.c_str(), &before), 0);
    const std::string bytes = slurp(input);

    const std::string swapped = dir / "swapped.mbx";
    const struct {
        const char* name;
        std::vector<std::string> args;
        int runs = 1;
        bool swapping = false;  // the mailbox path changes between a file and a link to the input
    } rows[] = {
        {"mailbox beside the input", {input}},
        {"mailbox named", {"-o", dir / "other.mbx", input}},
        {"mailbox on standard output", {"-o", "-", input}},
        {"mailbox would be the input", {"-o", input, input}},
        {"mailbox path swapped with a link to the input", {"-q", "-o", swapped, input}, 1000, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        InputWatch watch(input);
        ASSERT_GE(watch.fd, 0) << "inotify unavailable";
        std::atomic<bool> stop{false};
        std::thread swapper;
        if (row.swapping)
            swapper = std::thread([&] {
                while (!stop) {
                    unlink(swapped.c_str());
                    symlink(input.c_str(), swapped.c_str());
                    unlink(swapped.c_str());
                    close(open(swapped.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
                }
            });
        for (int run = 0; run < row.runs; ++run)
            runCli(row.args, dir / "err");
        stop = true;
        if (swapper.joinable())
            swapper.join();
        const std::uint32_t seen = watch.events();
        EXPECT_TRUE(seen & IN_OPEN) << "the watch saw no open of the input";
        EXPECT_TRUE(seen & IN_CLOSE_NOWRITE);
        EXPECT_FALSE(seen & IN_CLOSE_WRITE) << "the input was opened for writing";
        EXPECT_FALSE(seen & (IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF));
        struct stat after {};
        ASSERT_EQ(stat(input.c_str(), &after), 0);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(slurp(input), bytes);
    }
    chmod(input.c_str(), 0644);
}

#endif

} // namespace
