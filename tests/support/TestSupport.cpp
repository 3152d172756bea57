#include "support/TestSupport.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

TemporaryDirectory::TemporaryDirectory(const std::string &prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

static const char *const kHomeVariables[4] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"};

TemporaryHome::TemporaryHome() {
    const char *subfolders[4] = {"", ".config", ".local/share", ".cache"};
    for (int i = 0; i < 4; ++i) {
        const char *old = getenv(kHomeVariables[i]);
        saved_[i] = {kHomeVariables[i], old != nullptr, old ? old : ""};
        auto dir = dir_.path() / subfolders[i];
        std::filesystem::create_directories(dir);
        setenv(kHomeVariables[i], dir.c_str(), 1);
    }
}

TemporaryHome::~TemporaryHome() {
    for (auto &s : saved_) {
        if (s.had)
            setenv(s.name.c_str(), s.value.c_str(), 1);
        else
            unsetenv(s.name.c_str());
    }
}

std::string runCommand(const std::string &command, int *exitCode) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (exitCode) *exitCode = -1;
        return out;
    }
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
    int status = pclose(pipe);
    if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

}  // namespace testsupport
