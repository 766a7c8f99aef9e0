// The fuzz targets' work on one input and the properties checked on its result.
#include "fuzz/checks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "io/input.h"
#include "io/output.h"
#include "message/dates.h"
#include "message/fields.h"
#include "pfc/frontend.h"
#include "pfc/run.h"
#include "text/filter.h"
#include "text/fold.h"

namespace kistwerk::fuzz {

namespace {

// The outputs the checks write into. A fresh buffer of the file output's size
// for every input goes through the sanitizer's own mapping and unmapping each
// time, which costs most of an input's time and stalls for seconds on a busy
// machine; a small one also makes the buffer refill, and hold back a CR,
// far more often.
constexpr std::size_t kCheckBuffer = std::size_t{1} << 14;

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

std::string describe(const char* what, long long a, long long b)
{
    char line[160];
    std::snprintf(line, sizeof line, "%s (%lld, %lld)", what, a, b);
    return line;
}

// The fold as a plain loop over the sequences, by the table of well-formed
// UTF-8 (the lead, the range of the second byte, 80..BF for the rest): each
// character as its windows-1252 byte, "?" where there is none, nothing for a
// byte-order mark; a byte that starts no sequence as it is.
std::vector<std::uint8_t> plainFold(const std::uint8_t* text, std::size_t length)
{
    static const char32_t windows1252[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    auto at = [&](std::size_t i) -> std::uint8_t { return i < length ? text[i] : 0; };
    std::vector<std::uint8_t> out;
    std::size_t i = 0;
    while (i < length) {
        const std::uint8_t b = text[i];
        std::size_t n = 1;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF)
            n = 2;
        else if (b >= 0xE0 && b <= 0xEF)
            n = 3;
        else if (b >= 0xF0 && b <= 0xF4)
            n = 4;
        if (b == 0xE0)
            low = 0xA0;
        if (b == 0xF0)
            low = 0x90;
        if (b == 0xED)
            high = 0x9F;
        if (b == 0xF4)
            high = 0x8F;
        bool wellFormed = n > 1 && i + n <= length && at(i + 1) >= low && at(i + 1) <= high;
        for (std::size_t k = 2; wellFormed && k < n; ++k)
            wellFormed = (at(i + k) & 0xC0) == 0x80;
        if (!wellFormed) {
            out.push_back(b);
            i += 1;
            continue;
        }
        char32_t code = b & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k)
            code = (code << 6) | (at(i + k) & 0x3F);
        i += n;
        if (code == 0xFEFF)
            continue;
        std::uint8_t byte = code <= 0xFF ? static_cast<std::uint8_t>(code) : '?';
        for (std::uint8_t k = 0; k < 32; ++k) {
            if (code > 0xFF && windows1252[k] == code)
                byte = static_cast<std::uint8_t>(0x80 + k);
        }
        out.push_back(byte);
    }
    return out;
}

// True when `text` decodes as well-formed UTF-8 in Python's strict way, by the
// same table, with `multiByte` telling whether a sequence longer than one byte
// occurs; `cut` gets the length of the unfinished well-formed start at its end.
bool plainUtf8(const std::uint8_t* text, std::size_t length, bool& multiByte, std::size_t& cut)
{
    multiByte = false;
    cut = 0;
    std::size_t i = 0;
    bool wellFormed = true;
    while (i < length) {
        const std::uint8_t b = text[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t n = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        const std::uint8_t low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
        const std::uint8_t high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
        std::size_t k = 1;
        while (n > 0 && k < n && i + k < length &&
               (k == 1 ? text[i + k] >= low && text[i + k] <= high : (text[i + k] & 0xC0) == 0x80))
            ++k;
        if (n > 0 && k < n && i + k == length) {
            cut = k;
            return false;
        }
        if (n == 0 || k < n) {
            wellFormed = false;
            ++i;
            continue;
        }
        multiByte = true;
        i += n;
    }
    return wellFormed;
}

// Every line of `text` (one begins at its start and after every LF) that
// begins with ">" any number of times and then "From " gets a ">" in front.
std::string escapeFromLines(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == 0 || text[i - 1] == '\n') {
            const std::size_t from = std::min(text.find_first_not_of('>', i), text.size());
            if (text.compare(from, 5, "From ") == 0)
                out += '>';
        }
        out += text[i];
    }
    return out;
}

// How many lines of `text` begin "From ".
std::size_t fromLines(std::string_view text)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((i == 0 || text[i - 1] == '\n') && text.substr(i, 5) == "From ")
            ++count;
    }
    return count;
}

