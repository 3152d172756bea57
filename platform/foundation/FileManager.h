#pragma once
// The file manager and the standard directories. Directories follow the XDG
// base-directory variables, read at each call (so a test can point them at a
// temporary home). Failures answer false or nullopt with an error in the
// POSIX domain that names the path.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {

class FileManager {
public:
    enum class SearchPathDirectory {
        ApplicationSupport,  // $XDG_DATA_HOME, else ~/.local/share
        Caches,              // $XDG_CACHE_HOME, else ~/.cache
        Preferences,         // $XDG_CONFIG_HOME, else ~/.config (user defaults live here)
    };

    // One entry of a directory listing.
    struct DirectoryEntry {
        std::filesystem::path url;  // the directory joined with the name
        std::string name;
        uint64_t size = 0;           // bytes, for regular files; 0 otherwise
        bool isRegularFile = false;  // a symbolic link is not a regular file
        bool isDirectory = false;    // a real directory, not a link to one
    };

    static std::shared_ptr<FileManager> defaultManager();

    // $HOME, else the password database's home directory.
    static std::filesystem::path homeDirectory();
    // $TMPDIR, else /tmp.
    static std::filesystem::path temporaryDirectory();
    static std::filesystem::path URLForDirectory(SearchPathDirectory directory);

    // What the SDK keeps on disk is private to the user, whatever the umask.
    static constexpr mode_t kPrivateDirectoryMode = 0700;
    static constexpr mode_t kPrivateFileMode = 0600;

