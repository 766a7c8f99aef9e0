// Streaming generator of large PFC files; see synth.h.
//
// Interleaved layout. The head and a node table sized for the largest possible
// number of entries come first; then, folder by folder in visiting order, each
// leaf's 134-byte PfcNode followed by its message record; the folder nodes go
// last, once their first children are known. Indexes are handed out in file
// order, so the table is filled front to back through a small window that is
// written back whenever the next index leaves it. Table slots past entryCount
// stay zero.
//
// The other layouts draw the same leaves in the same order (the mails are
// budgeted by where the interleaved layout would put them), keep the records in
// a scratch file beside the output and the nodes in memory, and put the pieces
// in place once all are known.
#include "testkit/synth.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "testkit/pfc_builder.h"

namespace kistwerk::bench {

namespace {

using fixture::Bytes;
using fixture::MessageBuilder;

// xoshiro256** seeded through splitmix64: fast, and the same on every platform.
class Rng {
public:
    explicit Rng(std::uint64_t seed)
    {
        for (auto& s : state_) {
            seed += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            s = z ^ (z >> 31);
        }
    }

    std::uint64_t next()
    {
        std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform in [lo, hi].
    int range(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<std::uint64_t>(hi - lo + 1)); }
    bool chance(int percent) { return range(0, 99) < percent; }
    template <class T, std::size_t N>
    const T& pick(const T (&items)[N]) { return items[next() % N]; }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t state_[4];
};

// Words as a German mail archive of the time holds them. Umlauts are written
// with a marker (~ and a letter) that the text writers turn into Latin-1,
// UTF-8 or an HTML entity.
constexpr const char* kWords[] = {
    "und", "die", "der", "das", "ist", "nicht", "wir", "ich", "Sie", "mit", "auf", "f~u" "r",
    "Termin", "Montag", "Dienstag", "Freitag", "Woche", "Besprechung", "Unterlagen", "Rechnung",
    "Angebot", "Bestellung", "Lieferung", "Versand", "Gr~u~s" "e", "Stra~s" "e",
    "M~u" "nchen", "K~o" "ln", "D~u" "sseldorf", "N~u" "rnberg", "sch~o" "n",
    "gr~o~s" "er", "~U" "bersicht", "~A" "nderung", "Vorschl~a" "ge", "bitte",
    "danke", "gerne", "heute", "morgen", "gestern", "noch", "schon", "wieder", "leider",
    "nat~u" "rlich", "vielleicht", "Anhang", "Datei", "Computer", "Modem", "Internet",
    "Passwort", "Verbindung", "Telefon", "Adresse", "Geburtstag", "Urlaub", "Ferien",
    "Verein", "Mitglieder", "Versammlung", "Protokoll", "Kasse", "Beitrag", "Vorstand",
    "M~a" "rz", "Mai", "Juni", "Oktober", "Dezember", "Weihnachten", "Ostern",
    "~O" "ffnungszeiten", "B~u" "ro", "Kollegen", "Chef", "Familie", "Kinder", "Schule",
    "das", "ein", "eine", "einen", "dem", "den", "im", "am", "zum", "zur", "von", "bis",
    "auch", "aber", "oder", "wenn", "dass", "weil", "sehr", "viel", "mehr", "alle", "keine",
};

constexpr const char* kNames[] = {
    "anna.berger", "jdoe", "kmueller", "Hans Schmidt", "petra.wagner", "verein-vorstand",
    "tom.becker", "SabineK", "redaktion", "info", "service", "m.hoffmann", "OmaErna",
    "fischer.j", "webmaster", "schulz.familie", "lisa1987", "buchhaltung",
};

constexpr const char* kDomains[] = {
    "example.de", "example.com", "example.org", "post.example.net", "mail.example.at",
};

constexpr const char* kSubjects[] = {
    "Termin am Montag", "AW: Termin am Montag", "WG: Rechnung Nr. 4711", "Gr~u~s" "e aus K~o" "ln",
    "Einladung zur Versammlung", "Protokoll der Sitzung", "AW: AW: Urlaub", "Newsletter Mai",
    "Fotos vom Geburtstag", "Ihre Bestellung", "~A" "nderung der ~O" "ffnungszeiten",
    "Frohe Weihnachten", "Frage zum Modem", "Neues Passwort", "Kassenbericht",
};

enum class TextForm { Latin1, Utf8, Html };

// Appends one word, its umlaut markers written in `form`.
void putWord(std::string& out, const char* word, TextForm form)
{
    for (const char* p = word; *p != '\0'; ++p) {
        if (*p != '~' || p[1] == '\0') {
            out.push_back(*p);
            continue;
        }
        char v = *++p;
        // Latin-1 code of the umlaut or sharp s behind the marker.
        unsigned char code = 0;
        const char* entity = "";
        switch (v) {
        case 'a': code = 0xE4; entity = "&auml;"; break;
        case 'o': code = 0xF6; entity = "&ouml;"; break;
        case 'u': code = 0xFC; entity = "&uuml;"; break;
        case 'A': code = 0xC4; entity = "&Auml;"; break;
        case 'O': code = 0xD6; entity = "&Ouml;"; break;
        case 'U': code = 0xDC; entity = "&Uuml;"; break;
        default: code = 0xDF; entity = "&szlig;"; break;
        }
        if (form == TextForm::Latin1) {
            out.push_back(static_cast<char>(code));
        } else if (form == TextForm::Utf8) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out += entity;
        }
    }
}

// Appends a sentence of words ending in a full stop.
void putSentence(Rng& rng, std::string& out, TextForm form)
{
    int words = rng.range(4, 14);
    for (int i = 0; i < words; ++i) {
        if (i > 0)
            out.push_back(' ');
        putWord(out, rng.pick(kWords), form);
    }
    out += rng.chance(15) ? "?" : ".";
}

// Plain text: paragraphs of lines, CR LF or bare LF line ends, quoted lines,
// now and then a line that starts with "From:".
void plainText(Rng& rng, std::string& out, std::size_t size, TextForm form)
{
    const char* eol = rng.chance(70) ? "\r\n" : "\n";
    out += "Hallo,";
    out += eol;
    out += eol;
    while (out.size() < size) {
        bool quoted = rng.chance(12);
        std::size_t lineStart = out.size();
        if (quoted)
            out += "> ";
        if (rng.chance(2))
            out += "From: ";
        while (out.size() - lineStart < 64)
            putSentence(rng, out, form), out.push_back(' ');
        out.pop_back();
        out += eol;
        if (rng.chance(20))
            out += eol;
    }
    out += eol;
    out += "Viele Gr";
    putWord(out, "~u~s" "e", form);
    out += eol;
}

// HTML as mail programs of the time wrote it: a doctype, font tags, breaks,
// entities, links and quotations.
void htmlText(Rng& rng, std::string& out, std::size_t size)
{
    if (rng.chance(50))
        out += "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">\r\n";
    out += "<html><head><title>Nachricht</title></head>\r\n<body bgcolor=\"#ffffff\">"
           "<font face=\"Arial\" size=\"2\">";
    while (out.size() < size) {
        int kind = rng.range(0, 9);
        if (kind == 0) {
            out += "<blockquote type=\"cite\">";
            putSentence(rng, out, TextForm::Html);
            out += "<br>\r\n";
            putSentence(rng, out, TextForm::Html);
            out += "</blockquote>\r\n";
        } else if (kind == 1) {
            out += "<a href=\"http://www.example.de/seite?id=42&amp;x=1\">hier</a> &gt;&gt; mehr&nbsp;Infos &lt;klick&gt;<br>";
        } else {
            out += "<p>";
            if (rng.chance(30))
                out += "<b>";
            putSentence(rng, out, TextForm::Html);
            out.push_back(' ');
            putSentence(rng, out, TextForm::Html);
            if (rng.chance(30))
                out += "</b>";
            out += rng.chance(50) ? "<br>\r\n" : "</p>\n";
        }
    }
    out += "</font></body></html>\r\n";
}

Bytes asBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

int randomYear(Rng& rng) { return rng.range(1996, 2008); }

// Date texts in the forms stored records carry; every one parses to a moment
// between 1996 and 2008, so no entry depends on the clock.
std::string dateText(Rng& rng)
{
    char text[64];
    int day = rng.range(1, 28), month = rng.range(1, 12), year = randomYear(rng);
    int h = rng.range(0, 23), m = rng.range(0, 59), s = rng.range(0, 59);
    switch (rng.range(0, 3)) {
    case 0:
        std::snprintf(text, sizeof text, "%d/%d/%d %02d:%02d:%02d", month, day, year, h, m, s);
        break;
    case 1:
        std::snprintf(text, sizeof text, "%02d/%02d/%02d %02d:%02d:%02d", month, day, year % 100, h, m, s);
        break;
    default:
        std::snprintf(text, sizeof text, "%02d.%02d.%d %02d:%02d:%02d", day, month, year, h, m, s);
        break;
    }
    return text;
}

std::string address(Rng& rng, bool bare)
{
    std::string a = rng.pick(kNames);
    if (!bare) {
        a.push_back('@');
        a += rng.pick(kDomains);
    }
    return a;
}

std::string subjectText(Rng& rng, TextForm form)
{
    std::string s;
    putWord(s, rng.pick(kSubjects), form);
    return s;
}

enum class LeafKind {
    Mail,              // a good message record of a converted type
    NotConverted,      // item type 9: a record that is never read
    NoData,            // a leaf without a valid data index
    BadHeader,         // record header test fails
    OverlongField,     // over-long record in the message field list
    NoSections,        // no tag-2 record
    TooManySections,   // sectionCount 300
    OverlongSection,   // over-long record in a body section: a half-written entry
};

LeafKind drawLeafKind(Rng& rng)
{
    int r = rng.range(0, 999);
    if (r < 20) return LeafKind::NotConverted;
    if (r < 25) return LeafKind::NoData;
    if (r < 28) return LeafKind::BadHeader;
    if (r < 31) return LeafKind::OverlongField;
    if (r < 34) return LeafKind::NoSections;
    if (r < 36) return LeafKind::TooManySections;
    if (r < 38) return LeafKind::OverlongSection;
    return LeafKind::Mail;
}

constexpr std::uint16_t kConvertedTypes[] = {7, 7, 7, 8, 8, 12, 14, 15, 20};

// The stream head every chunk of one message shares, and one chunk.
struct Chunk {
    Bytes data;
    std::uint32_t inflated;
};

// Compresses `text` in pieces, each a complete zlib stream of its own behind the
// shared 2-byte head, the way the bracketed layout stores long bodies.
void compressPieces(const std::string& text, Bytes& head, std::vector<Chunk>& chunks, Rng& rng)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t piece = std::min<std::size_t>(text.size() - at, static_cast<std::size_t>(rng.range(2000, 12000)));
        uLongf size = compressBound(static_cast<uLong>(piece));
        Bytes stream(size);
        compress2(stream.data(), &size, reinterpret_cast<const Bytef*>(text.data() + at),
                  static_cast<uLong>(piece), Z_DEFAULT_COMPRESSION);
        head.assign(stream.begin(), stream.begin() + 2);
        chunks.push_back({Bytes(stream.begin() + 2, stream.begin() + static_cast<std::ptrdiff_t>(size)),
                          static_cast<std::uint32_t>(piece)});
        at += piece;
    }
}

