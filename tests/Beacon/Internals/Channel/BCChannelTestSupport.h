#pragma once
// Fakes and harnesses of the pipeline tests: an ingestion that records what
// it is asked to send and answers as the test says, a delegate that records
// every callback, and a private SDK home with a real log store.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BCAbstractLog.h"
#include "BCChannelDelegate.h"
#include "BCHttpClientProtocol.h"
#include "BCIngestionProtocol.h"
#include "BCLogContainer.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"
#include "platform/dispatch/Queue.h"

namespace channeltest {

// Waits on a condition with a time limit; every recorder notifies it.
class Signal {
public:
    void notify();
    // Whether the predicate held within the timeout (seconds).
    bool waitFor(const std::function<bool()> &predicate, double timeoutSeconds = 5);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

// An ingestion that records each send. By default it holds every send until
// the test completes it; with an automatic status it answers at once (on the
// calling thread, as a synchronous client would).
class FakeIngestion : public BCIngestionProtocol {
public:
    struct Send {
        std::string batchId;
        std::vector<std::shared_ptr<BCLog>> logs;
        BCSendAsyncCompletionHandler handler;
    };

    bool isReadyToSend() const override;
    void sendAsync(std::shared_ptr<platform::Object> data, BCSendAsyncCompletionHandler handler) override;
    void sendAsync(std::shared_ptr<platform::Object> data, const std::optional<std::string> &eTag,
                   BCSendAsyncCompletionHandler handler) override;
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;

    void setReadyToSend(bool ready);
    // Every later send completes at once with the status (nullopt: held).
    void setAutomaticStatus(std::optional<long> status);
    // Completes the held send with the batch id; false when none.
    bool complete(const std::string &batchId, long status, platform::ErrorPtr error = nullptr);
    // Completes the oldest held send.
    bool completeOldest(long status, platform::ErrorPtr error = nullptr);

    std::vector<Send> sends();
    size_t sendCount();
    size_t heldCount();
    bool enabled();
    bool waitForSends(size_t count, double timeoutSeconds = 5);

private:
    static void answer(const Send &send, long status, const platform::ErrorPtr &error);

    std::mutex mutex_;
    Signal signal_;
    bool ready_ = true;
    bool enabled_ = true;
    std::optional<long> automaticStatus_;
    std::vector<Send> sends_;
    std::deque<Send> held_;
};

// Records every delegate callback with the thread it ran on.
class RecordingDelegate {
public:
    struct Call {
        std::string name;
        std::shared_ptr<BCAbstractLog> log;
        std::string internalId;
        uint32_t flags = 0;
        platform::ErrorPtr error;
        std::thread::id thread;
        bool enabled = false;
        bool deleteData = false;
    };

    RecordingDelegate();
    // A delegate responding to every callback but the filter.
    const std::shared_ptr<BCChannelDelegate> &delegate() const { return delegate_; }

    std::vector<Call> calls();
    std::vector<Call> calls(const std::string &name);
    size_t count(const std::string &name);
    bool waitForCount(const std::string &name, size_t count, double timeoutSeconds = 5);
    void clear();

private:
    struct State {
        std::mutex mutex;
        Signal signal;
        std::vector<Call> calls;
        void record(Call call);
    };

    // Shared with the delegate's callbacks, so that a callback still running
    // on the channel's queue when a test ends never reaches a destroyed
    // recorder.
    std::shared_ptr<State> state_;
    std::shared_ptr<BCChannelDelegate> delegate_;
};

// An HTTP client that records each request and answers it with a fixed
// status (nothing: held, never answered).
class FakeHttpClient : public BCHttpClientProtocol {
public:
    struct Request {
        std::string url;
        std::string method;
        BCHttpHeaders headers;
        std::string body;
        std::vector<double> retryIntervals;
    };

    void sendAsync(const platform::URL &url, const std::string &method, const BCHttpHeaders &headers,
                   std::optional<platform::Data> data, std::vector<double> retryIntervals, bool compressionEnabled,
                   BCHttpRequestCompletionHandler completionHandler) override;
    void setDelegate(std::weak_ptr<BCHttpClientDelegate>) override {}

    void setStatus(std::optional<long> status);
    std::vector<Request> requests();
    bool waitForRequests(size_t count, double timeoutSeconds = 5);

private:
    std::mutex mutex_;
    Signal signal_;
    std::optional<long> status_;
    std::vector<Request> requests_;
};

// A private home with the SDK directory in it, so the real log store writes
// "Logs.sqlite" there.
class PipelineHome {
public:
    PipelineHome();
    ~PipelineHome();
    const std::filesystem::path &path() const { return home_.path(); }
    std::filesystem::path databasePath() const;
    // Runs the sqlite3 command-line tool on the store and returns its output.
    std::string sqlite(const std::string &query) const;
    modeltest::SdkHome &sdkHome() { return home_; }

private:
    modeltest::SdkHome home_;
};

// A private home for the SDK entry point: a fresh BCBeacon, test services,
// forwarders and injected HTTP client (a FakeHttpClient answering 200).
class BeaconHome : public PipelineHome {
public:
    BeaconHome();
    ~BeaconHome();
    // Stops the pipeline and drops every singleton, as the end of a launch.
    void relaunch();
    const std::shared_ptr<FakeHttpClient> &httpClient() const { return httpClient_; }
    // The client the next channel group sends with, in place of the fake.
    void injectHttpClient(std::shared_ptr<BCHttpClientProtocol> httpClient);
    // Waits until the group's queue has run what was queued before.
    void settle();

private:
    static void stopPipeline();
    std::shared_ptr<FakeHttpClient> httpClient_ = std::make_shared<FakeHttpClient>();
};

// A valid log of a made-up type, with a device.
std::shared_ptr<BCAbstractLog> validLog(const std::string &type = "testLog");
// Waits until the queue has run its earlier work, and what that work queued
// on it in turn.
bool drain(const std::shared_ptr<platform::dispatch::Queue> &queue, double timeoutSeconds = 5);

}  // namespace channeltest
