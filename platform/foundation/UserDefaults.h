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
// next start. No caller waits for the lock more than a few milliseconds:
// while another process holds it longer (a stopped copy of the
// application), a change is kept in memory at once and the background
// thread writes it, merged under the lock as above, as soon as the lock is
// free, with a log line if that takes long. What still waits when the
// defaults are destroyed or the process exits is written if the lock comes
// free within a short bound, else it is lost, with a log line (one per
// defaults). That bound is the exit's: every defaults ended at the exit
// (its handler, and the destructors that run after it) shares one; a
// defaults destroyed during the run has a bound of its own. A lock file with
// more than one link is someone else's file: it is set aside as
// ".<name>.lock.notours" (".notours.1" ... when that name is taken), with a
// log line, and a fresh one made.
//
// No write makes the file larger than a reader takes (64 MiB, below). A
// value that alone would is refused at its own call (false, with a log
// line; the key keeps what it held). A write that would, with the file's
// other keys, leaves out the largest changes until it fits: those are
// refused with a log line, the file keeps what it held for them, and they
// are dropped from memory too, so that the domain never holds what a
// relaunch would not find; the changes beside them are written.
//
// The file and its copy are read only when they are regular files, not
// reached through a link, of at most 64 MiB (far beyond any real settings);
// anything else in the file's place is set aside as a damaged file is,
// without being read, under the first free name of "<name>.corrupt",
// "<name>.corrupt.1" ... "<name>.corrupt.9".
//
// Durability. A change is in the file when the call returns (written to a
// temporary file and renamed over it, under the lock; unless another
// process holds the lock, as above), so it outlives a crash of the process;
// the fsyncs that make it outlive a power loss run on a background thread, a
// couple of seconds later, so that a burst of changes costs one fsync of the
// file and one of its folder, and none on the caller's thread. Each such
// flush fsyncs the file, then hard-links it as ".<name>~" and fsyncs the
// folder: ".<name>~" always names contents that are on disk. A write renames
// an unsynced file over the real name only while that backup exists (else,
// once, it fsyncs as before), and a reader that finds the file torn by a
// power loss (not a property-list dictionary) sets it aside and reads the
// backup: after a power loss the defaults are the old ones or the new ones,
// never a torn mix. Pending flushes run at synchronize(), when the object
// is destroyed and when the process exits normally. The process may fork at
// any time, from any thread, while other threads use defaults: a fork waits
// for a write or flush under way, and the child never holds its parent's
// lock (UserDefaultsLifetime). A child leaves its parent's pending changes
// and flushes to the parent; defaults it changes itself (its own, or a copy
// it inherited) are its own from then on, written and flushed as any, at
// its exit too.
//
// Code the defaults call back while they hold locks of their own, a
// `resolve` of loadOrStoreObject and the system log's sink given one of
// their lines, may not use any defaults: neither these nor others, nor the
// standard ones, nor make, reset or destroy any. Such a call would wait for
// those locks, or for a fork that waits for them; it fails at once instead,
// with a log line (none for the calls a sink makes for that line itself): a
// read answers nothing (a null Value, an empty dictionary), a change or
// synchronize() false. standardUserDefaults() there answers a stand-in, and
// defaults made there are one too: a stand-in touches no file and refuses
// every call, then and later. A destruction there cannot be refused, and
// may wait.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>

#include "platform/foundation/UserDefaultsFile.h"
#include "platform/foundation/UserDefaultsMerge.h"
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

    // The process's defaults, on standardFilePath(); made on first use. A
    // stand-in inside a resolve or a log sink (see above).
    static std::shared_ptr<UserDefaults> standardUserDefaults();
    // Drops the process's defaults: the next standardUserDefaults() reads
    // the file afresh (with an empty registration domain), as after a
    // relaunch, and follows the current $XDG_CONFIG_HOME.
    static void resetStandardUserDefaults();
    // $XDG_CONFIG_HOME (else ~/.config) / <bundle identifier>.plist; the
    // process name stands in when the main bundle has no identifier.
    static std::filesystem::path standardFilePath();

    const std::filesystem::path &filePath() const { return file_.path(); }

    // The application domain's value, else the registration domain's, else
    // a null Value.
    Value objectForKey(const std::string &key) const;
    // Stores the value (a null Value removes the key) and writes the file
    // (in the background while another process holds the lock). Refuses,
    // with a log line and false, a value that is not a property-list value
    // (a UUID, an object, or one inside a collection) and a key or text that
    // is not UTF-8; false too when the file could not be written, or exists
    // but could not be read (the value is then kept in memory for this run).
    bool setObject(const Value &value, const std::string &key);
    bool removeObjectForKey(const std::string &key);
    // Load-or-make across processes: reads the key's value afresh from the
    // file under the lock writers take, gives it (a null Value when absent)
    // to `resolve`, and stores what resolve answers when that differs, all
    // before another process can write. Two processes making a value at once
    // (an install id at a first launch) so end up with the same one. Answers
    // the value kept. Only the application domain is looked at. `resolve`
    // may run more than once, with the lock held: it may not use any
    // defaults (see above). While another process holds the lock, a value the file holds
    // that resolve keeps is answered at once; a value to make waits for the
    // lock a little longer than a write (without holding up this process's
    // other writers), then is made by this process alone and written in the
    // background, unless the file holds another value for the key by then: that
    // value wins and is taken into memory. When the file cannot be read or
    // written, this process's value is used and kept in memory, as setObject
    // does.
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
    // file that is not a property-list dictionary, or not ours to read (see
    // above), is set aside as "<name>.corrupt" (mode 0600), logged, and the
    // domain starts from the copy last flushed, else empty. A file that
    // exists but cannot be read (its permissions) is logged and left alone:
    // the values in memory stay and nothing is written over it until a
    // reload reads it.
    void reload();

    // The lock file writers of the file take: ".<name>.lock" beside it.
    std::filesystem::path lockFilePath() const;
    // The durable copy of the file: ".<name>~" beside it.
    std::filesystem::path backupFilePath() const;

    // Writes the changes that wait for the lock and makes the file durable
    // now (fsync of the file and its folder, when a write has not been
    // flushed yet). False when that failed, or when another process holds
    // the lock (the background thread then goes on trying).
    bool synchronize();

