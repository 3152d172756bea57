#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "WaitSupport.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MemoryPressureSource.h"
#include "platform/syslog/SystemLog.h"

using namespace platform::dispatch;
using dispatchtests::Counter;
using dispatchtests::Gate;

TEST(MemoryPressureSourceTests, DeliversWarningsOnItsQueueUntilCancelled) {
    auto queue = Queue::createSerial("test.memory.deliver");
    auto source = MemoryPressureSource::create(queue);
    Counter events;
    bool onQueue = false;
    source->setEventHandler([&] {
        onQueue = queue->isCurrent();
        events.add();
    });
    source->simulateEvent(MemoryPressureSource::Warning);  // not resumed yet: dropped
    sync(queue, [] {});
    EXPECT_EQ(events.value(), 0);

    source->resume();
    source->simulateEvent(MemoryPressureSource::Warning);
    ASSERT_TRUE(events.waitFor(1));
    sync(queue, [] {});
    EXPECT_TRUE(onQueue);
    EXPECT_EQ(source->data(), MemoryPressureSource::Warning);

    // An event queued before cancel is dropped when it comes up.
    Gate hold;
    async(queue, [&] { hold.pass(); });
    source->simulateEvent(MemoryPressureSource::Warning);
    source->cancel();
    hold.open();
    sync(queue, [] {});
    EXPECT_EQ(events.value(), 1);
}

TEST(MemoryPressureSourceTests, WatchesTheKernelWhereItCanAndIsQuietWhereItCannot) {
    std::vector<std::string> logged;
    platform::SystemLog::setSink([&](const std::string &line) { logged.push_back(line); });
    auto missing =
        MemoryPressureSource::create(globalQueue(), MemoryPressureSource::Warning, "/nonexistent/pressure/memory");
    missing->setEventHandler([] {});
    missing->resume();
    EXPECT_FALSE(missing->isWatching());
    missing->cancel();
    platform::SystemLog::setSink(nullptr);
    EXPECT_TRUE(logged.empty());

    // Where this kernel lets us set a trigger, the source watches it, and both
    // cancel and destruction stop the watcher promptly.
    const int probe = ::open("/proc/pressure/memory", O_RDWR | O_CLOEXEC);
    const bool writable = probe >= 0 && ::write(probe, "some 150000 2000000", 20) > 0;
    if (probe >= 0) {
        ::close(probe);
    }
    auto live = MemoryPressureSource::create(globalQueue());
    live->resume();
    EXPECT_EQ(live->isWatching(), writable);
    live->cancel();
    EXPECT_FALSE(live->isWatching());

    auto dropped = MemoryPressureSource::create(mainQueue());
    dropped->resume();
    dropped.reset();  // joins its watcher
}
