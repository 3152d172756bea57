#pragma once
// One timestamped entry of a persistent history (sessions, user ids,
// devices).
#include <string>

#include "platform/foundation/Coding.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

class BCHistoryInfo : public platform::Coding {
public:
    BCHistoryInfo() = default;
    explicit BCHistoryInfo(platform::Date timestamp) : timestamp(timestamp) {}

    platform::Date timestamp;

    std::string className() const override { return "BCHistoryInfo"; }
    // Archived under "timestampKey".
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    // An entry without a timestamp (or with one of another type) fails the
    // decode.
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
