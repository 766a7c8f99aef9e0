// The file input's block cache must deliver exactly the file's bytes: across
// block edges, after eviction, at the end of the file and after reopening; the
// output's buffer must pass on every byte in order, whatever the write sizes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <algorithm>
#include <functional>
#include <random>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "io/input.h"
#include "io/output.h"

using namespace kistwerk;

namespace {

constexpr std::int64_t kBlock = static_cast<std::int64_t>(FileInput::kWindowSize);

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

class TempFile {
public:
    explicit TempFile(const std::vector<std::uint8_t>& bytes, const char* name)
        : path_((std::filesystem::temp_directory_path() / name).string())
    {
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        // An empty vector's data() may be null, which fwrite must not be given.
        if (!bytes.empty()) {
            EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        }
        std::fclose(f);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// What a read of `count` bytes at `offset` must deliver.
std::vector<std::uint8_t> expected(const std::vector<std::uint8_t>& file, std::int64_t offset, std::size_t count)
{
    if (offset < 0 || offset >= static_cast<std::int64_t>(file.size()))
        return {};
    std::size_t end = std::min(file.size(), static_cast<std::size_t>(offset) + count);
    return std::vector<std::uint8_t>(file.begin() + offset, file.begin() + static_cast<std::ptrdiff_t>(end));
}

void expectRead(FileInput& input, const std::vector<std::uint8_t>& file, std::int64_t offset, std::size_t count)
{
    std::vector<std::uint8_t> got(count + 1, 0xCC);
    std::size_t n = input.readAt(offset, got.data(), count);
    std::vector<std::uint8_t> want = expected(file, offset, count);
    ASSERT_EQ(n, want.size());
    got.resize(n);
    EXPECT_TRUE(got == want);
}

} // namespace

TEST(FileInput, ReadsDeliverTheFileBytes)
{
    auto file = pattern(static_cast<std::size_t>(3 * kBlock + 12345), 7);
    TempFile tmp(file, "kistwerk_input_test.bin");
    FileInput input;
    ASSERT_TRUE(input.open(tmp.path()));
    EXPECT_EQ(input.size(), static_cast<std::int64_t>(file.size()));
    auto size = static_cast<std::int64_t>(file.size());
    struct Row { const char* what; std::int64_t offset; std::size_t count; };
    const Row rows[] = {
        {"start", 0, 16},
        {"inside a block", 1000, 134},
        {"ends on a block edge", kBlock - 4, 4},
        {"crosses one edge", kBlock - 3, 134},
        {"crosses two edges", kBlock - 10, static_cast<std::size_t>(kBlock + 20)},
        {"a whole block, unaligned", 17, static_cast<std::size_t>(kBlock)},
        {"a field of 64,999 bytes across an edge", 2 * kBlock - 30000, 64999},
        {"short at the end", size - 5, 16},
        {"last byte", size - 1, 1},
        {"at the end", size, 4},
        {"past the end", size + 100, 4},
        {"negative offset", -1, 4},
        {"nothing asked", 100, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        expectRead(input, file, row.offset, row.count);
    }
}

// Readers of one open file on two threads, each with its own cache, jumping
// about as the workers do; the owner reads on afterwards, so a reader that
// closed the shared file, or shared a cache, shows.
// Readers on two threads, of a file in the system's cache and of one that is
// not, which is then read ahead while they wait for it.
TEST(FileInput, ReadersOnTwoThreadsDeliverTheFileBytes)
{
#ifdef _WIN32
    for (bool cold : {false}) {
#else
    for (bool cold : {false, true}) {
#endif
    SCOPED_TRACE(cold);
    auto file = pattern(static_cast<std::size_t>(24 * kBlock + 999), 5);
    TempFile tmp(file, "kistwerk_input_readers.bin");
    FileInput owner;
    ASSERT_TRUE(owner.open(tmp.path()));
#ifndef _WIN32
    if (cold) {
        const int fd = ::open(tmp.path().c_str(), O_RDONLY);
        ASSERT_EQ(::fdatasync(fd), 0);
        ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
        ::close(fd);
    }
#endif
    owner.startReadingAhead();
#ifndef _WIN32
    // Windows cannot tell cheaply whether the file is in its cache, and reads
    // ahead whenever the file fits.
    EXPECT_EQ(owner.readsAhead(), cold);
#endif
    std::unique_ptr<InputSource> readers[2] = {owner.openReader(), owner.openReader()};
    ASSERT_TRUE(readers[0] && readers[1]);
    int wrong[2] = {0, 0};
    auto readMany = [&file](InputSource& reader, std::uint32_t seed, int& errors) {
        std::uint32_t x = seed;
        for (int i = 0; i < 4000; ++i) {
            x = x * 1664525u + 1013904223u;
            auto offset = static_cast<std::int64_t>(x % (file.size() + 10));
            std::size_t count = 1 + (x >> 8) % 3000;
            std::vector<std::uint8_t> got(count);
            got.resize(reader.readAt(offset, got.data(), count));
            errors += got != expected(file, offset, count);
        }
    };
    std::thread other(readMany, std::ref(*readers[1]), 17u, std::ref(wrong[1]));
    readMany(*readers[0], 29u, wrong[0]);
    other.join();
    EXPECT_EQ(wrong[0], 0);
    EXPECT_EQ(wrong[1], 0);
    readers[0].reset();
    readers[1].reset();
    expectRead(owner, file, 5 * kBlock - 7, 300);
    EXPECT_EQ(owner.size(), static_cast<std::int64_t>(file.size()));
    owner.stopReadingAhead();
    }
}

TEST(FileInput, ReaderOfAClosedFileIsRefused)
{
    FileInput closed;
    EXPECT_EQ(closed.openReader(), nullptr);
}

TEST(MemoryInput, ReadersReadTheSameBytes)
{
    auto bytes = pattern(5000, 3);
    MemoryInput input(bytes);
    std::unique_ptr<InputSource> reader = input.openReader();
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->size(), 5000);
    std::uint8_t got[10] = {};
    EXPECT_EQ(reader->readAt(4995, got, 10), 5u);
    EXPECT_TRUE(std::equal(got, got + 5, bytes.begin() + 4995));
    std::uint8_t scratch[4];
    EXPECT_EQ(reader->view(4997, 4, scratch), nullptr);
}

TEST(FileInput, ScatteredReadsSurviveEviction)
{
    // More blocks than the cache holds, visited in a jumping order like the walk's
    // table, node and record reads.
    std::size_t blocks = FileInput::kStreamCount * 2 + 3;
    auto file = pattern(blocks * FileInput::kWindowSize + 77, 11);
    TempFile tmp(file, "kistwerk_input_scatter.bin");
    FileInput input;
    ASSERT_TRUE(input.open(tmp.path()));
    std::uint32_t x = 3;
    for (int i = 0; i < 3000; ++i) {
        x = x * 1664525u + 1013904223u;
        std::int64_t offset = static_cast<std::int64_t>(x % file.size());
        std::size_t count = 1 + (x >> 8) % 300;
        if (i % 3 == 0)
            offset = 32 + (x >> 4) % 4096;  // the table, near the start
        SCOPED_TRACE(offset);
        expectRead(input, file, offset, count);
        if (HasFatalFailure())
            return;
    }
}

#ifdef __linux__
// Bytes this process has taken from the kernel through read calls so far.
// What this process has read from the kernel so far: bytes and calls.
struct KernelReads {
    unsigned long long bytes = 0;
    unsigned long long calls = 0;
};

KernelReads readsSoFar()
{
    KernelReads reads;
    std::FILE* f = std::fopen("/proc/self/io", "r");
    if (f != nullptr) {
        EXPECT_EQ(std::fscanf(f, "rchar: %llu wchar: %*u syscr: %llu", &reads.bytes, &reads.calls), 2);
        std::fclose(f);
    }
    return reads;
}

// Whatever order the table, the nodes and the records come in, the file is
// read from the kernel about once, in few calls: a call costs more than the
// few KiB a read takes beside what it needs.
TEST(FileInput, ReadsEachByteAboutOnce)
{
    constexpr std::size_t kLeaf = 4400;  // a node and its record
    constexpr std::size_t kLeaves = 2000;
    const auto file = pattern(kLeaf * kLeaves, 9);
    TempFile tmp(file, "kistwerk_input_once.bin");
    FileInput owner;
    ASSERT_TRUE(owner.open(tmp.path()));
    std::vector<std::size_t> shuffled(kLeaves);
    for (std::size_t i = 0; i < kLeaves; ++i)
        shuffled[i] = i;
    std::mt19937 random(5);
    std::shuffle(shuffled.begin(), shuffled.end(), random);

    std::uint8_t got[kLeaf];
    // A record read as a message is: header, field heads and fields, then the
    // body content handed out in place; a worker is told how long it is.
    auto readRecord = [&got, &file](InputSource& in, std::size_t at, bool told) {
        if (told)
            in.expect(static_cast<std::int64_t>(at), kLeaf - 134);
        InputCursor cursor(in, static_cast<std::int64_t>(at));
        bool same = cursor.read(got, 16) && cursor.read(got + 16, 7) && cursor.read(got + 23, 300) &&
                    cursor.skip(100);
        const std::uint8_t* body = cursor.view(kLeaf - 134 - 423, got);
        return same && body != nullptr && std::equal(body, body + 50, file.begin() + static_cast<std::ptrdiff_t>(at + 423));
    };
    auto records = [&](const std::vector<std::size_t>& order, bool told) {
        return [&, order, told](FileInput& in) {
            std::unique_ptr<InputSource> reader = in.openReader();
            bool same = true;
            for (std::size_t i : order)
                same &= readRecord(*reader, i * kLeaf + 134, told);
            return same;
        };
    };
    std::vector<std::size_t> inOrder(kLeaves);
    for (std::size_t i = 0; i < kLeaves; ++i)
        inOrder[i] = i;
    struct Row {
        const char* name;
        double mostBytes;  // bytes it may read, per byte of the file
        double mostCalls;  // read calls it may make, per leaf
        std::function<bool(FileInput&)> reads;
    };
    const Row rows[] = {
        {"nodes between the records, table in front", 1.1, 0.1,
         [&](FileInput& in) {
             bool same = true;
             for (std::size_t i = 0; i < kLeaves; ++i) {
                 same &= in.readAt(static_cast<std::int64_t>(4 * i), got, 4) == 4;
                 same &= in.readAt(static_cast<std::int64_t>(i * kLeaf), got, 134) == 134 &&
                         std::equal(got, got + 134, file.begin() + static_cast<std::ptrdiff_t>(i * kLeaf));
             }
             return same;
         }},
        {"records in walk order", 1.05, 0.1, records(inOrder, false)},
        {"records out of walk order, their length told", 1.0, 1.0, records(shuffled, true)},
        {"records out of walk order, their length unknown", 1.6, 2.0, records(shuffled, false)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FileInput input;
        ASSERT_TRUE(input.share(owner));
        const KernelReads before = readsSoFar();
        EXPECT_TRUE(row.reads(input));
        const KernelReads after = readsSoFar();
        const double size = static_cast<double>(file.size());
        EXPECT_LE(static_cast<double>(after.bytes - before.bytes), row.mostBytes * size + 65536)
            << static_cast<double>(after.bytes - before.bytes) / size << " of the file";
        // The test's own look at /proc takes a call or two.
        EXPECT_LE(static_cast<double>(after.calls - before.calls), row.mostCalls * kLeaves + 4);
    }
}
#endif

TEST(FileInput, ReopeningForgetsTheOldFile)
{
    auto first = pattern(5000, 1);
    auto second = pattern(5000, 2);
    TempFile a(first, "kistwerk_input_a.bin");
    TempFile b(second, "kistwerk_input_b.bin");
    FileInput input;
    ASSERT_TRUE(input.open(a.path()));
    expectRead(input, first, 100, 50);
    ASSERT_TRUE(input.open(b.path()));
    expectRead(input, second, 100, 50);
    input.close();
    std::uint8_t byte = 0;
    EXPECT_EQ(input.readAt(0, &byte, 1), 0u);
}

TEST(FileInput, EmptyAndMissingFiles)
{
    TempFile empty({}, "kistwerk_input_empty.bin");
    FileInput input;
    ASSERT_TRUE(input.open(empty.path()));
    std::uint8_t byte = 0;
    EXPECT_EQ(input.readAt(0, &byte, 1), 0u);
    EXPECT_FALSE(input.open(empty.path() + ".missing"));
    EXPECT_FALSE(input.isOpen());
}

TEST(Output, WritesOfEverySizeArriveInOrder)
{
    // Sizes around the buffer's edges: exact fills, one over, and writes larger
    // than the whole buffer, mixed with single bytes.
    const std::size_t buffer = std::size_t{1} << 18;
    const std::size_t sizes[] = {1, 0, buffer - 1, 1, 1, buffer, 3, buffer + 5, 7, buffer - 10, 10, 2 * buffer, 0, 1};
    auto source = pattern(3 * buffer, 5);
    MemoryOutput output;
    std::string expectedText;
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        std::size_t from = at % buffer;
        if (size == 1) {
            output.put(source[from]);
        } else {
            output.write(source.data() + from, size);
        }
        expectedText.append(reinterpret_cast<const char*>(source.data() + from), size);
        at += 17;
    }
    EXPECT_TRUE(output.text() == expectedText);
    EXPECT_EQ(output.bytesWritten(), expectedText.size());
}