// Body sizes: mostly a few KB, now and then a long one.
std::size_t bodySize(Rng& rng)
{
    int r = rng.range(0, 99);
    if (r < 70)
        return static_cast<std::size_t>(rng.range(600, 3500));
    if (r < 95)
        return static_cast<std::size_t>(rng.range(3500, 9000));
    return static_cast<std::size_t>(rng.range(9000, 40000));
}

// Where a chunk will land once the record is written at some offset.
struct PendingChunk {
    std::size_t headAt;
    std::size_t chunkAt;
    std::uint32_t length;
    std::uint32_t inflated;
};

// One message record and the chunk positions inside it.
struct Record {
    Bytes bytes;
    std::vector<PendingChunk> chunks;
};

void messageFields(Rng& rng, MessageBuilder& m, std::uint16_t sections, bool utf8Subject)
{
    // Real records carry fields the converter ignores; a few stand in for them.
    Bytes flags{1, 0, 0, 0};
    m.rawField(3, 4, 0, flags);
    if (rng.chance(20)) {
        m.timestamp(static_cast<std::int32_t>(820454400 + rng.next() % 410000000));
    } else {
        m.field(5, dateText(rng));
    }
    m.sectionCount(sections);
    bool bare = rng.chance(40);
    if (rng.chance(10))
        m.field(11, address(rng, bare));
    m.field(6, address(rng, bare));
    m.field(7, address(rng, false));
    if (rng.chance(15))
        m.field(8, address(rng, false) + ", " + address(rng, false));
    if (rng.chance(3))
        m.field(9, address(rng, false));
    if (rng.chance(8))
        m.field(16, address(rng, false));
    m.field(10, subjectText(rng, utf8Subject ? TextForm::Utf8 : TextForm::Latin1));
    m.field(20, std::string_view("\x00~\x02\x03\x04\x05\x06\x07", 8));
    m.endList();
}

