// A report file's bytes through the report reader, then the formatter, then
// the log's JSON as it is sent: whatever the reader accepts must become a log
// that the channel takes (a valid one) and whose JSON can be written and read
// back. Seeds: the golden report files.

#include "BBCrashReport.h"
#include "BCAppleErrorLog.h"
#include "BCDevice.h"
#include "BCErrorLogFormatter.h"
#include "BCErrorReport.h"
#include "BCLogger.h"
#include "FuzzInput.h"
#include "support/FixedDevice.h"

#include <nlohmann/json.hpp>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const auto device = [] {
        BCLogger::setCurrentLogLevel(BCLogLevelNone);
        return testsupport::fixedDevice();
    }();
    static const auto installId = platform::UUID::random();

    auto report = BBCrashReport::make(platform::Data(data, data + size));
    if (!report) return 0;
    auto log = BCErrorLogFormatter::errorLogFromCrashReport(*report, device, nullptr, {});
    if (!log) fuzz::fail("fuzz_crash_report", "a report that was read gave no log");
    if (!log->isValid()) fuzz::fail("fuzz_crash_report", "a report that was read gave a log the channel drops");
    auto text = log->serializeLogWithPrettyPrinting(false);
    if (!text) fuzz::fail("fuzz_crash_report", "the log of a report that was read could not be written as JSON");
    if (!nlohmann::json::accept(*text)) fuzz::fail("fuzz_crash_report", "the log's JSON did not read back");
    (void)log->serializeLogWithPrettyPrinting(true);
    if (!BCErrorLogFormatter::errorReportFromLog(*log, installId, device))
        fuzz::fail("fuzz_crash_report", "a log gave no error report");
    return 0;
}
