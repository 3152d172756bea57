#pragma once
// The crash service's three directories below the SDK directory, each
// created on its first use in the process, and the private files in them.
//
// Everything here is private to the user whatever the umask: the
// directories are 0700 (an existing one is narrowed, never widened), their
// files 0600, and files left by an earlier run are narrowed when the
// directory is first used. Files are read back only when they are regular
// files (not links, FIFOs or devices) of a size we could have written.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

class BCCrashesUtil {
public:
    // "crashes"
    static std::string crashesDir();
    // "crasheslogbuffer"
    static std::string logBufferDir();
    // "crasheswrapperexceptions"
    static std::string wrapperExceptionsDir();
    // Forgets that the directories were created, so the next call of each
    // creates its directory again.
    static void resetDirectory();

    // Makes the directory (and its files) private: group and other bits
    // removed, nothing added. Links are left alone.
    static void tightenDirectory(const std::filesystem::path &directory);
    // Writes the bytes to the file below the SDK directory atomically, as a
    // file of mode 0600 (a link in its place is replaced, not followed); its
    // URL, or nothing (logged).
    static std::optional<std::filesystem::path> writePrivateFile(const std::string &pathComponent,
                                                                 const platform::Data &data);
    // The bytes of a regular file of at most `maxSize` bytes, opened without
    // following a link and without blocking (a FIFO fails at once); nothing
    // and an error otherwise.
    static std::optional<platform::Data> readRegularFile(const std::filesystem::path &path, size_t maxSize,
                                                         platform::ErrorPtr *error = nullptr);
};