    // Creates the directory (and its missing parents when asked), each one
    // made 0700; an existing directory keeps its mode. An existing
    // directory counts as success only with intermediates.
    bool createDirectory(const std::filesystem::path &url, bool withIntermediateDirectories,
                         ErrorPtr *error = nullptr) const;
    // Whether the path can be reached (links are followed: a dangling link
    // answers false).
    bool fileExists(const std::filesystem::path &url, bool *isDirectory = nullptr) const;
    // Removes a file, a link (not what it points to) or a directory tree.
    bool removeItem(const std::filesystem::path &url, ErrorPtr *error = nullptr) const;
    // The entries of a directory (without "." and ".."), sorted by name.
    std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(const std::filesystem::path &url,
                                                                   ErrorPtr *error = nullptr) const;
    // Suffixes of what is set aside in our folders: somebody else's (a link,
    // a hard-linked file, anything of the wrong type), what could never be
    // parsed, and what the store can never hold.
    static constexpr const char *kNotOursSuffix = ".notours";
    static constexpr const char *kCorruptSuffix = ".corrupt";
    static constexpr const char *kUnstorableSuffix = ".unstorable";
    static constexpr const char *kHardLinkSuffix = ".hardlink";
    static constexpr const char *kLinkSuffix = ".link";
    // How the names after the first are numbered: "<suffix>1" or
    // "<suffix>.1".
    enum class AsideNumbering { Appended, Dotted };
    // The one way an entry of ours that is not usable is set aside: renames
    // the entry `name` of the folder (the entry itself: never what a link
    // points to, nor a file's other names; `directoryFd` may be AT_FDCWD
    // with a path) to the first free "<name><suffix>", then the numbered
    // names up to 9. It never replaces an entry: the no-replace rename, or
    // where the file system refuses that flag a look first. An entry that
    // is already set aside is never set aside again (EALREADY). Answers the
    // new name (`name` with the suffix), or nothing with errno set.
    static std::optional<std::string> setAsideEntry(int directoryFd, const std::string &name, const std::string &suffix,
                                                    AsideNumbering numbering = AsideNumbering::Appended);
    // Whether the last component of `name` ends with one of the suffixes
    // above, numbered or not, after something.
    static bool isSetAsideName(const std::string &name);
    // The temporary file of an atomic write made through a folder's
    // descriptor is named ".<name>.<pid>.<n>" (n counts the process's
    // writes), so that whoever lists the folder can tell it from the files
    // it holds, and tell whether its writer is gone.
    static std::string temporaryFileName(const std::string &name);
    // The writer's process id, when `name` is such a temporary name.
    static std::optional<pid_t> temporaryFileWriter(const std::string &name);
    // Longer than any write takes: a temporary file older than this is
    // abandoned, whatever process has its writer's id by now.
    static constexpr std::chrono::seconds kLongestWrite{600};
    // Whether `name` is such a temporary file (`st`, not followed through a
    // link) whose writer is gone: its process no longer runs, or the file is
    // older than any write takes.
    static bool isAbandonedTemporaryFile(const std::string &name, const struct stat &st);
    // The one way the temporary files of interrupted writes are cleared:
    // removes the regular files of the folder (reached through
    // `directoryFd`; a link is never followed nor removed) that
    // `isTemporary` names and whose writer `writerGone` says is gone, and
    // tells `removed` each name it removed, to say so. `writerGone` is asked
    // only when there is such a file, so a costly check (a lock) is made
    // only then; a file it keeps (being written) is left alone.
    static void removeAbandonedTemporaryFiles(
        int directoryFd, const std::function<bool(const std::string &name)> &isTemporary,
        const std::function<bool(const std::string &name, const struct stat &st)> &writerGone,
        const std::function<void(const std::string &name)> &removed);
    // A file of ours that has other hard links is someone else's too: it is
    // never written through, truncated or chmodded. This takes our name
    // back with a copy: the contents (at most `maxSize` bytes) go into a new
    // private file of the folder (a temporaryFileName), mode 0600 with the
    // old times, flushed to disk, which is then renamed over `name` (only
    // while `name` is still that file) and the folder flushed. The other
    // names keep the old file, untouched. `directoryFd` may be AT_FDCWD with
    // a path. Anything else (missing, a link, a folder, a FIFO, a file with
    // one name) is left as it is: NotNeeded. Failed leaves `name` as it was,
    // with errno set: EALREADY for an entry set aside, EFBIG for a larger
    // file.
    enum class TakeBack { NotNeeded, TakenBack, Failed };
    static TakeBack takeBackHardLinkedEntry(int directoryFd, const std::string &name, uint64_t maxSize);
    // Writes the bytes. Atomically: to a temporary file in the same
    // directory, flushed to disk, then renamed over the target, so a reader
    // (or a crash) sees the old or the new contents, never a mix. The file
    // gets `permissions`; by default a new file is 0600 and a replaced one
    // keeps its mode less any group and other bits.
    //
    // With Durability::Deferred an atomic write skips both fsyncs: the new
    // contents outlive a crash of the process (they are in the page cache
    // under the real name when this returns) but not yet a power loss; the
    // caller makes them durable later with synchronizeFile and
    // synchronizeDirectory, and must keep a durable copy of the old
    // contents meanwhile.
    enum class Durability { Synced, Deferred };
    bool writeData(const Data &data, const std::filesystem::path &url, bool atomically, ErrorPtr *error = nullptr,
                   std::optional<mode_t> permissions = std::nullopt, Durability durability = Durability::Synced) const;
    // fsync of a regular file (not followed through a link) and of a
    // directory's entries.
    bool synchronizeFile(const std::filesystem::path &url, ErrorPtr *error = nullptr) const;
    bool synchronizeDirectory(const std::filesystem::path &url, ErrorPtr *error = nullptr) const;
    // How many fsync calls on files and on directories the file manager has
    // made in this process (for tests that count them).
    static uint64_t fileSynchronizationCount();
    static uint64_t directorySynchronizationCount();
    std::optional<Data> contentsAtPath(const std::filesystem::path &url, ErrorPtr *error = nullptr) const;
    // Backups do not exist here: succeeds without doing anything.
    bool setExcludedFromBackup(const std::filesystem::path &url, bool excluded, ErrorPtr *error = nullptr) const;
};

}  // namespace platform
