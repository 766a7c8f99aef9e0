// Date text parsing, UTC calendar conversion and the two date lines.
//
// The date arithmetic reproduces the stored files' historical results exactly:
// a day above 31 counts as 31, a month above 12 as 13, hours, minutes and
// seconds carry over, and the sum wraps in 32 bits (so 2038-01-19 03:14:08 and
// later come out negative and take the fallback).
#include "message/dates.h"

#include <chrono>
#include <limits>

#include "io/output.h"
#include "message/fields.h"
#include "message/header.h"

namespace kistwerk {

namespace {

// English names whatever the locale: mail readers expect them.
constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::int32_t kMonthLengths[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

constexpr const char* kGermanPattern = "%d.%d.%d %d:%d:%d";
constexpr const char* kUsPattern = "%d/%d/%d %d:%d:%d";

constexpr std::int32_t kNoUsableDate = -1;

bool isScanSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// One "%d": white space, a sign, digits. Returns false when no digit comes.
bool scanNumber(const char*& p, std::int32_t& value)
{
    while (isScanSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (!isDigit(*p))
        return false;
    // The magnitude saturates one above the largest 64-bit value, which is
    // enough to tell both limits apart.
    constexpr std::uint64_t kCap = std::uint64_t{1} << 63;
    std::uint64_t magnitude = 0;
    for (; isDigit(*p); ++p) {
        // The test takes the digit into account, so that the values just below
        // the limit (9223372036854775800 to ...807) are kept exactly.
        const auto digit = static_cast<std::uint64_t>(*p - '0');
        if (magnitude <= (kCap - digit) / 10)
            magnitude = magnitude * 10 + digit;
        else
            magnitude = kCap;
    }
    std::int64_t wide;
    if (negative)
        wide = magnitude >= kCap ? std::numeric_limits<std::int64_t>::min()
                                 : -static_cast<std::int64_t>(magnitude);
    else
        wide = magnitude >= kCap ? std::numeric_limits<std::int64_t>::max()
                                 : static_cast<std::int64_t>(magnitude);
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
    return true;
}

// Signed 32-bit arithmetic that wraps instead of overflowing.
std::int32_t wrapAdd(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t wrapMul(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// US texts may give the time on the 12-hour clock: "1/5/2003 9:03:07 PM". An
// "AM" or "PM" (either case, blanks before it) right after the last number
// read makes 12 AM 00 and 1 PM to 11 PM 13 to 23; other hours stay.
std::int32_t onTwelveHourClock(std::int32_t hour, const char* afterLast)
{
    const char* p = afterLast;
    while (*p == ' ')
        ++p;
    const char half = static_cast<char>(p[0] | 0x20);
    if ((half != 'a' && half != 'p') || (p[1] | 0x20) != 'm' || isLetter(p[2]))
        return hour;
    if (hour == 12)
        return half == 'a' ? 0 : 12;
    if (half == 'p' && hour >= 1 && hour <= 11)
        return hour + 12;
    return hour;
}

bool isUsOrder(const char* text)
{
    return text[0] != 0 && (text[1] == '/' || (text[1] != 0 && text[2] == '/'));
}

// Days from 1970-01-01 to the day given, in the wrapping arithmetic.
std::int32_t daysSinceEpoch(std::int32_t year, std::int32_t month, std::int32_t day)
{
    // A month read as the smallest 32-bit value must wrap here too, to the
    // largest, and so count as a month above 12.
    std::int32_t y = wrapAdd(year, -1900);
    std::int32_t m = wrapAdd(month, -1);
    // Exact for 1970 to 2099.
    std::int32_t days = wrapAdd(wrapMul(1461, y), -102269) / 4;
    const std::int32_t* lengths = kMonthLengths[y % 4 == 0 ? 1 : 0];
    for (std::int32_t i = 0; i < m && i < 12; ++i)
        days += lengths[i];
    return wrapAdd(days, day > 31 ? 31 : day);
}

// Read for every entry without a date. The C library's time() costs
// microseconds a call where it goes through the time-zone machinery (Wine's
// msvcrt does), which made archives of many small undated items ten times
// slower than others; the system clock is read without it.
std::int64_t currentTime()
{
    using namespace std::chrono;
    const std::int64_t now = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    return now < 0 ? 0 : now;
}

// The lines are built by hand rather than by a formatted print: they are
// written once per entry, and "%d" and "%02d" are all they need.
char* appendText(char* p, const char* text)
{
    while (*text != 0)
        *p++ = *text++;
    return p;
}

// `value` in decimal, with leading zeros up to `minDigits` digits.
char* appendNumber(char* p, int value, int minDigits = 1)
{
    auto magnitude = static_cast<unsigned int>(value);
    if (value < 0) {
        *p++ = '-';
        magnitude = 0u - magnitude;
    }
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (n < minDigits)
        digits[n++] = '0';
    while (n > 0)
        *p++ = digits[--n];
    return p;
}

char* appendClock(char* p, const CalendarTime& t)
{
    p = appendNumber(p, t.hour, 2);
    *p++ = ':';
    p = appendNumber(p, t.minute, 2);
    *p++ = ':';
    return appendNumber(p, t.second, 2);
}

// "From - Tue Mar 4 09:05:07 2003", or with the padded day
// "From - Tue Mar  4 09:05:07 2003" as asctime has it, which Unix mbox readers
// look for.
void writeSeparatorLine(Output& output, const CalendarTime& t, bool paddedDay)
{
    char line[96];
    char* p = appendText(line, "From - ");
    p = appendText(p, kDayNames[t.weekday]);
    *p++ = ' ';
    p = appendText(p, kMonthNames[t.month]);
    *p++ = ' ';
    if (paddedDay && t.day < 10)
        *p++ = ' ';
    p = appendNumber(p, t.day);
    *p++ = ' ';
    p = appendClock(p, t);
    *p++ = ' ';
    p = appendNumber(p, t.year);
    p = appendText(p, "\r\n");
    output.write(line, static_cast<std::size_t>(p - line));
}

// "Date: Tue, 4 Mar 2003 09:05:07"
void writeDateLine(Output& output, const CalendarTime& t)
{
    char line[96];
    char* p = appendText(line, "Date: ");
    p = appendText(p, kDayNames[t.weekday]);
    p = appendText(p, ", ");
    p = appendNumber(p, t.day);
    *p++ = ' ';
    p = appendText(p, kMonthNames[t.month]);
    *p++ = ' ';
    p = appendNumber(p, t.year);
    *p++ = ' ';
    p = appendClock(p, t);
    p = appendText(p, "\r\n");
    output.write(line, static_cast<std::size_t>(p - line));
}

} // namespace

int scanDateNumbers(const char* text, const char* pattern, std::int32_t* values, int capacity,
                    const char** afterLast)
{
    int count = 0;
    const char* p = text;
    if (afterLast != nullptr)
        *afterLast = text;
    for (const char* f = pattern; *f != 0; ++f) {
        if (f[0] == '%' && f[1] == 'd') {
            if (count == capacity || !scanNumber(p, values[count]))
                break;
            ++count;
            ++f;
            if (afterLast != nullptr)
                *afterLast = p;
        } else if (*f == ' ') {
            while (isScanSpace(*p))
                ++p;
        } else if (*p == *f) {
            ++p;
        } else {
            break;
        }
    }
    return count;
}

std::int32_t parseDateText(const char* text)
{
    // Numbers the text does not give count as 0.
    std::int32_t v[6] = {0, 0, 0, 0, 0, 0};
    bool us = isUsOrder(text);
    const char* afterLast = text;
    if (scanDateNumbers(text, us ? kUsPattern : kGermanPattern, v, 6, &afterLast) < 3)
        return kNoUsableDate;
    std::int32_t day = us ? v[1] : v[0];
    std::int32_t month = us ? v[0] : v[1];
    std::int32_t year = v[2];
    std::int32_t hour = us ? onTwelveHourClock(v[3], afterLast) : v[3];
    std::int32_t minute = v[4];
    std::int32_t second = v[5];

    // Two-digit years: 71-99 are the 1900s, 0-70 (and negative ones) the 2000s.
    if (year < 100)
        year = wrapAdd(year, year > 70 ? 1900 : 2000);
    if (year < 1970)
        return 0;

    std::int32_t days = daysSinceEpoch(year, month, day);
    std::int32_t hours = wrapAdd(hour, wrapMul(24, wrapAdd(days, -1)));
    std::int32_t minutes = wrapAdd(minute, wrapMul(60, hours));
    return wrapAdd(second, wrapMul(60, minutes));
}

bool toCalendarTime(std::int64_t seconds, CalendarTime& time)
{
    if (seconds < 0)
        return false;
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    time.hour = static_cast<int>(rest / 3600);
    time.minute = static_cast<int>(rest / 60 % 60);
    time.second = static_cast<int>(rest % 60);
    time.weekday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday

    // Civil date from a day count, with years that start in March so that the
    // leap day comes last.
    std::int64_t z = days + 719468;
    std::int64_t era = z / 146097;
    std::int64_t dayOfEra = z - era * 146097;
    std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    std::int64_t marchMonth = (5 * dayOfYear + 2) / 153;
    time.day = static_cast<int>(dayOfYear - (153 * marchMonth + 2) / 5 + 1);
    time.month = static_cast<int>(marchMonth < 10 ? marchMonth + 2 : marchMonth - 10);
    time.year = static_cast<int>(yearOfEra + era * 400 + (time.month <= 1 ? 1 : 0));
    return true;
}

void writeDateLines(const MessageFields& fields, Output& output, const MailboxStyle& style)
{
    std::int64_t moment = fields.timestamp > 0 ? fields.timestamp : parseDateText(fields.dateText);
    CalendarTime time;
    if (toCalendarTime(moment, time)) {
        writeSeparatorLine(output, time, style.paddedSeparatorDay);
        writeDateLine(output, time);
        return;
    }
    // No usable moment: the separator line needs one anyway, and the stored text
    // is kept as it stands rather than replaced by an invented date. Without
    // any text there is no "Date:" line at all: an empty one is malformed.
    toCalendarTime(currentTime(), time);
    writeSeparatorLine(output, time, style.paddedSeparatorDay);
    if (fields.dateText[0] != 0)
        writeHeaderLine(output, "Date: ", fields.dateText);
}

} // namespace kistwerk
