#include "platform/syslog/SystemLog.h"

#include <cerrno>
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
// Registered at load, before any handler of a part that logs while holding
// locks of its own (the settings): handlers registered later take their
// locks before a fork takes this one, the order their threads take them in.
[[maybe_unused]] const int forkHandlers =
    pthread_atfork([] { sinkMutex().lock(); }, [] { sinkMutex().unlock(); }, [] { sinkMutex().unlock(); });
std::shared_ptr<const SystemLog::Sink> &currentSink() {
    static auto *sink = new std::shared_ptr<const SystemLog::Sink>;
    return *sink;
}
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

}  // namespace platform
