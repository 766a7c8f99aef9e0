// A PFC image with items of every body kind, and what its mailbox file must
// read back as: used by the end-to-end test and by the mbox read-back check.
#pragma once

#include <string>
#include <vector>

#include <zlib.h>

#include "testkit/pfc_builder.h"

namespace kistwerk::fixture {

struct ExpectedItem {
    std::string subject;
    std::string entry;  // the whole entry as the mailbox file holds it
    std::string body;   // the body text alone
};

struct MailboxFixture {
    Bytes image;
    std::vector<ExpectedItem> items;  // in file order
};

namespace mailbox_detail {

inline void zlibChunks(const std::string& text, Bytes& head, Bytes& chunk)
{
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    Bytes stream(size);
    compress(stream.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()));
    head.assign(stream.begin(), stream.begin() + 2);
    chunk.assign(stream.begin() + 2, stream.begin() + static_cast<std::ptrdiff_t>(size));
}

inline const char* contentLines()
{
    return "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1252\r\nContent-Transfer-Encoding: 8bit\r\n";
}

inline ExpectedItem expected(const std::string& dateLines, const std::string& headerLines, const std::string& subject,
                             const std::string& body)
{
    return ExpectedItem{subject, dateLines + headerLines + contentLines() + "\r\n" + body + "\r\n\r\n", body};
}

} // namespace mailbox_detail