void plainMail(Rng& rng, Record& rec, std::string& text)
{
    MessageBuilder m;
    messageFields(rng, m, 1, false);
    text.clear();
    plainText(rng, text, bodySize(rng), TextForm::Latin1);
    m.section().typeRecord(0, 0).content(asBytes(text)).endList();
    rec.bytes = m.bytes();
}

void htmlMail(Rng& rng, Record& rec, std::string& text)
{
    MessageBuilder m;
    bool withPlain = rng.chance(30);
    messageFields(rng, m, withPlain ? 2 : 1, rng.chance(30));
    text.clear();
    htmlText(rng, text, bodySize(rng));
    m.section().typeRecord(0, 0).content(asBytes(text)).endList();
    if (withPlain) {
        // A second part of a type that is dropped.
        m.section().typeRecord(1, 0).content(std::string_view("text/plain alternative")).endList();
    }
    rec.bytes = m.bytes();
}

void foldedMail(Rng& rng, Record& rec, std::string& text)
{
    constexpr std::uint8_t kFoldedTypes[] = {3, 5, 16, 20};
    int parts = rng.range(1, 3);
    MessageBuilder m;
    messageFields(rng, m, static_cast<std::uint16_t>(parts), true);
    for (int i = 0; i < parts; ++i) {
        text.clear();
        plainText(rng, text, bodySize(rng) / static_cast<std::size_t>(parts), TextForm::Utf8);
        m.section().typeRecord(rng.pick(kFoldedTypes), 0).content(asBytes(text)).endList();
    }
    rec.bytes = m.bytes();
}

void bracketedMail(Rng& rng, Record& rec, std::string& text)
{
    Bytes head;
    std::vector<Chunk> chunks;
    text.clear();
    if (rng.chance(50))
        plainText(rng, text, bodySize(rng) * 2, TextForm::Utf8);
    else
        htmlText(rng, text, bodySize(rng) * 2);
    compressPieces(text, head, chunks, rng);

    MessageBuilder m;
    messageFields(rng, m, 4, rng.chance(50));
    m.section().typeRecord(0, 0).content(std::string_view("Diese Nachricht enth\xE4lt komprimierte Teile.\r\n")).endList();
    m.section().typeRecord(0, 0).content(std::string_view("[mime-1.0 compressed]")).endList();
    m.section().typeRecord(0, 0).content(std::string_view("Content-Type: text/plain; charset=utf-8")).endList();
    m.section().typeRecord(0, 1);
    std::size_t headAt = m.bytes().size() + 7;  // behind tag, size class and length
    m.content(head);
    for (const Chunk& c : chunks) {
        std::size_t at = m.bytes().size() + 7;
        m.content(c.data);
        rec.chunks.push_back({headAt, at, static_cast<std::uint32_t>(c.data.size()), c.inflated});
    }
    m.endList();
    rec.bytes = m.bytes();
}

