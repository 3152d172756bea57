#include "platform/foundation/UserDefaults.h"

#include <cerrno>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/Text.h"
#include "platform/syslog/SystemLog.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

void logLine(const std::string &text) { SystemLog::write("[UserDefaults] " + text); }

}  // namespace

UserDefaults::UserDefaults(fs::path file) : file_(std::move(file)) {
    reload();
}

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() {
    return SharedInstance<UserDefaults>::get([] { return std::make_shared<UserDefaults>(standardFilePath()); });
}

void UserDefaults::resetStandardUserDefaults() { SharedInstance<UserDefaults>::reset(); }

fs::path UserDefaults::standardFilePath() {
    auto identifier = Bundle::mainBundle()->bundleIdentifier();
    std::string name = identifier && !identifier->empty() ? *identifier : ProcessInfo::processInfo()->processName();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) name = "defaults";
    return FileManager::URLForDirectory(FileManager::SearchPathDirectory::Preferences) / (name + ".plist");
}

void UserDefaults::reload() {
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    Dictionary loaded;
    auto fm = FileManager::defaultManager();
    ErrorPtr error;
    auto data = fm->contentsAtPath(file_, &error);
    if (!data) {
        if (error && error->code() != ENOENT) {
            // The file is there but cannot be read (permissions, not a
            // regular file): it is left alone, the values in memory stay,
            // and no change is written over it.
            logLine("Cannot read " + file_.string() + ": " + error->localizedDescription() +
                    "; the file is left as it is and changes are not written to it");
            std::lock_guard<std::mutex> lock(mutex_);
            unreadable_ = true;
            return;
        }
    } else {
        auto plist = PropertyListSerialization::propertyListWithData(*data, &error);
        if (plist && plist->isDictionary()) {
            loaded = std::move(*plist->dictionary());
        } else {
            // Keep the unreadable file for inspection instead of overwriting
            // it with the next change.
            fs::path aside = file_;
            aside += ".corrupt";
            std::error_code ec;
            fs::rename(file_, aside, ec);
            logLine("The defaults file " + file_.string() + " is not a property-list dictionary" +
                    (plist ? std::string() : " (" + error->localizedDescription() + ")") + "; moved it to " +
                    aside.string() + " and starting empty");
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    unreadable_ = false;
    application_ = std::move(loaded);
    ++generation_;
    writtenGeneration_ = generation_;
}

Value UserDefaults::objectForKey(const std::string &key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = application_.find(key);
    if (it != application_.end()) return it->second;
    auto reg = registration_.find(key);
    if (reg != registration_.end()) return reg->second;
    return Value();
}

bool UserDefaults::setObject(const Value &value, const std::string &key) {
    if (value.isNull()) return removeObjectForKey(key);
    // Only what the file can hold and give back is taken: a text that is not
    // UTF-8 would make the whole file unreadable at the next launch.
    ErrorPtr error;
    if (!PropertyListSerialization::dataWithPropertyList(Value(Dictionary{{key, value}}),
                                                         PropertyListSerialization::Format::Binary, &error)) {
        logLine("Attempt to set a non-property-list object " + text::lossyUTF8(value.description()) + " for key " +
                text::lossyUTF8(key) + ": " + (error ? error->localizedDescription() : std::string("?")));
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        application_[key] = value;
        ++generation_;
    }
    return persist();
}

bool UserDefaults::removeObjectForKey(const std::string &key) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (application_.erase(key) == 0) return true;
        ++generation_;
    }
    return persist();
}

bool UserDefaults::persist() {
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    Dictionary snapshot;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A writer that came after us already wrote a snapshot holding our
        // change.
        if (writtenGeneration_ >= generation_) return true;
        if (unreadable_) {
            logLine("Not writing " + file_.string() +
                    ": it exists but could not be read, and writing would replace what it holds");
            return false;
        }
        snapshot = application_;
        generation = generation_;
    }
    ErrorPtr error;
    auto data = PropertyListSerialization::dataWithPropertyList(Value(std::move(snapshot)),
                                                                PropertyListSerialization::Format::Binary, &error);
    auto fm = FileManager::defaultManager();
    bool ok = data && (file_.parent_path().empty() || fm->createDirectory(file_.parent_path(), true, &error)) &&
              fm->writeData(*data, file_, true, &error, static_cast<mode_t>(0600));
    if (!ok) {
        logLine("Cannot write " + file_.string() + ": " + (error ? error->localizedDescription() : std::string("?")));
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    writtenGeneration_ = generation;
    return true;
}

void UserDefaults::registerDefaults(const Dictionary &registrationDictionary) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &[key, value] : registrationDictionary) registration_[key] = value;
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Dictionary all = registration_;
    for (const auto &[key, value] : application_) all[key] = value;
    return all;
}

bool UserDefaults::boolForKey(const std::string &key) const {
    return objectForKey(key).boolValue().value_or(false);
}

int64_t UserDefaults::integerForKey(const std::string &key) const {
    return objectForKey(key).int64Value().value_or(0);
}

double UserDefaults::doubleForKey(const std::string &key) const {
    return objectForKey(key).doubleValue().value_or(0.0);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string &key) const {
    Value v = objectForKey(key);
    if (const std::string *s = v.string()) return *s;
    return std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(const std::string &key) const {
    Value v = objectForKey(key);
    if (const Data *d = v.data()) return *d;
    return std::nullopt;
}

}  // namespace platform
