// Inputs built to make the conversion slow: shared subtrees, long chains, deep
// nesting, many tiny items, one node behind many table entries, records of many
// tiny fields. Each must convert in about the time of an ordinary archive of
// the same size; CPU time is compared with a generous factor, so sanitizers and
// a busy machine do not make the test flaky.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include "pfc/run.h"
#include "testkit/pfc_builder.h"

using namespace kistwerk;
using namespace kistwerk::fixture;

// Heap use, counted by replacing the global allocation operators of this test
// program: each block carries its size in front of it. Worker threads allocate
// too, so the counts are atomic.
namespace heap {
std::atomic<std::size_t> current{0};
std::atomic<std::size_t> peak{0};
constexpr std::size_t kHead = 16;

void raisePeak(std::size_t now)
{
    std::size_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
}
} // namespace heap

void* operator new(std::size_t size)
{
    void* block = std::malloc(size + heap::kHead);
    if (block == nullptr)
        throw std::bad_alloc();
    std::memcpy(block, &size, sizeof size);
    heap::raisePeak(heap::current += size);
    return static_cast<unsigned char*>(block) + heap::kHead;
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void operator delete(void* p) noexcept
{
    if (p == nullptr)
        return;
    // Integer arithmetic: GCC would take a pointer step back for an out-of-bounds access.
    void* block = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) - heap::kHead);
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    heap::current -= size;
    std::free(block);
}

void operator delete[](void* p) noexcept
{
    operator delete(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    operator delete(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    operator delete(p);
}

namespace {

constexpr std::size_t kTargetSize = 3 << 20;  // bytes per image
constexpr double kAllowedFactor = 10.0;
constexpr std::size_t kFixedHeap = 1 << 20;  // output buffer, item buffers, inflater
// With worker threads: their output rings (8 MiB together) and, per worker, a
// reader, item buffers and an inflater.
constexpr std::size_t kWorkerHeap = (std::size_t{8} << 20) + 2 * kFixedHeap;

double cpuSeconds()
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) * 1e-7;
#else
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
#endif
}

// Counts what it is given and keeps nothing.
class CountingOutput final : public Output {
public:
    ~CountingOutput() override { flush(); }

protected:
    bool store(const std::uint8_t*, std::size_t) override { return true; }
};

struct Cost {
    double seconds = 0;
    std::uint64_t written = 0;
    std::uint32_t items = 0;
    std::uint32_t overLimit = 0;  // items passed over for the record reading limit
    std::size_t heap = 0;         // most heap a conversion took beyond what it found
};

// CPU time per conversion: runs repeat until a batch has taken long enough for
// a coarse process clock (Windows counts in 15.6 ms ticks), and the quicker of
// two batches counts, the one less disturbed by whatever else the machine does.
Cost convertTimed(const Bytes& image, int threads, std::int64_t readFloor = RunSettings{}.recordReadFloor)
{
    constexpr double kBatchSeconds = 0.1;
    MemoryInput input(image);
    Cost best;
    best.seconds = 1e30;
    for (int batch = 0; batch < 2; ++batch) {
        int runs = 0;
        const double start = cpuSeconds();
        double took = 0;
        do {
            const std::size_t before = heap::current;
            heap::peak = before;
            CountingOutput output;
            SilentFrontEnd frontEnd;
            ConversionRun run;
            run.threads = threads;
            run.recordReadFloor = readFloor;
            convertContainer(run, input, output, frontEnd);
            output.flush();
            ++runs;
            took = cpuSeconds() - start;
            best.written = output.bytesWritten();
            best.items = run.totalItems;
            best.overLimit = run.itemsOverLimit;
            best.heap = heap::peak - before;
        } while (took < kBatchSeconds);
        best.seconds = std::min(best.seconds, took / runs);
    }
    return best;
}

std::string letters(std::size_t size, unsigned seed)
{
    static const char kWords[][8] = {"Hallo ", "und ", "Gruss ", "Termin ", "morgen ", "bei ", "uns ", "\r\n"};
    std::string text;
    while (text.size() < size) {
        seed = seed * 1103515245u + 12345u;
        text += kWords[(seed >> 16) % 8];
    }
    text.resize(size);
    return text;
}

void zlibSplit(const std::string& text, Bytes& head, Bytes& chunk, int level = Z_DEFAULT_COMPRESSION)
{
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    Bytes stream(size);
    compress2(stream.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()),
              level);
    head.assign(stream.begin(), stream.begin() + 2);
    chunk.assign(stream.begin() + 2, stream.begin() + static_cast<std::ptrdiff_t>(size));
}