void damagedRecord(Rng& rng, LeafKind kind, Record& rec, std::string& text)
{
    MessageBuilder m;
    rec.chunks.clear();
    switch (kind) {
    case LeafKind::BadHeader:
        plainMail(rng, rec, text);
        rec.bytes[1] = 0x54;
        return;
    case LeafKind::OverlongField:
        m.sectionCount(1).field(6, address(rng, false));
        m.rawField(10, 7, 70000, asBytes("Betreff, dessen L\xE4nge nicht stimmt"));
        break;
    case LeafKind::NoSections:
        m.field(5, dateText(rng)).field(6, address(rng, true)).field(10, subjectText(rng, TextForm::Latin1)).endList();
        m.section().typeRecord(0, 0).content(std::string_view("nie zu sehen")).endList();
        break;
    case LeafKind::TooManySections:
        messageFields(rng, m, 300, false);
        m.section().typeRecord(0, 0).content(std::string_view("nie zu sehen")).endList();
        break;
    default:  // OverlongSection
        messageFields(rng, m, 2, false);
        text.clear();
        plainText(rng, text, 800, TextForm::Latin1);
        m.section().typeRecord(0, 0).content(asBytes(text)).endList();
        m.section().typeRecord(0, 0).rawField(13, 7, 0x80000010u, asBytes("abgeschnitten"));
        break;
    }
    rec.bytes = m.bytes();
}

void makeMail(Rng& rng, Record& rec, std::string& text)
{
    rec.chunks.clear();
    int r = rng.range(0, 99);
    if (r < 40)
        plainMail(rng, rec, text);
    else if (r < 70)
        htmlMail(rng, rec, text);
    else if (r < 85)
        foldedMail(rng, rec, text);
    else
        bracketedMail(rng, rec, text);
}

// The folder tree. Folders own fixed node indexes 1..kFolderCount; "holds" is the
// share of the mails in per mille, written in this order, which is also the
// order the walk visits them.
struct Folder {
    const char* name;
    std::int32_t next;   // sibling folder, 0 at a chain's end
    std::int32_t child;  // first subfolder, 0 when none
    int holds;
};

constexpr Folder kFolders[] = {
    {"", 0, 0, 0},                 // index 0 is never used
    {"Eingang", 5, 2, 250},        // 1
    {"Familie", 3, 0, 120},        // 2
    {"Arbeit", 4, 0, 160},         // 3
    {"Vereine", 0, 0, 60},         // 4: the Eingang mails follow it
    {"Gesendet", 6, 0, 150},       // 5
    {"Archiv", 12, 7, 0},          // 6
    {"1999", 8, 0, 40},            // 7
    {"2000", 9, 0, 50},            // 8
    {"2001", 10, 0, 50},           // 9
    {"2002", 11, 0, 50},           // 10
    {"2003", 0, 0, 50},            // 11
    {"Entw\xFC" "rfe", 13, 0, 20}, // 12
    {"Papierkorb", 0, 0, 0},       // 13: empty
};
constexpr std::int32_t kFolderCount = 13;
constexpr std::int32_t kFillOrder[] = {2, 3, 4, 1, 5, 7, 8, 9, 10, 11, 12};

// 64-bit positioning on both C libraries.
int seekTo(std::FILE* f, std::int64_t offset)
{
#ifdef _WIN32
    return _fseeki64(f, offset, SEEK_SET);
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET);
#endif
}

class SynthWriter {
public:
    SynthWriter(std::FILE* out, std::FILE* chunkList, std::int32_t capacity)
        : out_(out), chunkList_(chunkList), capacity_(capacity)
    {
    }

    bool writeHead()
    {
        Bytes head(16, 0);
        const char tag[] = "PFCSYNTH";
        std::memcpy(head.data(), tag, 8);
        fixture::putU32(head, 20);                       // headerOffset
        head.insert(head.end(), {'A', 'O', 'L', 'P', 'F', 'C', 0, 0});
        fixture::putU32(head, 0);                        // entryCount, set at the end
        fixture::putU32(head, 0);
        put(head.data(), head.size());
        Bytes zeros(1 << 16, 0);
        std::int64_t left = 4 * std::int64_t{capacity_};
        while (left > 0) {
            std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, 1 << 16));
            put(zeros.data(), n);
            left -= static_cast<std::int64_t>(n);
        }
        return ok_;
    }

    std::int64_t position() const { return pos_; }
    std::int32_t nextIndex() const { return nextIndex_; }

    // Takes the next free index for bytes about to be written at position().
    std::int32_t claim()
    {
        std::int32_t k = nextIndex_++;
        setEntry(k, static_cast<std::int32_t>(pos_));
        return k;
    }

    void setEntry(std::int32_t k, std::int32_t offset)
    {
        if (k < windowFirst_ || k >= windowFirst_ + kWindow) {
            flushWindow();
            windowFirst_ = k;
            std::memset(window_, 0, sizeof window_);
            windowUsed_ = 0;
        }
        window_[k - windowFirst_] = static_cast<std::uint32_t>(offset);
        windowUsed_ = std::max(windowUsed_, k - windowFirst_ + 1);
    }

    void beginFolder(std::int32_t) {}

    void node(std::uint16_t itemType, std::int32_t dataIndex, std::int32_t next, std::int32_t child)
    {
        Bytes n = fixture::pfcNode(itemType, dataIndex, next, child);
        put(n.data(), n.size());
    }

    void record(const Record& rec)
    {
        std::int64_t base = pos_;
        put(rec.bytes.data(), rec.bytes.size());
        for (const PendingChunk& c : rec.chunks) {
            ChunkRef ref{static_cast<std::uint64_t>(base) + c.headAt, static_cast<std::uint64_t>(base) + c.chunkAt,
                         c.length, c.inflated};
            if (std::fwrite(&ref, sizeof ref, 1, chunkList_) != 1)
                ok_ = false;
        }
    }

    // Writes the last table window and the entry count.
    bool finish()
    {
        flushWindow();
        Bytes count;
        fixture::putU32(count, static_cast<std::uint32_t>(nextIndex_ - 1));
        ok_ = ok_ && seekTo(out_, 28) == 0 && std::fwrite(count.data(), 1, 4, out_) == 4;
        return ok_;
    }

