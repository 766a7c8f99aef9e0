// Date texts, the 32-bit date arithmetic and the two date lines of an entry.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <regex>
#include <string>

#include "io/output.h"
#include "message/dates.h"
#include "message/fields.h"

using namespace kistwerk;

namespace {

struct DateSource {
    const char* dateText;
    std::int32_t timestamp;
};

std::string dateLines(const DateSource& source)
{
    static MessageFields fields;
    clearMessageFields(fields);
    std::strcpy(fields.dateText, source.dateText);
    fields.timestamp = source.timestamp;
    MemoryOutput output;
    writeDateLines(fields, output);
    return output.text();
}

// The separator line of the fallback takes the clock: only its form is fixed.
const std::regex kCurrentTimeSeparator(
    "From - (Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[1-9][0-9]? [0-2][0-9]:[0-5][0-9]:[0-5][0-9] 2[0-9]{3}\r\n");

struct DateRow {
    const char* dateText;
    std::int32_t timestamp;
    const char* separator;  // nullptr: the fallback from the current time
    const char* dateLine;   // nullptr: no "Date:" line
};

TEST(DateLinesTest, DateTable)
{
    const DateRow rows[] = {
        {"05.01.2003 09:03:07", 0, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        {"1/5/2003 09:03:07", 0, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        {"05/01/2003 09:03:07", 0, "From - Thu May 1 09:03:07 2003", "Date: Thu, 1 May 2003 09:03:07"},
        {"12/25/03 10:00:00", 0, "From - Thu Dec 25 10:00:00 2003", "Date: Thu, 25 Dec 2003 10:00:00"},
        {"01.01.71 00:00:00", 0, "From - Fri Jan 1 00:00:00 1971", "Date: Fri, 1 Jan 1971 00:00:00"},
        {"01.01.70 00:00:00", 0, nullptr, "Date: 01.01.70 00:00:00"},
        {"15.06.1969 12:00:00", 0, "From - Thu Jan 1 00:00:00 1970", "Date: Thu, 1 Jan 1970 00:00:00"},
        {"31.02.2003 00:00:00", 0, "From - Mon Mar 3 00:00:00 2003", "Date: Mon, 3 Mar 2003 00:00:00"},
        {"45.01.2003 00:00:00", 0, "From - Fri Jan 31 00:00:00 2003", "Date: Fri, 31 Jan 2003 00:00:00"},
        {"10.14.2003 00:00:00", 0, "From - Sat Jan 10 00:00:00 2004", "Date: Sat, 10 Jan 2004 00:00:00"},
        {"05.01.2003 25:00:00", 0, "From - Mon Jan 6 01:00:00 2003", "Date: Mon, 6 Jan 2003 01:00:00"},
        {"29.02.2004 12:00:00", 0, "From - Sun Feb 29 12:00:00 2004", "Date: Sun, 29 Feb 2004 12:00:00"},
        {"19.01.2038 03:14:07", 0, "From - Tue Jan 19 03:14:07 2038", "Date: Tue, 19 Jan 2038 03:14:07"},
        {"19.01.2038 03:14:08", 0, nullptr, "Date: 19.01.2038 03:14:08"},
        {"00.01.1970 00:00:00", 0, nullptr, "Date: 00.01.1970 00:00:00"},
        // A positive timestamp wins; zero or negative ones leave the text to decide.
        {"", 1041757387, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        {"31.12.1999 23:59:59", 1041757387, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        {"05.01.2003 09:03:07", -5, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        {"", 2147483647, "From - Tue Jan 19 03:14:07 2038", "Date: Tue, 19 Jan 2038 03:14:07"},
        // Numbers the text lacks: no time counts as midnight; no full date is no date.
        {"05.01.2003", 0, "From - Sun Jan 5 00:00:00 2003", "Date: Sun, 5 Jan 2003 00:00:00"},
        {"05.01.2003 09", 0, "From - Sun Jan 5 09:00:00 2003", "Date: Sun, 5 Jan 2003 09:00:00"},
        {"", 0, nullptr, nullptr},
        {"05.01", 0, nullptr, "Date: 05.01"},
        {"Sun, 5 Jan 2003 10:20:30 +0100", 0, nullptr, "Date: Sun, 5 Jan 2003 10:20:30 +0100"},
        // scanf's white space and signs; a blank in the pattern matches none too.
        {" 5. 1. 2003\t9:3:7", 0, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        {"+5.+1.+2003   09:03:07", 0, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        {"06.01.2003 -1:00:00", 0, "From - Sun Jan 5 23:00:00 2003", "Date: Sun, 5 Jan 2003 23:00:00"},
        {"05.01.2003 09:03:07 Uhr", 0, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        // A two-digit or negative year lands in the 2000s; 2070 is past the range.
        {"05.01.03 09:03:07", 0, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        {"05.01.-97 09:03:07", 0, "From - Thu Jan 1 00:00:00 1970", "Date: Thu, 1 Jan 1970 00:00:00"},
        // Month 0 or below counts as January; day 0 reaches into the month before.
        {"05.00.2003 09:03:07", 0, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        {"00.03.2003 00:00:00", 0, "From - Fri Feb 28 00:00:00 2003", "Date: Fri, 28 Feb 2003 00:00:00"},
        // US texts on the 12-hour clock.
        {"1/5/2003 9:03:07 PM", 0, "From - Sun Jan 5 21:03:07 2003", "Date: Sun, 5 Jan 2003 21:03:07"},
        {"1/5/2003 12:30:00 am", 0, "From - Sun Jan 5 00:30:00 2003", "Date: Sun, 5 Jan 2003 00:30:00"},
        {"1/5/2003 12:30:00 Pm", 0, "From - Sun Jan 5 12:30:00 2003", "Date: Sun, 5 Jan 2003 12:30:00"},
        {"1/5/2003 9:03PM", 0, "From - Sun Jan 5 21:03:00 2003", "Date: Sun, 5 Jan 2003 21:03:00"},
        {"1/5/2003 13:00:00 PM", 0, "From - Sun Jan 5 13:00:00 2003", "Date: Sun, 5 Jan 2003 13:00:00"},
        {"05.01.2003 09:03:07 PM", 0, "From - Sun Jan 5 09:03:07 2003", "Date: Sun, 5 Jan 2003 09:03:07"},
        // A CR or LF in a kept date text cannot break the line.
        {"heute\r\nFrom x", 0, nullptr, "Date: heute  From x"},
    };
    for (const DateRow& row : rows) {
        SCOPED_TRACE(row.dateText);
        SCOPED_TRACE(row.timestamp);
        std::string lines = dateLines({row.dateText, row.timestamp});
        std::size_t firstEnd = lines.find("\r\n");
        ASSERT_NE(firstEnd, std::string::npos);
        std::string separator = lines.substr(0, firstEnd + 2);
        std::string dateLine = lines.substr(firstEnd + 2);
        if (row.separator == nullptr)
            EXPECT_TRUE(std::regex_match(separator, kCurrentTimeSeparator)) << separator;
        else
            EXPECT_EQ(separator, std::string(row.separator) + "\r\n");
        EXPECT_EQ(dateLine, row.dateLine == nullptr ? std::string() : std::string(row.dateLine) + "\r\n");
    }
}

TEST(DateLinesTest, SumWrapsInThirtyTwoBits)
{
    const struct {
        const char* text;
        std::int32_t seconds;
    } rows[] = {
        {"05.01.2003 09:03:07", 1041757387},
        {"01.01.1970 00:00:00", 0},
        {"19.01.2038 03:14:07", 2147483647},
        {"19.01.2038 03:14:08", -2147483647 - 1},
        {"00.01.1970 00:00:00", -86400},
        {"01.01.70 00:00:00", static_cast<std::int32_t>(3155760000u)},
        // 2^32 seconds on, round again; the day count takes 2100 for a leap year.
        {"07.02.2106 06:28:16", 86400},
        // A month above 12 counts as 13, also one that wraps to the smallest value.
        {"05.13.2003 00:00:00", 1073260800},
        {"05.2147483648.2003 00:00:00", 1073260800},
        {"05.-2147483648.2003 00:00:00", 1073260800},
        {"05.02147483648.2-1", 1041721200},
        {"", -1},
        {"1/5", -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(parseDateText(row.text), row.seconds);
    }
}

TEST(DateLinesTest, ScansNumbersLikeTheCLibrary)
{
    const struct {
        const char* text;
        int count;
        std::int32_t first;
    } rows[] = {
        {"99999999999", 1, 1215752191},
        {"-99999999999", 1, -1215752191},
        {"99999999999999999999999", 1, -1},   // saturates at the 64-bit maximum
        {"-99999999999999999999999", 1, 0},   // and at the minimum
        // Just below the 64-bit limits every digit still counts.
        {"9223372036854775803", 1, -5},
        {"9223372036854775807", 1, -1},
        {"9223372036854775808", 1, -1},
        {"-9223372036854775803", 1, 5},
        {"-9223372036854775807", 1, 1},
        {"-9223372036854775808", 1, 0},
        {"-9223372036854775809", 1, 0},
        {"922337203685477580", 1, -858993460},
        {"2147483648", 1, -2147483647 - 1},
        {"\v\f\r\n\t 12", 1, 12},
        {"-", 0, 0},
        {"+ 5", 0, 0},
        {"x1", 0, 0},
        {"", 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::int32_t values[6] = {0, 0, 0, 0, 0, 0};
        EXPECT_EQ(scanDateNumbers(row.text, "%d.%d.%d %d:%d:%d", values, 6), row.count);
        EXPECT_EQ(values[0], row.first);
    }
}

TEST(DateLinesTest, SameBytesUnderAGermanLocale)
{
    std::string english = dateLines({"05.01.2003 09:03:07", 0});
    std::string saved = std::setlocale(LC_ALL, nullptr);
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252"};
    bool switched = false;
    for (const char* name : names)
        switched = switched || std::setlocale(LC_ALL, name) != nullptr;
    std::string german = dateLines({"05.01.2003 09:03:07", 0});
    std::setlocale(LC_ALL, saved.c_str());
    if (!switched)
        GTEST_SKIP() << "no German locale installed";
    EXPECT_EQ(german, english);
}

} // namespace
