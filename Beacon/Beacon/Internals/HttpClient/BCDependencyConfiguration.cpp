// The process-wide injected HTTP client.
#include "BCDependencyConfiguration.h"

#include <mutex>

namespace {
// Never destroyed: other threads may read it while the process exits.
std::mutex &lock() {
    static auto *m = new std::mutex;
    return *m;
}
std::shared_ptr<BCHttpClientProtocol> &client() {
    static auto *c = new std::shared_ptr<BCHttpClientProtocol>;
    return *c;
}
}  // namespace

std::shared_ptr<BCHttpClientProtocol> BCDependencyConfiguration::httpClient() {
    std::lock_guard<std::mutex> guard(lock());
    return client();
}

void BCDependencyConfiguration::setHttpClient(std::shared_ptr<BCHttpClientProtocol> httpClient) {
    std::lock_guard<std::mutex> guard(lock());
    client() = std::move(httpClient);
}