// An ordinary message: headers and a body of about `bodySize` bytes, every
// third one HTML and every fourth one compressed.
Bytes ordinaryRecord(int i, std::size_t bodySize)
{
    MessageBuilder m;
    m.sectionCount(i % 4 == 0 ? 4 : 1).field(5, "05.01.2003 09:03:07").field(6, "absender" + std::to_string(i))
        .field(7, "empfaenger@example.de").field(10, "Betreff Nummer " + std::to_string(i)).endList();
    std::string body = letters(bodySize, static_cast<unsigned>(i));
    if (i % 3 == 0)
        body = "<html><b>" + body + "</b><br>&uuml;</html>";
    if (i % 4 == 0) {
        Bytes head, chunk;
        zlibSplit(body, head, chunk);
        m.section().typeRecord(0, 0).content("Vorspann ").endList();
        m.section().content("[x]").endList();
        m.section().content("dropped").endList();
        m.section().typeRecord(0, 1).content(head).content(chunk).endList();
    } else {
        m.section().typeRecord(i % 2 == 0 ? 0 : 3, 0).content(body).endList();
    }
    return m.bytes();
}

// Folders of 40 leaves, each leaf with its own record.
Bytes ordinaryImage()
{
    const std::int32_t items = static_cast<std::int32_t>(kTargetSize / 1400);
    const std::int32_t folders = items / 40 + 1;
    PfcBuilder b(folders + 2 * items);
    std::int32_t next = folders + 1;
    for (std::int32_t f = 1; f <= folders; ++f) {
        const std::int32_t first = next;
        const std::int32_t count = std::min<std::int32_t>(40, folders + items + 1 - first);
        b.node(f, 0, 0, f < folders ? f + 1 : 0, count > 0 ? first : 0);
        for (std::int32_t i = 0; i < count; ++i) {
            const std::int32_t k = first + i;
            b.node(k, 7, k + items, i + 1 < count ? k + 1 : 0, 0);
            b.record(k + items, ordinaryRecord(k, 1100));
        }
        next += count;
    }
    return b.bytes();
}

Bytes ordinaryWithHugeEntryCount()
{
    // The ordinary archive, its table claiming two thousand million entries.
    Bytes image = ordinaryImage();
    PfcBuilder probe(1);
    setU32(image, static_cast<std::size_t>(probe.headerOffset() + 8), 2000000000u);
    return image;
}

// Leaves needed to fill the target size at `perLeaf` bytes each.
std::int32_t fill(std::size_t perLeaf)
{
    return static_cast<std::int32_t>(kTargetSize / perLeaf);
}

Bytes sharedSubtree()
{
    // One folder of 100 ordinary items, reached as the child chain of every
    // folder in a long chain of folders.
    const std::int32_t shared = 100;
    const std::int32_t parents = fill(142) - shared * 10;
    PfcBuilder b(parents + 2 * shared);
    for (std::int32_t p = 1; p <= parents; ++p)
        b.node(p, 0, 0, p < parents ? p + 1 : 0, parents + 1);
    for (std::int32_t i = 0; i < shared; ++i) {
        const std::int32_t k = parents + 1 + i;
        b.node(k, 7, k + shared, i + 1 < shared ? k + 1 : 0, 0);
        b.record(k + shared, ordinaryRecord(k, 1100));
    }
    return b.bytes();
}

Bytes longNextChain()
{
    // Leaves of a converted type whose data records fail the header test.
    const std::int32_t leaves = fill(142);
    PfcBuilder b(leaves + 1);
    for (std::int32_t k = 1; k <= leaves; ++k)
        b.node(k, 7, leaves + 1, k < leaves ? k + 1 : 0, 0);
    b.record(leaves + 1, bytesOf("not a message record"));
    return b.bytes();
}

Bytes deepChildChain()
{
    const std::int32_t depth = fill(142);
    PfcBuilder b(depth + 1);
    for (std::int32_t k = 1; k < depth; ++k)
        b.node(k, 0, 0, 0, k + 1);
    b.node(depth, 7, depth + 1, 0, 0);
    b.record(depth + 1, ordinaryRecord(1, 1000));
    return b.bytes();
}

