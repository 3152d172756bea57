#pragma once
// The crash log of a crash of the previous run: the signal, the uncaught
// exception, every thread with its frames, the crashed thread's registers
// and the binary images.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BCAbstractErrorLog.h"
#include "BCBinary.h"
#include "BCException.h"
#include "BCNoAutoAssignSessionIdLog.h"
#include "BCThread.h"

class BCAppleErrorLog : public BCAbstractErrorLog, public BCNoAutoAssignSessionIdLog {
public:
    // A log of type "appleError".
    BCAppleErrorLog();

    std::optional<uint64_t> primaryArchitectureId;
    std::optional<uint64_t> architectureVariantId;
    std::optional<std::string> applicationPath;
    std::optional<std::string> osExceptionType;
    std::optional<std::string> osExceptionCode;
    std::optional<std::string> osExceptionAddress;
    std::optional<std::string> exceptionType;
    std::optional<std::string> exceptionReason;
    std::optional<std::string> selectorRegisterValue;
    std::optional<std::vector<std::shared_ptr<BCThread>>> threads;
    std::optional<std::vector<std::shared_ptr<BCBinary>>> binaries;
    std::optional<std::map<std::string, std::string>> registers;
    std::shared_ptr<BCException> exception;

    std::string className() const override { return "BCAppleErrorLog"; }
    // The base's keys, then this class's in the order of its fields.
    nlohmann::ordered_json serializeToDictionary() const override;
    // The base's rules, then primaryArchitectureId, applicationPath,
    // osExceptionType, osExceptionCode and osExceptionAddress. Threads,
    // binaries and the exception are not checked.
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
