// The entry's first two lines: the "From - " separator line and the "Date:"
// line, from the item's date text or its count of seconds. All times are UTC.
//   "05.01.2003 09:03:07" gives "From - Sun Jan 5 09:03:07 2003" and
//   "Date: Sun, 5 Jan 2003 09:03:07".
#pragma once

#include <cstdint>

#include "io/style.h"

namespace kistwerk {

class Output;
struct MessageFields;

// Broken-down UTC time; month 0-11, weekday 0-6 from Sunday, year in full.
struct CalendarTime {
    int second = 0;
    int minute = 0;
    int hour = 0;
    int day = 0;
    int month = 0;
    int year = 0;
    int weekday = 0;
};

// Reads up to `capacity` numbers from `text` by a scanf pattern made of "%d",
// blanks and literal characters, the way the C library does in the C locale: a
// number may follow white space and carry a sign, a blank matches any run of
// white space (none included), reading stops at the first character that does
// not fit. A number too large for 64 bits saturates; the low 32 bits are kept.
// Returns how many numbers were read; `afterLast`, when given, is set to the
// character right after the last number read (to `text` when none was).
int scanDateNumbers(const char* text, const char* pattern, std::int32_t* values, int capacity,
                    const char** afterLast = nullptr);

// The moment a date text names, in seconds since 1970 (signed 32-bit arithmetic
// that wraps): German "d.m.y h:m:s", or US "m/d/y h:m:s" when position 1 or 2
// holds "/", where "AM" or "PM" after the last number puts the hour on the
// 12-hour clock. 0 for a year before 1970; negative when the sum wraps, reaches
// before 1970, or the text does not give day, month and year.
std::int32_t parseDateText(const char* text);

// False for a negative count, which has no calendar time. Counts up to the
// 32-bit range and the clock's are meant; the year must fit an int.
bool toCalendarTime(std::int64_t seconds, CalendarTime& time);

// Writes the separator line and the "Date:" line. A timestamp above 0 is the
// message's time, otherwise the parsed date text; when that is negative the
// separator line takes the current time and the "Date:" line the text itself
// (no "Date:" line when the text is empty).
// The style decides whether the separator line's day is padded to two places.
void writeDateLines(const MessageFields& fields, Output& output, const MailboxStyle& style = MailboxStyle{});

} // namespace kistwerk
