#include "platform/foundation/UserDefaults.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <unistd.h>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaultsFlusher.h"
#include "platform/foundation/UserDefaultsLifetime.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

constexpr auto logLine = &UserDefaultsFile::logLine;

using Clock = std::chrono::steady_clock;

// ThreadSanitizer cannot follow a fork made while the process has threads,
// and the tests run under it fork right after writing settings: built with
// it, every write fsyncs on the caller's thread, waits there for another
// process's lock, and no flush thread starts.
#if defined(__SANITIZE_THREAD__)
constexpr bool kFlushInBackground = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kFlushInBackground = false;
#else
constexpr bool kFlushInBackground = true;
#endif
#else
constexpr bool kFlushInBackground = true;
#endif

// How long a caller's write waits for another process's lock before the
// background thread takes the write over: a live writer holds it for a read
// and a write of a small file.
constexpr Clock::duration kWritePatience =
    kFlushInBackground ? Clock::duration(std::chrono::milliseconds(5)) : Clock::duration(std::chrono::seconds(10));
// How long making a value (loadOrStoreObject) waits: long enough for the
// other writers of a first launch, so that they agree on it.
constexpr Clock::duration kMakePatience = std::chrono::milliseconds(250);
// An end (destruction, exit) tries a live writer's moment first, then waits
// what is left of its bound (UserDefaultsLifetime).
constexpr Clock::duration kEndFirstTry = std::chrono::milliseconds(5);
// A background write that has waited this long for the lock is logged, once.
constexpr Clock::duration kLongWait = std::chrono::seconds(5);
// How long a write waits before its fsyncs run, so that the changes that
// follow it (a burst at launch) share them.
constexpr Clock::duration kSynchronizeDelay = std::chrono::seconds(2);

std::string seconds(Clock::duration duration) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

// The encoded size of the key with the value alone, or nullopt (with the
// reason) when the file cannot hold the value.
std::optional<size_t> encodedSize(const std::string &key, const Value &value, std::string &why) {
    ErrorPtr error;
    auto data = PropertyListSerialization::dataWithPropertyList(Value(Dictionary{{key, value}}),
                                                                PropertyListSerialization::Format::Binary, &error);
    if (!data) {
        why = error ? error->localizedDescription() : std::string("?");
        return std::nullopt;
    }
    return data->size();
}

std::string tooLargeReason(const fs::path &file) {
    return "with it " + file.string() + " would be larger than settings may be (64 MiB)";
}

constexpr const char *kInsideCallback =
    "a resolve, or a log sink given a line of the defaults, may not use any defaults";

}  // namespace

UserDefaults::UserDefaults(fs::path file)
    : file_(std::move(file)), standIn_(UserDefaultsLifetime::insideCallback()), writerPid_(::getpid()) {
    if (standIn_) {
        UserDefaultsLifetime::refuse("Refused making defaults for " + filePath().string() + ": " + kInsideCallback);
        return;
    }
    {
        std::lock_guard<std::mutex> fileLock(fileMutex_);
        file_.removeStaleTemporaryFiles();
    }
    reload();
    UserDefaultsLifetime::shared().add(this);
}

UserDefaults::UserDefaults(fs::path file, StandIn) : file_(std::move(file)), standIn_(true), writerPid_(::getpid()) {}

UserDefaults::~UserDefaults() {
    if (standIn_) return;
    UserDefaultsLifetime::shared().remove(this);
    // A copy in a forked child that the child never changed: the parent
    // writes and flushes its own changes.
    if (::getpid() == writerPid_.load()) flush(Clock::duration::zero(), FlushBy::End);
    // A flush the child scheduled on it is called off too, or the child's
    // flush thread would run on freed memory.
    UserDefaultsFlusher::shared().cancel(this);
}

bool UserDefaults::refusesCall(const char *call) const {
    const bool inside = UserDefaultsLifetime::insideCallback();
    if (!inside && !standIn_) return false;
    const std::string name = filePath().empty() ? std::string("the standard defaults") : filePath().string();
    UserDefaultsLifetime::refuse(
        std::string("Refused ") + call + " on " + name + ": " +
        (inside ? kInsideCallback : "these are a stand-in, made inside a resolve or a log sink"));
    return true;
}

void UserDefaults::adoptAfterFork() {
    const pid_t self = ::getpid();
    if (writerPid_.load() == self) return;
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    if (writerPid_.load() == self) return;
    // The parent writes and flushes its own pending changes: a child that
    // wrote them too could undo what the parent changes after the fork.
    writeWaiting_ = false;
    flushPending_ = false;
    waitLogged_ = false;
    lossLogged_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changes_.clear();
        made_.clear();
    }
    writerPid_ = self;
}

