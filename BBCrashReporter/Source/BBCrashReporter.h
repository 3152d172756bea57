#pragma once
// The crash capture engine's entry point. The crash service makes one
// reporter, hands it its crash callback, enables it once per process, and at
// the next launch reads and deletes the pending report through it.
//
// Enabling prepares, while the process is healthy, everything the crash path
// needs: the report directory and path, a filled report writer, the signal
// handler (BSD mode) or the Mach exception server plus a SIGABRT handler
// (Mach mode), and the uncaught-exception handler. At crash time only the
// callbacks of bbcrash_crash_handler run.
//
// Files: $XDG_CACHE_HOME/io.bbcrash.crashreporter.data/<identifier, "/" as
// "_">/live_report.bbcrash, which a crash writes; previous_report.bbcrash,
// the report of an earlier process, renamed there when enabling claims it;
// and "queued_reports" beside them. Live reports pass through a temporary
// file under $TMPDIR that is always removed.
#include "BBCrashMachExceptionPortSet.h"
#include "BBCrashMachExceptionServer.h"
#include "BBCrashReporterConfig.h"
#include "platform/appkit/Exception.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/mach/mach_types.h"

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <ucontext.h>

// Codes of errors in BBCrashReporterErrorDomain.
enum BBCrashReporterError : int64_t {
    BBCrashReporterErrorUnknown = 0,
    BBCrashReporterErrorOperatingSystem = 1,
    BBCrashReporterErrorInvalidReport = 2,
    BBCrashReporterErrorAlreadyEnabled = 3,
};

// What misuse of the engine's objects raises ("BBCrashReporterException").
class BBCrashReporterException : public std::logic_error {
public:
    explicit BBCrashReporterException(const std::string &reason) : std::logic_error(reason) {}
    static constexpr const char *name = "BBCrashReporterException";
};

// Called on the crash path after the report is written: the signal's info
// (in the host's numbering), its context, and the context given here. It
// must be async-signal-safe.
using BBCrashReporterPostCrashSignalCallback = void (*)(siginfo_t *info, ucontext_t *uap, void *context);

struct BBCrashReporterCallbacks {
    uint16_t version;  // must be 0
    void *context;
    BBCrashReporterPostCrashSignalCallback handleSignal;  // null: none
};

class BBCrashReporter {
public:
    // One per process: the main bundle and the default configuration.
    static std::shared_ptr<BBCrashReporter> sharedReporter();

    // The main bundle with the default or the given configuration.
    BBCrashReporter();
    explicit BBCrashReporter(std::shared_ptr<const BBCrashReporterConfig> configuration);
    // Identifier, CFBundleVersion and CFBundleShortVersionString of the
    // bundle; without an identifier the process name is used (logged); with
    // neither, BBCrashReporterException.
    BBCrashReporter(const std::shared_ptr<platform::Bundle> &bundle,
                    std::shared_ptr<const BBCrashReporterConfig> configuration);
    BBCrashReporter(std::string applicationIdentifier, std::string applicationVersion,
                    std::optional<std::string> applicationMarketingVersion,
                    std::shared_ptr<const BBCrashReporterConfig> configuration);

    // The last session's report. Enabling claims the report an earlier
    // process left at the live name (crashReportPath) by renaming it to
    // previousCrashReportPath, before any handler is installed; once this
    // process is enabled for the folder, these work on the claimed file
    // only, so a report this process writes is never read, stored or
    // purged by it. Not enabled for it (a debugger attached), they work on
    // the live name when something is there, else on the claimed file.
    // Whether a regular file is there (a link is not followed, and is no
    // report).
    bool hasPendingCrashReport() const;
    std::optional<platform::Data> loadPendingCrashReportData(platform::ErrorPtr *error = nullptr) const;
    bool purgePendingCrashReport(platform::ErrorPtr *error = nullptr) const;

    // Once per process, whatever instance: a second call fails with code 3,
    // even after a first call that failed later on.
    bool enableCrashReporter(platform::ErrorPtr *error = nullptr);

    // A report of a running thread (default: the calling one), without
    // crashing; every other thread is stopped while it is written.
    std::optional<platform::Data> generateLiveReport(platform::ErrorPtr *error = nullptr);
    std::optional<platform::Data> generateLiveReportWithThread(platform::mach::thread_t thread,
                                                               platform::ErrorPtr *error = nullptr);

    // Copies the callbacks; BBCrashReporterException when this reporter is
    // enabled already or the version is not 0.
    void setCrashCallbacks(const BBCrashReporterCallbacks *callbacks);

    // Stores the data and publishes a copy to the crash path at once.
    void setCustomData(std::optional<platform::Data> data);
    std::optional<platform::Data> customData() const;

    const std::filesystem::path &crashReportDirectory() const { return crashReportDirectory_; }
    // Where a crash of this process writes its report.
    std::filesystem::path crashReportPath() const;
    // Where the claimed report of an earlier process waits.
    std::filesystem::path previousCrashReportPath() const;
    // The file the pending-report calls work on (see above).
    std::filesystem::path pendingCrashReportPath() const;
    std::filesystem::path queuedCrashReportDirectory() const;
    // Makes the report directory and its queue, private to the user: folders
    // it creates are 0700 whatever the umask, its own folders (the data
    // folder and below) that exist are tightened to at most 0700 and the
    // files in them to at most 0600; nothing is ever widened. Anything at the
    // live or the claimed report's name that is not a regular file is not
    // ours: set aside, with a line, so that the next crash writes its
    // report. A file with another hard link is taken back with a private
    // copy (the other names keep the old file), one line for all of them,
    // or set aside when it cannot be copied. What an earlier start set aside
    // is left as it is.
    bool populateCrashReportDirectory(platform::ErrorPtr *error = nullptr) const;

    // 0 stays 0; anything else keeps bits 0 and 1.
    static uint32_t mapToAsyncSymbolicationStrategy(uint32_t strategy);

    // Mach mode's set-up: starts an exception server with the callback and
    // registers it as the task's exception port for the watched types (with
    // guard from Darwin 13 on); `*previousPortSet` receives the ports it
    // replaced. Null with a code-1 error on failure.
    std::shared_ptr<BBCrashMachExceptionServer> enableMachExceptionServer(
        std::shared_ptr<BBCrashMachExceptionPortSet> *previousPortSet, bbcrash_mach_exception_callback_t callback,
        void *context, platform::ErrorPtr *error = nullptr);

    const std::shared_ptr<const BBCrashReporterConfig> &config() const { return config_; }
    bool isEnabled() const { return enabled_; }

private:
    // A bundle's identifier, version and marketing version, read in that
    // order (each fallback is logged in it).
    struct BundleValues;
    BBCrashReporter(BundleValues values, std::shared_ptr<const BBCrashReporterConfig> configuration);

    std::shared_ptr<const BBCrashReporterConfig> config_;
    bool enabled_ = false;
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
    std::shared_ptr<BBCrashMachExceptionServer> machServer_;
    std::shared_ptr<BBCrashMachExceptionPortSet> previousMachPorts_;
    std::filesystem::path crashReportDirectory_;
    mutable std::mutex customDataMutex_;
    std::optional<platform::Data> customData_;
};

// The engine's uncaught-exception handler, which enabling installs when the
// configuration asks for it: the first call records the exception's name,
// reason and return addresses for the report and aborts, so that the SIGABRT
// report carries them; later or concurrent calls do nothing.
void bbcrash_uncaught_exception_handler(const platform::appkit::Exception &exception);
