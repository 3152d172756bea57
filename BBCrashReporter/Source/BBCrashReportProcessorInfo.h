#pragma once
// A processor as a report names it: how the type is encoded, type, subtype.
#include <cstdint>

enum BBCrashReportProcessorTypeEncoding : uint32_t {
    BBCrashReportProcessorTypeEncodingUnknown = 0,
    BBCrashReportProcessorTypeEncodingMach = 1,
};

class BBCrashReportProcessorInfo {
public:
    BBCrashReportProcessorInfo(BBCrashReportProcessorTypeEncoding typeEncoding, uint64_t type, uint64_t subtype);

    BBCrashReportProcessorTypeEncoding typeEncoding() const { return typeEncoding_; }
    uint64_t type() const { return type_; }
    uint64_t subtype() const { return subtype_; }

private:
    BBCrashReportProcessorTypeEncoding typeEncoding_;
    uint64_t type_;
    uint64_t subtype_;
};
