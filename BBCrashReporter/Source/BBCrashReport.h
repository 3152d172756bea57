#pragma once
// A crash report file read back: the 8-byte header is checked, the body is
// decoded with the bbcrash.CrashReport descriptors, and every section becomes
// an immutable info object. A report is complete or not made at all.
//
// Report texts are arbitrary bytes; one that is not valid UTF-8 reads as
// absent, as it would as an NSString, so nothing that later prints or
// serialises the report meets invalid text.
#include "BBCrashReportApplicationInfo.h"
#include "BBCrashReportBinaryImageInfo.h"
#include "BBCrashReportExceptionInfo.h"
#include "BBCrashReportMachExceptionInfo.h"
#include "BBCrashReportMachineInfo.h"
#include "BBCrashReportProcessInfo.h"
#include "BBCrashReportSignalInfo.h"
#include "BBCrashReportSystemInfo.h"
#include "BBCrashReportThreadInfo.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"

#include <memory>
#include <optional>
#include <vector>

class BBCrashReport {
public:
    // initWithData:error: the report, or null with a code-2 error in
    // BBCrashReporterErrorDomain (when `error` is given).
    static std::shared_ptr<BBCrashReport> make(const platform::Data &data, platform::ErrorPtr *error = nullptr);
    ~BBCrashReport();
    BBCrashReport(const BBCrashReport &) = delete;
    BBCrashReport &operator=(const BBCrashReport &) = delete;

    const std::shared_ptr<const BBCrashReportSystemInfo> &systemInfo() const { return systemInfo_; }
    bool hasMachineInfo() const { return machineInfo_ != nullptr; }
    const std::shared_ptr<const BBCrashReportMachineInfo> &machineInfo() const { return machineInfo_; }
    const std::shared_ptr<const BBCrashReportApplicationInfo> &applicationInfo() const { return applicationInfo_; }
    bool hasProcessInfo() const { return processInfo_ != nullptr; }
    const std::shared_ptr<const BBCrashReportProcessInfo> &processInfo() const { return processInfo_; }
    const std::shared_ptr<const BBCrashReportSignalInfo> &signalInfo() const { return signalInfo_; }
    const std::shared_ptr<const BBCrashReportMachExceptionInfo> &machExceptionInfo() const {
        return machExceptionInfo_;
    }
    const std::vector<std::shared_ptr<const BBCrashReportThreadInfo>> &threads() const { return threads_; }
    const std::vector<std::shared_ptr<const BBCrashReportBinaryImageInfo>> &images() const { return images_; }
    bool hasExceptionInfo() const { return exceptionInfo_ != nullptr; }
    const std::shared_ptr<const BBCrashReportExceptionInfo> &exceptionInfo() const { return exceptionInfo_; }
    const std::optional<platform::Data> &customData() const { return customData_; }
    // The report's identity (uuidRef), absent when the report has none.
    const std::optional<platform::UUID> &uuidRef() const { return uuid_; }

    // The first image, in report order, with base <= address < base + size.
    std::shared_ptr<const BBCrashReportBinaryImageInfo> imageForAddress(uint64_t address) const;

private:
    struct Decoder;
    BBCrashReport() = default;
    bool convert(platform::ErrorPtr *error);

    std::unique_ptr<Decoder> decoder_;
    std::shared_ptr<const BBCrashReportSystemInfo> systemInfo_;
    std::shared_ptr<const BBCrashReportMachineInfo> machineInfo_;
    std::shared_ptr<const BBCrashReportApplicationInfo> applicationInfo_;
    std::shared_ptr<const BBCrashReportProcessInfo> processInfo_;
    std::shared_ptr<const BBCrashReportSignalInfo> signalInfo_;
    std::shared_ptr<const BBCrashReportMachExceptionInfo> machExceptionInfo_;
    std::vector<std::shared_ptr<const BBCrashReportThreadInfo>> threads_;
    std::vector<std::shared_ptr<const BBCrashReportBinaryImageInfo>> images_;
    std::shared_ptr<const BBCrashReportExceptionInfo> exceptionInfo_;
    std::optional<platform::Data> customData_;
    std::optional<platform::UUID> uuid_;
};
