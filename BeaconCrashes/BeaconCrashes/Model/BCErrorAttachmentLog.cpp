#include "BCErrorAttachmentLog.h"

#include "BCModelUtil.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/UUID.h"

BCErrorAttachmentLog::BCErrorAttachmentLog() : attachmentId(platform::UUID::random().UUIDString()) {
    setType("errorAttachment");
}

BCErrorAttachmentLog::BCErrorAttachmentLog(std::optional<std::string> filename, std::optional<platform::Data> data,
                                           std::optional<std::string> contentType)
    : BCErrorAttachmentLog() {
    this->filename = std::move(filename);
    this->data = std::move(data);
    this->contentType = std::move(contentType);
}

BCErrorAttachmentLog::BCErrorAttachmentLog(std::optional<std::string> filename, const std::string &text)
    : BCErrorAttachmentLog(std::move(filename), platform::Data(text.begin(), text.end()), "text/plain") {}

BCErrorAttachmentLog::BCErrorAttachmentLog(const BCErrorAttachmentLog &other)
    : BCAbstractLog(), contentType(other.contentType), filename(other.filename), data(other.data),
      attachmentId(other.attachmentId), errorId(other.errorId) {
    setType(other.type());
    setTimestamp(other.timestamp());
    setSid(other.sid());
    setDistributionGroupId(other.distributionGroupId());
    setUserId(other.userId());
    setDevice(other.device());
    setTag(other.tag());
    setTransmissionTargetTokens(other.transmissionTargetTokens());
}

std::shared_ptr<BCErrorAttachmentLog> BCErrorAttachmentLog::attachmentWithText(const std::string &text,
                                                                               std::optional<std::string> filename) {
    return std::make_shared<BCErrorAttachmentLog>(std::move(filename), text);
}

std::shared_ptr<BCErrorAttachmentLog> BCErrorAttachmentLog::attachmentWithBinary(
    platform::Data data, std::optional<std::string> filename, std::optional<std::string> contentType) {
    return std::make_shared<BCErrorAttachmentLog>(std::move(filename), std::move(data), std::move(contentType));
}

nlohmann::ordered_json BCErrorAttachmentLog::serializeToDictionary() const {
    nlohmann::ordered_json dict = BCAbstractLog::serializeToDictionary();
    BCModelUtil::addString(dict, "id", attachmentId);
    BCModelUtil::addString(dict, "errorId", errorId);
    BCModelUtil::addString(dict, "contentType", contentType);
    BCModelUtil::addString(dict, "fileName", filename);
    if (data) dict["data"] = platform::base64::encode(*data);
    return dict;
}

bool BCErrorAttachmentLog::isValid() const {
    if (!BCAbstractLog::isValid()) return false;
    if (!errorId) return BCModelUtil::invalid(className(), "errorId");
    if (!attachmentId) return BCModelUtil::invalid(className(), "attachmentId");
    if (!data) return BCModelUtil::invalid(className(), "data");
    if (!contentType) return BCModelUtil::invalid(className(), "contentType");
    return true;
}

bool BCErrorAttachmentLog::isEqual(const platform::Object &other) const {
    auto log = dynamic_cast<const BCErrorAttachmentLog *>(&other);
    return log && BCAbstractLog::isEqual(other) && attachmentId == log->attachmentId && errorId == log->errorId &&
           contentType == log->contentType && filename == log->filename && data == log->data;
}

void BCErrorAttachmentLog::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCAbstractLog::encodeWithCoder(coder);
    coder.encodeObject(attachmentId, "id");
    coder.encodeObject(errorId, "errorId");
    coder.encodeObject(contentType, "contentType");
    coder.encodeObject(filename, "fileName");
    coder.encodeObject(data ? platform::Value(*data) : platform::Value(), "data");
}

void BCErrorAttachmentLog::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCAbstractLog::initWithCoder(coder);
    attachmentId = coder.decodeStringForKey("id");
    errorId = coder.decodeStringForKey("errorId");
    contentType = coder.decodeStringForKey("contentType");
    filename = coder.decodeStringForKey("fileName");
    data = coder.decodeDataForKey("data");
}
