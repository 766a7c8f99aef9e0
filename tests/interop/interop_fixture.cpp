// Writes the PFC file that the mail-reader checks convert, and what every reader
// must find in its mailbox file: sender, subject, date and body of each entry.
//
//   interop_fixture FIXTURE.pfc EXPECTED.json
//
// The bodies hold what mbox readers stumble over: lines that begin "From " and
// "From:" (also only once written), and ">From " behind one or more ">",
// quotations, umlauts, the euro sign and typographic quotes, an emoji, long
// lines, characters that compressed chunks cut in two; subjects and names carry
// 8-bit characters, in windows-1252 and in UTF-8 (Polish, Czech, Cyrillic,
// emoji, quotes and dashes without any umlaut, and UTF-8 mixed with stray
// windows-1252 bytes), a screen name has a blank, US dates are on the 12-hour
// clock; some entries lack a subject or a date, and two leaves must yield no
// entry at all.
#include <cstdio>
#include <string>
#include <vector>

#include <zlib.h>

#include "testkit/pfc_builder.h"

using namespace kistwerk::fixture;

namespace {

struct Entry {
    std::uint16_t itemType = 7;
    Bytes record;
    bool converted = true;
    // What the mailbox entry must say, as a reader decodes it: UTF-8 texts, line
    // ends LF.
    std::string sender;  // the address
    std::string name;    // the display name; empty when there is none
    std::string to;      // the first recipient's address; empty when there is no "To:"
    std::string toName;  // and its display name
    bool hasSubject = true;
    std::string subject;
    std::string date;  // the "Date:" value; empty when the item has no date
    std::string body;
};

void zlibChunks(const std::string& text, Bytes& head, Bytes& chunk)
{
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    Bytes stream(size);
    compress(stream.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()));
    head.assign(stream.begin(), stream.begin() + 2);
    chunk.assign(stream.begin() + 2, stream.begin() + static_cast<std::ptrdiff_t>(size));
}

std::string longLine(std::size_t length)
{
    static const std::string words = "Sehr lange Zeile ohne Umbruch, wie sie HTML-Mails oft haben; ";
    std::string line;
    while (line.size() < length)
        line += words;
    line.resize(length);
    return line;
}

