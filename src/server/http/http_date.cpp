// HTTP dates: written in UTC with English names, read back in four forms.
#include "server/http/http_date.hpp"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace vantrel {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Two digits of `value` (0-99) at `out`.
char* put_two(char* out, int value) {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
}

// The civil date of a day count since 1970-01-01 (proleptic Gregorian), by
// whole 400-year eras; exact for every day, before 1970 too.
void civil_from_days(long days, int& year, int& month, int& day) {
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const long day_of_era = days - era * 146097;
    const long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long shifted_month = (5 * day_of_year + 2) / 153;  // March is 0
    day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    year = static_cast<int>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

// Written by hand: every static reply carries two dates, and the C library's
// time conversion takes a lock and its formatting a parse of the pattern.
void format_http_date(long t, char* out, std::size_t size) {
    constexpr std::size_t kLength = 29;  // "Sun, 06 Nov 1994 08:49:37 GMT"
    constexpr long kSecondsPerDay = 86400;
    long days = t / kSecondsPerDay;
    long second_of_day = t % kSecondsPerDay;
    if (second_of_day < 0) {
        second_of_day += kSecondsPerDay;
        --days;
    }
    int year, month, day;
    civil_from_days(days, year, month, day);
    const int weekday = static_cast<int>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    if (size == 0) return;
    if (size <= kLength || year < 0 || year > 9999) {
        // Cut to the buffer, or a year that does not take four digits.
        std::snprintf(out, size, "%s, %02d %s %04d %02ld:%02ld:%02ld GMT", kDays[weekday], day,
                      kMonths[month - 1], year, second_of_day / 3600, second_of_day / 60 % 60, second_of_day % 60);
        return;
    }
    char* p = out;
    std::memcpy(p, kDays[weekday], 3);
    std::memcpy(p + 3, ", ", 2);
    p = put_two(p + 5, day);
    *p++ = ' ';
    std::memcpy(p, kMonths[month - 1], 3);
    p += 3;
    *p++ = ' ';
    p = put_two(p, year / 100);
    p = put_two(p, year % 100);
    *p++ = ' ';
    p = put_two(p, static_cast<int>(second_of_day / 3600));
    *p++ = ':';
    p = put_two(p, static_cast<int>(second_of_day / 60 % 60));
    *p++ = ':';
    p = put_two(p, static_cast<int>(second_of_day % 60));
    std::memcpy(p, " GMT", 5);
}

long date_to_time(const char* text) {
    static const char* const kPatterns[] = {"%d/%3s/%d %d:%d:%d", "%d %3s %d %d:%d:%d",
                                            "%*3s, %d %3s %d %d:%d:%d", "%d-%3s-%d %d:%d:%d"};
    for (const char* pattern : kPatterns) {
        int day, year, hour, minute, second;
        char month[4] = {};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        int fields = std::sscanf(text, pattern, &day, month, &year, &hour, &minute, &second);
#pragma GCC diagnostic pop
        if (fields != 6) continue;
        int index = -1;
        for (int i = 0; i < 12; ++i)
            if (strcasecmp(month, kMonths[i]) == 0) index = i;
        if (index < 0) return 0;
        struct tm tm {};
        tm.tm_mday = day;
        tm.tm_mon = index;
        tm.tm_year = year;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        if (tm.tm_year > 1900)
            tm.tm_year -= 1900;
        else if (tm.tm_year < 70)
            tm.tm_year += 100;
        return static_cast<long>(timegm(&tm));
    }
    return 0;
}

}  // namespace vantrel
