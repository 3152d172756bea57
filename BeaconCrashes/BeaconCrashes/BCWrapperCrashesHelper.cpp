#include "BCWrapperCrashesHelper.h"

#include "BCCrashes.h"
#include "BCPendingCrashReports.h"

std::shared_ptr<BCWrapperCrashesHelper> BCWrapperCrashesHelper::sharedInstance() {
    // Never destroyed: a wrapper may call in while the process exits.
    static auto *shared = new std::shared_ptr<BCWrapperCrashesHelper>(std::make_shared<BCWrapperCrashesHelper>());
    return *shared;
}

void BCWrapperCrashesHelper::setCrashHandlerSetupDelegate(
    const std::shared_ptr<BCCrashHandlerSetupDelegate> &delegate) {
    auto helper = sharedInstance();
    std::lock_guard<std::mutex> lock(helper->mutex_);
    helper->crashHandlerSetupDelegate_ = delegate;
}

std::shared_ptr<BCCrashHandlerSetupDelegate> BCWrapperCrashesHelper::crashHandlerSetupDelegate() {
    auto helper = sharedInstance();
    std::lock_guard<std::mutex> lock(helper->mutex_);
    return helper->crashHandlerSetupDelegate_.lock();
}

std::shared_ptr<BCCrashHandlerSetupDelegate> BCWrapperCrashesHelper::getCrashHandlerSetupDelegate() {
    return crashHandlerSetupDelegate();
}

void BCWrapperCrashesHelper::setAutomaticProcessing(bool automaticProcessing) {
    BCCrashes::sharedInstance()->setAutomaticProcessingEnabled(automaticProcessing);
}

bool BCWrapperCrashesHelper::automaticProcessing() {
    return BCCrashes::sharedInstance()->isAutomaticProcessingEnabled();
}

std::optional<std::vector<std::shared_ptr<BCErrorReport>>> BCWrapperCrashesHelper::unprocessedCrashReports() {
    return BCCrashes::sharedInstance()->pendingCrashReports()->unprocessedCrashReports();
}

bool BCWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string> &filteredIds) {
    return BCCrashes::sharedInstance()->pendingCrashReports()->sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
        filteredIds);
}

void BCWrapperCrashesHelper::sendErrorAttachments(
    const std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> &attachments,
    const std::string &incidentIdentifier) {
    BCCrashes::sendErrorAttachments(attachments, incidentIdentifier);
}

std::optional<std::string> BCWrapperCrashesHelper::trackModelException(
    const std::shared_ptr<BCException> &exception, const std::optional<platform::Dictionary> &properties,
    const std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> &attachments) {
    return BCCrashes::sharedInstance()->trackModelException(exception, properties, attachments);
}

std::shared_ptr<BCErrorReport> BCWrapperCrashesHelper::buildHandledErrorReportWithErrorID(const std::string &errorId) {
    return BCCrashes::sharedInstance()->buildHandledErrorReportWithErrorID(errorId);
}
