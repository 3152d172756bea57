// A flood of logs: one caller enqueues logs on a channel unit as fast as it
// can for --flood_seconds (default 5), over the real log store on the disk
// (the build folder), with an ingestion that never sends, so that only the
// saves are measured. Reported: calls accepted, rows saved per second within
// the flood, logs refused, the peak growth of the resident memory and the
// rows per transaction. The baseline inserts the same stored texts with raw
// SQLite in the store's layout and settings (rollback journal, synchronous
// FULL, auto-vacuum, the same size bound), one transaction per the unit's
// mean rows per transaction, on one persistent connection. An operation is
// one row saved: the ratio is the unit's time per row to raw SQLite's. The
// unit archives a batch's logs on several threads, so its CPU per row (every
// thread but the flooding caller's) is reported beside raw SQLite's.
//
// The flood runs in a forked child, so that saves still queued when it ends
// do not compete with the baseline.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BCChannelGroupDefault.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitDefault.h"
#include "BCIngestionProtocol.h"
#include "BCLogDBStorage.h"
#include "BCLogger.h"
#include "BCUtility.h"
#include "BenchLogs.h"
#include "RatioReporter.h"
#include "platform/foundation/Base64.h"

namespace {

namespace fs = std::filesystem;

double floodSeconds = 5;
// The store's bound in the flood: large enough that no purge happens, as in
// the baseline.
constexpr int64_t kMaxStorageBytes = int64_t(1) << 30;

struct FloodFigures {
    double seconds = 0;
    uint64_t calls = 0;
    uint64_t saved = 0;
    uint64_t refused = 0;
    uint64_t failed = 0;
    uint64_t transactions = 0;
    double peakRssGrowthMB = 0;
    // CPU of every thread but the flooding caller's, over the flood.
    double saveCpuSeconds = 0;
};

FloodFigures lastFlood;

class SilentIngestion : public BCIngestionProtocol {
public:
    bool isReadyToSend() const override { return false; }
    void sendAsync(std::shared_ptr<platform::Object>, BCSendAsyncCompletionHandler) override {}
    void sendAsync(std::shared_ptr<platform::Object>, const std::optional<std::string> &,
                   BCSendAsyncCompletionHandler) override {}
    void setEnabled(bool, bool) override {}
};

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double rssMB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

uint32_t changeCounter(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char bytes[28] = {};
    in.read(reinterpret_cast<char *>(bytes), sizeof bytes);
    return (uint32_t(bytes[24]) << 24) | (uint32_t(bytes[25]) << 16) | (uint32_t(bytes[26]) << 8) | bytes[27];
}

fs::path freshDir(const fs::path &dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// In the child: the flood, its figures written to `out`.
void floodChild(const fs::path &dir, int out) {
    const fs::path home = freshDir(dir);
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        setenv(name, home.c_str(), 1);
    }
    BCUtility::setBeaconDirectoryURLForTesting(home / "sdk");
    auto storage = BCLogDBStorage::make();
    storage->setMaxStorageSize(kMaxStorageBytes, nullptr);
    auto group = BCChannelGroupDefault::make(std::make_shared<SilentIngestion>(), storage);
    auto unit = group->addChannelUnitWithConfiguration(BCChannelUnitConfiguration("Flood", 1, 60, 50, 3));
    const fs::path file = home / "sdk" / BCLogDBStorage::kDBFileName;

    std::atomic<uint64_t> saved{0}, refused{0}, failed{0};
    std::atomic<bool> flooding{true};
    // Each call tracks a new log; they share one device, as the device
    // tracker's logs do.
    const auto device = modeltest::validDevice();
    const std::vector<std::string> services{"Crashes", std::string(600, 's')};
    const double rssBefore = rssMB();
    double peak = rssBefore;
    const uint32_t countersBefore = changeCounter(file);
    FloodFigures figures;
    const double processCpuBefore = cpuSeconds(RUSAGE_SELF);
    const double callerCpuBefore = cpuSeconds(RUSAGE_THREAD);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(floodSeconds);
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 256; ++i) {
            auto log = std::make_shared<BCStartServiceLog>();
            log->setTimestamp(platform::Date::now());
            log->setSid("6A2B1F4E-7C1D-4E2A-9F3B-1D2C3B4A5F60");
            log->setDevice(device);
            log->setServices(services);
            unit->enqueueItem(log, BCFlagsNormal, [&](BCEnqueueResult result) {
                if (!flooding.load(std::memory_order_relaxed)) return;
                if (result == BCEnqueueResult::Saved)
                    saved.fetch_add(1, std::memory_order_relaxed);
                else if (result == BCEnqueueResult::Refused)
                    refused.fetch_add(1, std::memory_order_relaxed);
                else
                    failed.fetch_add(1, std::memory_order_relaxed);
            });
        }
        figures.calls += 256;
        peak = std::max(peak, rssMB());
    }
    flooding = false;
    figures.saveCpuSeconds =
        (cpuSeconds(RUSAGE_SELF) - processCpuBefore) - (cpuSeconds(RUSAGE_THREAD) - callerCpuBefore);
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.saved = saved;
    figures.refused = refused;
    figures.failed = failed;
    figures.transactions = changeCounter(file) - countersBefore;
    figures.peakRssGrowthMB = peak - rssBefore;
    if (write(out, &figures, sizeof figures) != sizeof figures) _exit(2);
    // Whatever is still queued is left behind.
    _exit(0);
}

