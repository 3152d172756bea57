// Requests per second to a loopback server that answers 200 with an empty
// body: the HTTP client and the Beacon ingestion against raw libcurl (an easy
// handle reused for sequential sends, a multi handle with 4 easy handles for
// concurrent ones). The client sends from a thread of its own and answers on
// another, so each group also has raw libcurl under the same contract: reused
// easy handles on a multi handle driven by its own thread, woken with
// curl_multi_wakeup, the answer handed to the waiting caller.
#include <curl/curl.h>
#include <zlib.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "BCBeaconIngestion.h"
#include "BCHttpClient.h"
#include "BCLogger.h"
#include "BenchLogs.h"
#include "RatioReporter.h"
#include "support/LoopbackHttpServer.h"

namespace {

testsupport::LoopbackHttpServer &server() {
    static auto *s = new testsupport::LoopbackHttpServer;
    return *s;
}

class Waiter {
public:
    void done() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    void waitFor(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return count_ >= count; });
        count_ -= count;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

std::shared_ptr<BCHttpClient> makeClient() {
    BCHttpClientConfiguration configuration;
    configuration.observeReachability = false;
    return BCHttpClient::make(configuration);
}

platform::Data bytes(size_t size) {
    platform::Data data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>("{\"logs\":[abcdefgh]}"[i % 19]);
    return data;
}

platform::Data gzip(const platform::Data &input) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    platform::Data out(deflateBound(&stream, input.size()));
    stream.next_in = const_cast<Bytef *>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

size_t discard(char *, size_t size, size_t count, void *) { return size * count; }

CURL *easyPost(curl_slist *headers) {
    CURL *easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, (server().baseURL() + "/logs?api-version=1.0.0").c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    return easy;
}

void clientSend(benchmark::State &state, size_t size, bool compression, int concurrent) {
    auto client = makeClient();
    auto url = *platform::URL::parse(server().baseURL() + "/logs?api-version=1.0.0");
    auto body = bytes(size);
    Waiter waiter;
    for (auto _ : state) {
        for (int i = 0; i < concurrent; ++i)
            client->sendAsync(url, "POST", {}, body, {}, compression,
                              [&](std::optional<platform::Data>, std::shared_ptr<const platform::net::HTTPURLResponse>,
                                  platform::ErrorPtr) { waiter.done(); });
        waiter.waitFor(concurrent);
    }
    state.SetItemsProcessed(state.iterations() * concurrent);
}

void curlSend(benchmark::State &state, size_t size, bool compression) {
    auto body = bytes(size);
    curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:");
    if (compression) headers = curl_slist_append(headers, "Content-Encoding: gzip");
    CURL *easy = easyPost(headers);
    for (auto _ : state) {
        platform::Data sent = compression ? gzip(body) : body;
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(sent.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, sent.data());
        curl_easy_perform(easy);
    }
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    state.SetItemsProcessed(state.iterations());
}

void curlMultiSend(benchmark::State &state, size_t size) {
    auto body = bytes(size);
    curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:");
    CURLM *multi = curl_multi_init();
    std::vector<CURL *> easies;
    for (int i = 0; i < 4; ++i) {
        CURL *easy = easyPost(headers);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        easies.push_back(easy);
    }
    for (auto _ : state) {
        for (CURL *easy : easies) curl_multi_add_handle(multi, easy);
        int running = 1;
        while (running) {
            curl_multi_perform(multi, &running);
            if (running) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
        int pending = 0;
        while (CURLMsg *message = curl_multi_info_read(multi, &pending))
            if (message->msg == CURLMSG_DONE) curl_multi_remove_handle(multi, message->easy_handle);
    }
    for (CURL *easy : easies) curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    state.SetItemsProcessed(state.iterations() * 4);
}

void curlThreadSend(benchmark::State &state, size_t size, bool compression, int concurrent) {
    auto body = bytes(size);
    curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:");
    if (compression) headers = curl_slist_append(headers, "Content-Encoding: gzip");
    CURLM *multi = curl_multi_init();
    std::vector<CURL *> easies;
    for (int i = 0; i < concurrent; ++i) easies.push_back(easyPost(headers));
    std::mutex mutex;
    std::vector<platform::Data> queued;  // bodies handed to the curl thread
    bool stop = false;
    Waiter waiter;
    std::thread curlThread([&] {
        std::vector<platform::Data> sending;
        size_t next = 0;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stop) break;
                for (auto &sent : queued) sending.push_back(std::move(sent));
                queued.clear();
            }
            for (; next < sending.size(); ++next) {
                CURL *easy = easies[next];
                curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(sending[next].size()));
                curl_easy_setopt(easy, CURLOPT_POSTFIELDS, sending[next].data());
                curl_multi_add_handle(multi, easy);
            }
            int running = 0;
            curl_multi_perform(multi, &running);
            int pending = 0;
            while (CURLMsg *message = curl_multi_info_read(multi, &pending)) {
                if (message->msg != CURLMSG_DONE) continue;
                curl_multi_remove_handle(multi, message->easy_handle);
                waiter.done();
            }
            if (next == sending.size() && running == 0) {
                // Every request of the round has been answered.
                sending.clear();
                next = 0;
            }
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    });
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (int i = 0; i < concurrent; ++i) queued.push_back(compression ? gzip(body) : body);
        }
        curl_multi_wakeup(multi);
        waiter.waitFor(concurrent);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    curl_multi_wakeup(multi);
    curlThread.join();
    for (CURL *easy : easies) curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    state.SetItemsProcessed(state.iterations() * concurrent);
}

