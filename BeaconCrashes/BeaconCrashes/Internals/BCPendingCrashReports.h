#pragma once
// The crash reports of earlier runs on their way to the user's answer, for
// the crash service that owns this object: the engine's pending report
// becomes a stored crash file at start; one second later the stored files
// become entries (crash log, error report, file) waiting for the answer; the
// confirmation handler is asked on the main thread, and the answer sends
// the logs on the service's unit or discards them.
//
// A stored file is deleted only once the store has saved its log: a save
// that fails keeps the file for a later launch (which asks again), and a log
// the store can never take is set aside (renamed "<name>.unstorable") so that
// no launch processes it again.
//
// Lock: one mutex guards the entries and the stored-file list. It is never
// held across the confirmation handler, a delegate call or a synchronous hop
// to the main queue, so a handler may answer from inside its call. Handlers
// get a copy of the reports, never the list itself.
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BCChannelUnitProtocol.h"
#include "BCPendingCrashReportsDelegate.h"
#include "platform/dispatch/Once.h"
#include "platform/dispatch/Semaphore.h"

class BBCrashReport;
class BCAppleErrorLog;
class BCErrorReport;

class BCPendingCrashReports : public std::enable_shared_from_this<BCPendingCrashReports> {
public:
    using Path = std::filesystem::path;
    using Reports = std::vector<std::shared_ptr<BCErrorReport>>;

    // One stored crash file on its way: its log and the error report made
    // from that log (both carry the same id).
    struct Entry {
        std::shared_ptr<BCAppleErrorLog> log;
        std::shared_ptr<BCErrorReport> report;
        Path file;
    };

    // Works for the service (held weakly); the stored files are in the
    // directory component `crashesDirectory`; `processingGate` is signalled
    // once the delayed processing has run. Made with make_shared, as the
    // delayed processing holds it weakly.
    BCPendingCrashReports(const std::shared_ptr<BCPendingCrashReportsDelegate> &delegate, std::string crashesDirectory,
                          std::string analyzerFilePathComponent,
                          std::shared_ptr<platform::dispatch::Semaphore> processingGate);

    // --- At start. ---

    // Copies the engine's pending report into a stored crash file (the next
    // free name from the seconds since 2001), keeps its error report as the
    // last session's (and the parsed report for the processing, which then
    // does not parse it again), ties the last saved wrapper exception to it,
    // and purges the engine's copy once the stored one exists. The analyzer
    // marker, written meanwhile, holds the digest of the report: a marker
    // left by a launch that ended during this work purges that same report
    // unparsed (an empty one, whatever is pending); one naming another report
    // is stale. A report that is not a regular file or is larger than the
    // engine ever writes is purged too.
    void handleLatestCrashReport();
    // The stored crash files, in name (that is, time) order.
    std::vector<Path> persistedCrashReports();
    void setCrashFiles(std::vector<Path> crashFiles);
    std::vector<Path> crashFiles() const;
    // After one second, on the default global queue, once for this object:
    // processing, then the gate opens.
    void startDelayedCrashProcessing();
    void startCrashProcessing();
    void processCrashReports();
    // The delegate's answer; yes when it does not answer.
    bool shouldProcessErrorReport(const std::shared_ptr<BCErrorReport> &report);
    // Waits for the gate, then the waiting reports; nothing when processing
    // never ran. Answers at once when the service is not started and
    // enabled, as the gate would then never open.
    std::optional<Reports> unprocessedCrashReports();
    void deleteAllFromCrashesDirectory();
    void deleteCrashReportWithFileURL(const Path &fileURL);
    // The marker, holding the digest of the report it guards.
    void createAnalyzerFile(const std::string &guarded = "");
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
    // Send (or Always): each log is enqueued and its file deleted once the
    // store has saved it. Don't send: the files are deleted.
    void handleUserConfirmation(unsigned long userConfirmation);
    void clearUnprocessedReports();
    // Keeps the reports whose incident identifiers are listed, discards the
    // others, then decides as above.
    bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string> &filteredIds);

    // Copies of the waiting entries, or of their reports; nothing before
    // processing made the list.
    std::optional<std::vector<Entry>> unprocessedEntries() const;
    std::optional<Reports> unprocessedReports() const;

private:
    // A stored crash file parsed, with the error report made from it; its
    // log is built once the wrapper exceptions are tied to the reports.
    struct Parsed {
        std::shared_ptr<BBCrashReport> crashReport;
        std::shared_ptr<BCErrorReport> report;
        Path file;
    };

    // Takes the waiting entries out of the list (which stays, empty).
    std::vector<Entry> takeUnprocessed();
    void removeCrashFile(const Path &file);
    // Deletes the stored file and the wrapper exception of a report.
    void discard(const Entry &entry);
    // Renames a stored file that can never be parsed out of the listing,
    // with a line naming it.
    void setAsideCorrupt(const Path &file, const std::optional<std::string> &why);
    // What the store's answer on a sent entry means for its file.
    void didEnqueue(const Entry &entry, BCEnqueueResult result);
    std::optional<Path> storeCrashData(const std::vector<uint8_t> &data);
    // What the marker holds; nothing when there is none.
    std::optional<std::string> analyzerMarker() const;
    std::string componentFor(const Path &file) const;

    const std::weak_ptr<BCPendingCrashReportsDelegate> delegate_;
    const std::string crashesDirectory_;
    const std::string analyzerFilePathComponent_;
    const std::shared_ptr<platform::dispatch::Semaphore> processingGate_;
    platform::dispatch::Once delayedProcessingOnce_;

    mutable std::mutex mutex_;
    std::vector<Path> crashFiles_;
    std::optional<std::vector<Entry>> unprocessed_;
    // The pending report of this launch, parsed at start.
    std::optional<Parsed> latest_;
    std::shared_ptr<BCErrorReport> lastSessionCrashReport_;
};