fs::path UserDefaults::lockFilePath() const { return file_.lockPath(); }

fs::path UserDefaults::backupFilePath() const { return file_.backupPath(); }

void UserDefaults::scheduleSynchronize() { UserDefaultsFlusher::shared().schedule(this, kSynchronizeDelay); }

bool UserDefaults::synchronize() {
    if (refusesCall("synchronize")) return false;
    adoptAfterFork();
    if (UserDefaultsLifetime::shared().exiting()) return flush(Clock::duration::zero(), FlushBy::End);
    return flush(kWritePatience, FlushBy::Caller);
}

bool UserDefaults::flushInBackground() {
    // A flush that failed otherwise is logged, and left to the next write.
    bool busy = false;
    flush(Clock::duration::zero(), FlushBy::Background, &busy);
    return !busy;
}

bool UserDefaults::flush(Clock::duration patience, FlushBy by, bool *busy) {
    // The background thread never waits for another thread of this process
    // at the file (an end may hold it for its whole bound): it holds the
    // flush lock meanwhile, which a fork must take.
    std::unique_lock<std::mutex> fileLock(fileMutex_, std::defer_lock);
    if (by != FlushBy::Background) {
        fileLock.lock();
    } else if (!fileLock.try_lock()) {
        if (busy) *busy = true;
        return false;
    }
    if (!writeWaiting_ && !flushPending_) return true;
    // An end waits a live writer's moment, then what is left of its bound.
    std::optional<UserDefaultsFile::Lock> lock(std::in_place, lockFilePath(),
                                               by == FlushBy::End ? kEndFirstTry : patience);
    if (lock->busy() && by == FlushBy::End) {
        const Clock::time_point deadline = UserDefaultsLifetime::shared().endDeadline();
        lock.emplace(lockFilePath(), std::max(deadline - Clock::now(), Clock::duration::zero()));
    }
    if (lock->busy()) {
        if (busy) *busy = true;
        const Clock::duration waited = Clock::now() - waitingSince_;
        if (by == FlushBy::End && writeWaiting_) {
            // Said once: defaults flushed at exit are destroyed afterwards.
            if (!lossLogged_)
                logLine("Another process holds " + lockFilePath().string() + ": the changes to " + filePath().string() +
                        " that waited " + seconds(waited) + " for it are not written, and are lost");
            lossLogged_ = true;
        } else if (by == FlushBy::Background && writeWaiting_ && !waitLogged_ && waited >= kLongWait) {
            waitLogged_ = true;
            logLine("Another process has held " + lockFilePath().string() + " for " + seconds(waited) +
                    ": changes to " + filePath().string() + " are kept in memory and written once it lets go");
        }
        return false;
    }
    bool ok = true;
    if (writeWaiting_) {
        writeWaiting_ = false;
        if (waitLogged_)
            logLine("Wrote the changes to " + filePath().string() + " that waited " +
                    seconds(Clock::now() - waitingSince_) + " for " + lockFilePath().string());
        ok = writeLocked(nullptr, nullptr);
    }
    if (flushPending_) ok = synchronizeLocked() && ok;
    return ok;
}

void UserDefaults::deferWrite() {
    if (writeWaiting_) return;  // the background thread is at it already
    writeWaiting_ = true;
    waitingSince_ = Clock::now();
    waitLogged_ = false;
    if (kFlushInBackground) UserDefaultsFlusher::shared().schedule(this, Clock::duration::zero());
}

bool UserDefaults::synchronizeLocked() {
    flushPending_ = false;
    return file_.synchronize();
}

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() {
    // Inside a callback no lock is taken: a stand-in refuses the calls.
    if (UserDefaultsLifetime::insideCallback()) return std::shared_ptr<UserDefaults>(new UserDefaults({}, StandIn{}));
    return UserDefaultsLifetime::shared().standard([] { return std::make_shared<UserDefaults>(standardFilePath()); });
}

void UserDefaults::resetStandardUserDefaults() {
    if (UserDefaultsLifetime::insideCallback()) {
        UserDefaultsLifetime::refuse(std::string("Refused resetStandardUserDefaults: ") + kInsideCallback);
        return;
    }
    UserDefaultsLifetime::shared().resetStandard();
}

