#pragma once
// A log that can be turned into common-schema logs, one per transmission
// target.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class BCCommonSchemaLog;

class BCLogConversion {
public:
    virtual ~BCLogConversion() = default;
    // One common-schema log per target token; nothing (not an empty list)
    // when the log has no tokens or none could be converted.
    virtual std::optional<std::vector<std::shared_ptr<BCCommonSchemaLog>>> toCommonSchemaLogsWithFlags(
        uint64_t flags) const = 0;
};
