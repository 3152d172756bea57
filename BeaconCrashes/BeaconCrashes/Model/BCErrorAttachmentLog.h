#pragma once
// A small file (text or binary) that travels with one crash or handled
// error, as a log of its own linked to the error by its id.
#include <memory>
#include <optional>
#include <string>

#include "BCAbstractLog.h"
#include "platform/foundation/Value.h"

class BCErrorAttachmentLog : public BCAbstractLog {
public:
    // A log of type "errorAttachment" with a new attachment id.
    BCErrorAttachmentLog();
    BCErrorAttachmentLog(std::optional<std::string> filename, std::optional<platform::Data> data,
                         std::optional<std::string> contentType);
    // The text's UTF-8 bytes, as "text/plain".
    BCErrorAttachmentLog(std::optional<std::string> filename, const std::string &text);
    // Every field, the log's common ones and its target tokens included.
    BCErrorAttachmentLog(const BCErrorAttachmentLog &other);

    static std::shared_ptr<BCErrorAttachmentLog> attachmentWithText(const std::string &text,
                                                                    std::optional<std::string> filename);
    static std::shared_ptr<BCErrorAttachmentLog> attachmentWithBinary(platform::Data data,
                                                                      std::optional<std::string> filename,
                                                                      std::optional<std::string> contentType);

    std::optional<std::string> contentType;
    std::optional<std::string> filename;
    std::optional<platform::Data> data;
    std::optional<std::string> attachmentId;
    std::optional<std::string> errorId;

    std::string className() const override { return "BCErrorAttachmentLog"; }
    // The base's keys, then "id", "errorId", "contentType", "fileName" and
    // "data" (standard base64 on one line), each when present.
    nlohmann::ordered_json serializeToDictionary() const override;
    // The base's rules, then errorId, attachmentId, data and contentType
    // present (empty values pass here).
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