fs::path UserDefaults::standardFilePath() {
    auto identifier = Bundle::mainBundle()->bundleIdentifier();
    std::string name = identifier && !identifier->empty() ? *identifier : ProcessInfo::processInfo()->processName();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) name = "defaults";
    return FileManager::URLForDirectory(FileManager::SearchPathDirectory::Preferences) / (name + ".plist");
}

void UserDefaults::refreshDomain(Dictionary onDisk) {
    for (const auto &[key, value] : changes_) UserDefaultsMerge::apply(key, value, onDisk);
    application_ = std::move(onDisk);
}

void UserDefaults::reload() {
    if (refusesCall("reload")) return;
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    Dictionary loaded;
    UserDefaultsFile::State state = file_.read(loaded, false);
    std::optional<UserDefaultsFile::Lock> lock;
    if (state == UserDefaultsFile::State::Corrupt) {
        // Read again under the lock before setting it aside, so that what
        // is set aside is not a file another process just put in place.
        // While another process holds the lock, the first write sets it
        // aside; until then the copy last flushed stands in.
        lock.emplace(lockFilePath(), kWritePatience);
        if (lock->busy())
            file_.readBackup(loaded);
        else
            state = file_.read(loaded, true);
    }
    if (state == UserDefaultsFile::State::Unreadable) {
        // The file is there but cannot be read (its permissions): it is
        // left alone, the values in memory stay, and no change is written
        // over it.
        std::lock_guard<std::mutex> guard(mutex_);
        unreadable_ = true;
        return;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    unreadable_ = false;
    refreshDomain(std::move(loaded));
}

Value UserDefaults::objectForKey(const std::string &key) const {
    if (refusesCall("objectForKey")) return Value();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = application_.find(key);
    if (it != application_.end()) return it->second;
    auto reg = registration_.find(key);
    if (reg != registration_.end()) return reg->second;
    return Value();
}

bool UserDefaults::setObject(const Value &value, const std::string &key) {
    if (refusesCall("setObject")) return false;
    return store(value, key);
}

bool UserDefaults::store(const Value &value, const std::string &key, const std::optional<Value> &madeOver) {
    if (value.isNull()) return removeObjectForKey(key);
    adoptAfterFork();
    // Only what the file can hold and give back is taken: a text that is not
    // UTF-8 would make the whole file unreadable at the next launch, and a
    // value that alone makes the file larger than a reader takes would be
    // refused with whatever waits beside it.
    std::string why;
    const std::optional<size_t> size = encodedSize(key, value, why);
    if (!size) {
        logLine("Attempt to set a non-property-list object " + text::lossyUTF8(value.description()) + " for key " +
                text::lossyUTF8(key) + ": " + why);
        return false;
    }
    if (!UserDefaultsFile::fits(*size)) {
        logLine("Not storing the value for " + text::lossyUTF8(key).substr(0, 64) + ": " + tooLargeReason(filePath()) +
                "; the key keeps what it held");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        application_[key] = value;
        changes_[key] = value;
        if (madeOver)
            made_[key] = *madeOver;
        else
            made_.erase(key);
    }
    return persist();
}

bool UserDefaults::removeObjectForKey(const std::string &key) {
    if (refusesCall("removeObjectForKey")) return false;
    // Written even when the key is not in memory: another process may have
    // set it since this one last read the file.
    adoptAfterFork();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        application_.erase(key);
        changes_[key] = std::nullopt;
        made_.erase(key);
    }
    return persist();
}

bool UserDefaults::persist() {
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    UserDefaultsLifetime::holding(UserDefaultsLifetime::Holding::File);
    // While the background thread waits for the lock, a change joins the
    // others at once if the lock is still held.
    return writeChanges(writeWaiting_ && kFlushInBackground ? Clock::duration::zero() : kWritePatience) !=
           WriteResult::Failed;
}

UserDefaults::WriteResult UserDefaults::writeChanges(Clock::duration patience, const Edit &edit, bool *edited,
                                                     bool locked) {
    if (edited) *edited = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A writer that came after us already wrote our change.
        if (changes_.empty() && !edit) return WriteResult::Written;
    }
    ErrorPtr error;
    if (!filePath().parent_path().empty() &&
        !FileManager::defaultManager()->createDirectory(filePath().parent_path(), true, &error)) {
        logLine("Cannot write " + filePath().string() + ": " +
                (error ? error->localizedDescription() : std::string("?")));
        return WriteResult::Failed;
    }
    std::optional<UserDefaultsFile::Lock> lock;
    if (!locked) lock.emplace(lockFilePath(), patience);
    if (lock && lock->busy()) {
        bool waiting = false;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            waiting = !changes_.empty();
        }
        if (waiting) deferWrite();
        return WriteResult::Deferred;
    }
    return writeLocked(edit, edited) ? WriteResult::Written : WriteResult::Failed;
}

