// The HTML body filter: input bytes against the exact bytes written, grouped by
// the rule each table exercises.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "io/output.h"
#include "tests/support/recording_frontend.h"
#include "text/filter.h"

using namespace kistwerk;
using namespace kistwerk::fixture;

namespace {

// Filters `input` from a heap block of exactly its size, so a read past the
// end shows up under a memory checker.
std::string filtered(std::string_view input)
{
    std::unique_ptr<std::uint8_t[]> text(new std::uint8_t[input.size()]);
    std::copy(input.begin(), input.end(), text.get());
    MemoryOutput output;
    filterBody(text.get(), static_cast<std::int32_t>(input.size()), output);
    return output.text();
}

struct Row {
    const char* what;
    std::string_view input;
    std::string_view expected;
};

void expectRows(std::initializer_list<Row> rows)
{
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(filtered(row.input), row.expected);
    }
}

using namespace std::string_view_literals;

TEST(FilterBody, LineEnds)
{
    expectRows({
        {"lone LF", "a\nb", "a\r\nb"},
        {"lone CR", "a\rb", "a\r\nb"},
        {"DEL", "a\x7F" "b", "a\r\nb"},
        {"CR LF pair kept", "a\r\nb", "a\r\nb"},
        {"LF first byte copied", "\nab", "\nab"},
        {"CR first byte copied", "\rab", "\rab"},
        {"CR LF at the start", "\r\nab", "\r\nab"},
        {"CR last byte", "ab\r", "ab\r\n"},
        {"two LFs", "a\n\nb", "a\r\n\r\nb"},
        {"LF then lone CR", "a\n\rb", "a\r\n\r\nb"},
        {"inside a tag nothing is written", "a<p\n\r\x7F>b", "ab"},
        {"CR LF pair inside a tag", "a<p\r\n>b", "ab"},
    });
}

TEST(FilterBody, FromColonEscape)
{
    expectRows({
        {"text start", "From: a", ">From: a"},
        {"after lone LF", "x\nFrom: a", "x\r\n>From: a"},
        {"after DEL", "x\x7F" "From: a", "x\r\n>From: a"},
        {"after <br>", "x<br>From: a", "x\r\n>From: a"},
        {"after CR LF pair", "x\r\nFrom: a", "x\r\nFrom: a"},
        {"after lone CR", "x\rFrom: a", "x\r\nFrom: a"},
        {"mixed case kept", "fROM: a", ">fROM: a"},
        {"mid line", "x From: a", "x From: a"},
        {"no colon, lower case", "from a", "from a"},
        {"NUL counts as a column", "\0From: a"sv, "From: a"},
        {"tag does not move the column", "x\n<b>From: a", "x\r\n>From: a"},
        {"<html> sets the column", "<html>From: a", "From: a"},
        {"line start inside a tag", "<p\nFrom: a>b", ">From:b"},
        {"CR LF pair inside a tag keeps the line start", "x\n<p\r\nFrom: a>b", "x\r\n>From:b"},
        {"exactly five bytes", "From:", ">From:"},
        {"four bytes are too short", "Fro:", "Fro:"},
    });
}

// A body line beginning "From " as written would split the message in a
// mailbox file.
TEST(FilterBody, FromBlankEscape)
{
    expectRows({
        {"text start", "From the desk", ">From the desk"},
        {"after lone LF", "x\nFrom here", "x\r\n>From here"},
        {"after CR LF pair", "x\r\nFrom here", "x\r\n>From here"},
        {"after lone CR", "x\rFrom here", "x\r\n>From here"},
        {"after <br>", "x<br>From here", "x\r\n>From here"},
        {"LF as first byte", "\nFrom here", "\n>From here"},
        {"after two LFs", "\n\nFrom x", "\n\r\n>From x"},
        {"after a tag at the start", "<b>From here", ">From here"},
        {"after a tag at line start", "x\n<p>From here", "x\r\n>From here"},
        {"after <html>", "<html>From here", ">From here"},
        {"nothing written before the NUL", "\0From here"sv, ">From here"},
        {"mid line", "x From here", "x From here"},
        {"after an entity", "&gt;From here", ">>From here"},
        {"lower case", "from here", "from here"},
        {"upper case", "FROM here", "FROM here"},
        {"no blank", "Fromage", "Fromage"},
        {"cut off at the end", "x\nFrom", "x\r\nFrom"},
        {"colon escape wins", "From: x", ">From: x"},
        {"dropped inside a tag", "<p\nFrom here>x", "x"},
        {"several lines", "From a\r\nFrom b\nFrom c", ">From a\r\n>From b\r\n>From c"},
        {"blank from an entity", "From&nbsp;x", ">From x"},
        {"tag inside the word", "x\nF<b>rom x", "x\r\n>From x"},
        {"NUL inside the word", "F\0rom x"sv, ">From x"},
        {"entity line start", "&nbsp;From x", " From x"},
        {"quotation at line start", "<blockquote>From x", "<<From x"},
        {"held bytes before a line end", "Fro\rFrom x", "Fro\r\n>From x"},
        {"held bytes at the end", "x\nFrom", "x\r\nFrom"},
    });
}

// mboxrd: a line as written of ">" bytes and then "From " gets one ">" more,
// so that readers that take one off show it as written.
TEST(FilterBody, QuotedFromBlankEscape)
{
    expectRows({
        {"one", ">From the archive", ">>From the archive"},
        {"two after a line end", "x\n>>From here", "x\r\n>>>From here"},
        {"decoded", "&gt;&gt;From x", ">>>From x"},
        {"quotation close", "</blockquote>From x", ">>>From x"},
        {"blank between", "> From x", "> From x"},
        {"mid line", "x >From y", "x >From y"},
        {"after held bytes", "Fr>From x", "Fr>From x"},
        {"only quotes", ">>\nFrom", ">>\r\nFrom"},
        {"colon escape", ">From: x", ">From: x"},
    });
}