void floodUnit(benchmark::State &state, fs::path dir) {
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        const pid_t child = fork();
        if (child == 0) {
            close(fds[0]);
            BCLogger::setLogHandler(nullptr);
            floodChild(dir, fds[1]);
        }
        close(fds[1]);
        FloodFigures figures;
        const bool got = read(fds[0], &figures, sizeof figures) == sizeof figures;
        close(fds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        if (!got || figures.saved == 0) {
            state.SkipWithError("the flood saved nothing");
            return;
        }
        lastFlood = figures;
        state.SetIterationTime(figures.seconds / double(figures.saved));
    }
    const auto &f = lastFlood;
    state.counters["calls_per_s"] = double(f.calls) / f.seconds;
    state.counters["rows_per_s"] = double(f.saved) / f.seconds;
    state.counters["refused"] = double(f.refused);
    state.counters["failed"] = double(f.failed);
    state.counters["rows_per_txn"] = f.transactions ? double(f.saved) / double(f.transactions) : 0;
    state.counters["peak_rss_growth_MB"] = f.peakRssGrowthMB;
    state.counters["cpu_us_per_row"] = f.saveCpuSeconds * 1e6 / double(f.saved);
    fs::remove_all(dir);
}

// The same rows with raw SQLite: the texts archived beforehand, one
// transaction per the unit's mean rows per transaction.
void floodRaw(benchmark::State &state, fs::path dir) {
    const size_t rows = lastFlood.saved ? size_t(lastFlood.saved) : 5000;
    const size_t perTransaction =
        lastFlood.transactions ? std::max<size_t>(1, size_t(lastFlood.saved / lastFlood.transactions)) : 1;
    const std::string text = platform::base64::encode(
        *BCUtility::archiveKeyedData(platform::Value(std::static_pointer_cast<platform::Object>(benchlogs::log(0)))));
    const double rssBefore = rssMB();
    double peak = rssBefore;
    for (auto _ : state) {
        const fs::path file = freshDir(dir) / "raw.sqlite";
        sqlite3 *db = nullptr;
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        sqlite3_exec(db,
                     "PRAGMA auto_vacuum = FULL; CREATE TABLE \"logs\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, "
                     "\"groupId\" TEXT NOT NULL, \"log\" TEXT NOT NULL, \"targetToken\" TEXT, \"targetKey\" TEXT, "
                     "\"priority\" INTEGER); CREATE INDEX \"ix_logs_priority\" ON \"logs\" (\"priority\");",
                     nullptr, nullptr, nullptr);
        sqlite3_exec(db, ("PRAGMA max_page_count = " + std::to_string(kMaxStorageBytes / 4096)).c_str(), nullptr,
                     nullptr, nullptr);
        sqlite3_stmt *insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO \"logs\" (\"groupId\", \"log\", \"priority\") VALUES (?, ?, ?)", -1,
                           &insert, nullptr);
        const double cpuBefore = cpuSeconds(RUSAGE_THREAD);
        const auto start = std::chrono::steady_clock::now();
        for (size_t done = 0; done < rows;) {
            sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            for (size_t i = 0; i < perTransaction && done < rows; ++i, ++done) {
                sqlite3_bind_text(insert, 1, "Flood", 5, SQLITE_STATIC);
                sqlite3_bind_text(insert, 2, text.data(), int(text.size()), SQLITE_STATIC);
                sqlite3_bind_int64(insert, 3, 1);
                sqlite3_step(insert);
                sqlite3_reset(insert);
            }
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            peak = std::max(peak, rssMB());
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["cpu_us_per_row"] = (cpuSeconds(RUSAGE_THREAD) - cpuBefore) * 1e6 / double(rows);
        sqlite3_finalize(insert);
        sqlite3_close(db);
        state.SetIterationTime(seconds / double(rows));
        state.counters["rows_per_s"] = double(rows) / seconds;
    }
    state.counters["rows_per_txn"] = double(perTransaction);
    state.counters["peak_rss_growth_MB"] = peak - rssBefore;
    fs::remove_all(dir);
}

}  // namespace

int main(int argc, char **argv) {
    // --flood_seconds=N, taken out before the library reads the flags.
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--flood_seconds=", 16) == 0) {
            floodSeconds = std::stod(argv[i] + 16);
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    BCLogger::setLogHandler(nullptr);
    const fs::path dir = fs::current_path() / "bench-flood";
    benchmark::RegisterBenchmark("Flood/channel_unit", floodUnit, dir)->Iterations(1)->UseManualTime();
    benchmark::RegisterBenchmark("Flood/raw_sqlite", floodRaw, dir)->Iterations(1)->UseManualTime();
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter(std::map<std::string, std::string>{{"Flood", "raw_sqlite"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