Bytes manyTinyItems()
{
    // The smallest records that still make an entry each.
    MessageBuilder tiny;
    tiny.sectionCount(1).endList().section().endList();
    const std::int32_t items = fill(142 + 4 + tiny.bytes().size());
    PfcBuilder b(2 * items);
    for (std::int32_t k = 1; k <= items; ++k) {
        b.node(k, 7, k + items, k < items ? k + 1 : 0, 0);
        b.record(k + items, tiny.bytes());
    }
    return b.bytes();
}

Bytes oneNodeBehindEveryEntry()
{
    // Every table entry holds the offset of one folder node; its child and next
    // indexes lead back into the table.
    const std::int32_t entries = static_cast<std::int32_t>(kTargetSize / 4);
    PfcBuilder b(entries);
    const std::int32_t at = b.node(1, 0, 0, entries / 2, 2);
    for (std::int32_t k = 2; k <= entries; ++k)
        b.setEntry(k, at);
    return b.bytes();
}

Bytes tinyMessageFields()
{
    // Subjects of one byte each, then the sender over and over.
    MessageBuilder m;
    m.sectionCount(1);
    while (m.bytes().size() < kTargetSize) {
        m.rawField(10, 1, 0, Bytes{'S'});
        m.rawField(6, 1, 0, Bytes{'x'});
        m.rawField(11, 1, 0, Bytes{'y'});
        m.rawField(24, 1, 0, Bytes{1});
        m.rawField(300, 1, 0, Bytes{0});
    }
    m.endList().section().typeRecord(0, 0).content("Hi").endList();
    PfcBuilder b(2);
    b.node(1, 7, 2, 0, 0);
    b.record(2, m.bytes());
    return b.bytes();
}

Bytes tinyBodyRecords(std::uint8_t partType)
{
    // 255 sections, each a long run of one-byte content records.
    MessageBuilder m;
    m.sectionCount(255).field(5, "05.01.2003 09:03:07").endList();
    const std::size_t perSection = kTargetSize / 255 / 8;
    for (int s = 0; s < 255; ++s) {
        m.section().typeRecord(partType, 0);
        for (std::size_t i = 0; i < perSection; ++i)
            m.content(Bytes{static_cast<std::uint8_t>(i % 3 == 0 ? '<' : i % 3 == 1 ? 'b' : '>')});
        m.endList();
    }
    PfcBuilder b(2);
    b.node(1, 7, 2, 0, 0);
    b.record(2, m.bytes());
    return b.bytes();
}

Bytes tinyChunks()
{
    // The bracketed layout, then chunks of a few bytes each behind a stream head.
    Bytes head, chunk;
    zlibSplit("x", head, chunk);
    MessageBuilder m;
    m.sectionCount(4).field(5, "05.01.2003 09:03:07").endList();
    m.section().typeRecord(0, 0).content("A").endList();
    m.section().content("[x]").endList();
    m.section().content("dropped").endList();
    m.section().typeRecord(0, 1).content(head);
    for (std::size_t i = 0; m.bytes().size() < kTargetSize; ++i)
        m.content(i % 2 == 0 ? chunk : Bytes{0xFF, 0x00, 0x13});
    m.endList();
    PfcBuilder b(2);
    b.node(1, 7, 2, 0, 0);
    b.record(2, m.bytes());
    return b.bytes();
}

Bytes leavesSharingOneRecord(const Bytes& record)
{
    const std::int32_t leaves = fill(142);
    PfcBuilder b(leaves + 1);
    for (std::int32_t k = 1; k <= leaves; ++k)
        b.node(k, 7, leaves + 1, k < leaves ? k + 1 : 0, 0);
    b.record(leaves + 1, record);
    return b.bytes();
}

Bytes sharedOrdinary() { return leavesSharingOneRecord(ordinaryRecord(1, 1100)); }

Bytes sharedGateFailure()
{
    // 1 MB of unknown fields, then no section count: nothing is written.
    MessageBuilder m;
    while (m.bytes().size() < (1 << 20))
        m.rawField(300, 1, 0, Bytes{0});
    m.endList();
    return leavesSharingOneRecord(m.bytes());
}

Bytes sharedJunkBody()
{
    MessageBuilder m;
    m.sectionCount(1).endList().section();
    while (m.bytes().size() < (1 << 20))
        m.rawField(300, 1, 0, Bytes{0});
    m.endList();
    return leavesSharingOneRecord(m.bytes());
}

