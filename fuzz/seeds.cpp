// fuzz_seeds: writes small starting inputs for the fuzz targets, built with the
// tests' PFC image builder, so each target begins from inputs that reach deep.
//   fuzz_seeds DIR   writes DIR/conversion, DIR/filter, DIR/fold and DIR/date
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "testkit/pfc_builder.h"

using namespace kistwerk::fixture;
using namespace std::string_view_literals;

namespace {

struct Seed {
    const char* name;
    Bytes bytes;
};

Bytes zlibStream(const std::string& text)
{
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    Bytes stream(size);
    compress(stream.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()));
    stream.resize(size);
    return stream;
}

// One leaf of `itemType` whose record is `record`: the smallest image that
// reaches the message conversion.
Bytes oneItem(const Bytes& record, std::uint16_t itemType = 7)
{
    PfcBuilder b(2);
    b.node(1, itemType, 2, 0, 0);
    b.record(2, record);
    return b.bytes();
}

Bytes plainRecord()
{
    MessageBuilder m;
    m.sectionCount(1)
        .field(5, "05.01.2003 09:03:07")
        .field(6, "jdoe")
        .field(7, "anna@example.de")
        .field(10, "Gr\xC3\xBC\xC3\x9F" "e")
        .endList()
        .section()
        .typeRecord(0, 0)
        .content("Hallo,\r\nFrom: hier\nzweite Zeile\r<br>\r\n&uuml;&lt;b&gt;\x7F" "Ende<binary>x")
        .endList();
    return m.bytes();
}

Bytes bracketedRecord()
{
    Bytes stream = zlibStream("Komprimiert: Gr\xC3\xBC\xC3\x9F" "e\n<b>fett</b> &auml;\n");
    Bytes head(stream.begin(), stream.begin() + 2);
    Bytes chunk(stream.begin() + 2, stream.end());
    MessageBuilder m;
    m.sectionCount(4)
        .timestamp(1041757387)
        .field(11, "post")
        .field(8, "cc@example.com")
        .field(9, "bcc@example.com")
        .field(16, "antwort@example.com")
        .endList()
        .section()
        .typeRecord(0, 0)
        .content("Vorspann\r\n")
        .endList()
        .section()
        .content("[bracketed]")
        .endList()
        .section()
        .content("verworfen")
        .endList()
        .section()
        .typeRecord(0, 1)
        .content(head)
        .content(chunk)
        .content(chunk)
        .endList();
    return m.bytes();
}

Bytes foldedRecord()
{
    MessageBuilder m;
    m.sectionCount(2)
        .field(5, "12/25/03 10:00:00")
        .rawField(10, 1, 0, bytesOf("H"))
        .rawField(3, 4, 0, bytesOf("abcd"))
        .endList()
        .section()
        .typeRecord(3, 0)
        .content("Fr\xC3\xB6hlich \xE2\x82\xAC \xF0\x9F\x98\x80" "ab\n")
        .endList()
        .section()
        .typeRecord(20, 0)
        .content("<blockquote>Zitat</blockquote>\n<!doctype html><html>From: x")
        .typeRecord(1, 0)
        .content("verworfen")
        .endList();
    return m.bytes();
}

// Folders, a cycle back to the first node and an entry count beyond the table.
Bytes treeImage()
{
    PfcBuilder b(10);
    b.node(1, 1, 0, 2, 3);
    b.node(2, 1, 0, 0, 5);
    b.node(3, 8, 7, 4, 0);
    b.node(4, 12, 8, 1, 0);
    b.node(5, 14, 7, 6, 0);
    b.node(6, 9, 8, 0, 0);
    b.record(7, plainRecord());
    b.record(8, foldedRecord());
    b.setEntryCount(12);
    return b.bytes();
}

// A record that ends inside its body, and one whose record header is wrong.
Bytes damagedImage()
{
    PfcBuilder b(4);
    b.node(1, 15, 3, 2, 0);
    b.node(2, 20, 4, 0, 0);
    Bytes cut = plainRecord();
    cut.resize(cut.size() - 20);
    b.record(3, cut);
    Bytes wrong = bracketedRecord();
    wrong[8] = 0x42;
    b.record(4, wrong);
    return b.bytes();
}

std::vector<Seed> conversionSeeds()
{
    return {
        {"plain.pfc", oneItem(plainRecord())},
        {"bracketed.pfc", oneItem(bracketedRecord(), 8)},
        {"folded.pfc", oneItem(foldedRecord(), 20)},
        {"tree.pfc", treeImage()},
        {"damaged.pfc", damagedImage()},
    };
}

std::vector<Seed> filterSeeds()
{
    return {
        {"html", bytesOf("<!DOCTYPE html>\n<html><body><b>Sch&ouml;n</b> &Uuml;&szlig;&nbsp;&gt;&LT;<br>\r\n"
                         "<blockquote>Zitat</blockquote>\nFrom: a\x7F" "from:b\r<BR>\rEnde</body></html>")},
        {"lines", bytesOf("\nerste\n\nzweite\r\ndritte\rFrom: x\n\x00" "From: y\n<i>\x7F</i>From:z"sv)},
        {"binary", bytesOf("Text <a href=\"&lt;x&gt;\">Link</a> vor <BINARY>danach nichts")},
    };
}

std::vector<Seed> foldSeeds()
{
    return {
        {"words", bytesOf("Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln, \xC2\xA0 \xE2\x82\xAC \xE2\x80\x98" "a\xE2\x80\x99")},
        {"mixed", bytesOf("\xF0\x9F\x98\x80" "ab \xE4" "bc \xC4" "b \xBF\xC0\xDF\xE0 ascii ascii ascii ascii \xC3")},
    };
}

std::vector<Seed> dateSeeds()
{
    return {
        {"german", bytesOf("05.01.2003 09:03:07")},
        {"us", bytesOf("12/25/03 10:00:00")},
        {"short-us", bytesOf("1/5/2003 9:3:7")},
        {"spaces", bytesOf(" 29. 2.2004\t23:59:59")},
        {"late", bytesOf("19.01.2038 03:14:08")},
        {"signs", bytesOf("-1.+13.99999999999999999999 25:61:61")},
    };
}

bool writeAll(const std::filesystem::path& dir, const std::vector<Seed>& seeds)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    for (const Seed& seed : seeds) {
        std::string path = (dir / seed.name).string();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr)
            return false;
        bool ok = std::fwrite(seed.bytes.data(), 1, seed.bytes.size(), f) == seed.bytes.size();
        ok = std::fclose(f) == 0 && ok;
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    std::filesystem::path dir = argv[1];
    if (!writeAll(dir / "conversion", conversionSeeds()) || !writeAll(dir / "filter", filterSeeds()) ||
        !writeAll(dir / "fold", foldSeeds()) || !writeAll(dir / "date", dateSeeds())) {
        std::fprintf(stderr, "fuzz_seeds: cannot write below %s\n", argv[1]);
        return 1;
    }
    return 0;
}
