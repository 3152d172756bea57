#pragma once
// Turns a crash report read back at the next launch into the crash log that
// is sent (threads, frames, kept binaries, registers, the uncaught
// exception) and into the error report the application sees. A function of
// its inputs: what the log needs beyond the report (the device, a wrapper
// exception, the install id, the images loaded here) is passed in by the
// caller. Every step is a class method of its own, callable by itself.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BCLoadedImages.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/UUID.h"

class BBCrashReport;
class BBCrashReportStackFrameInfo;
class BBCrashReportThreadInfo;
class BCAppleErrorLog;
class BCBinary;
class BCDevice;
class BCErrorReport;
class BCThread;
class BCWrapperException;

// What an image is to the crashed process.
enum BCImageKind : unsigned long {
    BCImageKindMainExecutable = 0,
    BCImageKindInAppBundle = 1,
    BCImageKindOther = 2,
};

class BCErrorLogFormatter {
public:
    using ThreadPtr = std::shared_ptr<const BBCrashReportThreadInfo>;

    using LoadedImages = std::vector<BCLoadedImages::Image>;

    // The log of the report. `device` is the log's device (the one of the
    // report's error time, errorTimeForCrashReport); `wrapperException`, when
    // there is one, becomes the log's exception (the one a wrapper SDK saved
    // under the report's UUID); `loadedImages` are where a crashed message's
    // selector may be read (selectorForRegisterWithName).
    static std::shared_ptr<BCAppleErrorLog> errorLogFromCrashReport(
        const BBCrashReport &report, const std::shared_ptr<BCDevice> &device,
        const std::shared_ptr<BCWrapperException> &wrapperException, const LoadedImages &loadedImages);
    // Null for a null report; else the error report of the report's log,
    // made without building the log's threads, binaries and exception (the
    // report holds none of them).
    static std::shared_ptr<BCErrorReport> errorReportFromCrashReport(const std::shared_ptr<BBCrashReport> &report,
                                                                     const std::shared_ptr<BCDevice> &device,
                                                                     const platform::UUID &installId);
    // The error report the application sees for a log; the reporter key is
    // the install id.
    static std::shared_ptr<BCErrorReport> errorReportFromLog(const BCAppleErrorLog &log,
                                                             const platform::UUID &installId,
                                                             const std::shared_ptr<BCDevice> &device);
    // The log's timestamp for the report: its crash time, adjusted.
    static platform::Date errorTimeForCrashReport(const BBCrashReport &report);

    // The report's own UUID, else a new random one.
    static std::string errorIdForCrashReport(const BBCrashReport &report);
    static std::shared_ptr<BCAppleErrorLog> addProcessInfoAndApplicationPathTo(
        const std::shared_ptr<BCAppleErrorLog> &log, const BBCrashReport &report);
    static std::optional<platform::Date> getAppLaunchTimeFromReport(const BBCrashReport &report);
    static std::optional<platform::Date> getCrashTimeFromReport(const BBCrashReport &report);
    // The crash time, 0.999 s later when it is a whole second (so that the
    // log sorts after whatever else happened in that second); 1970 plus
    // 0.999 s when the report has none.
    static platform::Date adjustedCrashTime(const std::optional<platform::Date> &crashTime);
    static ThreadPtr findCrashedThreadInReport(const BBCrashReport &report);
    static std::vector<std::shared_ptr<BCThread>> extractThreadsFromReport(const BBCrashReport &report,
                                                                           const ThreadPtr &crashedThread,
                                                                           bool is64bit);
    static std::string formatStackFrame(const BBCrashReportStackFrameInfo &frame, const BBCrashReport &report);
    static std::map<std::string, std::string> extractRegistersFromCrashedThread(const ThreadPtr &thread, bool is64bit);
    static std::optional<std::string> extractExceptionReasonFromReport(const BBCrashReport &report);
    static std::optional<std::string> selectorRegisterValueFromReport(const BBCrashReport &report,
                                                                      const ThreadPtr &crashedThread, uint64_t codeType,
                                                                      const LoadedImages &loadedImages);
    // Reads the selector name the register points at, from the same image
    // (same path and UUID) among the loaded images, with the engine's
    // Mach-O reader (its reads are checked: the image's bytes are not
    // trusted).
    static std::optional<std::string> selectorForRegisterWithName(const std::string &registerName,
                                                                  const ThreadPtr &thread, const BBCrashReport &report,
                                                                  const LoadedImages &loadedImages);
    static std::vector<std::shared_ptr<BCBinary>> extractBinaryImagesFromReport(const BBCrashReport &report,
                                                                                bool is64bit);
    // Exception frames, then each thread's frames and register values.
    static std::vector<uint64_t> addressesFromReport(const BBCrashReport &report);
    static bool isBinaryWithStart(uint64_t start, uint64_t end, const std::vector<uint64_t> &addresses);
    static BCImageKind imageTypeForImagePath(const std::optional<std::string> &imagePath,
                                             const std::optional<std::string> &processPath);
    static std::string anonymizedPathFromPath(const std::string &path);
    static bool isCodeType64bit(uint64_t codeType);
    static std::optional<std::string> uuidRefToString(const std::optional<platform::UUID> &uuid);
    // "0x" and 16 (64-bit) or 8 hex digits, more when the value needs them.
    static std::string formatAddress(uint64_t address, bool is64bit);
};