private:
    static constexpr std::int32_t kWindow = 4096;

    void put(const void* data, std::size_t count)
    {
        if (std::fwrite(data, 1, count, out_) != count)
            ok_ = false;
        pos_ += static_cast<std::int64_t>(count);
    }

    void flushWindow()
    {
        if (windowUsed_ == 0)
            return;
        std::uint8_t bytes[kWindow * 4];
        for (std::int32_t i = 0; i < windowUsed_; ++i)
            for (int b = 0; b < 4; ++b)
                bytes[4 * i + b] = static_cast<std::uint8_t>(window_[i] >> (8 * b));
        std::int64_t at = 32 + 4 * std::int64_t{windowFirst_};
        ok_ = ok_ && seekTo(out_, at) == 0 &&
              std::fwrite(bytes, 4, static_cast<std::size_t>(windowUsed_), out_) == static_cast<std::size_t>(windowUsed_) &&
              seekTo(out_, pos_) == 0;
        windowUsed_ = 0;
    }

    std::FILE* out_;
    std::FILE* chunkList_;
    std::int32_t capacity_;
    std::int64_t pos_ = 0;
    std::int32_t nextIndex_ = kFolderCount + 1;
    std::uint32_t window_[kWindow] = {};
    std::int32_t windowFirst_ = 1;
    std::int32_t windowUsed_ = 0;
    bool ok_ = true;
};

// Table entries planned per byte of the target: a leaf takes two entries and
// about 4 KB on average, so this leaves ample room; should the draw ever come
// out smaller, the generator stops early rather than overrun the table.
constexpr std::int64_t kBytesPerEntry = 1000;

// Raised whenever a change makes the same seed and size give other bytes, so the
// benchmark knows its cached files are stale.
constexpr int kGeneratorVersion = 2;
// A folder takes no further mail once less than this remains of its share.
constexpr std::int64_t kTypicalLeafBytes = 4000;

// The head every other layout begins with: a tag, then the pointer to the
// PfcHeader, as the interleaved layout writes it.
constexpr std::int64_t kPrefixSize = 20;
constexpr std::int64_t kHeaderSize = 16;
constexpr std::int64_t kNodeSize = 134;

struct NodeFields {
    std::uint16_t itemType = 0;
    std::int32_t dataIndex = 0;
    std::int32_t next = 0;
    std::int32_t child = 0;
    bool present = false;
};

// A record held in the scratch file; its chunks are the writer's list from
// `firstChunk` on.
struct KeptRecord {
    std::int32_t index;
    std::int64_t scratchAt;
    std::uint32_t size;
    std::uint32_t firstChunk;
    std::uint32_t chunkCount;
};

// Takes the leaves as SynthWriter would write them, and writes them at the end
// in one of the other layouts: nodes in index order, records in walk order or
// shuffled.
class LayoutWriter {
public:
    LayoutWriter(std::FILE* out, std::FILE* chunkList, std::FILE* scratch, std::int32_t capacity,
                 const SynthOptions& options)
        : out_(out), chunkList_(chunkList), scratch_(scratch), layout_(options.layout),
          shuffle_(options.seed ^ 0x5A5A5A5A5A5A5A5Aull),
          pos_(kPrefixSize + kHeaderSize + 4 * std::int64_t{capacity})
    {
    }

    // Where the interleaved layout would be: the mails are budgeted by it, so
    // every layout draws the same ones.
    std::int64_t position() const { return pos_; }
    std::int32_t nextIndex() const { return nextIndex_; }

    std::int32_t claim()
    {
        pending_ = nextIndex_++;
        return pending_;
    }

    void setEntry(std::int32_t k, std::int32_t) { pending_ = k; }

    // The leaves that follow belong to folder f (folder nodes themselves to none).
    void beginFolder(std::int32_t f) { folder_ = f; }

    void node(std::uint16_t itemType, std::int32_t dataIndex, std::int32_t next, std::int32_t child)
    {
        if (nodes_.size() <= static_cast<std::size_t>(pending_))
            nodes_.resize(static_cast<std::size_t>(pending_) + 1);
        nodes_[static_cast<std::size_t>(pending_)] = NodeFields{itemType, dataIndex, next, child, true};
        if (pending_ > kFolderCount)
            leaves_.push_back(LeafPlace{pending_, folder_});
        ++nodeCount_;
        pos_ += kNodeSize;
    }

