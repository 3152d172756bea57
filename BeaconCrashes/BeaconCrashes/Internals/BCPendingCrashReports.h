#pragma once
// The crash reports of earlier runs on their way to the user's answer, for
// the crash service: the engine's pending report becomes a stored crash file
// at start; one second later the stored files become crash logs and error
// reports waiting in three parallel lists; the confirmation handler is asked
// on the main thread, and the answer sends the logs on the service's unit or
// discards them.
//
// Lock: one mutex guards the three lists and the stored-file list. It is
// never held across the confirmation handler, a delegate call or a
// synchronous hop to the main queue, so a handler may answer from inside its
// call. Handlers get a copy of the reports, never the list itself.
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"

class BCAbstractLog;
class BCAppleErrorLog;
class BCCrashes;
class BCCrashesDelegate;
class BCErrorReport;

class BCPendingCrashReports : public std::enable_shared_from_this<BCPendingCrashReports> {
public:
    using Path = std::filesystem::path;
    using Reports = std::vector<std::shared_ptr<BCErrorReport>>;

    // Works for the service; holds it weakly. Made with make_shared, as the
    // delayed processing holds it weakly.
    explicit BCPendingCrashReports(const std::shared_ptr<BCCrashes> &crashes);
    // The pending reports of the shared crash service; a new object once the
    // service was reset.
    static std::shared_ptr<BCPendingCrashReports> sharedInstance();

    // --- At start. ---

    // Copies the engine's pending report into a stored crash file (the next
    // free name from the seconds since 2001), keeps its error report as the
    // last session's, and purges the engine's copy once the stored one
    // exists. A marker left by a launch that ended during this work purges
    // the pending report unread.
    void handleLatestCrashReport();
    // The stored crash files, in name (that is, time) order.
    std::vector<Path> persistedCrashReports();
    void setCrashFiles(std::vector<Path> crashFiles);
    std::vector<Path> crashFiles() const;
    // After one second, on the default global queue, once per process (until
    // resetDelayedProcessing): processing, then the gate opens.
    void startDelayedCrashProcessing();
    // Re-arms the once-per-process guard (with the service's reset).
    static void resetDelayedProcessing();
    void startCrashProcessing();
    void processCrashReports();
    bool shouldProcessErrorReport(const std::shared_ptr<BCErrorReport> &report);
    // Waits for the gate, then the waiting reports; nothing when processing
    // never ran. Answers at once when the service is not started and
    // enabled, as the gate would then never open.
    std::optional<Reports> unprocessedCrashReports();
    void deleteAllFromCrashesDirectory();
    void deleteCrashReportWithFileURL(const Path &fileURL);
    void createAnalyzerFile();
    void removeAnalyzerFile();
    std::shared_ptr<BCErrorReport> getLastSessionCrashReport() const;

    // --- The user's answer. ---

    // Sends at once, asks the handler, or waits; answers the stored
    // always-send flag.
    bool sendCrashReportsOrAwaitUserConfirmation();
    bool shouldAlwaysSend();
    // Calls the handler on the main thread (synchronously from elsewhere).
    bool userPromptedForConfirmation();
    void notifyWithUserConfirmation(unsigned long userConfirmation);
    void handleUserConfirmation(unsigned long userConfirmation);
    void clearUnprocessedReports();
    // Keeps the reports whose incident identifiers are listed, discards the
    // others, then decides as above.
    bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string> &filteredIds);

    // Channel callbacks, relayed to the delegate on the main thread for crash
    // logs only.
    void channelWillSendLog(const std::shared_ptr<BCAbstractLog> &log);
    void channelDidSucceedSendingLog(const std::shared_ptr<BCAbstractLog> &log);
    void channelDidFailSendingLog(const std::shared_ptr<BCAbstractLog> &log, const platform::ErrorPtr &error);

    // Copies of the three lists; nothing before processing made them.
    std::optional<std::vector<std::shared_ptr<BCAppleErrorLog>>> unprocessedLogs() const;
    std::optional<Reports> unprocessedReports() const;
    std::optional<std::vector<Path>> unprocessedFilePaths() const;

private:
    struct Entry {
        std::shared_ptr<BCAppleErrorLog> log;
        std::shared_ptr<BCErrorReport> report;
        Path file;
    };
    // Takes the waiting entries out of the lists (which stay, empty).
    std::vector<Entry> takeUnprocessed();
    void removeCrashFile(const Path &file);
    using Report = std::shared_ptr<BCErrorReport>;
    // Calls the delegate on the main thread, later, with the log's error
    // report, when it is a crash log and the delegate responds.
    void relayToDelegate(const std::shared_ptr<BCAbstractLog> &log,
                         const std::function<bool(const BCCrashesDelegate &)> &responds,
                         std::function<void(const BCCrashesDelegate &, BCCrashes &, const Report &)> call);
    // Deletes the stored file and the wrapper exception of a report.
    void discard(const Entry &entry);
    std::optional<Path> storeCrashData(const std::vector<uint8_t> &data);

    std::weak_ptr<BCCrashes> crashes_;
    mutable std::mutex mutex_;
    std::vector<Path> crashFiles_;
    // Parallel: entry i of each belongs to the same stored file.
    std::optional<std::vector<std::shared_ptr<BCAppleErrorLog>>> unprocessedLogs_;
    std::optional<Reports> unprocessedReports_;
    std::optional<std::vector<Path>> unprocessedFilePaths_;
    std::shared_ptr<BCErrorReport> lastSessionCrashReport_;
};
