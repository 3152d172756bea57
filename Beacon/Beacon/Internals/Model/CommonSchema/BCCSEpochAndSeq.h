#pragma once
// The per-target counter record of the common-schema channel: an epoch text
// and the sequence number of the last event sent in it.
#include <cstdint>
#include <string>

#include "platform/foundation/Object.h"

class BCCSEpochAndSeq : public platform::Object {
public:
    explicit BCCSEpochAndSeq(std::string epoch) : epoch(std::move(epoch)) {}

    uint64_t seq = 0;
    std::string epoch;

    std::string className() const override { return "BCCSEpochAndSeq"; }
};