private:
    friend class UserDefaultsFlusher;
    friend class UserDefaultsLifetime;
    using Clock = std::chrono::steady_clock;
    using Changes = UserDefaultsMerge::Changes;
    // What became of a write.
    enum class WriteResult { Written, Deferred, Failed };
    // Who flushes: a caller (synchronize), the background thread, or the
    // end of the defaults (destruction, exit), after which nobody will.
    enum class FlushBy { Caller, Background, End };
    // The state a forked child inherited is its parent's: the first change
    // the child makes drops it (see above).
    void adoptAfterFork();
    // setObject; a value made by this process alone, over `madeOver` (what
    // the key held then, null for nothing), yields at its write to another
    // value the file holds for the key by then.
    bool store(const Value &value, const std::string &key, const std::optional<Value> &madeOver = std::nullopt);
    // A change of one key (its new value, or nullopt to remove it), decided
    // while the file is locked and read; nullopt changes nothing.
    using Edit = std::function<std::optional<std::pair<std::string, std::optional<Value>>>(const Dictionary &onDisk)>;

    bool persist();
    // Holding fileMutex_: takes the file's lock, waiting at most `patience`
    // for another process (unless the caller holds it: `locked`), and writes
    // the changes (writeLocked). While the other process holds it longer,
    // the changes stay in memory and the background thread writes them
    // (Deferred).
    WriteResult writeChanges(Clock::duration patience, const Edit &edit = nullptr, bool *edited = nullptr,
                             bool locked = false);
    // Holding fileMutex_ and the file's lock: reads the file, merges this
    // process's changes (and the edit), writes it when anything changed and
    // refreshes the domain. False when the file could not be read or
    // written (the changes then stay in memory for the next write), or a
    // change was refused for the size; `edited` tells whether the edit ran.
    bool writeLocked(const Edit &edit, bool *edited);
    // Holding fileMutex_: the changes wait for the background thread.
    void deferWrite();
    // Writes what waits for the lock and makes the file durable, waiting at
    // most `patience` for the lock (an end: a live writer's moment, then
    // what is left of its bound). False when another process held it
    // longer (then `busy` is set; the background thread tries again) or the
    // write or flush failed.
    bool flush(Clock::duration patience, FlushBy by, bool *busy = nullptr);
    // The background thread's flush: false when another process holds the
    // lock, or another thread of this one the file, to be tried again later.
    bool flushInBackground();
    // Holding mutex_: the application domain is the file's contents with
    // the changes not yet written on top.
    void refreshDomain(Dictionary onDisk);
    // Holding fileMutex_ and the file's lock: the flush described above.
    bool synchronizeLocked();
    // Asks the background thread for a flush after the coalescing delay.
    void scheduleSynchronize();

    // A stand-in: made inside a resolve or a log sink, it refuses every call.
    struct StandIn {};
    UserDefaults(std::filesystem::path file, StandIn);
    // Whether the call is refused, with a line: made or called inside a
    // resolve or a log sink.
    bool refusesCall(const char *call) const;

    const UserDefaultsFile file_;
    const bool standIn_;        // touches no file, in no registry
    mutable std::mutex mutex_;  // guards the two domains, changes_, made_ and unreadable_
    Dictionary registration_;
    Dictionary application_;
    Changes changes_;
    // Keys of changes_ made over a value (null: none) that yield to another
    // value in the file.
    UserDefaultsMerge::Made made_;
    bool unreadable_ = false;    // the file exists but could not be read
    std::mutex fileMutex_;       // serialises this process's users of the file
    bool flushPending_ = false;  // guarded by fileMutex_: a write awaits its flush
    // Guarded by fileMutex_: changes wait for another process's lock, since
    // waitingSince_; the long wait was logged.
    bool writeWaiting_ = false;
    Clock::time_point waitingSince_;
    bool waitLogged_ = false;
    bool lossLogged_ = false;  // guarded by fileMutex_: the end said the waiting changes are lost
    // The process whose changes and flushes these are: the maker, or a forked
    // child since its first change.
    std::atomic<pid_t> writerPid_;
};

}  // namespace platform