bool UserDefaults::writeLocked(const Edit &edit, bool *edited) {
    if (edited) *edited = false;
    Changes changes;
    UserDefaultsMerge::Made made;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (changes_.empty() && !edit) return true;
        changes = changes_;
        made = made_;
    }
    Dictionary onDisk;
    const UserDefaultsFile::State state = file_.read(onDisk, true);
    // The file was removed (say, to reset the settings): its flushed copy
    // goes too, so that a power loss can never bring it back.
    if (state == UserDefaultsFile::State::Absent) ::unlink(backupFilePath().c_str());
    if (state == UserDefaultsFile::State::Unreadable) {
        std::lock_guard<std::mutex> guard(mutex_);
        unreadable_ = true;
        logLine("Not writing " + filePath().string() +
                ": it exists but could not be read, and writing would replace what it holds");
        return false;
    }
    UserDefaultsMerge::Outcome outcome = UserDefaultsMerge::merge(std::move(onDisk), changes, made);
    if (edit) {
        if (edited) *edited = true;
        if (auto decided = edit(outcome.contents)) {
            // The edit's key is written as the process's own change; it has
            // been checked for the file by its caller.
            const std::string &key = decided->first;
            UserDefaultsMerge::change(outcome, key, decided->second);
            changes[key] = decided->second;
            std::lock_guard<std::mutex> guard(mutex_);
            changes_[key] = decided->second;
            made_.erase(key);
        }
    }
    // Nothing is written when the file holds the changes already (a key
    // removed that was not there). A write that would make the file larger
    // than a reader takes leaves out the largest change, then the next,
    // until it fits: what waited beside them is written.
    bool ok = true;
    std::vector<std::string> refused;
    while (outcome.differs) {
        bool deferred = false;
        const auto result = file_.write(outcome.contents, kFlushInBackground, flushPending_, deferred);
        if (result == UserDefaultsFile::WriteResult::TooLarge) {
            std::optional<std::string> largest;
            size_t most = 0;
            for (const auto &[key, held] : outcome.before) {
                auto it = outcome.contents.find(key);
                std::string why;
                const size_t size = it == outcome.contents.end() || std::count(refused.begin(), refused.end(), key)
                                        ? 0
                                        : encodedSize(key, it->second, why).value_or(0);
                if (size > most) {
                    most = size;
                    largest = key;
                }
            }
            if (largest) {
                UserDefaultsMerge::rollBack(outcome, *largest);
                refused.push_back(*largest);
                continue;
            }
            ok = false;
        } else if (result == UserDefaultsFile::WriteResult::Failed) {
            ok = false;
        } else if (deferred) {
            flushPending_ = true;
            scheduleSynchronize();
        } else {
            synchronizeLocked();  // makes the backup; the file is on disk already
        }
        break;
    }
    if (!refused.empty()) {
        std::string keys;
        for (size_t i = 0; i < refused.size() && i < 3; ++i)
            keys += (keys.empty() ? "" : ", ") + text::lossyUTF8(refused[i]).substr(0, 64);
        if (refused.size() > 3) keys += " and " + std::to_string(refused.size() - 3) + " more";
        logLine("Not writing the changes to " + keys + ": " + tooLargeReason(filePath()) +
                "; the file keeps what it held for them, and they are dropped");
    }
    std::lock_guard<std::mutex> guard(mutex_);
    unreadable_ = false;
    // Changes written, refused for the size, or yielding to the file are no
    // longer pending, unless they changed again meanwhile.
    auto settle = [&](const std::string &key, const std::optional<Value> &value) {
        auto it = changes_.find(key);
        if (it == changes_.end() || it->second != value) return;
        changes_.erase(it);
        made_.erase(key);
    };
    for (const auto &key : outcome.yielded) {
        settle(key, changes[key]);
        if (auto it = outcome.contents.find(key); it != outcome.contents.end()) application_[key] = it->second;
        logLine("Another process stored " + text::lossyUTF8(key) + " in " + filePath().string() +
                " while this one waited to write it: that value is kept");
    }
    if (!ok) {
        // The file keeps what it held; memory keeps this process's changes.
        for (const auto &[key, value] : changes_) UserDefaultsMerge::apply(key, value, application_);
        return false;
    }
    // What was refused for the size is gone from memory too: a value kept
    // only there would be gone at the next start, silently.
    for (const auto &[key, value] : changes) settle(key, value);
    if (changes_.empty()) writeWaiting_ = false;
    refreshDomain(std::move(outcome.contents));
    return ok && refused.empty();
}

