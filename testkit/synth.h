// Streams a large, realistic PFC file to disk for benchmarks and the mailbox
// golden test: a folder tree of a few thousand mails per folder, mixed bodies,
// a few damaged records; the same seed and size always give the same bytes.
#pragma once

#include <cstdint>
#include <string>

namespace kistwerk::bench {

// Where the file keeps its nodes and records. Every layout of one seed and size
// holds the same tree and the same records, so all convert to the same mailbox.
enum class SynthLayout {
    Interleaved,  // table first, each leaf's node beside its record, folders last
    GroupedEnd,   // records first in walk order, then all nodes, head and table last
    Front,        // head, table and all nodes first, then the records in walk order
    Shuffled,     // as Front, but the records in an order unrelated to the walk
    FoldersInterleaved,  // the folders' mails in the order they arrived, each with the next
                         // indexes, records first, then all nodes, head and table last
};

struct SynthOptions {
    std::int64_t targetBytes = 16 << 20;
    std::uint64_t seed = 1;
    SynthLayout layout = SynthLayout::Interleaved;
    std::string outPath;
};

// "interleaved", "grouped-end", "front", "shuffled", "folders-interleaved"; false
// for any other name.
bool parseLayout(const std::string& name, SynthLayout& layout);
const char* layoutName(SynthLayout layout);

// What was written, for the benchmark's figures.
struct SynthSummary {
    std::int64_t fileBytes = 0;
    std::int32_t entryCount = 0;
    std::uint32_t leaves = 0;         // leaves with a valid data index
    std::uint32_t convertedItems = 0; // of those, of a converted item type
    std::uint32_t expectedEntries = 0;// items whose record passes every test
    std::uint32_t chunks = 0;         // compressed chunks a converter inflates
    std::uint64_t compressedBytes = 0;
    std::uint64_t inflatedBytes = 0;
};

// Parses "16M", "1G", "1.9G", "500K" or a plain byte count; -1 when malformed.
std::int64_t parseSize(const std::string& text);

// Writes OUT, OUT.chunks (one ChunkRef per compressed chunk, in file order) and
// OUT.json (the summary). Memory use does not depend on the size.
bool writeSynth(const SynthOptions& options, SynthSummary& summary);

// Where a compressed chunk lies: its 2-byte stream head and the chunk behind it.
struct ChunkRef {
    std::uint64_t headOffset;
    std::uint64_t chunkOffset;
    std::uint32_t chunkLength;
    std::uint32_t inflatedLength;
};

} // namespace kistwerk::bench
