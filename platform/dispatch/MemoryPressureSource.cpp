#include "platform/dispatch/MemoryPressureSource.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/dispatch/Queue.h"
#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

namespace {

// A stall of 150 ms within a 2 s window; 2 s windows are also allowed to
// unprivileged processes.
constexpr char kTrigger[] = "some 150000 2000000";

}  // namespace

std::shared_ptr<MemoryPressureSource> MemoryPressureSource::create(std::shared_ptr<Queue> queue, unsigned long mask,
                                                                   const std::string &psiPath) {
    if (!queue) {
        SystemLog::write("[dispatch] MemoryPressureSource::create without a queue; using the main queue");
        queue = Queue::main();
    }
    return std::shared_ptr<MemoryPressureSource>(new MemoryPressureSource(std::move(queue), mask, psiPath));
}

MemoryPressureSource::~MemoryPressureSource() { stopWatcher(); }

void MemoryPressureSource::resumedLocked() {
    if ((mask_ & Warning) == 0) {
        return;  // every event this source can see is a warning
    }
    const int triggerFd = ::open(psiPath_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (triggerFd < 0) {
        return;
    }
    if (::write(triggerFd, kTrigger, sizeof kTrigger) < 0) {
        ::close(triggerFd);
        return;
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        ::close(triggerFd);
        return;
    }
    try {
        watching_ = true;
        watcher_ = std::thread(&MemoryPressureSource::watch, this, triggerFd, wakeFd);
        wakeFd_ = wakeFd;
    } catch (const std::system_error &) {
        watching_ = false;
        ::close(triggerFd);
        ::close(wakeFd);
    }
}

void MemoryPressureSource::watch(int triggerFd, int wakeFd) {
    pthread_setname_np(pthread_self(), "dispatch.memory");
    for (;;) {
        pollfd fds[2] = {{triggerFd, POLLPRI, 0}, {wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
            break;  // cancelled, or the kernel dropped the trigger
        }
        if ((fds[0].revents & POLLPRI) != 0) {
            simulateEvent(Warning);
        }
    }
    watching_ = false;
    ::close(triggerFd);
}

void MemoryPressureSource::simulateEvent(Level level) {
    if ((mask_ & level) == 0) {
        return;
    }
    std::weak_ptr<MemoryPressureSource> weakSelf = weak_from_this();
    queue_->async([weakSelf, level] {
        std::shared_ptr<MemoryPressureSource> self = weakSelf.lock();
        if (!self) {
            return;
        }
        Block handler;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->cancelled_ || !self->resumed_) {
                return;
            }
            self->data_ = level;
            handler = self->handler_;
        }
        if (handler) {
            handler();
        }
    });
}

void MemoryPressureSource::cancelled() { stopWatcher(); }

void MemoryPressureSource::stopWatcher() {
    std::thread watcher;
    int wakeFd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watcher = std::move(watcher_);
        wakeFd = wakeFd_;
        wakeFd_ = -1;
    }
    if (wakeFd >= 0) {
        const uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
    }
    if (watcher.joinable()) {
        if (watcher.get_id() == std::this_thread::get_id()) {
            watcher.detach();
        } else {
            watcher.join();
        }
    }
    if (wakeFd >= 0) {
        ::close(wakeFd);
    }
}

bool MemoryPressureSource::isWatching() const { return watching_.load(); }

unsigned long MemoryPressureSource::data() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
}

}  // namespace platform::dispatch
