// pfcfloor: the parts of the benchmark's floor that `cat` cannot measure.
//   pfcfloor inflate FILE.pfc   inflates every compressed chunk that FILE.pfc.chunks
//                               lists and prints the seconds spent inside zlib: with
//                               one raw-deflate stream reset per chunk and finished in
//                               one call, as the conversion does ("seconds"), and, in
//                               a second pass, with a one-shot uncompress per chunk
//                               ("uncompress_seconds")
//   pfcfloor write BYTES OUT    writes BYTES bytes to OUT in 1 MiB writes and prints
//                               the seconds it took
// Each prints one JSON object on standard output.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

#include "testkit/synth.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int seekTo(std::FILE* f, std::uint64_t offset)
{
#ifdef _WIN32
    return _fseeki64(f, static_cast<long long>(offset), SEEK_SET);
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET);
#endif
}

struct InflateTotals {
    double seconds = 0;
    std::uint64_t chunks = 0, in = 0, out = 0, failed = 0;
};

// One pass over the chunks that the .chunks list names: each is read from the
// file and then inflated once by `inflateOne`, which returns how many bytes it
// made, or -1. Only the time inside inflateOne counts. Each way of inflating
// gets a pass of its own: a chunk inflated a second time right after the first
// finds zlib's tables, the branch history and the destination warm, and took
// half the time, which the conversion, inflating each chunk once, never sees.
template <class InflateOne>
bool inflatePass(const std::string& pfcPath, InflateOne inflateOne, InflateTotals& totals)
{
    std::FILE* pfc = std::fopen(pfcPath.c_str(), "rb");
    std::FILE* list = std::fopen((pfcPath + ".chunks").c_str(), "rb");
    if (pfc == nullptr || list == nullptr) {
        std::fprintf(stderr, "pfcfloor: cannot read %s or its .chunks list\n", pfcPath.c_str());
        if (pfc != nullptr)
            std::fclose(pfc);
        if (list != nullptr)
            std::fclose(list);
        return false;
    }
    // The same storage the conversion uses: a 65,000-byte destination and the
    // chunk behind its 2-byte stream head.
    std::vector<Bytef> source(65001 + 2);
    std::vector<Bytef> dest(65001);
    bool ok = true;
    kistwerk::bench::ChunkRef ref;
    while (ok && std::fread(&ref, sizeof ref, 1, list) == 1) {
        if (ref.chunkLength > 64999 || seekTo(pfc, ref.headOffset) != 0 || std::fread(source.data(), 1, 2, pfc) != 2 ||
            seekTo(pfc, ref.chunkOffset) != 0 ||
            std::fread(source.data() + 2, 1, ref.chunkLength, pfc) != ref.chunkLength) {
            std::fprintf(stderr, "pfcfloor: chunk list does not match %s\n", pfcPath.c_str());
            ok = false;
            break;
        }
        auto start = Clock::now();
        long made = inflateOne(source.data(), ref.chunkLength, dest.data());
        totals.seconds += secondsSince(start);
        if (made != static_cast<long>(ref.inflatedLength))
            ++totals.failed;
        ++totals.chunks;
        totals.in += ref.chunkLength + 2;
        totals.out += made > 0 ? static_cast<std::uint64_t>(made) : 0;
    }
    std::fclose(pfc);
    std::fclose(list);
    return ok;
}

int inflateChunks(const std::string& pfcPath)
{
    z_stream raw{};
    if (inflateInit2(&raw, -MAX_WBITS) != Z_OK) {
        std::fprintf(stderr, "pfcfloor: zlib cannot start a stream\n");
        return 1;
    }
    InflateTotals stream, oneShot;
    bool ok = inflatePass(pfcPath,
                          [&raw](Bytef* source, std::uint32_t length, Bytef* dest) -> long {
                              inflateReset(&raw);
                              raw.next_in = source + 2;
                              raw.avail_in = length;
                              raw.next_out = dest;
                              raw.avail_out = 65000;
                              if (inflate(&raw, Z_FINISH) != Z_STREAM_END)
                                  return -1;
                              return static_cast<long>(65000 - raw.avail_out);
                          },
                          stream);
    inflateEnd(&raw);
    ok = ok && inflatePass(pfcPath,
                           [](Bytef* source, std::uint32_t length, Bytef* dest) -> long {
                               uLongf destLength = 65000;
                               if (uncompress(dest, &destLength, source, length + 2) != Z_OK)
                                   return -1;
                               return static_cast<long>(destLength);
                           },
                           oneShot);
    if (!ok)
        return 1;
    const std::uint64_t failed = stream.failed + oneShot.failed;
    std::printf("{\"seconds\": %.6f, \"uncompress_seconds\": %.6f, \"chunks\": %" PRIu64 ", \"compressed_bytes\": %" PRIu64
                ", \"inflated_bytes\": %" PRIu64 ", \"failed\": %" PRIu64 "}\n",
                stream.seconds, oneShot.seconds, stream.chunks, stream.in, stream.out, failed);
    return failed == 0 ? 0 : 1;
}

int writeBytes(std::uint64_t count, const std::string& outPath)
{
    std::vector<char> block(1 << 20, 'x');
    auto start = Clock::now();
    std::FILE* out = std::fopen(outPath.c_str(), "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "pfcfloor: cannot write %s\n", outPath.c_str());
        return 1;
    }
    std::setvbuf(out, nullptr, _IONBF, 0);
    bool ok = true;
    for (std::uint64_t left = count; left > 0 && ok;) {
        std::size_t n = left < block.size() ? static_cast<std::size_t>(left) : block.size();
        ok = std::fwrite(block.data(), 1, n, out) == n;
        left -= n;
    }
    ok = std::fclose(out) == 0 && ok;
    double seconds = secondsSince(start);
    std::printf("{\"seconds\": %.6f, \"bytes\": %" PRIu64 "}\n", seconds, count);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "inflate") == 0)
        return inflateChunks(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "write") == 0)
        return writeBytes(std::strtoull(argv[2], nullptr, 10), argv[3]);
    std::fprintf(stderr, "usage: pfcfloor inflate FILE.pfc | pfcfloor write BYTES OUT\n");
    return 2;
}
