#include "platform/syslog/SystemLog.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace platform {

namespace {
// Never destroyed: detached worker threads may still write lines while the
// process exits and static destructors run. A fork never copies it held (a
// program may fork at any time, and a child's first line would wait
// forever for a thread that is not there).
std::mutex &sinkMutex() {
    static auto *m = new std::mutex;
    return *m;
}
std::shared_ptr<const SystemLog::Sink> &currentSink() {
    static auto *sink = new std::shared_ptr<const SystemLog::Sink>;
    return *sink;
}

// The parts' fork handlers, run around the log's own; added under the log's
// lock, which a fork holds from after the parts' prepare to before their
// parent and child handlers.
struct PartHandlers {
    void (*prepare)();
    void (*parent)();
    void (*child)();
};
constexpr size_t kMostParts = 8;
PartHandlers parts[kMostParts];
std::atomic<size_t> partCount{0};
// The parts the fork under way on this thread prepared: one added meanwhile
// is left out of its parent and child handlers too.
thread_local size_t prepared = 0;

void prepareFork() {
    prepared = partCount.load(std::memory_order_acquire);
    for (size_t i = prepared; i-- > 0;) parts[i].prepare();
    sinkMutex().lock();
}

void parentAfterFork() {
    sinkMutex().unlock();
    for (size_t i = 0; i < prepared; ++i) parts[i].parent();
}

void childAfterFork() {
    sinkMutex().unlock();
    for (size_t i = 0; i < prepared; ++i) parts[i].child();
}

// The one registration of the log's handlers: at load, or before the first
// part's, whichever comes first (a part's global object may be made before
// this file's).
bool registerForkHandlers() {
    static const bool registered = pthread_atfork(&prepareFork, &parentAfterFork, &childAfterFork) == 0;
    return registered;
}
[[maybe_unused]] const bool forkHandlersAtLoad = registerForkHandlers();
}  // namespace

void SystemLog::write(const std::string &line) {
    std::shared_ptr<const Sink> sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        sink = currentSink();
    }
    // The sink runs outside the lock so it may log again or replace itself.
    if (sink) {
        (*sink)(line);
        return;
    }
    std::string out = line;
    out.push_back('\n');
    // One write per line, so lines of different threads never interleave.
    const char *p = out.data();
    size_t left = out.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void SystemLog::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    currentSink() = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
}

void SystemLog::addForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
    registerForkHandlers();
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        const size_t count = partCount.load(std::memory_order_relaxed);
        if (count < kMostParts) {
            parts[count] = PartHandlers{prepare, parent, child};
            partCount.store(count + 1, std::memory_order_release);
            return;
        }
    }
    // More parts than foreseen: their own registration, in no fixed order.
    write("[SystemLog] Too many fork handlers; registering one of them apart");
    pthread_atfork(prepare, parent, child);
}

}  // namespace platform