    void record(const Record& rec)
    {
        records_.push_back(KeptRecord{pending_, scratchBytes_, static_cast<std::uint32_t>(rec.bytes.size()),
                                      static_cast<std::uint32_t>(chunks_.size()),
                                      static_cast<std::uint32_t>(rec.chunks.size())});
        chunks_.insert(chunks_.end(), rec.chunks.begin(), rec.chunks.end());
        if (std::fwrite(rec.bytes.data(), 1, rec.bytes.size(), scratch_) != rec.bytes.size())
            ok_ = false;
        scratchBytes_ += static_cast<std::int64_t>(rec.bytes.size());
        pos_ += static_cast<std::int64_t>(rec.bytes.size());
    }

    // Places everything, writes the file front to back and says how long it is.
    bool finish(std::int64_t& fileBytes)
    {
        const std::int32_t entryCount = nextIndex_ - 1;
        if (layout_ == SynthLayout::Shuffled)
            shuffleRecords();
        if (layout_ == SynthLayout::FoldersInterleaved)
            interleaveFolders();
        const std::int64_t headBytes = kHeaderSize + 4 * std::int64_t{entryCount};
        const std::int64_t nodeBytes = kNodeSize * nodeCount_;
        const bool headLast = layout_ == SynthLayout::GroupedEnd || layout_ == SynthLayout::FoldersInterleaved;
        const std::int64_t nodesAt = headLast ? kPrefixSize + scratchBytes_ : kPrefixSize + headBytes;
        const std::int64_t recordsAt = headLast ? kPrefixSize : nodesAt + nodeBytes;
        const std::int64_t headerAt = headLast ? nodesAt + nodeBytes : kPrefixSize;
        std::vector<std::uint32_t> table(static_cast<std::size_t>(entryCount) + 1, 0);
        placeNodes(table, nodesAt);
        placeRecords(table, recordsAt);

        putPrefix(headerAt);
        if (headLast) {
            copyRecords();
            putNodes();
            putHead(table);
        } else {
            putHead(table);
            putNodes();
            copyRecords();
        }
        fileBytes = kPrefixSize + headBytes + nodeBytes + scratchBytes_;
        return ok_;
    }

private:
    void shuffleRecords()
    {
        for (std::size_t i = records_.size(); i > 1; --i)
            std::swap(records_[i - 1], records_[shuffle_.next() % i]);
    }

    // As a client that files each mail as it arrives: the folders' mails take
    // turns at random (each folder keeps its own order), every mail gets the
    // next indexes for its node and its record, and records and nodes lie in
    // that order. The walk then takes every few records from all over the file,
    // once per folder.
    void interleaveFolders()
    {
        std::vector<std::vector<std::int32_t>> byFolder(kFolderCount + 1);
        for (const LeafPlace& leaf : leaves_)
            byFolder[static_cast<std::size_t>(leaf.folder)].push_back(leaf.index);
        std::vector<std::int32_t> turns;
        for (const LeafPlace& leaf : leaves_)
            turns.push_back(leaf.folder);
        for (std::size_t i = turns.size(); i > 1; --i)
            std::swap(turns[i - 1], turns[shuffle_.next() % i]);
        std::vector<std::int32_t> renamed(nodes_.size() + 2, 0);
        for (std::int32_t f = 1; f <= kFolderCount; ++f)
            renamed[static_cast<std::size_t>(f)] = f;
        std::vector<std::size_t> taken(kFolderCount + 1, 0);
        std::int32_t next = kFolderCount + 1;
        for (const std::int32_t f : turns) {
            const std::int32_t old = byFolder[static_cast<std::size_t>(f)][taken[static_cast<std::size_t>(f)]++];
            renamed[static_cast<std::size_t>(old)] = next++;
            const std::int32_t data = nodes_[static_cast<std::size_t>(old)].dataIndex;
            if (data != 0)
                renamed[static_cast<std::size_t>(data)] = next++;
        }
        auto rename = [&renamed](std::int32_t k) { return k == 0 ? 0 : renamed[static_cast<std::size_t>(k)]; };
        std::vector<NodeFields> nodes(nodes_.size());
        for (std::size_t k = 1; k < nodes_.size(); ++k) {
            NodeFields n = nodes_[k];
            if (!n.present)
                continue;
            n.dataIndex = rename(n.dataIndex);
            n.next = rename(n.next);
            n.child = rename(n.child);
            nodes[static_cast<std::size_t>(rename(static_cast<std::int32_t>(k)))] = n;
        }
        nodes_ = std::move(nodes);
        for (KeptRecord& r : records_)
            r.index = rename(r.index);
        std::sort(records_.begin(), records_.end(),
                  [](const KeptRecord& a, const KeptRecord& b) { return a.index < b.index; });
    }

    void placeNodes(std::vector<std::uint32_t>& table, std::int64_t at) const
    {
        for (std::size_t k = 0; k < nodes_.size(); ++k) {
            if (!nodes_[k].present)
                continue;
            table[k] = static_cast<std::uint32_t>(at);
            at += kNodeSize;
        }
    }

