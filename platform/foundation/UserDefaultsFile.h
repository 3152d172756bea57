#pragma once
// The user defaults' file on disk, and what lies beside it: the advisory
// lock writers take (".<name>.lock"), the durable copy (".<name>~") and the
// temporary files of the atomic writer (".<name>.XXXXXX"). It reads the
// file at rest within a bound, sets aside what is not ours to read, writes
// the file atomically within the same bound and makes it durable. It knows
// nothing of the changes a process makes: the defaults decide what to write,
// and hold their own mutex around every use. Internal to platform/foundation.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <sys/types.h>

#include "platform/foundation/Value.h"

namespace platform {

class UserDefaultsFile {
public:
    using Clock = std::chrono::steady_clock;
    // The most the file (or its copy) may hold, to be read or written: far
    // beyond real settings (200,000 keys take a few MiB).
    static constexpr size_t kMaximumSize = size_t(64) << 20;

    // The advisory lock (flock) on the lock file, held while the object
    // lives. Unusable (logged, unless the folder does not exist yet) when
    // the lock file cannot be opened or locked: a write then goes ahead
    // unlocked rather than never. Busy when another process held it for
    // all of `patience`. The descriptor is one a forked child closes at
    // once, so that a child never holds its parent's lock.
    class Lock {
    public:
        enum class State { Held, Busy, Unusable };
        Lock(const std::filesystem::path &path, Clock::duration patience);
        ~Lock();
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
        bool busy() const { return state_ == State::Busy; }
        bool held() const { return state_ == State::Held; }

    private:
        void release();
        int fd_ = -1;
        State state_ = State::Unusable;
    };

    // What reading the file found.
    enum class State { Read, Absent, Corrupt, SetAside, Unreadable };
    // What became of a write.
    enum class WriteResult { Written, TooLarge, Failed };

    explicit UserDefaultsFile(std::filesystem::path file);

    // Writes one of the settings' lines to the system log; its sink may not
    // use any defaults meanwhile (UserDefaultsLifetime).
    static void logLine(const std::string &text);

    const std::filesystem::path &path() const { return file_; }
    std::filesystem::path lockPath() const;
    std::filesystem::path backupPath() const;

    // The file's dictionary. One that is not a property-list dictionary, or
    // not ours to read (not a regular file, reached through a link, larger
    // than the bound), is set aside as "<name>.corrupt" (then ".corrupt.1"
    // ... ".corrupt.9") when asked, else answered Corrupt; after setting it
    // aside the copy last flushed is read, when there is one.
    State read(Dictionary &out, bool setAside) const;
    // The copy last flushed, when it is a property-list dictionary.
    bool readBackup(Dictionary &out) const;
    // Whether the encoded dictionary may be written: not larger than a
    // reader takes.
    static bool fits(size_t bytes) { return bytes <= kMaximumSize; }
    // Writes the dictionary atomically, unless it would be larger than the
    // bound (TooLarge: the file keeps what it held). When `mayDefer`, the
    // fsyncs are left to a later synchronize() (`deferred` set) while that
    // is safe: a durable copy of the old contents exists, or the old
    // contents are not durable either (no file, or `flushPending`: a write
    // not flushed yet).
    WriteResult write(const Dictionary &contents, bool mayDefer, bool flushPending, bool &deferred) const;
    // Fsyncs the file, makes the durable copy a hard link of it and fsyncs
    // the folder.
    bool synchronize() const;
    // Removes the temporary files an interrupted write left behind, when
    // the lock is free at once (while another process holds it, its
    // temporary file may be live).
    void removeStaleTemporaryFiles() const;

private:
    const std::filesystem::path file_;
};

}  // namespace platform
