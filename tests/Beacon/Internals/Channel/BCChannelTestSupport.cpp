#include "Beacon/Internals/Channel/BCChannelTestSupport.h"

#include <algorithm>

#include "BCAppDelegateForwarder.h"
#include "BCBeacon.h"
#include "BCBeaconIngestion.h"
#include "BCChannelGroupDefault.h"
#include "BCDependencyConfiguration.h"
#include "BCDeviceTracker.h"
#include "Beacon/BCTestService.h"
#include "BCDispatcherUtil.h"
#include "BCHttpClient.h"
#include "BCUtility.h"
#include "platform/net/HTTPURLResponse.h"

namespace channeltest {

void Signal::notify() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

bool Signal::waitFor(const std::function<bool()> &predicate, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!predicate()) {
        // Short slices: a predicate may change without a notification of
        // this signal (another recorder's state).
        if (std::chrono::steady_clock::now() >= deadline) return predicate();
        changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
}

bool FakeIngestion::isReadyToSend() const {
    std::lock_guard<std::mutex> lock(const_cast<std::mutex &>(mutex_));
    return ready_;
}

void FakeIngestion::sendAsync(std::shared_ptr<platform::Object> data, BCSendAsyncCompletionHandler handler) {
    sendAsync(std::move(data), std::nullopt, std::move(handler));
}

void FakeIngestion::sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &,
                              BCSendAsyncCompletionHandler handler) {
    const auto container = std::dynamic_pointer_cast<BCLogContainer>(data);
    Send send{container && container->batchId() ? *container->batchId() : std::string(),
              container ? container->logs() : std::vector<std::shared_ptr<BCLog>>{}, std::move(handler)};
    std::optional<long> status;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sends_.push_back(send);
        status = automaticStatus_;
        if (!status) held_.push_back(send);
    }
    signal_.notify();
    if (status) answer(send, *status, nullptr);
}

void FakeIngestion::setEnabled(bool isEnabled, bool) {
    std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = isEnabled;
}

void FakeIngestion::setReadyToSend(bool ready) {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = ready;
}

void FakeIngestion::setAutomaticStatus(std::optional<long> status) {
    std::lock_guard<std::mutex> lock(mutex_);
    automaticStatus_ = status;
}

void FakeIngestion::answer(const Send &send, long status, const platform::ErrorPtr &error) {
    std::shared_ptr<const platform::net::HTTPURLResponse> response;
    if (status != 0) {
        response = std::make_shared<platform::net::HTTPURLResponse>(*platform::URL::parse("http://127.0.0.1/"), status,
                                                                    std::vector<std::pair<std::string, std::string>>{});
    }
    if (send.handler) send.handler(send.batchId, response, std::nullopt, error);
}

bool FakeIngestion::complete(const std::string &batchId, long status, platform::ErrorPtr error) {
    Send send;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(held_.begin(), held_.end(), [&](const Send &s) { return s.batchId == batchId; });
        if (it == held_.end()) return false;
        send = *it;
        held_.erase(it);
    }
    answer(send, status, error);
    return true;
}

bool FakeIngestion::completeOldest(long status, platform::ErrorPtr error) {
    Send send;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (held_.empty()) return false;
        send = held_.front();
        held_.pop_front();
    }
    answer(send, status, error);
    return true;
}

std::vector<FakeIngestion::Send> FakeIngestion::sends() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sends_;
}

size_t FakeIngestion::sendCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sends_.size();
}

size_t FakeIngestion::heldCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
}

bool FakeIngestion::enabled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
}

bool FakeIngestion::waitForSends(size_t count, double timeoutSeconds) {
    return signal_.waitFor([&] { return sendCount() >= count; }, timeoutSeconds);
}

RecordingDelegate::RecordingDelegate()
    : state_(std::make_shared<State>()), delegate_(std::make_shared<BCChannelDelegate>()) {
    auto &d = *delegate_;
    const auto now = [] { return std::this_thread::get_id(); };
    auto state = state_;
    d.channelGroupDidAddChannelUnit = [state, now](const auto &, const auto &) {
        state->record({"didAddChannelUnit", nullptr, "", 0, nullptr, now()});
    };
    d.channelDidSetEnabled = [state, now](const auto &, bool enabled, bool deleteData) {
        state->record({"didSetEnabled", nullptr, "", 0, nullptr, now(), enabled, deleteData});
    };
    d.channelPrepareLog = [state, now](const auto &, const auto &log) {
        state->record({"prepareLog", log, "", 0, nullptr, now()});
    };
    d.channelDidPrepareLog = [state, now](const auto &, const auto &log, const std::string &id, uint32_t flags) {
        state->record({"didPrepareLog", log, id, flags, nullptr, now()});
    };
    d.channelDidCompleteEnqueueingLog = [state, now](const auto &, const auto &log, const std::string &id) {
        state->record({"didCompleteEnqueueing", log, id, 0, nullptr, now()});
    };
    d.channelWillSendLog = [state, now](const auto &, const auto &log) {
        state->record({"willSend", log, "", 0, nullptr, now()});
    };
    d.channelDidSucceedSendingLog = [state, now](const auto &, const auto &log) {
        state->record({"didSucceed", log, "", 0, nullptr, now()});
    };
    d.channelDidFailSendingLog = [state, now](const auto &, const auto &log, const platform::ErrorPtr &error) {
        state->record({"didFail", log, "", 0, error, now()});
    };
}

void RecordingDelegate::State::record(Call call) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(std::move(call));
    }
    signal.notify();
}

std::vector<RecordingDelegate::Call> RecordingDelegate::calls() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->calls;
}