// Leaves 1..n form one top-level chain through a folder; data records follow.
inline MailboxFixture mailboxFixture()
{
    using namespace mailbox_detail;
    MailboxFixture f;
    std::vector<std::pair<std::uint16_t, Bytes>> records;  // item type, record

    {   // Plain text in one section, sender completed.
        MessageBuilder m;
        m.sectionCount(1).field(5, "05.01.2003 09:03:07").field(6, "jdoe").field(7, "anna@example.de")
            .field(10, "Termin").endList();
        m.section().typeRecord(0, 0).content("Guten Tag,\r\nbis morgen.\r\n").endList();
        records.push_back({7, m.bytes()});
        f.items.push_back(expected("From - Sun Jan 5 09:03:07 2003\r\nDate: Sun, 5 Jan 2003 09:03:07\r\n",
                                   "From: jdoe@aol.com\r\nTo: anna@example.de\r\nSubject: Termin\r\n", "Termin",
                                   "Guten Tag,\r\nbis morgen.\r\n"));
    }
    {   // UTF-8 text of every always-folded part type, with a count of seconds.
        MessageBuilder m;
        m.sectionCount(4).timestamp(1041757387).field(6, "k@x.de").field(16, "antwort@x.de")
            .field(10, "Gruesse").endList();
        m.section().typeRecord(3, 0).content("Gr\xC3\xBC\xC3\x9F" "e ").endList();
        m.section().typeRecord(5, 0).content("aus K\xC3\xB6ln ").endList();
        m.section().typeRecord(16, 0).content("und \xC3\x84rger ").endList();
        m.section().typeRecord(20, 0).content("\xE2\x82\xAC").endList();
        records.push_back({8, m.bytes()});
        f.items.push_back(expected("From - Sun Jan 5 09:03:07 2003\r\nDate: Sun, 5 Jan 2003 09:03:07\r\n",
                                   "From: k@x.de\r\nReply-To: antwort@x.de\r\nSubject: Gruesse\r\n", "Gruesse",
                                   "Gr\xFC\xDF" "e aus K\xF6ln und \xC4rger \x80"));
    }
    {   // The bracketed layout with compressed chunks; an attachment part is dropped.
        Bytes head1, chunk1, head2, chunk2;
        zlibChunks("Erster Teil, komprimiert.\r\n", head1, chunk1);
        zlibChunks("Zweiter Teil mit \xC3\xA4.\r\n", head2, chunk2);
        MessageBuilder m;
        m.sectionCount(6).field(5, "12/25/03 10:00:00").field(11, "alt@x.de").field(8, "cc@x.de")
            .field(9, "bcc@x.de").field(10, "Gepackt").endList();
        m.section().typeRecord(0, 0).content("Vorspann\r\n").endList();
        m.section().content("[Layout]").endList();
        m.section().content("wird verworfen").endList();
        m.section().typeRecord(0, 1).content(head1).content(chunk1).endList();
        m.section().typeRecord(1, 0).content("Anhang").endList();
        m.section().typeRecord(0, 1).content(head2).content(chunk2).endList();
        records.push_back({12, m.bytes()});
        f.items.push_back(expected("From - Thu Dec 25 10:00:00 2003\r\nDate: Thu, 25 Dec 2003 10:00:00\r\n",
                                   "From: alt@x.de\r\nCC: cc@x.de\r\nBCC: bcc@x.de\r\nSubject: Gepackt\r\n", "Gepackt",
                                   "Vorspann\r\nErster Teil, komprimiert.\r\nZweiter Teil mit \xE4.\r\n"));
    }
    {   // No body sections: no entry at all.
        MessageBuilder m;
        m.field(5, "05.01.2003 09:03:07").field(10, "Leer").endList();
        records.push_back({14, m.bytes()});
    }
    {   // Cut off inside its second section: what came before, then the closing lines.
        MessageBuilder m;
        m.sectionCount(2).field(5, "29.02.2004 12:00:00").field(10, "Abgebrochen").endList();
        m.section().typeRecord(0, 0).content("Anfang\r\n").endList();
        m.section().rawField(13, 7, 70000, Bytes{});
        records.push_back({15, m.bytes()});
        f.items.push_back(expected("From - Sun Feb 29 12:00:00 2004\r\nDate: Sun, 29 Feb 2004 12:00:00\r\n",
                                   "From: \r\nSubject: Abgebrochen\r\n", "Abgebrochen", "Anfang\r\n"));
    }
    {   // Plain text written unfolded, in three sections.
        MessageBuilder m;
        m.sectionCount(3).field(5, "01.01.71 00:00:00").field(6, "a@b").field(10, "Drei Teile").endList();
        m.section().typeRecord(0, 0).content("eins ").endList();
        m.section().content("zwei ").endList();
        m.section().content("drei \xC3\xA4").endList();
        records.push_back({20, m.bytes()});
        f.items.push_back(expected("From - Fri Jan 1 00:00:00 1971\r\nDate: Fri, 1 Jan 1971 00:00:00\r\n",
                                   "From: a@b\r\nSubject: Drei Teile\r\n", "Drei Teile", "eins zwei drei \xC3\xA4"));
    }

    {   // HTML: markup dropped, entities decoded, quotations marked; a folded HTML part.
        MessageBuilder m;
        m.sectionCount(2).field(5, "05.01.2003 09:03:07").field(6, "html@x.de").field(10, "HTML").endList();
        m.section().typeRecord(0, 0)
            .content("<html><b>Sch&ouml;n</b><br>Zeile zwei &gt; drei<blockquote>Zitat</blockquote></html>")
            .endList();
        m.section().typeRecord(16, 0).content("<p>K\xC3\xA4se &amp; Brot</p>").endList();
        records.push_back({7, m.bytes()});
        f.items.push_back(expected("From - Sun Jan 5 09:03:07 2003\r\nDate: Sun, 5 Jan 2003 09:03:07\r\n",
                                   "From: html@x.de\r\nSubject: HTML\r\n", "HTML",
                                   "Sch\xF6n\r\nZeile zwei > drei<<Zitat>>K\xE4se &amp; Brot"));
    }
    {   // Bare line ends become CR LF; a "From:" at a line start is escaped.
        MessageBuilder m;
        m.sectionCount(1).field(5, "05.01.2003 09:03:07").field(10, "Zeilen").endList();
        m.section().typeRecord(0, 0).content("Hallo\nFrom: jemand\rEnde").endList();
        records.push_back({8, m.bytes()});
        f.items.push_back(expected("From - Sun Jan 5 09:03:07 2003\r\nDate: Sun, 5 Jan 2003 09:03:07\r\n",
                                   "From: \r\nSubject: Zeilen\r\n", "Zeilen", "Hallo\r\n>From: jemand\r\nEnde"));
    }

    auto n = static_cast<std::int32_t>(records.size());
    // Index 1: a folder whose children are the leaves 2..n+1; one more leaf of an
    // item type that is not converted ends the chain.
    PfcBuilder b(2 * n + 3);
    b.node(1, 1, 0, 0, 2);
    for (std::int32_t i = 0; i < n; ++i) {
        std::int32_t k = 2 + i;
        b.node(k, records[static_cast<std::size_t>(i)].first, n + 3 + i, k + 1, 0);
        b.record(n + 3 + i, records[static_cast<std::size_t>(i)].second);
    }
    b.node(n + 2, 9, n + 3, 0, 0);
    f.image = b.bytes();
    return f;
}

} // namespace kistwerk::fixture
