// What starting the SDK costs: BCBeacon start:withServices: with no service,
// with one stub service and with the crash service (as the application
// starts it), each launch in a fresh home, beside the first open of the log
// store in a fresh home (which start includes). A start's clock stops when
// the application is ready for input: the work start queued on the logs
// queue and the main queue has run. Printed at the end as ratios to the
// store's open in the same kind of home.
// The crash engine's image list is process-wide: its cost is paid by the
// first start of the process only, so the launch benchmark (LaunchBench)
// is the figure for it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "BCBeacon.h"
#include "BCCrashes.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupDefault.h"
#include "BCChannelUnitConfiguration.h"
#include "BCDeviceTracker.h"
#include "BCDispatcherUtil.h"
#include "BCLogDBStorage.h"
#include "BCServiceAbstract.h"
#include "BCServiceClass.h"
#include "BCSessionContext.h"
#include "BCUserIdContext.h"
#include "BCUtility.h"
#include "RatioReporter.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/security/Keychain.h"

namespace {

constexpr const char *kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

// A service with a unit of its own and nothing else.
class StubService : public BCServiceAbstract {
public:
    std::string className() const override { return "BCStubService"; }
    std::string groupId() const override { return "StubService"; }
    std::optional<BCChannelUnitConfiguration> channelUnitConfiguration() const override {
        return BCChannelUnitConfiguration("StubService", 1, 3, 50, 3);
    }
};

std::shared_ptr<StubService> stubInstance;

const BCServiceClass &stubServiceClass() {
    static const BCServiceClass serviceClass{
        "BCStubService", [] { return std::static_pointer_cast<BCServiceAbstract>(stubInstance); },
        [] { return std::string("StubService"); }, [] { return BCServiceAbstract::isEnabled(stubInstance); },
        [](bool enabled) { BCServiceAbstract::setEnabled(stubInstance, enabled); }};
    return serviceClass;
}

// A launch in a home of its own: every singleton starts empty.
class FreshHome {
public:
    FreshHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "plotwick-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
        for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
            setenv(name, path_.c_str(), 1);
        }
        BCUtility::setBeaconDirectoryURLForTesting(path_ / "sdk");
        platform::security::Keychain::setSharedInstance(
            std::make_shared<platform::security::Keychain>(path_ / "keychain"));
        resetSingletons();
        stubInstance = std::make_shared<StubService>();
    }
    ~FreshHome() {
        endLaunch();
        stubInstance.reset();
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }

    // Stops the pipeline and drops the singletons; the files stay, as after
    // the end of a launch.
    static void endLaunch() {
        if (auto group = BCBeacon::sharedInstance()->channelGroup()) {
            group->setEnabledAndDeleteDataOnDisabled(false, false);
            // Twice: state changes the first round's work asked for run too.
            BCDispatcherUtil::dispatchSyncWithTimeout(5, group->logsDispatchQueue(), [] {});
            BCDispatcherUtil::dispatchSyncWithTimeout(5, group->logsDispatchQueue(), [] {});
        }
        resetSingletons();
        stubInstance = std::make_shared<StubService>();
    }

private:
    static void resetSingletons() {
        BCBeacon::resetSharedInstance();
        BCCrashes::resetSharedInstance();
        BCSessionContext::resetSharedInstance();
        BCUserIdContext::resetSharedInstance();
        BCDeviceTracker::resetSharedInstance();
        BCBeaconUserDefaults::resetSharedInstance();
        platform::UserDefaults::resetStandardUserDefaults();
    }
    std::filesystem::path path_;
};

// Times the body in a fresh home; with `relaunch`, after a first untimed
// launch in that home (the files exist, nothing is migrated or created).
template <typename Body>
void eachInFreshHome(benchmark::State &state, Body body, bool relaunch = false) {
    for (auto _ : state) {
        state.PauseTiming();
        {
            FreshHome home;
            if (relaunch) {
                body();
                FreshHome::endLaunch();
            }
            state.ResumeTiming();
            body();
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
}

void StoreFirstOpen(benchmark::State &state) {
    eachInFreshHome(state, [] {
        auto storage = BCLogDBStorage::make();
        benchmark::DoNotOptimize(storage->countLogs());
    });
}

// Until the application is ready for input: what start queued on the logs
// queue and the main queue has run, and what that queued in turn.
void untilReady() {
    auto group = BCBeacon::sharedInstance()->channelGroup();
    for (int idle = 0; idle < 2;) {
        if (group) BCDispatcherUtil::dispatchSyncWithTimeout(5, group->logsDispatchQueue(), [] {});
        idle = platform::dispatch::MainRunLoop::runPending() == 0 ? idle + 1 : 0;
    }
}

void start(const BCBeacon::Services &services) {
    BCBeacon::start(kSecret, services);
    untilReady();
}

void StartNoServices(benchmark::State &state) {
    eachInFreshHome(state, [] { start(BCBeacon::Services{}); });
}

void StartStubService(benchmark::State &state) {
    eachInFreshHome(state, [] { start(BCBeacon::Services{&stubServiceClass()}); });
}

void StartCrashes(benchmark::State &state) {
    eachInFreshHome(state, [] { start(BCBeacon::Services{BCCrashes::serviceClass()}); });
}

void StoreReopen(benchmark::State &state) {
    eachInFreshHome(
        state,
        [] {
            auto storage = BCLogDBStorage::make();
            benchmark::DoNotOptimize(storage->countLogs());
        },
        true);
}

void RestartStubService(benchmark::State &state) {
    eachInFreshHome(
        state, [] { start(BCBeacon::Services{&stubServiceClass()}); }, true);
}

void RestartCrashes(benchmark::State &state) {
    eachInFreshHome(
        state, [] { start(BCBeacon::Services{BCCrashes::serviceClass()}); }, true);
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    platform::dispatch::MainRunLoop::adoptCurrentThreadAsMain();
    // The application's Info.plist, as beside the executable: without its
    // version the device is not valid and the start-service log is dropped.
    platform::Bundle::setMainBundleDirectory(std::filesystem::path(PLOTWICK_RESOURCES_DIR));
    // Each launch against the store's open in the same kind of home.
    const struct {
        const char *name;
        void (*body)(benchmark::State &);
        int iterations;
    } launches[] = {
        {"FirstLaunch/store_open", StoreFirstOpen, 100},     {"FirstLaunch/no_services", StartNoServices, 100},
        {"FirstLaunch/stub_service", StartStubService, 100}, {"FirstLaunch/crashes", StartCrashes, 100},
        {"LaterLaunch/store_reopen", StoreReopen, 50},       {"LaterLaunch/stub_service", RestartStubService, 50},
        {"LaterLaunch/crashes", RestartCrashes, 50},
    };
    for (const auto &launch : launches)
        benchmark::RegisterBenchmark(launch.name, launch.body)
            ->Unit(benchmark::kMicrosecond)
            ->Iterations(launch.iterations);
    RatioReporter reporter(
        std::map<std::string, std::string>{{"FirstLaunch", "store_open"}, {"LaterLaunch", "store_reopen"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
