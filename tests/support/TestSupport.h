#pragma once
// Helpers every test binary shares.
#include <filesystem>
#include <string>

namespace testsupport {

// A fresh directory under the system's temporary folder, removed when the
// object goes away. Tests point the SDK's homes at it so they never touch the
// real home directory.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string &prefix = "plotwick-test");
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Points HOME and the XDG homes at a temporary directory for the lifetime of
// the object and restores the previous values afterwards.
class TemporaryHome {
public:
    TemporaryHome();
    ~TemporaryHome();
    const std::filesystem::path &path() const { return dir_.path(); }

private:
    TemporaryDirectory dir_;
    struct Saved {
        std::string name;
        bool had;
        std::string value;
    };
    Saved saved_[4];
};

// Runs a shell command and returns what it printed on stdout; exitCode gets
// its exit status.
std::string runCommand(const std::string &command, int *exitCode = nullptr);

}  // namespace testsupport
