#include "platform/syslog/SystemLog.h"

#include <memory>
#include <mutex>
#include <unistd.h>

namespace platform {

namespace {
std::mutex sinkMutex;
std::shared_ptr<const SystemLog::Sink> currentSink;
}  // namespace

void SystemLog::write(const std::string &line) {
    std::shared_ptr<const Sink> sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex);
        sink = currentSink;
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
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void SystemLog::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    currentSink = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
}

}  // namespace platform