std::vector<Entry> entries()
{
    std::vector<Entry> list;
    {   // "From " and "From:" lines, quotations, a folded UTF-8 section; day 5.
        Entry e;
        MessageBuilder m;
        m.sectionCount(2).field(5, "05.01.2003 09:03:07").field(6, "jdoe").field(7, "anna@example.de")
            .field(10, "Termin am Montag").endList();
        m.section().typeRecord(0, 0)
            .content("Hallo Anna,\r\n\r\nFrom Berlin aus schreibe ich dir.\r\nFrom: Anna Berger\r\n"
                     "> Zitat: wie war's?\r\n>> tiefer zitiert\r\n")
            .endList();
        m.section().typeRecord(3, 0).content("Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\r\n").endList();
        e.record = m.bytes();
        e.sender = "jdoe@aol.com";
        e.to = "anna@example.de";
        e.subject = "Termin am Montag";
        e.date = "Sun, 5 Jan 2003 09:03:07";
        e.body = "Hallo Anna,\n\n>From Berlin aus schreibe ich dir.\nFrom: Anna Berger\n"
                 "> Zitat: wie war's?\n>> tiefer zitiert\nGrüße aus Köln\n";
        list.push_back(e);
    }
    {   // HTML with entities and a quotation; an umlaut in the subject; US date order.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).field(5, "12/25/03 10:00:00").field(6, "redaktion@example.org")
            .field(8, "archiv@example.org").field(10, "Gr\xC3\xBC\xC3\x9F" "e zum Fest").endList();
        m.section().typeRecord(0, 0)
            .content("From: Redaktion<br>Sch&ouml;ne Gr&uuml;&szlig;e aus K&ouml;ln!<br>"
                     "<blockquote>Zitat aus der letzten Ausgabe</blockquote><br>Ende")
            .endList();
        e.itemType = 8;
        e.record = m.bytes();
        e.sender = "redaktion@example.org";
        e.subject = "Grüße zum Fest";
        e.date = "Thu, 25 Dec 2003 10:00:00";
        e.body = ">From: Redaktion\nSchöne Grüße aus Köln!\n<<Zitat aus der letzten Ausgabe>>\nEnde";
        list.push_back(e);
    }
    {   // No subject; day 1.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).field(5, "01.02.2004 08:00:00").field(6, "ohne.betreff@example.com").endList();
        m.section().typeRecord(0, 0).content("Eine Nachricht ohne Betreff.\r\n").endList();
        e.record = m.bytes();
        e.sender = "ohne.betreff@example.com";
        e.hasSubject = false;
        e.date = "Sun, 1 Feb 2004 08:00:00";
        e.body = "Eine Nachricht ohne Betreff.\n";
        list.push_back(e);
    }
    {   // A leaf of a type that is not converted: no entry.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).field(6, "nie@example.com").field(10, "Kein Brief").endList();
        m.section().typeRecord(0, 0).content("Darf nicht erscheinen.").endList();
        e.itemType = 9;
        e.record = m.bytes();
        e.converted = false;
        list.push_back(e);
    }
    {   // No date at all.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).field(6, "ohne.datum@example.com").field(10, "Ohne Datum").endList();
        m.section().typeRecord(0, 0).content("Diese Nachricht hat kein Datum.\r\n").endList();
        e.record = m.bytes();
        e.sender = "ohne.datum@example.com";
        e.subject = "Ohne Datum";
        e.body = "Diese Nachricht hat kein Datum.\n";
        list.push_back(e);
    }
    {   // Long lines; day 31, a count of seconds instead of a date text.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).timestamp(946684799).field(6, "lang@example.net").field(10, "Lange Zeilen").endList();
        const std::string first = longLine(2000);
        const std::string second = longLine(998);
        m.section().typeRecord(0, 0).content(first + "\r\n" + second + "\r\nkurz\r\n").endList();
        e.record = m.bytes();
        e.sender = "lang@example.net";
        e.subject = "Lange Zeilen";
        e.date = "Fri, 31 Dec 1999 23:59:59";
        e.body = first + "\n" + second + "\nkurz\n";
        list.push_back(e);
    }
    {   // An item without body sections: no entry.
        Entry e;
        MessageBuilder m;
        m.field(6, "leer@example.com").field(10, "Ohne Abschnitte").endList();
        e.record = m.bytes();
        e.converted = false;
        list.push_back(e);
    }
    {   // Compressed chunks behind a stream head; day 9.
        Entry e;
        Bytes head, chunk;
        zlibChunks("Komprimierter Text mit \xC3\xA4 und \xC3\xB6.\r\nZweite Zeile.\r\n", head, chunk);
        MessageBuilder m;
        m.sectionCount(5).field(5, "09.09.2009 09:09:09").field(6, "post@example.com")
            .field(10, "Komprimiert").endList();
        m.section().typeRecord(0, 0).content("Einleitung.\r\n").endList();
        m.section().typeRecord(0, 0).content("[mime-1.0 compressed]").endList();
        m.section().typeRecord(0, 0).content("Content-Type: text/plain").endList();
        m.section().typeRecord(0, 1).content(head).endList();
        m.section().typeRecord(0, 1).content(chunk).endList();
        e.itemType = 12;
        e.record = m.bytes();
        e.sender = "post@example.com";
        e.subject = "Komprimiert";
        e.date = "Wed, 9 Sep 2009 09:09:09";
        e.body = "Einleitung.\nKomprimierter Text mit ä und ö.\nZweite Zeile.\n";
        list.push_back(e);
    }
    {   // Lines that begin "From " at the start of the text, after a lone LF, and
        // one that looks like a separator line; day 10.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).field(5, "10.10.2010 10:10:10").field(6, "von@example.com").field(10, "Von hier an")
            .endList();
        m.section().typeRecord(0, 0)
            .content("From here on\nFrom there\nFrom - Sun Jan  5 09:03:07 2003\n\nFrom\n")
            .endList();
        e.itemType = 14;
        e.record = m.bytes();
        e.sender = "von@example.com";
        e.subject = "Von hier an";
        e.date = "Sun, 10 Oct 2010 10:10:10";
        e.body = ">From here on\n>From there\n>From - Sun Jan  5 09:03:07 2003\n\nFrom\n";
        list.push_back(e);
    }
    {   // Umlauts in subject and name, stored as UTF-8; an emoji; a PM date.
        Entry e;
        MessageBuilder m;
        m.sectionCount(2).field(5, "1/5/2003 9:03:07 PM").field(6, "\"Jürgen Müller\" <juergen@example.de>")
            .field(7, "Anna „Nanni“ Müller <anna@example.de>, post@example.com")
            .field(10, "Grüße aus Köln 😀").endList();
        m.section().typeRecord(0, 0).content("From&nbsp;K\xF6ln mit \x84Zitat\x93 und 10 \x80.\r\n").endList();
        m.section().typeRecord(3, 0).content("F<b>rom Bonn: „gut“, 5 €, 😀 bis bald\r\n").endList();
        e.itemType = 15;
        e.record = m.bytes();
        e.sender = "juergen@example.de";
        e.name = "Jürgen Müller";
        e.to = "anna@example.de";
        e.toName = "Anna „Nanni“ Müller";
        e.subject = "Grüße aus Köln 😀";
        e.date = "Sun, 5 Jan 2003 21:03:07";
        e.body = ">From Köln mit „Zitat“ und 10 €.\n>From Bonn: „gut“, 5 €, ? bis bald\n";
        list.push_back(e);
    }
    {   // A screen name with a blank; euro sign and quotes stored as Windows bytes.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).field(5, "12/24/2004 12:30:00 AM").field(6, "Hans Schmidt")
            .field(10, "Rechnung \x84" "Dezember\x93: 99 \x80 f\xFCr K\xF6ln").endList();
        m.section().typeRecord(0, 0).content("Betrag: 99 \x80 \x96 zahlbar bis \x84morgen\x93.\r\n").endList();
        e.itemType = 20;
        e.record = m.bytes();
        e.sender = "HansSchmidt@aol.com";
        e.name = "Hans Schmidt";
        e.subject = "Rechnung „Dezember“: 99 € für Köln";
        e.date = "Fri, 24 Dec 2004 00:30:00";
        e.body = "Betrag: 99 € – zahlbar bis „morgen“.\n";
        list.push_back(e);
    }
    {   // A name and a subject that take several encoded words; no date at all.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).field(6, "Frau Dr. Änne Überlänge-Müllerschön von und zu Großköln-Südstadt <aenne@example.de>")
            .field(10, "Köln: ein Betreff, der länger ist als ein kodiertes Wort, mit Umlauten äöü ÄÖÜ ß").endList();
        m.section().typeRecord(0, 0).content("Kurz.\r\n").endList();
        e.record = m.bytes();
        e.sender = "aenne@example.de";
        e.name = "Frau Dr. Änne Überlänge-Müllerschön von und zu Großköln-Südstadt";
        e.subject = "Köln: ein Betreff, der länger ist als ein kodiertes Wort, mit Umlauten äöü ÄÖÜ ß";
        e.body = "Kurz.\n";
        list.push_back(e);
    }
    {   // Characters cut in two between folded pieces and between compressed
        // chunks, each chunk a stream of its own behind one head; day 11.
        Entry e;
        const char* const pieces[] = {"Gr\xC3\xBC\xC3\x9F" "e aus K\xC3", "\xB6ln, 10 \xE2\x82",
                                      "\xAC, \xE2\x80\x9Egut\xE2\x80\x9C \xF0\x9F", "\x98\x80 und \xE2\x80",
                                      "\x93 Ende\r\n"};
        MessageBuilder m;
        m.sectionCount(5).field(5, "11.11.2011 11:11:11").field(6, "block@example.com")
            .field(7, "Jiří Novák <jiri@example.cz>").field(10, "Zeichen über Blockgrenzen").endList();
        m.section().typeRecord(3, 0).content("Vorab: Gr\xC3").content("\xBC\xC3\x9F" "e\r\n").endList();
        m.section().typeRecord(0, 0).content("[mime-1.0 compressed]").endList();
        m.section().typeRecord(0, 0).content("Content-Type: text/plain").endList();
        Bytes head, chunk;
        zlibChunks(pieces[0], head, chunk);
        m.section().typeRecord(0, 1).content(head).endList();
        m.section();
        for (const char* piece : pieces) {
            zlibChunks(piece, head, chunk);
            m.content(chunk);
        }
        m.endList();
        e.itemType = 12;
        e.record = m.bytes();
        e.sender = "block@example.com";
        e.to = "jiri@example.cz";
        e.toName = "Jiří Novák";
        e.subject = "Zeichen über Blockgrenzen";
        e.date = "Fri, 11 Nov 2011 11:11:11";
        e.body = "Vorab: Grüße\nGrüße aus Köln, 10 €, „gut“ ? und – Ende\n";
        list.push_back(e);
    }
    {   // UTF-8 names and subject: Polish, Czech, Cyrillic, an emoji; day 12.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).field(5, "12.12.2012 12:12:12").field(6, "Łukasz Wójcik <lukasz@example.pl>")
            .field(7, "Иван Петров <ivan@example.ru>, Jiří Novák <jiri@example.cz>")
            .field(10, "Привет из Москвы и Łodzi 😀").endList();
        m.section().typeRecord(0, 0).content("Kurz.\r\n").endList();
        e.record = m.bytes();
        e.sender = "lukasz@example.pl";
        e.name = "Łukasz Wójcik";
        e.to = "ivan@example.ru";
        e.toName = "Иван Петров";
        e.subject = "Привет из Москвы и Łodzi 😀";
        e.date = "Wed, 12 Dec 2012 12:12:12";
        e.body = "Kurz.\n";
        list.push_back(e);
    }
    {   // UTF-8 without any 0xC3 byte: quotes, dashes, the euro sign, Polish and
        // Turkish letters; a PM date.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).field(5, "6/15/2013 3:04:05 PM").field(6, "„Redaktion“ – Zofia Łęcka <zofia@example.pl>")
            .field(7, "Şenol Işık <senol@example.com.tr>").field(10, "„Angebot“ – 10 € ‚kurz‘ … Ende").endList();
        m.section().typeRecord(0, 0).content("Kurz.\r\n").endList();
        e.itemType = 8;
        e.record = m.bytes();
        e.sender = "zofia@example.pl";
        e.name = "„Redaktion“ – Zofia Łęcka";
        e.to = "senol@example.com.tr";
        e.toName = "Şenol Işık";
        e.subject = "„Angebot“ – 10 € ‚kurz‘ … Ende";
        e.date = "Sat, 15 Jun 2013 15:04:05";
        e.body = "Kurz.\n";
        list.push_back(e);
    }
    {   // UTF-8 with stray windows-1252 bytes stays windows-1252: folded where it
        // holds a 0xC3 byte, taken byte for byte where not; "Köln" for the search.
        Entry e;
        MessageBuilder m;
        m.sectionCount(1).field(5, "14.02.2014 14:14:14").field(6, "M\xC3\xBCller \xE4 <mueller@example.de>")
            .field(7, "Bj\xF6rn \xE2\x82\xAC <bjoern@example.se>").field(10, "Gr\xC3\xBC\xC3\x9F" "e \xE4 aus K\xC3\xB6ln")
            .endList();
        m.section().typeRecord(0, 0).content("Kurz.\r\n").endList();
        e.itemType = 14;
        e.record = m.bytes();
        e.sender = "mueller@example.de";
        e.name = "Müller ä";
        e.to = "bjoern@example.se";
        e.toName = "Björn â‚¬";
        e.subject = "Grüße ä aus Köln";
        e.date = "Fri, 14 Feb 2014 14:14:14";
        e.body = "Kurz.\n";
        list.push_back(e);
    }
    {   // Lines of ">" and "From ": one ">" more, also where the ">" is an entity
        // or ends the piece before; a UTF-8 subject with "Köln" for the search.
        Entry e;
        MessageBuilder m;
        m.sectionCount(2).field(5, "15.03.2015 15:15:15").field(6, "Jiří Novák <jiri@example.cz>")
            .field(10, "„Köln“ – Grüße 😀 an Jiří").endList();
        m.section().typeRecord(0, 0)
            .content("Zitat:\r\n>From the archive\r\n>>From deeper\r\n> From with a blank\r\nFrom here\r\n"
                     "&gt;From an entity\r\n>")
            .endList();
        m.section().typeRecord(0, 0).content("From the next piece\r\n").endList();
        e.itemType = 20;
        e.record = m.bytes();
        e.sender = "jiri@example.cz";
        e.name = "Jiří Novák";
        e.subject = "„Köln“ – Grüße 😀 an Jiří";
        e.date = "Sun, 15 Mar 2015 15:15:15";
        e.body = "Zitat:\n>>From the archive\n>>>From deeper\n> From with a blank\n>From here\n>>From an entity\n"
                 ">>From the next piece\n";
        list.push_back(e);
    }
    return list;
}