std::vector<RecordingDelegate::Call> RecordingDelegate::calls(const std::string &name) {
    std::vector<Call> result;
    for (auto &call : calls())
        if (call.name == name) result.push_back(call);
    return result;
}

size_t RecordingDelegate::count(const std::string &name) {
    // Counted in place: a waiter counts at every recorded call, and copying
    // thousands of calls each time made a flood's test quadratic.
    std::lock_guard<std::mutex> lock(state_->mutex);
    return static_cast<size_t>(
        std::count_if(state_->calls.begin(), state_->calls.end(), [&](const Call &call) { return call.name == name; }));
}

bool RecordingDelegate::waitForCount(const std::string &name, size_t count, double timeoutSeconds) {
    return state_->signal.waitFor([&] { return this->count(name) >= count; }, timeoutSeconds);
}

void RecordingDelegate::clear() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->calls.clear();
}

void FakeHttpClient::sendAsync(const platform::URL &url, const std::string &method, const BCHttpHeaders &headers,
                               std::optional<platform::Data> data, std::vector<double> retryIntervals, bool,
                               BCHttpRequestCompletionHandler completionHandler) {
    std::optional<long> status;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({url.absoluteString(), method, headers,
                             data ? std::string(data->begin(), data->end()) : std::string(),
                             std::move(retryIntervals)});
        status = status_;
    }
    signal_.notify();
    if (!status || !completionHandler) return;
    auto response = std::make_shared<platform::net::HTTPURLResponse>(
        url, *status, std::vector<std::pair<std::string, std::string>>{});
    // Never on the caller's stack, as the real client.
    std::thread([completionHandler, response] { completionHandler(platform::Data(), response, nullptr); }).detach();
}

void FakeHttpClient::setStatus(std::optional<long> status) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
}

std::vector<FakeHttpClient::Request> FakeHttpClient::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool FakeHttpClient::waitForRequests(size_t count, double timeoutSeconds) {
    return signal_.waitFor([&] { return requests().size() >= count; }, timeoutSeconds);
}

PipelineHome::PipelineHome() {
    BCUtility::setBeaconDirectoryURLForTesting(home_.path() / "sdk");
    // The machine running the tests may lack facts a valid device needs.
    BCDeviceTracker::Sources sources;
    const auto device = modeltest::validDevice();
    auto text = [](std::optional<std::string> value) { return [value] { return value; }; };
    sources.model = text(device->model);
    sources.oemName = text(device->oemName);
    sources.osName = text(device->osName);
    sources.osVersion = text(device->osVersion);
    sources.osBuild = text(device->osBuild);
    sources.locale = text(device->locale);
    sources.timeZoneOffset = [] { return std::optional<int64_t>(60); };
    sources.appVersion = text(device->appVersion);
    sources.appBuild = text(device->appBuild);
    sources.appNamespace = text(device->appNamespace);
    BCDeviceTracker::setSourcesForTesting(sources);
    BCDeviceTracker::resetSharedInstance();
}

PipelineHome::~PipelineHome() {
    BCUtility::setBeaconDirectoryURLForTesting({});
    BCDeviceTracker::setSourcesForTesting(std::nullopt);
    BCDeviceTracker::resetSharedInstance();
}

std::filesystem::path PipelineHome::databasePath() const { return home_.path() / "sdk" / "Logs.sqlite"; }

std::string PipelineHome::sqlite(const std::string &query) const {
    // The store may be writing: wait for its lock rather than fail.
    return testsupport::runCommand("sqlite3 -cmd '.timeout 5000' '" + databasePath().string() + "' \"" + query +
                                   "\" 2>&1");
}

BeaconHome::BeaconHome() {
    stopPipeline();
    httpClient_->setStatus(200);
    BCDependencyConfiguration::setHttpClient(httpClient_);
}

BeaconHome::~BeaconHome() {
    stopPipeline();
    BCDependencyConfiguration::setHttpClient(nullptr);
}

void BeaconHome::injectHttpClient(std::shared_ptr<BCHttpClientProtocol> httpClient) {
    BCDependencyConfiguration::setHttpClient(std::move(httpClient));
}

void BeaconHome::relaunch() {
    stopPipeline();
    sdkHome().relaunch();
}

void BeaconHome::settle() {
    if (auto group = BCBeacon::sharedInstance()->channelGroup()) {
        drain(group->logsDispatchQueue());
        drain(group->logsDispatchQueue());
    }
}

void BeaconHome::stopPipeline() {
    if (auto group = BCBeacon::sharedInstance()->channelGroup()) {
        group->setEnabledAndDeleteDataOnDisabled(false, false);
        drain(group->logsDispatchQueue());
    }
    BCBeacon::resetSharedInstance();
    BCTestService::resetAll();
    BCAppDelegateForwarder::resetSharedInstance();
    BCDelegateForwarder::resetTraceBuffer();
}

std::shared_ptr<BCAbstractLog> validLog(const std::string &type) {
    auto log = std::make_shared<BCAbstractLog>();
    log->setType(type);
    log->setTimestamp(platform::Date::now());
    log->setDevice(modeltest::validDevice());
    return log;
}

bool drain(const std::shared_ptr<platform::dispatch::Queue> &queue, double timeoutSeconds) {
    // Two rounds: work the first round's predecessors queued (a unit's state
    // change asked for by a delegate callback) has run after the second.
    for (int round = 0; round < 2; ++round) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        BCDispatcherUtil::dispatchSyncWithTimeout(timeoutSeconds, queue, [done] { *done = true; });
        if (!*done) return false;
    }
    return true;
}

}  // namespace channeltest