Bytes overlappingRecords()
{
    // One long field list whose fields each carry a record header as their data,
    // so a record starts inside every field and reads all the fields behind it.
    const Bytes header = {0x52, 0x53, 0, 0, 0, 0, 0, 0, 0x41, 0, 0, 0, 0, 0, 0, 0};
    const std::int32_t records = fill(146 + 23);
    PfcBuilder b(2 * records);
    MessageBuilder tail;
    for (std::int32_t i = 0; i < records; ++i)
        tail.rawField(300, 7, static_cast<std::uint32_t>(header.size()), header);
    tail.sectionCount(1).endList().section().endList();
    for (std::int32_t k = 1; k <= records; ++k)
        b.node(k, 7, records + k, k < records ? k + 1 : 0, 0);
    const std::int32_t at = b.append(tail.bytes());
    // The data of field i starts 16 + 23 i + 7 bytes into the tail.
    for (std::int32_t i = 0; i < records; ++i)
        b.setEntry(records + 1 + i, at + 16 + 23 * i + 7);
    return b.bytes();
}

// Chunks of about 80 bytes that each inflate to the largest text, 65,000 bytes.
Bytes bombs()
{
    std::string text(65000, 'a');
    Bytes head, chunk;
    zlibSplit(text, head, chunk, 9);
    MessageBuilder m;
    m.sectionCount(4).field(5, "05.01.2003 09:03:07").endList();
    m.section().typeRecord(0, 0).content("A").endList();
    m.section().content("[x]").endList();
    m.section().content("dropped").endList();
    m.section().typeRecord(0, 1).content(head);
    while (m.bytes().size() < (64 << 10))
        m.content(chunk);
    m.endList();
    PfcBuilder b(2);
    b.node(1, 7, 2, 0, 0);
    b.record(2, m.bytes());
    return b.bytes();
}

// 3,200 leaves that share one record of 251 chunks of about 80 bytes, each of
// which inflates to 64,990 bytes: 456 KiB that would write 52 GB.
Bytes sharedBombs()
{
    constexpr int kLeaves = 3200;
    std::string text(64990, 'a');
    Bytes head, chunk;
    zlibSplit(text, head, chunk, 9);
    MessageBuilder m;
    m.sectionCount(4).field(5, "05.01.2003 09:03:07").endList();
    m.section().typeRecord(0, 0).content("A").endList();
    m.section().content("[x]").endList();
    m.section().content("dropped").endList();
    m.section().typeRecord(0, 1).content(head);
    for (int i = 0; i < 251; ++i)
        m.content(chunk);
    m.endList();
    PfcBuilder b(kLeaves + 1);
    for (int k = 1; k <= kLeaves; ++k)
        b.node(k, 7, kLeaves + 1, k < kLeaves ? k + 1 : 0, 0);
    b.record(kLeaves + 1, m.bytes());
    return b.bytes();
}

struct Case {
    const char* name;
    Bytes (*build)();
    bool overLimit = false;  // only records read over and over reach the reading limit
};

void expectWorstCasesCheap(int threads, const Cost& base, std::size_t ordinarySize, std::size_t fixedHeap);

// On one thread, and with workers, which must not outrun the reading limit.
TEST(Cost, WorstCasesTakeAboutAsLongAsAnOrdinaryArchive)
{
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads == 1 ? "one thread" : "two workers");
        const std::size_t fixedHeap = threads == 1 ? kFixedHeap : kFixedHeap + kWorkerHeap;
        const Bytes ordinary = ordinaryImage();
        const Cost base = convertTimed(ordinary, threads);
        ASSERT_GT(base.items, 1000u);
        EXPECT_EQ(base.overLimit, 0u) << "an ordinary archive must never reach the reading limit";
        std::printf("threads %d, ordinary archive: %zu bytes, %u items, %.1f ms, %llu bytes written, heap %zu KiB\n",
                    threads, ordinary.size(), base.items, base.seconds * 1e3,
                    static_cast<unsigned long long>(base.written), base.heap >> 10);
        EXPECT_LT(base.heap, fixedHeap);
        expectWorstCasesCheap(threads, base, ordinary.size(), fixedHeap);
    }
}

