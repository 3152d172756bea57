#include "platform/foundation/ISO8601.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace platform::iso8601 {

namespace {

// The range the text can hold, four-digit years: 0000-01-01T00:00:00.000Z
// to 9999-12-31T23:59:59.999Z, in seconds since 1970.
constexpr double kFirstSecond = -62167219200.0;
constexpr double kLastSecond = 253402300799.999;

}  // namespace

std::string format(const Date &date) {
    // A date beyond the four-digit years is written as the nearest one the
    // text can hold, so that whatever is written reads back.
    double seconds = date.timeIntervalSince1970();
    if (std::isnan(seconds)) seconds = 0;
    seconds = std::clamp(seconds, kFirstSecond, kLastSecond);
    // The fraction apart from the whole seconds (exact), rounded to the
    // microsecond before truncating: a value such as t + 0.999 is stored as
    // 0.99899999..., and truncating that would print .998. Far from 1970 a
    // double cannot hold microseconds any more; the rounding error of the
    // value (two roundings: to the double, and from 2001 to 1970) is then
    // added too, so that a text read back prints as it was written.
    double wholeSeconds = std::floor(seconds);
    double ulp = std::nextafter(seconds, INFINITY) - seconds;
    double slack = std::max(0.0, std::ceil(2 * ulp * 1e6) - 1);
    double us = std::round((seconds - wholeSeconds) * 1e6) + slack;
    int millis = static_cast<int>(us / 1000.0);
    if (millis > 999) {
        if (wholeSeconds + 1 > std::floor(kLastSecond)) {
            millis = 999;
        } else {
            wholeSeconds += 1;
            millis -= 1000;
        }
    }
    time_t t = static_cast<time_t>(wholeSeconds);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return buf;
}

std::optional<Date> parse(std::string_view text) {
    // Exactly "yyyy-MM-ddTHH:mm:ss.SSSZ".
    if (text.size() != 24) return std::nullopt;
    auto digits = [&](size_t at, size_t count, int &value) {
        value = 0;
        for (size_t k = 0; k < count; ++k) {
            char c = text[at + k];
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        return true;
    };
    int year, month, day, hour, minute, second, millis;
    if (!digits(0, 4, year) || text[4] != '-' || !digits(5, 2, month) || text[7] != '-' || !digits(8, 2, day) ||
        text[10] != 'T' || !digits(11, 2, hour) || text[13] != ':' || !digits(14, 2, minute) || text[16] != ':' ||
        !digits(17, 2, second) || text[19] != '.' || !digits(20, 3, millis) || text[23] != 'Z')
        return std::nullopt;
    // No leap second: the writer never writes one, and timegm would roll
    // 23:59:60 of 9999-12-31 into a year no text can hold.
    if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    static const int daysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > daysIn[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    time_t t = timegm(&tm);
    return Date::fromTimeIntervalSince1970(static_cast<double>(t) + millis / 1000.0);
}

}  // namespace platform::iso8601
