// Dates in milliseconds and in ISO 8601 with milliseconds, always UTC.
#include "BCUtility.h"
#include "platform/foundation/ISO8601.h"

double BCUtility::nowInMilliseconds() { return platform::Date::now().timeIntervalSince1970() * 1000.0; }

std::string BCUtility::dateToISO8601(const platform::Date &date) { return platform::iso8601::format(date); }

std::optional<platform::Date> BCUtility::dateFromISO8601(const std::string &text) {
    return platform::iso8601::parse(text);
}

// The formatter is stateless here (fixed UTC and fixed pattern), so there is
// nothing to drop; the operation stays for callers that reset it.
void BCUtility::resetDateFormatterInstance() {}
