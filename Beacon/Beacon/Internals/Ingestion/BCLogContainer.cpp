// One batch of logs and its JSON body.
#include "BCLogContainer.h"

#include <nlohmann/json.hpp>

#include "BCLogger.h"
#include "BCSerializableObject.h"

namespace {
constexpr const char *kLogTag = "Beacon";
}

BCLogContainer::BCLogContainer(std::optional<std::string> batchId, std::vector<std::shared_ptr<BCLog>> logs) {
    setBatchId(std::move(batchId));
    setLogs(std::move(logs));
}

std::optional<std::string> BCLogContainer::serializeLog() const { return serializeLogWithPrettyPrinting(false); }

std::optional<std::string> BCLogContainer::serializeLogWithPrettyPrinting(bool prettyPrint) const {
    auto array = nlohmann::ordered_json::array();
    for (const auto &log : logs_) {
        auto serializable = std::dynamic_pointer_cast<BCSerializableObject>(log);
        if (!serializable) continue;
        auto dictionary = serializable->serializeToDictionary();
        if (dictionary.is_null()) continue;
        array.push_back(std::move(dictionary));
    }
    nlohmann::ordered_json body;
    body["logs"] = std::move(array);
    // The writer prints "/" plainly, so nothing needs replacing afterwards.
    // Text that is not UTF-8 is written with replacement characters, so one
    // bad string cannot keep a batch from ever being sent.
    try {
        return body.dump(prettyPrint ? 2 : -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } catch (const std::exception &e) {
        BCLogError(kLogTag, "Couldn't serialize log container to json: %@", std::string(e.what()));
        return std::nullopt;
    }
}

bool BCLogContainer::isValid() const {
    if (logs_.empty()) {
        BCLogVerbose(kLogTag, "%@: there are no logs in container.", className());
        return false;
    }
    for (const auto &log : logs_)
        if (!log || !log->isValid()) return false;
    return true;
}
