#include "platform/foundation/Date.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace platform {

Date Date::now() {
    using namespace std::chrono;
    auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return Date(static_cast<double>(us) / 1e6 - kReferenceDateOffset);
}

std::string Date::description() const {
    time_t t = static_cast<time_t>(std::floor(timeIntervalSince1970()));
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return buf;
}

}  // namespace platform