TEST(FilterBody, Breaks)
{
    expectRows({
        {"plain", "a<br>b", "a\r\nb"},
        {"upper case", "a<BR>b", "a\r\nb"},
        {"with CR LF behind", "a<br>\r\nb", "a\r\nb"},
        {"with lone CR behind", "a<br>\rb", "a\r\nb"},
        {"with lone LF behind", "a<br>\nb", "a\r\n\r\nb"},
        {"self-closing", "a<br/>b", "a\r\n>b"},
        {"self-closing with blank", "a<br />b", "a\r\n/>b"},
        {"cut off at the end", "a<br", "a\r\n"},
        {"inside a tag", "<p <br>x>y", "\r\ny"},
    });
}

TEST(FilterBody, TagsAndQuotations)
{
    expectRows({
        {"bold", "<b>fett</b>", "fett"},
        {"blockquote", "<blockquote>Hi</blockquote>", "<<Hi>>"},
        {"<block> swallows the rest", "<block>ab", "<<"},
        {"</block> continues", "</block>ab", ">>ab"},
        {"nested", "<<>>x", "x"},
        {"stray >", "a>b", "a>b"},
        {"plain-text comparison", "a < b and c > d", "a  d"},
        {"open tag at the end", "ab<p class", "ab"},
        {"binary", "ab<BiNaRy>cd", "ab"},
        {"binary inside a tag", "<p<binary>x", ""},
        {"binary without >", "ab<binary cd>ef", "abef"},
        {"binary cut off", "ab<binar", "ab"},
        {"doctype at line start", "<!DOCTYPE html PUBLIC \"x\">Hi", "Hi"},
        {"doctype without >", "<!doctype html", ""},
        {"doctype mid line", "a<!doctype x>b", "ab"},
        {"doctype sets the column", "<!doctype x>From: a", "From: a"},
        {"html mid line", "a<html>b", "ab"},
    });
}

TEST(FilterBody, Entities)
{
    expectRows({
        {"all ten", "&uuml;&Uuml;&ouml;&Ouml;&auml;&Auml;&szlig;&gt;&lt;&nbsp;",
         "\xFC\xDC\xF6\xD6\xE4\xC4\xDF>< "},
        {"gt in other cases", "&GT;&Gt;", ">>"},
        {"nbsp in upper case", "&NBSP;x", " x"},
        {"amp is not decoded", "a&amp;b", "a&amp;b"},
        {"umlaut in upper case", "&UUML;", "&UUML;"},
        {"prefix at the very end", "a&uu", "a\xFC"},
        {"prefix cut off", "a&nb", "a&nb"},
        {"lone & at the end", "a&", "a&"},
        {"only the prefix is read", "&ltxy", "<y"},
        {"inside a tag", "<a title=\"&lt;\">x", "<x"},
        {"moves the column", "&gt;From: a", ">From: a"},
    });
}

TEST(FilterBody, NulIsDropped)
{
    expectRows({
        {"outside a tag", "a\0b"sv, "ab"},
        {"inside a tag", "<\0>b"sv, "b"},
    });
}

TEST(FilterBody, SizeLimit)
{
    struct SizeRow {
        std::int32_t length;
        std::size_t written;
        int warnings;
    };
    for (const SizeRow& row : {SizeRow{kMaxBodyText, std::size_t(kMaxBodyText), 0}, SizeRow{kMaxBodyText + 1, 0, 1},
                               SizeRow{0, 0, 0}, SizeRow{-5, 0, 0}}) {
        SCOPED_TRACE(row.length);
        std::string text(row.length > 0 ? std::size_t(row.length) : 0, 'x');
        MemoryOutput output;
        const int refused =
            filterBody(reinterpret_cast<const std::uint8_t*>(text.data()), row.length, output) ? 0 : 1;
        EXPECT_EQ(output.text().size(), row.written);
        EXPECT_EQ(refused, row.warnings);
    }
}

// The pieces of one body: markup and the stored line start begin afresh with
// each, the line written goes on from one to the next.
TEST(FilterBody, PiecesOfOneBody)
{
    const struct {
        std::string_view first;
        std::string_view second;
        std::string_view expected;
    } rows[] = {
        {"a<p class", "From here", "aFrom here"},
        {"x\nFro", "m here", "x\r\n>From here"},
        {"x\n", "From here", "x\r\n>From here"},
        {"a", "From: b", "a>From: b"},
        {"x\nFrom", "", "x\r\nFrom"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        MemoryOutput output;
        BodyLine line;
        for (std::string_view piece : {row.first, row.second})
            filterBody(reinterpret_cast<const std::uint8_t*>(piece.data()), std::int32_t(piece.size()), output, line);
        endBody(line, output);
        EXPECT_EQ(output.text(), row.expected);
    }
}

TEST(FilterBody, LongPlainRunsAroundMarkup)
{
    const std::string line(5000, 'x');
    std::string input;
    std::string expected;
    for (int i = 0; i < 10; ++i) {
        input += line + "<i>&auml;</i>\nFrom here ";
        expected += line + "\xE4\r\n>From here ";
    }
    EXPECT_EQ(filtered(input), expected);
}

} // namespace
