#include "platform/foundation/Bundle.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/syslog/SystemLog.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

// Never destroyed: detached worker threads may still use it while the
// process exits and static destructors run.
struct MainBundleState {
    std::mutex mutex;
    std::shared_ptr<Bundle> instance;
    std::optional<fs::path> override;
};
MainBundleState &mainBundleState() {
    static auto *state = new MainBundleState;
    return *state;
}

std::optional<Value> readPlistFile(const fs::path &path, bool logFailure) {
    auto fm = FileManager::defaultManager();
    if (!fm->fileExists(path)) return std::nullopt;
    ErrorPtr error;
    auto data = fm->contentsAtPath(path, &error);
    if (!data) {
        if (logFailure)
            SystemLog::write("[Bundle] Cannot read " + path.string() + ": " + error->localizedDescription());
        return std::nullopt;
    }
    auto plist = PropertyListSerialization::propertyListWithData(*data, &error);
    if (!plist) {
        if (logFailure)
            SystemLog::write("[Bundle] Cannot parse " + path.string() + ": " + error->localizedDescription());
        return std::nullopt;
    }
    return plist;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

Bundle::Bundle(fs::path directory, fs::path executablePath)
    : directory_(std::move(directory)), executablePath_(std::move(executablePath)) {
    auto plist = readPlistFile(directory_ / "Info.plist", true);
    if (plist && plist->isDictionary()) {
        info_ = *plist->dictionary();
    } else if (plist) {
        SystemLog::write("[Bundle] " + (directory_ / "Info.plist").string() + " is not a dictionary");
    }
    if (executablePath_.empty()) {
        auto it = info_.find("CFBundleExecutable");
        if (it != info_.end() && it->second.string() && !it->second.string()->empty())
            executablePath_ = directory_ / *it->second.string();
    }
}

std::shared_ptr<Bundle> Bundle::mainBundle() {
    std::lock_guard<std::mutex> lock(mainBundleState().mutex);
    if (!mainBundleState().instance) {
        fs::path executable = ProcessInfo::processInfo()->executablePath();
        fs::path directory = mainBundleState().override ? *mainBundleState().override : executable.parent_path();
        mainBundleState().instance = std::make_shared<Bundle>(directory, executable);
    }
    return mainBundleState().instance;
}

void Bundle::resetMainBundle() {
    std::lock_guard<std::mutex> lock(mainBundleState().mutex);
    mainBundleState().instance.reset();
}

void Bundle::setMainBundleDirectory(std::optional<fs::path> directory) {
    std::lock_guard<std::mutex> lock(mainBundleState().mutex);
    mainBundleState().override = std::move(directory);
    mainBundleState().instance.reset();
}

Value Bundle::objectForInfoDictionaryKey(const std::string &key) const {
    auto it = info_.find(key);
    return it == info_.end() ? Value() : it->second;
}

static std::optional<std::string> infoString(const Dictionary &info, const char *key) {
    auto it = info.find(key);
    if (it == info.end() || !it->second.isString()) return std::nullopt;
    return *it->second.string();
}

std::optional<std::string> Bundle::bundleIdentifier() const { return infoString(info_, "CFBundleIdentifier"); }
std::optional<std::string> Bundle::shortVersionString() const {
    return infoString(info_, "CFBundleShortVersionString");
}
std::optional<std::string> Bundle::buildVersion() const { return infoString(info_, "CFBundleVersion"); }

std::optional<bool> Bundle::boolForInfoDictionaryKey(const std::string &key) const {
    Value v = objectForInfoDictionaryKey(key);
    if (v.isNumber()) return v.boolValue();
    const std::string *s = v.string();
    if (!s) return std::nullopt;
    size_t i = 0;
    while (i < s->size() && isBlank((*s)[i])) ++i;
    if (i == s->size()) return false;
    char c = (*s)[i];
    if (c == 'Y' || c == 'y' || c == 'T' || c == 't') return true;
    if (c == '+' || c == '-') ++i;
    while (i < s->size() && (*s)[i] == '0') ++i;
    return i < s->size() && (*s)[i] >= '1' && (*s)[i] <= '9';
}

std::vector<std::string> Bundle::preferredLocalizations() const {
    auto region = infoString(info_, "CFBundleDevelopmentRegion");
    return {region && !region->empty() ? *region : std::string("en")};
}

std::optional<std::map<std::string, std::string>> Bundle::parseStrings(const std::string &text) {
    std::map<std::string, std::string> result;
    size_t i = 0;
    const size_t n = text.size();
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;

    // Skips blanks and comments; false on an unterminated comment.
    auto skip = [&]() -> bool {
        for (;;) {
            while (i < n && isBlank(text[i])) ++i;
            if (i + 1 < n && text[i] == '/' && text[i + 1] == '/') {
                while (i < n && text[i] != '\n') ++i;
            } else if (i + 1 < n && text[i] == '/' && text[i + 1] == '*') {
                auto end = text.find("*/", i + 2);
                if (end == std::string::npos) return false;
                i = end + 2;
            } else {
                return true;
            }
        }
    };
    auto quoted = [&]() -> std::optional<std::string> {
        if (i >= n || text[i] != '"') return std::nullopt;
        ++i;
        std::string out;
        while (i < n && text[i] != '"') {
            char c = text[i++];
            if (c == '\\') {
                if (i >= n) return std::nullopt;
                char e = text[i++];
                switch (e) {
                case 'n': out.push_back('\n'); break;
                case 't': out.push_back('\t'); break;
                case 'r': out.push_back('\r'); break;
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                default: return std::nullopt;
                }
            } else {
                out.push_back(c);
            }
        }
        if (i >= n) return std::nullopt;
        ++i;
        return out;
    };

    for (;;) {
        if (!skip()) return std::nullopt;
        if (i >= n) break;
        auto key = quoted();
        if (!key || !skip() || i >= n || text[i] != '=') return std::nullopt;
        ++i;
        if (!skip()) return std::nullopt;
        auto value = quoted();
        if (!value || !skip() || i >= n || text[i] != ';') return std::nullopt;
        ++i;
        result[*key] = *value;
    }
    return result;
}

const std::map<std::string, std::string> &Bundle::table(const std::string &name) const {
    std::lock_guard<std::mutex> lock(tablesMutex_);
    auto found = tables_.find(name);
    if (found != tables_.end()) return found->second;
    std::map<std::string, std::string> entries;
    auto fm = FileManager::defaultManager();
    fs::path stringsPath = directory_ / (name + ".strings");
    fs::path plistPath = directory_ / (name + ".plist");
    if (fm->fileExists(stringsPath)) {
        auto data = fm->contentsAtPath(stringsPath);
        auto parsed = data ? parseStrings(std::string(data->begin(), data->end())) : std::nullopt;
        if (parsed)
            entries = std::move(*parsed);
        else
            SystemLog::write("[Bundle] Cannot read the strings file " + stringsPath.string());
    } else if (auto plist = readPlistFile(plistPath, true)) {
        if (const Dictionary *dict = plist->dictionary()) {
            for (const auto &[key, value] : *dict) {
                if (const std::string *s = value.string()) entries[key] = *s;
            }
        }
    }
    return tables_.emplace(name, std::move(entries)).first->second;
}

std::string Bundle::localizedStringForKey(const std::string &key, const std::optional<std::string> &value,
                                          const std::string &tableName) const {
    const auto &entries = table(tableName.empty() ? std::string("Localizable") : tableName);
    auto it = entries.find(key);
    if (it != entries.end()) return it->second;
    if (value && !value->empty()) return *value;
    return key;
}

}  // namespace platform
