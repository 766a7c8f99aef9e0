// pfcgen: writes the bundled sample PFC file and synthetic PFC files.
//   pfcgen sample OUT.pfc
//   pfcgen many COUNT OUT.pfc   one chain of COUNT leaves, every tenth a mail item
//   pfcgen synth [--size 16M] [--seed 1] [--layout interleaved|grouped-end|front|shuffled] OUT.pfc
//                                   (also OUT.pfc.chunks, OUT.pfc.json)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

#include "testkit/pfc_builder.h"
#include "testkit/synth.h"

using namespace kistwerk::fixture;

namespace {

// zlib stream of `text`, split as the bracketed layout stores it: the 2-byte
// stream head, and the rest as one chunk.
void compressedChunks(const std::string& text, Bytes& head, Bytes& chunk)
{
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    Bytes stream(size);
    compress(stream.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()));
    stream.resize(size);
    head.assign(stream.begin(), stream.begin() + 2);
    chunk.assign(stream.begin() + 2, stream.end());
}

struct SampleMessage {
    std::uint16_t itemType;
    Bytes record;
};

Bytes plainMessage()
{
    MessageBuilder m;
    m.sectionCount(1)
        .field(5, "05.01.2003 09:03:07")
        .field(6, "jdoe")
        .field(7, "anna.berger@example.de")
        .field(10, "Termin am Montag")
        .endList()
        .section()
        .typeRecord(0, 0)
        .content("Hallo Anna,\r\n\r\nwie besprochen treffen wir uns am Montag um 10 Uhr.\r\n"
                 "From Berlin aus schreibe ich dir, damit diese Zeile kein neuer Brief wird.\r\n\r\nGruss\r\nJohn\r\n")
        .endList();
    return m.bytes();
}

Bytes htmlMessage()
{
    MessageBuilder m;
    m.field(6, "redaktion@example.org")
        .sectionCount(1)
        .timestamp(1041757387)
        .field(7, "jdoe@aol.com")
        .field(8, "archiv@example.org")
        .field(10, "Newsletter: Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln")
        .endList()
        .section()
        .typeRecord(0, 0)
        .content("<html><body><b>Sch&ouml;ne Gr&uuml;&szlig;e</b> aus K&ouml;ln!<br>\r\n"
                 "Preise &lt; 10 &euro; &amp; mehr&nbsp;hier.<br>"
                 "<blockquote>Zitat aus der letzten Ausgabe</blockquote>\r\n</body></html>")
        .endList();
    return m.bytes();
}

Bytes foldedMessage()
{
    MessageBuilder m;
    m.sectionCount(2)
        .field(5, "12/25/03 10:00:00")
        .field(11, "weihnachtsmann")
        .field(16, "antwort@example.net")
        .field(10, "Frohe Weihnachten")
        .endList()
        .section()
        .typeRecord(3, 0)
        .content("Fr\xC3\xB6hliche Weihnachten und ein gutes neues Jahr w\xC3\xBCnscht\n")
        .endList()
        .section()
        .typeRecord(5, 0)
        .content("Stra\xC3\x9F" "e 1, M\xC3\xBCnchen\n")
        .typeRecord(1, 0)
        .content("Anhang in einem Teil, der nicht umgewandelt wird")
        .typeRecord(20, 0)
        .content("Gru\xC3\x9F vom Nordpol\n")
        .endList();
    return m.bytes();
}

Bytes bracketedMessage()
{
    Bytes head, chunk1, chunk2, ignored;
    compressedChunks("Dieser Text war komprimiert gespeichert.\nZweite Zeile mit \xC3\xA4 und \xC3\xB6.\n", head, chunk1);
    compressedChunks("<p>Ein zweites St\xC3\xBC" "ck, ebenfalls komprimiert.</p>\n", ignored, chunk2);
    MessageBuilder m;
    m.sectionCount(4)
        .field(5, "29.02.2004 12:00:00")
        .field(6, "post@example.com")
        .field(7, "jdoe@aol.com")
        .field(9, "geheim@example.com")
        .field(10, "Komprimierte Nachricht")
        .endList()
        .section()
        .typeRecord(0, 0)
        .content("Einleitung vor den komprimierten Teilen.\r\n")
        .endList()
        .section()
        .typeRecord(0, 0)
        .content("[bracketed]")
        .endList()
        .section()
        .typeRecord(0, 0)
        .content("wird verworfen")
        .endList()
        .section()
        .typeRecord(0, 1)
        .content(head)
        .content(chunk1)
        .content(chunk2)
        .endList();
    return m.bytes();
}