void beaconSend(benchmark::State &state) {
    auto client = makeClient();
    auto ingestion = BCBeaconIngestion::make(client, server().baseURL(), "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
    ingestion->setAppSecret("0123456789abcdef0123456789abcdef0123");
    auto batch = std::make_shared<BCLogContainer>(benchlogs::container(50));
    Waiter waiter;
    for (auto _ : state) {
        ingestion->sendAsync(
            batch, [&](const std::optional<std::string> &, std::shared_ptr<const platform::net::HTTPURLResponse>,
                       std::optional<platform::Data>, platform::ErrorPtr) { waiter.done(); });
        waiter.waitFor(1);
    }
    state.SetItemsProcessed(state.iterations());
}

void curlPrebuilt(benchmark::State &state) {
    auto text = *benchlogs::container(50).serializeLog();
    auto body = gzip(platform::Data(text.begin(), text.end()));
    curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Content-Encoding: gzip");
    headers = curl_slist_append(headers, "App-Secret: 0123456789abcdef0123456789abcdef0123");
    headers = curl_slist_append(headers, "Install-ID: 3F2504E0-4F89-11D3-9A0C-0305E82C3301");
    headers = curl_slist_append(headers, "Expect:");
    CURL *easy = easyPost(headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    for (auto _ : state) curl_easy_perform(easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char **argv) {
    BCLogger::setLogHandler(nullptr);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::RegisterBenchmark("Send1KiB/BCHttpClient", clientSend, 1024, false, 1)->UseRealTime();
    benchmark::RegisterBenchmark("Send1KiB/curl_easy", curlSend, 1024, false)->UseRealTime();
    benchmark::RegisterBenchmark("Send1KiB/curl_thread", curlThreadSend, 1024, false, 1)->UseRealTime();
    benchmark::RegisterBenchmark("Send64KiB/BCHttpClient_gzip", clientSend, 65536, true, 1)->UseRealTime();
    benchmark::RegisterBenchmark("Send64KiB/curl_easy_gzip", curlSend, 65536, true)->UseRealTime();
    benchmark::RegisterBenchmark("Send64KiB/curl_thread_gzip", curlThreadSend, 65536, true, 1)->UseRealTime();
    benchmark::RegisterBenchmark("Concurrent4x1KiB/BCHttpClient", clientSend, 1024, false, 4)->UseRealTime();
    benchmark::RegisterBenchmark("Concurrent4x1KiB/curl_multi", curlMultiSend, 1024)->UseRealTime();
    benchmark::RegisterBenchmark("Concurrent4x1KiB/curl_thread", curlThreadSend, 1024, false, 4)->UseRealTime();
    benchmark::RegisterBenchmark("Beacon50Logs/BCBeaconIngestion", beaconSend)->UseRealTime();
    benchmark::RegisterBenchmark("Beacon50Logs/curl_prebuilt_body", curlPrebuilt)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"Send1KiB", "curl_easy"},
         {"Send64KiB", "curl_easy_gzip"},
         {"Concurrent4x1KiB", "curl_multi"},
         {"Beacon50Logs", "curl_prebuilt_body"}},
        {{"Send1KiB", "curl_thread"}, {"Send64KiB", "curl_thread_gzip"}, {"Concurrent4x1KiB", "curl_thread"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    server().stop();
}