void expectWorstCasesCheap(int threads, const Cost& base, std::size_t ordinarySize, std::size_t fixedHeap)
{

    const Case cases[] = {
        {"shared subtree under many folders", sharedSubtree},
        {"long next chain", longNextChain},
        {"deep child chain", deepChildChain},
        {"many tiny items", manyTinyItems},
        {"one node behind every table entry", oneNodeBehindEveryEntry},
        {"table claiming 2,000,000,000 entries", ordinaryWithHugeEntryCount},
        {"tiny message fields", tinyMessageFields},
        {"tiny plain body records", [] { return tinyBodyRecords(0); }},
        {"tiny folded body records", [] { return tinyBodyRecords(3); }},
        {"tiny compressed chunks", tinyChunks},
        {"leaves sharing an ordinary record", sharedOrdinary, true},
        {"leaves sharing a record that fails", sharedGateFailure, true},
        {"leaves sharing a record of dropped fields", sharedJunkBody, true},
        {"records starting inside one another", overlappingRecords, true},
    };
    // The images are far smaller than the reading limit's floor: lowered, the
    // limit reaches them as it reaches files above the floor.
    constexpr std::int64_t kLowFloor = 65536;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes image = c.build();
        const Cost cost = convertTimed(image, threads, kLowFloor);
        // Per byte of input, against the ordinary archive.
        const double factor = (cost.seconds / static_cast<double>(image.size())) /
                              (base.seconds / static_cast<double>(ordinarySize));
        std::printf("%-36s %8zu bytes %7u items %8.1f ms  factor %.2f  heap %zu KiB\n", c.name, image.size(),
                    cost.items, cost.seconds * 1e3, factor, cost.heap >> 10);
        EXPECT_LT(factor, kAllowedFactor);
        // Fixed buffers, and per pass one bit per table entry and one pending
        // sibling per level of nesting: never more than a small part of the file.
        EXPECT_LT(cost.heap, fixedHeap + image.size() / 16);
        EXPECT_EQ(cost.overLimit > 0, c.overLimit);
        if (c.overLimit) {
            // With the real floor the records read are bounded by the floor
            // instead: the time goes with the file's size plus the floor.
            const std::int64_t floor = RunSettings{}.recordReadFloor;
            const Cost floored = convertTimed(image, threads);
            const double flooredFactor = (floored.seconds / static_cast<double>(image.size() + floor)) /
                                         (base.seconds / static_cast<double>(ordinarySize));
            std::printf("%-36s with the real floor: %8.1f ms  factor %.2f\n", "", floored.seconds * 1e3, flooredFactor);
            EXPECT_LT(flooredFactor, kAllowedFactor);
        }
    }
}

// What a file can make the program write is bounded by its size: leaves that
// share a record of chunks inflating to the most a chunk holds write at most
// 64 times the file (plus a floor, lowered here) and one item more; the items
// past that are passed over and counted, on any number of threads.
TEST(Cost, SharedCompressedRecordsWriteNoMoreThanTheLimit)
{
    const Bytes image = sharedBombs();
    const std::uint64_t oneItem = 251 * 64990 + 4096;
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        MemoryInput input(image);
        CountingOutput output;
        SilentFrontEnd frontEnd;
        ConversionRun run;
        run.threads = threads;
        run.outputFloor = 0;
        convertContainer(run, input, output, frontEnd);
        output.flush();
        EXPECT_LE(output.bytesWritten(), 64 * image.size() + oneItem);
        EXPECT_GT(run.itemsOverLimit, 3000u);
    }
}

// Compressed chunks are the one way a file can write far more than it holds:
// zlib gives at most about 1,000 bytes per byte, and the conversion keeps pace
// with what it writes.
TEST(Cost, HighlyCompressedChunksCostInProportionToWhatTheyWrite)
{
    const Bytes ordinary = ordinaryImage();
    const Cost base = convertTimed(ordinary, 1);
    const Bytes image = bombs();
    const Cost cost = convertTimed(image, 1);
    const double factor = (cost.seconds / static_cast<double>(cost.written)) /
                          (base.seconds / static_cast<double>(base.written));
    std::printf("highly compressed chunks: %zu bytes give %llu bytes, %.1f ms, factor per byte written %.2f\n",
                image.size(), static_cast<unsigned long long>(cost.written), cost.seconds * 1e3, factor);
    EXPECT_GT(cost.written, 500 * image.size());
    EXPECT_LT(cost.written, 1100 * image.size());
    EXPECT_LT(factor, kAllowedFactor);
}

} // namespace
