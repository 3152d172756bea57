#pragma once
// The crash service as a wrapper SDK drives it: its setup delegate, and
// forwarders to the shared service for taking the confirmation step over,
// attachments and handled exceptions.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BCCrashHandlerSetupDelegate.h"
#include "platform/foundation/Value.h"

class BCErrorAttachmentLog;
class BCErrorReport;
class BCException;

class BCWrapperCrashesHelper {
public:
    static std::shared_ptr<BCWrapperCrashesHelper> sharedInstance();

    // Held weakly.
    static void setCrashHandlerSetupDelegate(const std::shared_ptr<BCCrashHandlerSetupDelegate> &delegate);
    static std::shared_ptr<BCCrashHandlerSetupDelegate> crashHandlerSetupDelegate();
    static std::shared_ptr<BCCrashHandlerSetupDelegate> getCrashHandlerSetupDelegate();

    static void setAutomaticProcessing(bool automaticProcessing);
    static bool automaticProcessing();
    // The reports waiting for an answer, once processing has run; nothing
    // when it never ran. Answers at once while the service is not started
    // and enabled, since processing then never opens its gate.
    static std::optional<std::vector<std::shared_ptr<BCErrorReport>>> unprocessedCrashReports();
    static bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string> &filteredIds);
    static void sendErrorAttachments(
        const std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> &attachments,
        const std::string &incidentIdentifier);
    static std::optional<std::string> trackModelException(
        const std::shared_ptr<BCException> &exception, const std::optional<platform::Dictionary> &properties,
        const std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> &attachments);
    static std::shared_ptr<BCErrorReport> buildHandledErrorReportWithErrorID(const std::string &errorId);

private:
    std::mutex mutex_;
    std::weak_ptr<BCCrashHandlerSetupDelegate> crashHandlerSetupDelegate_;
};
