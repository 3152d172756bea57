#pragma once
// The crash service's three folders inside the SDK folder, each created on
// its first use with the SDK folder of the moment, and the private files in
// them.
//
// Everything here is private to the user whatever the umask: the folders are
// 0700 (an existing one is narrowed, never widened), their files 0600, and
// files left by an earlier run are narrowed when the folder is first used.
//
// The path down to the SDK folder is the user's to arrange (links there are
// followed), but nothing inside it is: the SDK folder is opened with
// O_DIRECTORY, each of our folders is reached through it without following a
// link, and every file through the folder's descriptor (openat with
// O_NOFOLLOW, fstatat and fchmodat without following, unlinkat, renameat).
// A link, file or anything else where one of our folders should be is not
// ours: it is renamed "<name>.notours" (the entry itself, never what it
// points to) with a line, and a real folder is made in its place. Files are
// read back only when they are regular files (not links, FIFOs or devices)
// of a size we could have written. A file with more than one hard link is
// somebody else's too: it is never written, truncated or made private; our
// name is taken back with a private copy of its contents (the other names
// keep the old file), or, when it cannot be copied, the file is renamed
// "<name>.notours" with a line and a fresh file used in its place.
//
// A path component here is "<folder>/<file name>", the folder one of the
// three below.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"

class BCCrashesUtil {
public:
    // "crashes"
    static std::string crashesDir();
    // "crasheslogbuffer"
    static std::string logBufferDir();
    // "crasheswrapperexceptions"
    static std::string wrapperExceptionsDir();
    // Forgets that the folders were created, so the next call of each
    // creates its folder again.
    static void resetDirectory();

    // A descriptor (O_DIRECTORY, close-on-exec) of our folder `name` inside
    // the SDK folder, or -1 (errno set; logged unless the folder is missing
    // and not to be created). What stands in the folder's place is set
    // aside first; with `create` a missing folder is made 0700. The caller
    // closes it.
    static int openDirectory(const std::string &name, bool create = true);
    // Makes the folder's files and subfolders private: group and other bits
    // removed, nothing added. Links and what they point to are left alone,
    // and so is whatever was set aside; a file with more than one hard link
    // is taken back with a private copy instead (one line for the folder),
    // or set aside (with a line) when it cannot be copied.
    static void tightenDirectory(int directoryFd);
    // Sets aside the entry named by a path component through the file
    // manager's setAsideEntry (the entry itself, never what it points to,
    // under a free "<name><suffix>", "<name><suffix>1", ..., with one of the
    // file manager's suffixes; never an entry already set aside): the new
    // name, or nothing (errno set).
    static std::optional<std::string> setAside(const std::string &pathComponent, const std::string &suffix);
    // The folder's entries (links not followed: a link is neither a regular
    // file nor a folder), by name; nothing when the folder can't be opened.
    static std::optional<std::vector<platform::FileManager::DirectoryEntry>> contentsOfDirectory(
        const std::string &name);
    // Writes the bytes to the file atomically, as a file of mode 0600 (a link
    // in its place is replaced, not followed); its URL, or nothing (logged).
    // The bytes go first to the file manager's temporary name beside it,
    // ".<name>.<pid>.<n>".
    static std::optional<std::filesystem::path> writePrivateFile(const std::string &pathComponent,
                                                                 const platform::Data &data);
    // Whether the name is one of those temporary names: never a file of ours
    // to read.
    static bool isTemporaryFileName(const std::string &name);
    // Removes from our folder `name` the temporary files of interrupted
    // writes whose writer is gone (its process no longer runs, or the file
    // is older than any write takes), each with a line; one being written
    // is left alone.
    static void removeAbandonedTemporaryFiles(const std::string &name);
    // Whether something (of any kind, a link included) has the file's name.
    static bool fileExists(const std::string &pathComponent);
    // Removes the file's entry (a link itself, never what it points to).
    static bool deleteFile(const std::string &pathComponent);
    // The bytes of a regular file of at most `maxSize` bytes, opened without
    // following a link and without blocking (a FIFO fails at once); nothing
    // and an error otherwise. With `modified`, also the file's modification
    // time, from the descriptor it was read through.
    static std::optional<platform::Data> readRegularFile(const std::string &pathComponent, size_t maxSize,
                                                         platform::ErrorPtr *error = nullptr,
                                                         platform::Date *modified = nullptr);
    static std::optional<platform::Data> readRegularFile(int directoryFd, const std::string &name, size_t maxSize,
                                                         platform::ErrorPtr *error = nullptr,
                                                         platform::Date *modified = nullptr);
};
