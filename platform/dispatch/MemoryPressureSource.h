#pragma once
// A memory-pressure source: watches the kernel's pressure stall information
// for memory (/proc/pressure/memory) through a trigger and calls its event
// handler on a queue when the system stalls on memory. Every event is
// reported at the "warning" level. Where the file is missing or no trigger may
// be set on it, the source quietly does nothing.
//
// Like the timer source: created inactive, resume() starts it, and after
// cancel() returns no handler call starts.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/dispatch/EventSource.h"

namespace platform::dispatch {

class Queue;

class MemoryPressureSource : public EventSource, public std::enable_shared_from_this<MemoryPressureSource> {
public:
    enum Level : unsigned long {
        Normal = 1,
        Warning = 2,
        Critical = 4,
    };

    // A source reporting the levels of `mask` on the queue (the main queue,
    // with a line in the system log, when none is given). `psiPath` names
    // the pressure file to watch.
    static std::shared_ptr<MemoryPressureSource> create(std::shared_ptr<Queue> queue,
                                                        unsigned long mask = Warning | Critical,
                                                        const std::string &psiPath = "/proc/pressure/memory");
    ~MemoryPressureSource() override;

    // setEventHandler(), resume() and cancel() come from EventSource:
    // resume() sets the trigger and starts watching (once); cancel() also
    // stops the watcher.

    // A trigger is set and being watched.
    bool isWatching() const;
    // The level of the last event delivered (0 before the first).
    unsigned long data() const;

    // Reports an event as the kernel's trigger would (tests use it, as they
    // cannot make the system stall on memory).
    void simulateEvent(Level level);

private:
    MemoryPressureSource(std::shared_ptr<Queue> queue, unsigned long mask, std::string psiPath)
        : queue_(std::move(queue)), mask_(mask), psiPath_(std::move(psiPath)) {}
    void resumedLocked() override;
    void cancelled() override;
    void watch(int triggerFd, int wakeFd);
    void stopWatcher();

    const std::shared_ptr<Queue> queue_;
    const unsigned long mask_;
    const std::string psiPath_;
    unsigned long data_ = 0;
    int wakeFd_ = -1;
    std::atomic<bool> watching_{false};
    std::thread watcher_;
};

}  // namespace platform::dispatch
