#pragma once
// User defaults: a registration domain kept in memory (registerDefaults) and
// the application's domain, kept in a binary property-list file that is
// rewritten atomically on every change, so that a value set survives a crash
// that follows at once. Lookups try the application domain first. Safe to
// use from any thread.
//
// Several processes may share the file. Each write takes an advisory lock
// (flock on ".<name>.lock" beside the file, mode 0600), reads the file
// afresh, changes only the keys this process set or removed since its last
// write, and replaces the file before letting go of the lock: a change of
// another process is never undone, and the domain in memory picks up the
// other processes' values at each write (and at reload()). Temporary files
// that a write killed half-way left behind (".<name>.XXXXXX") are removed
// when the defaults are made, under the same lock: every writer makes its
// temporary file only while it holds that lock, so none seen then is live.
// When another process holds the lock at that moment they are left for the
// next start. A write waits at most 10 seconds for the lock (a stopped
// process may hold it), then goes ahead without it, with a log line.
//
// Durability. A change is in the file when the call returns (written to a
// temporary file and renamed over it, under the lock), so it outlives a
// crash of the process; the fsyncs that make it outlive a power loss run
// on a background thread, a couple of seconds later, so that a burst of
// changes costs one fsync of the file and one of its folder, and none on
// the caller's thread. Each such flush fsyncs the file, then hard-links it
// as ".<name>~" and fsyncs the folder: ".<name>~" always names contents
// that are on disk. A write renames an unsynced file over the real name
// only while that backup exists (else, once, it fsyncs as before), and a
// reader that finds the file torn by a power loss (not a property-list
// dictionary) sets it aside and reads the backup: after a power loss the
// defaults are the old ones or the new ones, never a torn mix. Pending
// flushes run at synchronize(), when the object is destroyed and when the
// process exits normally. The process may fork at any time: a fork waits for
// a flush under way, and a child flushes only the defaults it made itself.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>

#include "platform/foundation/Value.h"

namespace platform {

class UserDefaults {
public:
    // Defaults kept in the given file (created on the first change).
    explicit UserDefaults(std::filesystem::path file);
    // Flushes what is not yet durable.
    ~UserDefaults();
    UserDefaults(const UserDefaults &) = delete;
    UserDefaults &operator=(const UserDefaults &) = delete;

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
    // Load-or-make across processes: reads the key's value afresh from the
    // file under the lock writers take, gives it (a null Value when absent)
    // to `resolve`, and stores what resolve answers when that differs, all
    // before another process can write. Two processes making a value at once
    // (an install id at a first launch) so end up with the same one. Answers
    // the value kept. Only the application domain is looked at. `resolve`
    // runs with the lock held: it must not use these defaults. When the file
    // cannot be read or written, this process's value is used and kept in
    // memory, as setObject does.
    Value loadOrStoreObject(const std::string &key, const std::function<Value(const Value &stored)> &resolve);
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
    // domain stays, and so do changes of this process not yet written). A
    // file that is not a property-list dictionary is set
    // aside as "<name>.corrupt", logged, and the domain starts empty. A file
    // that exists but cannot be read is logged and left alone: the values in
    // memory stay and nothing is written over it until a reload reads it.
    void reload();

    // The lock file writers of the file take: ".<name>.lock" beside it.
    std::filesystem::path lockFilePath() const;
    // The durable copy of the file: ".<name>~" beside it.
    std::filesystem::path backupFilePath() const;

    // Makes the changes written so far durable now (fsync of the file and
    // its folder, when a write has not been flushed yet). False when that
    // failed.
    bool synchronize();

private:
    // A key set (a value) or removed (nullopt) and not yet written.
    using Changes = std::map<std::string, std::optional<Value>>;
    // What reading the file found.
    enum class FileState { Read, Absent, Corrupt, SetAside, Unreadable };
    // A change of one key (its new value, or nullopt to remove it), decided
    // while the file is locked and read; nullopt changes nothing.
    using Edit = std::function<std::optional<std::pair<std::string, std::optional<Value>>>(const Dictionary &onDisk)>;

    bool persist();
    // Holding fileMutex_: locks the file, reads it, applies this process's
    // changes (and the edit), writes it when anything changed and refreshes
    // the domain. False when the file could not be read or written (the
    // changes then stay in memory for the next write); `edited` tells
    // whether the edit ran.
    bool writeChanges(const Edit &edit = nullptr, bool *edited = nullptr);
    // The file's dictionary. One that is not a property-list dictionary is
    // set aside as "<name>.corrupt" when asked (else answered Corrupt).
    FileState readFile(Dictionary &out, bool setAside);
    void removeStaleTemporaryFiles();
    // Holding mutex_: the application domain is the file's contents with
    // the changes not yet written on top.
    void refreshDomain(Dictionary onDisk);
    // Holding fileMutex_ and the file's lock: the flush described above.
    bool synchronizeLocked();
    // Asks the background thread for a flush after the coalescing delay.
    void scheduleSynchronize();

    const std::filesystem::path file_;
    mutable std::mutex mutex_;  // guards the two domains, changes_ and unreadable_
    Dictionary registration_;
    Dictionary application_;
    Changes changes_;
    bool unreadable_ = false;    // the file exists but could not be read
    std::mutex fileMutex_;       // serialises this process's users of the file
    bool flushPending_ = false;  // guarded by fileMutex_: a write awaits its flush
    const pid_t ownerPid_;       // the process that made them: a forked child flushes nothing of its parent's
};

}  // namespace platform
