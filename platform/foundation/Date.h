#pragma once
// A point in time. Like NSDate it keeps seconds since the reference date
// 2001-01-01 00:00:00 UTC as a double, so that archives (which store that
// number) round-trip exactly; seconds since 1970 are derived from it.
#include <compare>
#include <string>

namespace platform {

class Date {
public:
    // Seconds between 1970 and the reference date 2001-01-01 00:00:00 UTC.
    static constexpr double kReferenceDateOffset = 978307200.0;

    Date() = default;
    static Date now();
    static Date fromTimeIntervalSince1970(double seconds) { return Date(seconds - kReferenceDateOffset); }
    static Date fromTimeIntervalSinceReferenceDate(double seconds) { return Date(seconds); }
    static Date distantPast() { return Date(-63114076800.0 - kReferenceDateOffset); }
    static Date distantFuture() { return Date(64092211200.0 - kReferenceDateOffset); }

    double timeIntervalSince1970() const { return seconds_ + kReferenceDateOffset; }
    double timeIntervalSinceReferenceDate() const { return seconds_; }
    double timeIntervalSinceDate(const Date &other) const { return seconds_ - other.seconds_; }
    Date dateByAddingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

    // "2026-12-07 04:06:33 +0000", the form "%@" prints.
    std::string description() const;

    friend bool operator==(const Date &a, const Date &b) { return a.seconds_ == b.seconds_; }
    friend std::partial_ordering operator<=>(const Date &a, const Date &b) { return a.seconds_ <=> b.seconds_; }

private:
    explicit Date(double sinceReferenceDate) : seconds_(sinceReferenceDate) {}
    double seconds_ = -kReferenceDateOffset;
};

}  // namespace platform
