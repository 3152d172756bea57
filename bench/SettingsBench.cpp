// What a settings change costs the caller's thread: one UserDefaults
// setObject on a file of 1,000, 20,000 and 200,000 keys, beside writing the
// same property-list bytes to the same folder with a plain write and rename
// (the least any atomic replacement of the file can cost); and a burst of 12
// changes to a launch-sized file (50 keys) beside 12 plain write-and-renames
// of its bytes. Neither baseline fsyncs: the figures show what the defaults
// cost beyond the bytes, fsyncs on the caller's thread included.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "RatioReporter.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UserDefaults.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

fs::path benchFolder() {
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "settings-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        return fs::path(pattern);
    }();
    return folder;
}

// A settings file of `keys` keys, of the kinds an application keeps.
fs::path makeFile(const std::string &name, int keys) {
    fs::path file = benchFolder() / name;
    fs::remove(file);
    Dictionary d;
    for (int i = 0; i < keys; ++i) {
        std::string key = "com.plotwick.setting." + std::to_string(i);
        switch (i % 3) {
        case 0: d.emplace(key, Value(int64_t(i))); break;
        case 1: d.emplace(key, Value("value " + std::to_string(i))); break;
        default: d.emplace(key, Value(i % 2 == 0)); break;
        }
    }
    auto bytes = PropertyListSerialization::dataWithPropertyList(Value(d), PropertyListSerialization::Format::Binary);
    if (!bytes || !FileManager::defaultManager()->writeData(*bytes, file, true)) std::abort();
    return file;
}

// write + rename of the bytes, no fsync.
void plainReplace(const Data &bytes, const fs::path &file) {
    fs::path temporary = file.parent_path() / ("." + file.filename().string() + ".plain");
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    ::close(fd);
    if (::rename(temporary.c_str(), file.c_str()) != 0) std::abort();
}

void BM_SetUserDefaults(benchmark::State &state, int keys) {
    fs::path file = makeFile("set" + std::to_string(keys) + ".plist", keys);
    auto defaults = std::make_unique<UserDefaults>(file);
    int64_t n = 0;
    for (auto _ : state) {
        // A different value each time, so that every call writes.
        if (!defaults->setObject(Value(++n), "com.plotwick.counter")) state.SkipWithError("set failed");
    }
    defaults.reset();
    fs::remove(file);
}

void BM_PlainWrite(benchmark::State &state, int keys) {
    fs::path file = makeFile("plain" + std::to_string(keys) + ".plist", keys);
    // The bytes the defaults write: the file with the changed key in it.
    {
        UserDefaults defaults(file);
        defaults.setObject(Value(int64_t(1)), "com.plotwick.counter");
    }
    auto bytes = FileManager::defaultManager()->contentsAtPath(file);
    if (!bytes) std::abort();
    for (auto _ : state) plainReplace(*bytes, file);
    fs::remove(file);
}

constexpr int kBurst = 12;
constexpr int kLaunchKeys = 50;

void BM_BurstUserDefaults(benchmark::State &state) {
    fs::path file = makeFile("burst.plist", kLaunchKeys);
    auto defaults = std::make_unique<UserDefaults>(file);
    int64_t n = 0;
    for (auto _ : state) {
        ++n;
        for (int i = 0; i < kBurst; ++i)
            if (!defaults->setObject(Value(n), "com.plotwick.launch." + std::to_string(i)))
                state.SkipWithError("set failed");
    }
    defaults.reset();
    fs::remove(file);
}

void BM_BurstPlainWrite(benchmark::State &state) {
    fs::path file = makeFile("burstplain.plist", kLaunchKeys);
    {
        UserDefaults defaults(file);
        for (int i = 0; i < kBurst; ++i)
            defaults.setObject(Value(int64_t(1)), "com.plotwick.launch." + std::to_string(i));
    }
    auto bytes = FileManager::defaultManager()->contentsAtPath(file);
    if (!bytes) std::abort();
    for (auto _ : state)
        for (int i = 0; i < kBurst; ++i) plainReplace(*bytes, file);
    fs::remove(file);
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    std::map<std::string, std::string> baselines;
    for (int keys : {1000, 20000, 200000}) {
        const std::string group = "set" + std::to_string(keys);
        benchmark::RegisterBenchmark((group + "/plain_write_rename").c_str(), BM_PlainWrite, keys)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((group + "/user_defaults").c_str(), BM_SetUserDefaults, keys)
            ->Unit(benchmark::kMillisecond);
        baselines[group] = "plain_write_rename";
    }
    benchmark::RegisterBenchmark("burst12/plain_write_rename", BM_BurstPlainWrite)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("burst12/user_defaults", BM_BurstUserDefaults)->Unit(benchmark::kMillisecond);
    baselines["burst12"] = "plain_write_rename";
    RatioReporter reporter(baselines);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(benchFolder(), ec);
    return 0;
}