// JSON string of UTF-8 text.
std::string jsonText(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: interop_fixture FIXTURE.pfc EXPECTED.json\n");
        return 2;
    }
    const std::vector<Entry> list = entries();
    // One folder node (index 1) holding the leaves 2..n+1 as one chain; the
    // records follow at n+2 on.
    const auto n = static_cast<std::int32_t>(list.size());
    PfcBuilder b(2 * n + 2);
    b.node(1, 0, 0, 0, 2);
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t k = 2 + i;
        b.node(k, list[static_cast<std::size_t>(i)].itemType, n + 2 + i, i + 1 < n ? k + 1 : 0, 0);
        b.record(n + 2 + i, list[static_cast<std::size_t>(i)].record);
    }
    if (!b.writeTo(argv[1])) {
        std::fprintf(stderr, "interop_fixture: cannot write %s\n", argv[1]);
        return 1;
    }

    std::FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "interop_fixture: cannot write %s\n", argv[2]);
        return 1;
    }
    std::fputs("[\n", out);
    bool first = true;
    for (const Entry& e : list) {
        if (!e.converted)
            continue;
        std::fprintf(out,
                     "%s  {\"sender\": %s, \"name\": %s, \"to\": %s, \"to_name\": %s, \"subject\": %s, "
                     "\"date\": %s, \"body\": %s}",
                     first ? "" : ",\n", jsonText(e.sender).c_str(), jsonText(e.name).c_str(),
                     jsonText(e.to).c_str(), jsonText(e.toName).c_str(),
                     e.hasSubject ? jsonText(e.subject).c_str() : "null",
                     jsonText(e.date).c_str(), jsonText(e.body).c_str());
        first = false;
    }
    std::fputs("\n]\n", out);
    return std::fclose(out) == 0 ? 0 : 1;
}
