// HTTP dates: written in UTC with English names, read back in four forms.
#include "server/http/http_date.hpp"

#include <strings.h>

#include <cstdio>
#include <ctime>

namespace vantrel {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

void format_http_date(long t, char* out, std::size_t size) {
    time_t when = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&when, &tm);
    std::snprintf(out, size, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday], tm.tm_mday,
                  kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
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