    // Fixes each record's offset and lists its chunks, in file order.
    void placeRecords(std::vector<std::uint32_t>& table, std::int64_t at)
    {
        for (const KeptRecord& r : records_) {
            table[static_cast<std::size_t>(r.index)] = static_cast<std::uint32_t>(at);
            for (std::uint32_t c = r.firstChunk; c < r.firstChunk + r.chunkCount; ++c) {
                const PendingChunk& p = chunks_[c];
                ChunkRef ref{static_cast<std::uint64_t>(at) + p.headAt, static_cast<std::uint64_t>(at) + p.chunkAt,
                             p.length, p.inflated};
                if (std::fwrite(&ref, sizeof ref, 1, chunkList_) != 1)
                    ok_ = false;
            }
            at += r.size;
        }
    }

    void put(const Bytes& bytes)
    {
        if (std::fwrite(bytes.data(), 1, bytes.size(), out_) != bytes.size())
            ok_ = false;
    }

    void putPrefix(std::int64_t headerAt)
    {
        Bytes prefix(16, 0);
        std::memcpy(prefix.data(), "PFCSYNTH", 8);
        fixture::putU32(prefix, static_cast<std::uint32_t>(headerAt));
        put(prefix);
    }

    // The PfcHeader and the node table behind it.
    void putHead(const std::vector<std::uint32_t>& table)
    {
        Bytes head{'A', 'O', 'L', 'P', 'F', 'C', 0, 0};
        fixture::putU32(head, static_cast<std::uint32_t>(table.size() - 1));
        fixture::putU32(head, 0);
        head.reserve(head.size() + 4 * table.size());
        for (std::size_t k = 1; k < table.size(); ++k)
            fixture::putU32(head, table[k]);
        put(head);
    }

    void putNodes()
    {
        for (const NodeFields& n : nodes_) {
            if (n.present)
                put(fixture::pfcNode(n.itemType, n.dataIndex, n.next, n.child));
        }
    }

    void copyRecords()
    {
        if (std::fflush(scratch_) != 0)
            ok_ = false;
        Bytes bytes;
        for (const KeptRecord& r : records_) {
            bytes.resize(r.size);
            if (seekTo(scratch_, r.scratchAt) != 0 || std::fread(bytes.data(), 1, r.size, scratch_) != r.size)
                ok_ = false;
            put(bytes);
        }
    }

    std::FILE* out_;
    std::FILE* chunkList_;
    std::FILE* scratch_;
    SynthLayout layout_;
    Rng shuffle_;
    std::int64_t pos_;
    std::int32_t nextIndex_ = kFolderCount + 1;
    std::int32_t pending_ = 0;
    std::vector<NodeFields> nodes_;
    std::int64_t nodeCount_ = 0;
    struct LeafPlace {
        std::int32_t index;
        std::int32_t folder;
    };
    std::vector<LeafPlace> leaves_;
    std::int32_t folder_ = 0;
    std::vector<KeptRecord> records_;
    std::vector<PendingChunk> chunks_;
    std::int64_t scratchBytes_ = 0;
    bool ok_ = true;
};

// Draws the leaves folder by folder, then the folder nodes, and hands them to
// the writer; both writers are handed the same.
template <class Writer>
void writeTree(Writer& w, std::int64_t targetBytes, std::int32_t capacity, std::uint64_t seed,
               SynthSummary& summary)
{
    std::int64_t budget = targetBytes - w.position();
    Rng rng(seed);
    Record rec;
    std::string text;
    std::int32_t firstChild[kFolderCount + 1] = {};
    std::int64_t folderEnd = w.position();
    for (std::int32_t f : kFillOrder) {
        w.beginFolder(f);
        folderEnd += budget * kFolders[f].holds / 1000;
        bool more = w.position() + kTypicalLeafBytes <= folderEnd && w.nextIndex() + 4 <= capacity;
        while (more) {
            LeafKind kind = drawLeafKind(rng);
            std::uint16_t itemType = kind == LeafKind::NotConverted ? 9 : rng.pick(kConvertedTypes);
            if (kind == LeafKind::Mail || kind == LeafKind::NotConverted)
                makeMail(rng, rec, text);
            else if (kind != LeafKind::NoData)
                damagedRecord(rng, kind, rec, text);
            bool hasRecord = kind != LeafKind::NoData;
            std::int64_t leafBytes = 134 + (hasRecord ? static_cast<std::int64_t>(rec.bytes.size()) : 0);
            more = w.position() + leafBytes + kTypicalLeafBytes <= folderEnd && w.nextIndex() + 4 <= capacity;

            std::int32_t k = w.claim();
            if (firstChild[f] == 0)
                firstChild[f] = k;
            std::int32_t dataIndex = hasRecord ? k + 1 : 0;
            std::int32_t next = more ? k + (hasRecord ? 2 : 1) : 0;
            w.node(itemType, dataIndex, next, 0);
            if (!hasRecord)
                continue;
            w.claim();
            if (itemType == 9)
                rec.chunks.clear();  // never read, so never inflated
            w.record(rec);
            ++summary.leaves;
            if (itemType == 9)
                continue;
            ++summary.convertedItems;
            if (kind == LeafKind::Mail || kind == LeafKind::OverlongSection)
                ++summary.expectedEntries;
            for (const PendingChunk& c : rec.chunks) {
                ++summary.chunks;
                summary.compressedBytes += c.length + 2;
                summary.inflatedBytes += c.inflated;
            }
        }
    }

    // Folder nodes. The chain of Vereine runs on into the mails of Eingang itself.
    w.beginFolder(0);
    for (std::int32_t f = 1; f <= kFolderCount; ++f) {
        std::int32_t child = kFolders[f].child != 0 ? kFolders[f].child : firstChild[f];
        std::int32_t next = kFolders[f].next;
        if (f == 4)
            next = firstChild[1];
        if (f == 1)
            child = 2;
        w.setEntry(f, static_cast<std::int32_t>(w.position()));
        w.node(1, 0, next, child);
    }
    summary.entryCount = w.nextIndex() - 1;
}