// The body filter as a plain scan that tests the rules one by one in their
// order of precedence, with none of the filter's shortcuts (runs of plain
// bytes, CR LF pairs in one step, bytes held back at a line start), and the
// "From " lines escaped afterwards in what it wrote. A lower-case letter in a
// keyword matches either case.
class PlainFilter {
public:
    PlainFilter(const std::uint8_t* text, std::int32_t length) : t_(text), n_(length) {}

    std::string run()
    {
        if (n_ <= 0 || n_ > kMaxBodyText)
            return out_;
        while (i_ < n_) {
            if (!step())
                break;
        }
        return escapeFromLines(out_);
    }

private:
    void put(std::uint8_t b) { out_.push_back(static_cast<char>(b)); }

    void lineEnd()
    {
        put('\r');
        put('\n');
    }

    std::uint8_t at(std::int32_t k) const { return k < n_ ? t_[k] : 0; }
    bool inside(std::int32_t k) const { return k < n_; }

    bool match(const char* keyword) const
    {
        for (std::int32_t k = 0; keyword[k] != 0; ++k) {
            if (!inside(i_ + k))
                return false;
            char c = keyword[k];
            std::uint8_t b = t_[i_ + k];
            bool same = c >= 'a' && c <= 'z' ? (b == c || b == c - 32) : b == static_cast<std::uint8_t>(c);
            if (!same)
                return false;
        }
        return true;
    }

    // Byte and length of the entity at the "&", or a length of 0.
    std::pair<std::uint8_t, std::int32_t> entity() const
    {
        if (!inside(i_ + 2))
            return {0, 0};
        std::uint8_t a = t_[i_ + 1];
        std::uint8_t b = t_[i_ + 2];
        const struct {
            std::uint8_t first;
            std::uint8_t second;
            std::uint8_t byte;
            std::int32_t consumed;
        } exact[] = {{'u', 'u', 0xFC, 6}, {'U', 'u', 0xDC, 6}, {'o', 'u', 0xF6, 6}, {'O', 'u', 0xD6, 6},
                     {'a', 'u', 0xE4, 6}, {'A', 'u', 0xC4, 6}, {'s', 'z', 0xDF, 7}};
        for (const auto& e : exact) {
            if (a == e.first && b == e.second)
                return {e.byte, e.consumed};
        }
        if (match("&gt"))
            return {'>', 4};
        if (match("&lt"))
            return {'<', 4};
        if (match("&nbs"))
            return {' ', 6};
        return {0, 0};
    }

    // One rule at the current position; false when the scan ends.
    bool step()
    {
        const std::uint8_t b = t_[i_];
        if (column_ == 0 && n_ > 4) {
            if (match("<!doctype")) {
                std::int32_t k = i_ + 9;
                while (inside(k) && t_[k] != '>')
                    ++k;
                column_ = 8 + (k - (i_ + 9));
                i_ = inside(k) ? k + 1 : n_;
                return true;
            }
            if (match("<html>")) {
                column_ = 5;
                i_ += 6;
                return true;
            }
            if (match("from:")) {
                put('>');
                for (std::int32_t k = 0; k < 5; ++k)
                    put(t_[i_ + k]);
                column_ = 5;
                i_ += 5;
                return true;
            }
        }
        bool del = b == 0x7F;
        bool loneLf = b == '\n' && i_ > 0 && t_[i_ - 1] != '\r';
        bool loneCr = b == '\r' && i_ > 0 && !(inside(i_ + 1) && t_[i_ + 1] == '\n');
        if (del || loneLf || loneCr) {
            if (depth_ == 0)
                lineEnd();
            if (!loneCr)
                column_ = 0;
            ++i_;
            return true;
        }
        if (match("<binary>"))
            return false;
        if (b == '&') {
            auto [byte, consumed] = entity();
            if (consumed > 0) {
                put(byte);
                ++column_;
                i_ += consumed;
                return true;
            }
        }
        if (b == '<') {
            if (match("<br")) {
                lineEnd();
                column_ = 0;
                std::int32_t k = i_ + 4;
                if (at(k) == '\r' && inside(k))
                    k += (inside(k + 1) && t_[k + 1] == '\n') ? 2 : 1;
                i_ = k;
            } else if (match("<block")) {
                put('<');
                put('<');
                ++depth_;
                i_ += 7;
            } else if (match("</block")) {
                put('>');
                put('>');
                ++depth_;
                i_ += 7;
            } else {
                ++depth_;
                ++i_;
            }
            return true;
        }
        if (b == '>') {
            if (depth_ > 0) {
                --depth_;
            } else {
                put('>');
                ++column_;
            }
            ++i_;
            return true;
        }
        if (depth_ == 0) {
            ++column_;
            if (b != 0)
                put(b);
        }
        ++i_;
        return true;
    }

