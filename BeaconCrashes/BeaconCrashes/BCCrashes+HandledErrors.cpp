// Errors the application caught itself, and the attachments of errors.
#include "BCChannelUnitProtocol.h"
#include "BCCrashes.h"
#include "BCDeviceTracker.h"
#include "BCErrorAttachmentLog.h"
#include "BCErrorReport.h"
#include "BCException.h"
#include "BCFlags.h"
#include "BCHandledErrorLog.h"
#include "BCLogger.h"
#include "BCUserIdContext.h"
#include "BCUtility.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/UUID.h"

std::optional<std::string> BCCrashes::trackModelException(
    const std::shared_ptr<BCException> &exception, const std::optional<platform::Dictionary> &properties,
    const std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> &attachments) {
    std::lock_guard<std::recursive_mutex> lock(mutex());
    if (!canBeUsed() || !instanceIsEnabled()) return std::nullopt;
    // Without an exception the log would be refused while its id and
    // attachments went out: nothing is tracked.
    if (!exception) {
        BCLogError(logTag(), "A handled error needs an exception; nothing was tracked.");
        return std::nullopt;
    }
    auto log = std::make_shared<BCHandledErrorLog>();
    log->setUserId(BCUserIdContext::sharedInstance()->userId());
    log->errorId = platform::UUID::random().UUIDString();
    log->exception = exception;
    if (properties && !properties->empty()) {
        log->setProperties(
            BCUtility::validateProperties(*properties, platform::format("ErrorLog: %@", *log->errorId), *log->type()));
    }
    if (auto unit = channelUnit()) unit->enqueueItem(log, BCFlagsNormal);
    if (attachments) instanceSendErrorAttachments(attachments, *log->errorId);
    return log->errorId;
}

std::shared_ptr<BCErrorReport> BCCrashes::buildHandledErrorReportWithErrorID(const std::string &errorId) {
    return std::make_shared<BCErrorReport>(errorId, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                           appStartTime(), platform::Date::now(),
                                           BCDeviceTracker::sharedInstance()->device(), 0);
}

void BCCrashes::sendErrorAttachments(
    const std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> &attachments,
    const std::string &incidentIdentifier) {
    sharedInstance()->instanceSendErrorAttachments(attachments, incidentIdentifier);
}

bool BCCrashes::validatePropertiesForAttachment(const BCErrorAttachmentLog &attachment) {
    return attachment.errorId && !attachment.errorId->empty() && attachment.attachmentId &&
           !attachment.attachmentId->empty() && attachment.data && !attachment.data->empty() &&
           attachment.contentType && !attachment.contentType->empty();
}

void BCCrashes::instanceSendErrorAttachments(
    const std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> &attachments,
    const std::string &incidentIdentifier) {
    if (!attachments) return;
    auto unit = channelUnit();
    for (const auto &attachment : *attachments) {
        if (!attachment) continue;
        attachment->errorId = incidentIdentifier;
        if (!validatePropertiesForAttachment(*attachment)) {
            BCLogError(logTag(), "Not all required fields are present in BCErrorAttachmentLog.");
            continue;
        }
        if (attachment->data->size() > kMaxAttachmentSize) {
            BCLogError(logTag(), "Discarding attachment with size above %u bytes: size=%tu, fileName=%@.",
                       static_cast<unsigned>(kMaxAttachmentSize), attachment->data->size(), attachment->filename);
            continue;
        }
        // The channel stores the log later, on its own queue: it gets a copy,
        // so that sending the same attachment with another error cannot
        // change this one before it is stored.
        if (unit) unit->enqueueItem(std::make_shared<BCErrorAttachmentLog>(*attachment), BCFlagsNormal);
    }
}