Bytes badHeaderMessage()
{
    MessageBuilder m;
    m.sectionCount(1).field(10, "nie zu sehen").endList().section().typeRecord(0, 0).content("x").endList();
    Bytes b = m.bytes();
    b[8] = 0x42;  // record header test fails
    return b;
}

int writeSample(const std::string& path)
{
    // Index layout: 1 "Eingang" folder -> 2 "Gesendet" folder -> 3 leaf (type 9,
    // not converted); the folders' children are leaves; records from 20 on.
    PfcBuilder b(40);
    b.node(1, 1, 0, 2, 4);
    b.node(2, 1, 0, 3, 8);
    b.node(3, 9, 25, 0, 0);
    b.node(4, 7, 20, 5, 0);
    b.node(5, 8, 21, 6, 0);
    b.node(6, 12, 22, 7, 0);
    b.node(7, 14, 24, 0, 0);
    b.node(8, 20, 23, 0, 0);
    b.record(20, plainMessage());
    b.record(21, htmlMessage());
    b.record(22, foldedMessage());
    b.record(23, bracketedMessage());
    b.record(24, badHeaderMessage());
    b.record(25, plainMessage());
    if (!b.writeTo(path)) {
        std::fprintf(stderr, "pfcgen: cannot write %s\n", path.c_str());
        return 1;
    }
    return 0;
}

// A run long enough to watch: the other leaves are of a type that is counted
// but not converted, which keeps the mailbox file small.
int writeMany(long count, const std::string& path)
{
    if (count < 1 || count > 10000000) {
        std::fprintf(stderr, "pfcgen: COUNT must be 1 to 10000000\n");
        return 2;
    }
    const auto leaves = static_cast<std::int32_t>(count);
    const std::int32_t mail = leaves + 1;
    PfcBuilder b(leaves + 1);
    for (std::int32_t k = 1; k <= leaves; ++k)
        b.node(k, k % 10 == 1 ? 7 : 9, mail, k < leaves ? k + 1 : 0, 0);
    b.record(mail, plainMessage());
    if (!b.writeTo(path)) {
        std::fprintf(stderr, "pfcgen: cannot write %s\n", path.c_str());
        return 1;
    }
    return 0;
}

constexpr const char* kLayouts = "interleaved|grouped-end|front|shuffled";

} // namespace

int synth(int argc, char** argv)
{
    kistwerk::bench::SynthOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--size" || arg == "--seed") && i + 1 < argc) {
            std::string value = argv[++i];
            if (arg == "--size") {
                options.targetBytes = kistwerk::bench::parseSize(value);
            } else {
                char* end = nullptr;
                options.seed = std::strtoull(value.c_str(), &end, 10);
                if (*end != '\0')
                    options.targetBytes = -1;
            }
        } else if (arg == "--layout" && i + 1 < argc) {
            if (!kistwerk::bench::parseLayout(argv[++i], options.layout))
                options.targetBytes = -1;
        } else if (options.outPath.empty() && !arg.empty() && arg[0] != '-') {
            options.outPath = arg;
        } else {
            options.outPath.clear();
            break;
        }
    }
    if (options.outPath.empty() || options.targetBytes < 0) {
        std::fprintf(stderr, "usage: pfcgen synth [--size BYTES[K|M|G]] [--seed N] [--layout %s] OUT.pfc\n", kLayouts);
        return 2;
    }
    kistwerk::bench::SynthSummary summary;
    if (!kistwerk::bench::writeSynth(options, summary))
        return 1;
    std::printf("%s: %lld bytes, %u leaves, %u converted items, %u compressed chunks\n", options.outPath.c_str(),
                static_cast<long long>(summary.fileBytes), summary.leaves, summary.convertedItems, summary.chunks);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "sample") == 0)
        return writeSample(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "many") == 0)
        return writeMany(std::strtol(argv[2], nullptr, 10), argv[3]);
    if (argc >= 2 && std::strcmp(argv[1], "synth") == 0)
        return synth(argc, argv);
    std::fprintf(stderr, "usage: pfcgen sample OUT.pfc | pfcgen many COUNT OUT.pfc\n"
                         "       pfcgen synth [--size BYTES[K|M|G]] [--seed N] [--layout %s] OUT.pfc\n",
                 kLayouts);
    return 2;
}