bool writeInterleaved(const SynthOptions& options, std::FILE* out, std::FILE* chunkList, std::int32_t capacity,
                      SynthSummary& summary)
{
    SynthWriter w(out, chunkList, capacity);
    w.writeHead();
    writeTree(w, options.targetBytes, capacity, options.seed, summary);
    summary.fileBytes = w.position();
    return w.finish();
}

bool writeLaidOut(const SynthOptions& options, std::FILE* out, std::FILE* chunkList, std::int32_t capacity,
                  SynthSummary& summary)
{
    std::string scratchPath = options.outPath + ".records";
    std::FILE* scratch = std::fopen(scratchPath.c_str(), "w+b");
    if (scratch == nullptr)
        return false;
    LayoutWriter w(out, chunkList, scratch, capacity, options);
    writeTree(w, options.targetBytes, capacity, options.seed, summary);
    bool ok = w.finish(summary.fileBytes);
    std::fclose(scratch);
    std::remove(scratchPath.c_str());
    return ok;
}

void writeJson(const std::string& path, const SynthOptions& o, const SynthSummary& s)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return;
    std::fprintf(f,
                 "{\"generator\": %d, \"seed\": %" PRIu64 ", \"target_bytes\": %" PRId64 ", \"layout\": \"%s\""
                 ", \"file_bytes\": %" PRId64 ", \"entry_count\": %d, \"leaves\": %u, \"converted_items\": %u"
                 ", \"expected_entries\": %u, \"chunks\": %u, \"compressed_bytes\": %" PRIu64
                 ", \"inflated_bytes\": %" PRIu64 "}\n",
                 kGeneratorVersion, o.seed, o.targetBytes, layoutName(o.layout), s.fileBytes, s.entryCount, s.leaves,
                 s.convertedItems, s.expectedEntries, s.chunks, s.compressedBytes, s.inflatedBytes);
    std::fclose(f);
}

constexpr struct {
    const char* name;
    SynthLayout layout;
} kLayoutNames[] = {
    {"interleaved", SynthLayout::Interleaved},
    {"grouped-end", SynthLayout::GroupedEnd},
    {"front", SynthLayout::Front},
    {"shuffled", SynthLayout::Shuffled},
    {"folders-interleaved", SynthLayout::FoldersInterleaved},
};

} // namespace

bool parseLayout(const std::string& name, SynthLayout& layout)
{
    for (const auto& entry : kLayoutNames) {
        if (name == entry.name) {
            layout = entry.layout;
            return true;
        }
    }
    return false;
}

const char* layoutName(SynthLayout layout)
{
    for (const auto& entry : kLayoutNames) {
        if (entry.layout == layout)
            return entry.name;
    }
    return "?";
}

std::int64_t parseSize(const std::string& text)
{
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || v < 0)
        return -1;
    double unit = 1;
    std::string suffix(end);
    if (suffix == "K" || suffix == "k")
        unit = 1024.0;
    else if (suffix == "M" || suffix == "m")
        unit = 1024.0 * 1024;
    else if (suffix == "G" || suffix == "g")
        unit = 1024.0 * 1024 * 1024;
    else if (!suffix.empty())
        return -1;
    return static_cast<std::int64_t>(std::llround(v * unit));
}


bool writeSynth(const SynthOptions& options, SynthSummary& summary)
{
    // Offsets are signed 32-bit in the format; keep room for the last mail.
    if (options.targetBytes < 4096 || options.targetBytes > 2100000000) {
        std::fprintf(stderr, "pfcgen: size must lie between 4K and 2,100,000,000 bytes\n");
        return false;
    }
    std::FILE* out = std::fopen(options.outPath.c_str(), "wb");
    std::string chunkPath = options.outPath + ".chunks";
    std::FILE* chunkList = std::fopen(chunkPath.c_str(), "wb");
    if (out == nullptr || chunkList == nullptr) {
        std::fprintf(stderr, "pfcgen: cannot write %s\n", options.outPath.c_str());
        if (out) std::fclose(out);
        if (chunkList) std::fclose(chunkList);
        return false;
    }
    static char outBuffer[1 << 20];
    std::setvbuf(out, outBuffer, _IOFBF, sizeof outBuffer);

    auto capacity = static_cast<std::int32_t>(options.targetBytes / kBytesPerEntry + kFolderCount + 64);
    bool ok = options.layout == SynthLayout::Interleaved ? writeInterleaved(options, out, chunkList, capacity, summary)
                                                         : writeLaidOut(options, out, chunkList, capacity, summary);
    ok = std::fclose(out) == 0 && ok;
    ok = std::fclose(chunkList) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "pfcgen: writing %s failed\n", options.outPath.c_str());
        return false;
    }
    writeJson(options.outPath + ".json", options, summary);
    return true;
}

} // namespace kistwerk::bench