Value UserDefaults::loadOrStoreObject(const std::string &key,
                                      const std::function<Value(const Value &stored)> &resolve) {
    if (refusesCall("loadOrStoreObject")) return Value();
    // resolve runs with locks of the defaults held: every call of the
    // defaults it makes is refused.
    auto ask = [&resolve](const Value &stored) {
        if (!resolve) return stored;
        UserDefaultsLifetime::Callback callback;
        return resolve(stored);
    };
    Value kept;
    std::optional<std::string> refused;
    Edit edit = [&](const Dictionary &onDisk) -> std::optional<std::pair<std::string, std::optional<Value>>> {
        auto it = onDisk.find(key);
        Value stored = it != onDisk.end() ? it->second : Value();
        kept = ask(stored);
        if (kept == stored) return std::nullopt;
        std::string why;
        if (kept.isNull()) return std::make_pair(key, std::optional<Value>());
        const std::optional<size_t> size = encodedSize(key, kept, why);
        if (!size || !UserDefaultsFile::fits(*size)) {
            refused = size ? tooLargeReason(filePath()) : why;
            return std::nullopt;
        }
        return std::make_pair(key, std::optional<Value>(kept));
    };
    bool edited = false;
    // What the file held for the key when it was read without the lock.
    std::optional<Value> read;
    adoptAfterFork();
    WriteResult result;
    {
        std::lock_guard<std::mutex> fileLock(fileMutex_);
        result = writeChanges(kWritePatience, edit, &edited);
    }
    if (result == WriteResult::Deferred) {
        // Another process holds the lock. The file is only ever replaced
        // whole, so it reads whole without the lock: a value it holds that
        // resolve keeps needs no write.
        Dictionary onDisk;
        if (file_.read(onDisk, false) == UserDefaultsFile::State::Read) {
            auto held = onDisk.find(key);
            read = held != onDisk.end() ? held->second : Value();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const auto &[changed, value] : changes_) UserDefaultsMerge::apply(changed, value, onDisk);
            }
            auto it = onDisk.find(key);
            const Value stored = it != onDisk.end() ? it->second : Value();
            if (ask(stored) == stored) return stored;
        }
        // A value to make: another instance making it at the same time holds
        // the lock only a moment. The wait holds none of this process's
        // locks, so that its other writers go on meanwhile.
        UserDefaultsFile::Lock lock(lockFilePath(), kMakePatience);
        if (!lock.busy()) {
            std::lock_guard<std::mutex> fileLock(fileMutex_);
            writeChanges(kMakePatience, edit, &edited, lock.held());
        }
    }
    if (refused) {
        logLine("Attempt to set the object " + text::lossyUTF8(kept.description()).substr(0, 256) + " for key " +
                text::lossyUTF8(key) + ": " + *refused);
        return objectForKey(key);
    }
    if (edited) return kept;
    // Another process still holds the lock, or the file could not be read:
    // this process decides alone, from memory. The value made replaces what
    // the file held when it was just read (not an older value in memory),
    // and yields only to another value written since.
    Value madeOver;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = application_.find(key);
        Value stored = it != application_.end() ? it->second : Value();
        if (read && changes_.find(key) == changes_.end()) stored = *read;
        kept = ask(stored);
        if (kept == stored) return kept;
        madeOver = stored;
    }
    store(kept, key, madeOver);
    return kept;
}

void UserDefaults::registerDefaults(const Dictionary &registrationDictionary) {
    if (refusesCall("registerDefaults")) return;
    std::lock_guard<std::mutex> lock(mutex_);
    UserDefaultsLifetime::holding(UserDefaultsLifetime::Holding::State);
    for (const auto &[key, value] : registrationDictionary) registration_[key] = value;
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    if (refusesCall("dictionaryRepresentation")) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    Dictionary all = registration_;
    for (const auto &[key, value] : application_) all[key] = value;
    return all;
}

bool UserDefaults::boolForKey(const std::string &key) const { return objectForKey(key).boolValue().value_or(false); }

int64_t UserDefaults::integerForKey(const std::string &key) const { return objectForKey(key).int64Value().value_or(0); }

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
