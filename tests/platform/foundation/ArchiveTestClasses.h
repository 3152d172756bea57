#pragma once
// Model classes used by the archive tests: a history entry with a base
// class, and a holder of a nested object and an array of entries.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Coding.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

namespace archivetest {

class TestHistoryInfo : public platform::Coding {
public:
    std::optional<platform::Date> timestamp;
    std::optional<std::string> sessionId;
    int64_t count = 0;
    bool flag = false;
    double ratio = 0;

    std::string className() const override { return "TestHistoryInfo"; }
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    static std::shared_ptr<platform::Object> decode(platform::KeyedUnarchiver &coder);
};

class TestHolder : public platform::Coding {
public:
    std::shared_ptr<TestHistoryInfo> current;
    std::vector<std::shared_ptr<TestHistoryInfo>> history;
    std::optional<std::map<std::string, std::string>> properties;

    std::string className() const override { return "TestHolder"; }
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    static std::shared_ptr<platform::Object> decode(platform::KeyedUnarchiver &coder);
};

// A class that can be put in a Value but cannot be archived.
class NotCoding : public platform::Object {
public:
    std::string className() const override { return "NotCoding"; }
};

// Registers the two classes (idempotent).
void registerTestClasses();

}  // namespace archivetest