    const std::uint8_t* t_;
    std::int32_t n_;
    std::int32_t i_ = 0;
    std::int32_t column_ = 0;
    std::int32_t depth_ = 0;
    std::string out_;
};

// The input as a date text field holds it: zero-ended, at most 4,095 bytes.
void toDateText(const std::uint8_t* data, std::size_t size, char* text)
{
    std::size_t n = std::min(size, kMaxTextLength);
    std::memcpy(text, data, n);
    text[n] = 0;
}

// The number reader claims to read as the C library's sscanf does; glibc is the
// reference where it is at hand.
std::string compareWithScanf(const char* text, const char* pattern)
{
#if defined(__GLIBC__)
    std::int32_t ours[6] = {};
    int theirs[6] = {};
    int ourCount = scanDateNumbers(text, pattern, ours, 6);
    int theirCount = std::sscanf(text, pattern, &theirs[0], &theirs[1], &theirs[2], &theirs[3], &theirs[4],
                                 &theirs[5]);
    if (theirCount < 0)
        theirCount = 0;  // EOF before the first number: none read
    if (ourCount != theirCount)
        return describe("scanDateNumbers reads another count of numbers than sscanf", ourCount, theirCount);
    for (int i = 0; i < ourCount; ++i) {
        if (ours[i] != theirs[i])
            return describe("scanDateNumbers reads another number than sscanf", ours[i], theirs[i]);
    }
#else
    (void)text;
    (void)pattern;
#endif
    return {};
}

