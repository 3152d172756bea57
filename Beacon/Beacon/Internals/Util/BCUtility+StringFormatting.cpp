// Parsing of the secret string given at start and pretty-printing of JSON.
#include <nlohmann/json.hpp>

#include "BCUtility.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char *kAppSecretKey = "appsecret=";
constexpr const char *kTransmissionTargetKey = "target=";
constexpr const char *kPlatformKey = "macos=";

// Splits at every ";", keeping empty entries, as the secret format allows
// stray separators.
std::vector<std::string> components(const std::string &s) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        size_t hit = s.find(';', start);
        out.push_back(s.substr(start, hit == std::string::npos ? std::string::npos : hit - start));
        if (hit == std::string::npos) break;
        start = hit + 1;
    }
    return out;
}

// Deeper documents are given back as their text: the writer recurses once
// per level, and a reply of nothing but "[" must not exhaust the stack.
constexpr int kMaxPrettyDepth = 256;

struct TooDeep {};

// Writes JSON with two-space indentation and " : " between key and value.
void writePretty(const nlohmann::ordered_json &j, std::string &out, int depth) {
    if (depth > kMaxPrettyDepth) throw TooDeep{};
    std::string indent(static_cast<size_t>(depth + 1) * 2, ' ');
    std::string closing(static_cast<size_t>(depth) * 2, ' ');
    if (j.is_object()) {
        if (j.empty()) {
            out += "{\n\n" + closing + "}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (auto it = j.begin(); it != j.end(); ++it) {
            if (!first) out += ",\n";
            first = false;
            out += indent + nlohmann::ordered_json(it.key()).dump() + " : ";
            writePretty(it.value(), out, depth + 1);
        }
        out += "\n" + closing + "}";
    } else if (j.is_array()) {
        if (j.empty()) {
            out += "[\n\n" + closing + "]";
            return;
        }
        out += "[\n";
        bool first = true;
        for (const auto &item : j) {
            if (!first) out += ",\n";
            first = false;
            out += indent;
            writePretty(item, out, depth + 1);
        }
        out += "\n" + closing + "]";
    } else {
        out += j.dump();
    }
}

}  // namespace

std::optional<std::string> BCUtility::appSecretFrom(const std::optional<std::string> &string) {
    if (!string) return std::nullopt;
    bool platformEntriesOnly = platform::text::contains(*string, kPlatformKey);
    for (const auto &entry : components(*string)) {
        if (entry.empty() || platform::text::contains(entry, kTransmissionTargetKey)) continue;
        std::string secret;
        if (platformEntriesOnly) {
            if (!platform::text::contains(entry, kPlatformKey)) continue;
            secret = platform::text::replaceAll(entry, kPlatformKey, "");
        } else if (entry.find('=') == std::string::npos) {
            secret = entry;
        } else {
            secret = platform::text::replaceAll(entry, kAppSecretKey, "");
        }
        if (!secret.empty()) return secret;
    }
    return std::nullopt;
}

std::optional<std::string> BCUtility::transmissionTargetTokenFrom(const std::optional<std::string> &string) {
    if (!string) return std::nullopt;
    for (const auto &entry : components(*string)) {
        if (!platform::text::contains(entry, kTransmissionTargetKey)) continue;
        std::string token = platform::text::replaceAll(entry, kTransmissionTargetKey, "");
        if (token.empty()) return std::nullopt;
        return token;
    }
    return std::nullopt;
}

std::optional<std::string> BCUtility::targetKeyFromTargetToken(const std::optional<std::string> &token) {
    if (!token) return std::nullopt;
    std::string key = token->substr(0, token->find('-'));
    if (key.empty()) return std::nullopt;
    return key;
}

std::optional<std::string> BCUtility::iKeyFromTargetToken(const std::optional<std::string> &token) {
    auto key = targetKeyFromTargetToken(token);
    if (!key || key->empty()) return std::nullopt;
    return platform::format("o:%@", *key);
}

std::optional<std::string> BCUtility::prettyPrintJson(const std::optional<platform::Data> &data) {
    if (!data) return std::nullopt;
    std::string text(data->begin(), data->end());
    // The writer never escapes "/", so the text needs no unescaping after it:
    // replacing "\/" afterwards would corrupt strings holding a backslash
    // before a slash.
    try {
        if (auto out = prettyJsonText(nlohmann::ordered_json::parse(text))) return out;
    } catch (const nlohmann::json::exception &) {}
    if (!platform::text::isValidUTF8(text)) return std::nullopt;
    return text;
}

std::optional<std::string> BCUtility::prettyJsonText(const nlohmann::ordered_json &json) {
    try {
        std::string out;
        writePretty(json, out, 0);
        return out;
    } catch (const nlohmann::json::exception &) {
        // Text that is not UTF-8 cannot be written as JSON.
    } catch (const TooDeep &) {}
    return std::nullopt;
}

BCEnvironment BCUtility::currentAppEnvironment() { return BCEnvironmentOther; }
