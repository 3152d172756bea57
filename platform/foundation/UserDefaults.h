#pragma once
// User defaults: a registration domain kept in memory (registerDefaults) and
// the application's domain, kept in a binary property-list file that is
// rewritten atomically on every change, so that a value set survives a crash
// that follows at once. Lookups try the application domain first. Safe to
// use from any thread.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

class UserDefaults {
public:
    // Defaults kept in the given file (created on the first change).
    explicit UserDefaults(std::filesystem::path file);

    // The process's defaults, on standardFilePath(); made on first use.
    static std::shared_ptr<UserDefaults> standardUserDefaults();
    // Drops the process's defaults: the next standardUserDefaults() reads
    // the file afresh (with an empty registration domain), as after a
    // relaunch, and follows the current $XDG_CONFIG_HOME.
    static void resetStandardUserDefaults();
    // $XDG_CONFIG_HOME (else ~/.config) / <bundle identifier>.plist; the
    // process name stands in when the main bundle has no identifier.
    static std::filesystem::path standardFilePath();

    const std::filesystem::path &filePath() const { return file_; }

    // The application domain's value, else the registration domain's, else
    // a null Value.
    Value objectForKey(const std::string &key) const;
    // Stores the value (a null Value removes the key) and writes the file.
    // Refuses, with a log line and false, a value that is not a
    // property-list value (a UUID, an object, or one inside a collection)
    // and a key or text that is not UTF-8; false too when the file could not
    // be written, or exists but could not be read (the value is then kept in
    // memory for this run).
    bool setObject(const Value &value, const std::string &key);
    bool removeObjectForKey(const std::string &key);
    // Adds the entries to the registration domain (not written to disk).
    void registerDefaults(const Dictionary &registrationDictionary);
    // A snapshot of every key of both domains (the application's winning).
    Dictionary dictionaryRepresentation() const;

    // Typed reads: absent or of another type gives false / 0 / nullopt.
    bool boolForKey(const std::string &key) const;
    int64_t integerForKey(const std::string &key) const;
    double doubleForKey(const std::string &key) const;
    std::optional<std::string> stringForKey(const std::string &key) const;
    std::optional<Data> dataForKey(const std::string &key) const;

    // Re-reads the application domain from the file (the registration
    // domain stays). A file that is not a property-list dictionary is set
    // aside as "<name>.corrupt", logged, and the domain starts empty. A file
    // that exists but cannot be read is logged and left alone: the values in
    // memory stay and nothing is written over it until a reload reads it.
    void reload();

private:
    bool persist();

    const std::filesystem::path file_;
    mutable std::mutex mutex_;  // guards the two domains and generation_
    Dictionary registration_;
    Dictionary application_;
    uint64_t generation_ = 0;   // bumped on every change of application_
    bool unreadable_ = false;   // the file exists but could not be read
    std::mutex fileMutex_;      // serialises writers of the file
    uint64_t writtenGeneration_ = 0;
};

}  // namespace platform