bool isLeapYear(int year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int monthLength(int year, int month)
{
    static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : lengths[month - 1];
}

// A plain calendar date from 1970 to 2037 must come back from the seconds the
// parser gives, field for field.
std::string checkPlainDate(const char* text, std::int32_t moment)
{
    std::int32_t v[6] = {};
    bool us = text[0] != 0 && (text[1] == '/' || (text[1] != 0 && text[2] == '/'));
    const char* afterLast = text;
    if (scanDateNumbers(text, us ? "%d/%d/%d %d:%d:%d" : "%d.%d.%d %d:%d:%d", v, 6, &afterLast) < 3)
        return {};
    // A US text may end its time with "AM" or "PM": the 12-hour clock.
    int hour = v[3];
    if (us) {
        std::string_view rest(afterLast);
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
        auto lower = [&](std::size_t k) { return k < rest.size() ? rest[k] | 0x20 : 0; };
        bool marked = lower(1) == 'm' && !(lower(2) >= 'a' && lower(2) <= 'z');
        if (marked && lower(0) == 'a' && hour == 12)
            hour = 0;
        if (marked && lower(0) == 'p' && hour >= 1 && hour <= 11)
            hour += 12;
    }
    int day = us ? v[1] : v[0];
    int month = us ? v[0] : v[1];
    int year = v[2];
    if (year >= 0 && year < 100)
        year += year > 70 ? 1900 : 2000;
    if (year < 1970 || year > 2037 || month < 1 || month > 12 || day < 1 || day > monthLength(year, month))
        return {};
    if (v[3] < 0 || v[3] > 23 || v[4] < 0 || v[4] > 59 || v[5] < 0 || v[5] > 59)
        return {};
    CalendarTime t;
    if (!toCalendarTime(moment, t))
        return describe("a plain date gives no calendar time", moment, 0);
    if (t.year != year || t.month != month - 1 || t.day != day || t.hour != hour || t.minute != v[4] ||
        t.second != v[5])
        return describe("a plain date does not come back from its seconds (seconds, year)", moment, t.year);
    return {};
}

std::string checkCalendar(std::int64_t seconds)
{
    CalendarTime t;
    if (!toCalendarTime(seconds, t))
        return seconds < 0 ? std::string() : describe("no calendar time for a count of 0 or more", seconds, 0);
    if (t.month < 0 || t.month > 11 || t.weekday < 0 || t.weekday > 6 || t.day < 1 || t.day > 31 || t.hour < 0 ||
        t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59 || t.year < 1970)
        return describe("calendar time out of range (seconds, month)", seconds, t.month);
    return {};
}

std::string checkDateLines(const char* text, std::int32_t timestamp)
{
    static MessageFields fields;
    clearMessageFields(fields);
    std::strcpy(fields.dateText, text);
    fields.timestamp = timestamp;
    MemoryOutput output(kCheckBuffer);
    writeDateLines(fields, output);
    std::string_view lines = output.text();
    std::size_t first = lines.find("\r\n");
    // Only an item with neither a date text nor a timestamp lacks the Date: line.
    bool dateLineDue = text[0] != 0 || timestamp > 0;
    bool hasDateLine = first != std::string_view::npos && first + 2 < lines.size();
    if (!startsWith(lines, "From - ") || first == std::string_view::npos || hasDateLine != dateLineDue ||
        (hasDateLine && !startsWith(lines.substr(first + 2), "Date: ")) || lines.substr(lines.size() - 2) != "\r\n")
        return describe("date lines out of form (length, timestamp)", static_cast<long long>(lines.size()),
                        timestamp);
    std::string_view dateLine = lines.substr(first + 2, lines.size() - first - 4);
    if (dateLine.find_first_of("\r\n") != std::string_view::npos)
        return "a line break inside the Date: line";
    return {};
}

// An input that only copies: every view goes through the scratch buffer, the
// way a source without its own memory serves it.
class CopyingInput final : public InputSource {
public:
    CopyingInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::int64_t size() const override { return static_cast<std::int64_t>(size_); }
    std::size_t readAt(std::int64_t offset, void* dst, std::size_t count) override
    {
        if (offset < 0 || static_cast<std::uint64_t>(offset) >= size_)
            return 0;
        std::size_t n = std::min(count, size_ - static_cast<std::size_t>(offset));
        std::memcpy(dst, data_ + offset, n);
        return n;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

std::string convert(ConversionRun& run, InputSource& input)
{
    MemoryOutput output(kCheckBuffer);
    SilentFrontEnd frontEnd;
    convertContainer(run, input, output, frontEnd);
    return output.text();
}

// The mailbox text without its separator lines, which may take the clock. A
// separator can also follow an entry cut short on the same line, so every
// "From - " up to its line end goes.
std::string withoutSeparatorLines(const std::string& text)
{
    std::string kept;
    std::size_t at = 0;
    for (;;) {
        std::size_t from = text.find("From - ", at);
        if (from == std::string::npos)
            break;
        kept.append(text, at, from - at);
        std::size_t end = text.find("\r\n", from);
        at = end == std::string::npos ? text.size() : end;
    }
    kept.append(text, at, std::string::npos);
    return kept;
}

std::string unixForm(InputSource& input)
{
    ConversionRun run;
    run.style.lfLineEnds = true;
    return convert(run, input);
}

// The text with the CR of every CR LF pair dropped, the plain way.
std::string joinedLineEnds(const std::string& text)
{
    std::string joined;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n')
            joined += text[i];
    return joined;
}

} // namespace

std::string checkConversion(const std::uint8_t* data, std::size_t size)
{
    MemoryInput input(data, size);
    ConversionRun run;
    std::string text = convert(run, input);
    if (run.doneItems != run.totalItems)
        return describe("the two walks visit different leaves", run.doneItems, run.totalItems);
    if (run.entriesWritten > run.doneItems)
        return describe("more entries than leaves", run.entriesWritten, run.doneItems);
    if ((run.entriesWritten == 0) != text.empty())
        return describe("mailbox text and entry count disagree", static_cast<long long>(text.size()),
                        run.entriesWritten);
    if (!text.empty() && !startsWith(text, "From - "))
        return "the mailbox file does not begin with a separator line";
    if (run.percent < 0 || run.percent > 100)
        return describe("percent out of range", run.percent, 0);
    // Only the separator lines begin "From "; no line of a body or a header does.
    if (fromLines(text) != run.entriesWritten)
        return describe("lines beginning \"From \" other than the separators (lines, entries)",
                        static_cast<long long>(fromLines(text)), run.entriesWritten);
    // Text used where the input holds it must give what copied text gives.
    CopyingInput copying(data, size);
    ConversionRun second;
    if (withoutSeparatorLines(convert(second, copying)) != withoutSeparatorLines(text))
        return "the mailbox text differs between an input read in place and one read by copies";
    // The Unix form is the Windows form with its line ends joined. A separator
    // line may take the clock, so a pair made across a change of second is made
    // again, one right after the other.
    if (unixForm(input) != joinedLineEnds(text)) {
        ConversionRun again;
        const std::string windowsText = convert(again, input);
        if (unixForm(input) != joinedLineEnds(windowsText))
            return "the Unix form is not the Windows form with LF line ends";
    }
    return {};
}

std::string checkFilter(const std::uint8_t* data, std::size_t size)
{
    auto length = static_cast<std::int32_t>(std::min<std::size_t>(size, 0x7FFFFFFF));
    MemoryOutput output(kCheckBuffer);
    const bool taken = filterBody(data, length, output);
    std::string_view text = output.text();
    if (taken == (length > kMaxBodyText))
        return "the filter's answer does not say whether the text was too long";
    if (length > kMaxBodyText)
        return text.empty() ? std::string() : "an over-long text was written";
    // No step writes more than twice what it consumes.
    if (text.size() > 2 * static_cast<std::size_t>(length))
        return describe("more than twice the input written", static_cast<long long>(text.size()), length);
    if (text.find('\0') != std::string_view::npos)
        return "a NUL byte was written";
    if (fromLines(text) != 0)
        return "a line written begins \"From \"";
    if (PlainFilter(data, length).run() != text)
        return "the filter's text differs from the plain scan's";
    // Text with no markup, entity, line end, DEL, NUL or "From:" passes unchanged.
    std::string_view in(reinterpret_cast<const char*>(data), size);
    if (in.find_first_of(std::string_view("<&\r\n\x7F\0Ff", 8)) == std::string_view::npos && text != in)
        return "plain text was changed";
    return {};
}

std::string checkFold(const std::uint8_t* data, std::size_t size)
{
    // The fold's documented room, exactly: the text and one byte for the zero
    // behind it, so that a write or read past it meets the address checker.
    std::unique_ptr<std::uint8_t[]> text(new std::uint8_t[size + 1]);
    if (size > 0)
        std::memcpy(text.get(), data, size);
    text[size] = 0xEE;
    auto length = static_cast<std::int32_t>(size);
    foldUtf8(text.get(), length);
    std::vector<std::uint8_t> expected = plainFold(data, size);
    if (length < 0 || static_cast<std::size_t>(length) != expected.size())
        return describe("folded length differs from the plain fold", length, static_cast<long long>(expected.size()));
    if (!std::equal(expected.begin(), expected.end(), text.get()))
        return "folded bytes differ from the plain fold";
    if (text[static_cast<std::size_t>(length)] != 0)
        return "no zero byte behind the folded text";
    // What lies between the new end and the old one is not the fold's concern,
    // but the byte behind the old end must stay unless the text did not shrink.
    if (static_cast<std::size_t>(length) < size && text[size] != 0xEE)
        return "the fold wrote beyond the text's own room";
    // Against the plain scan: the unfinished start a piece keeps back, and
    // whether a header text stays UTF-8.
    bool multiByte = false;
    std::size_t cut = 0;
    const bool wellFormed = plainUtf8(data, size, multiByte, cut);
    const auto clipped = static_cast<std::int32_t>(std::min<std::size_t>(size, 0x7FFFFFFF));
    if (static_cast<std::size_t>(cutSequenceLength(data, clipped)) != cut)
        return describe("cutSequenceLength differs from the plain scan", cutSequenceLength(data, clipped),
                        static_cast<long long>(cut));
    if (isUtf8Text(data, size) != (wellFormed && multiByte))
        return "isUtf8Text differs from the plain scan";
    return {};
}

std::string checkDate(const std::uint8_t* data, std::size_t size)
{
    char text[kTextFieldSize];
    toDateText(data, size, text);
    for (const char* pattern : {"%d.%d.%d %d:%d:%d", "%d/%d/%d %d:%d:%d"}) {
        std::string finding = compareWithScanf(text, pattern);
        if (!finding.empty())
            return finding;
    }
    std::int32_t moment = parseDateText(text);
    std::string finding = checkPlainDate(text, moment);
    if (finding.empty())
        finding = checkCalendar(moment);
    std::int32_t timestamp = size >= 4 ? loadI32(data) : 0;
    if (finding.empty())
        finding = checkCalendar(timestamp);
    if (finding.empty())
        finding = checkDateLines(text, 0);
    if (finding.empty())
        finding = checkDateLines(text, timestamp);
    return finding;
}

void stopOnFinding(const std::string& finding)
{
    if (finding.empty())
        return;
    std::fprintf(stderr, "==FINDING== %s\n", finding.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace kistwerk::fuzz
