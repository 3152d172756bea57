#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "WaitSupport.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/TimerSource.h"

using namespace platform::dispatch;
using dispatchtests::Counter;
using dispatchtests::Gate;

namespace {

// Waits until `seconds` have passed, measured by an independent `after`, so
// that a test can check that nothing more happened meanwhile.
void letTimePass(double seconds) {
    Counter passed;
    after(seconds, globalQueue(), [&] { passed.add(); });
    ASSERT_TRUE(passed.waitFor(1));
}

}  // namespace

TEST(TimerSourceTests, FiresRepeatedlyAndNeverAfterCancelAndWait) {
    auto queue = Queue::createSerial("test.timer.repeat");
    auto timer = TimerSource::create(queue);
    Counter fired;
    timer->setEventHandler([&] { fired.add(); });
    timer->setTimer(0.0, 0.005, 0.001);
    letTimePass(0.02);
    EXPECT_EQ(fired.value(), 0);  // created suspended

    timer->resume();
    ASSERT_TRUE(fired.waitFor(5));
    EXPECT_TRUE(timer->cancelAndWait(dispatchtests::kPatience));
    EXPECT_TRUE(timer->isCancelled());
    const int atCancel = fired.value();
    letTimePass(0.05);
    EXPECT_EQ(fired.value(), atCancel);

    // A cancelled timer stays cancelled.
    timer->resume();
    timer->setTimer(0.0, 0.005);
    letTimePass(0.03);
    EXPECT_EQ(fired.value(), atCancel);
}

TEST(TimerSourceTests, CancelDoesNotBlockAndNoHandlerStartsAfterIt) {
    auto timer = TimerSource::create(globalQueue());
    Gate release;
    Counter started;
    std::atomic<int> concurrent{0};
    std::atomic<bool> overlapped{false};
    timer->setEventHandler([&] {
        if (concurrent.fetch_add(1) != 0) {
            overlapped = true;  // fires are merged, never run side by side
        }
        started.add();
        release.pass();
        concurrent.fetch_sub(1);
    });
    timer->setTimer(0.0, 0.001);
    timer->resume();
    ASSERT_TRUE(started.waitFor(1));
    // The handler is blocked in its first call: cancel returns regardless.
    timer->cancel();
    EXPECT_FALSE(timer->cancelAndWait(0.01));  // still running, bounded wait
    const int atCancel = started.value();
    release.open();
    EXPECT_TRUE(timer->cancelAndWait(dispatchtests::kPatience));
    letTimePass(0.03);
    EXPECT_EQ(started.value(), atCancel);
    EXPECT_FALSE(overlapped);
}

TEST(TimerSourceTests, CancelFromInsideTheHandlerStopsIt) {
    auto queue = Queue::createSerial("test.timer.self");
    auto timer = TimerSource::create(queue);
    Counter fired;
    std::weak_ptr<TimerSource> weak = timer;
    timer->setEventHandler([&fired, weak] {
        fired.add();
        if (fired.value() == 3) {
            if (auto self = weak.lock()) {
                EXPECT_TRUE(self->cancelAndWait(dispatchtests::kPatience));  // does not wait for itself
            }
        }
    });
    timer->setTimer(0.0, 0.002);
    timer->resume();
    ASSERT_TRUE(fired.waitFor(3));
    letTimePass(0.03);
    sync(queue, [] {});
    EXPECT_EQ(fired.value(), 3);
}

TEST(TimerSourceTests, OneShotSuspendResumeAndReplacedSettings) {
    auto queue = Queue::createSerial("test.timer.oneshot");
    auto timer = TimerSource::create(queue);
    Counter fired;
    std::chrono::steady_clock::time_point firedAt;
    timer->setEventHandler([&] {
        firedAt = std::chrono::steady_clock::now();
        fired.add();
    });

    // Not before its start delay, and only once without an interval.
    auto setAt = std::chrono::steady_clock::now();
    timer->setTimer(0.03, 0.0);
    timer->resume();
    ASSERT_TRUE(fired.waitFor(1));
    sync(queue, [] {});
    EXPECT_GE(firedAt - setAt, std::chrono::milliseconds(30));
    letTimePass(0.03);
    EXPECT_EQ(fired.value(), 1);

    // A deadline that passes while suspended is delivered at resume.
    timer->suspend();
    timer->setTimer(0.01, kForever);
    letTimePass(0.03);
    EXPECT_EQ(fired.value(), 1);
    timer->resume();
    ASSERT_TRUE(fired.waitFor(2));

    // A new setting replaces the pending one: a start of "never" stops it.
    timer->setTimer(0.02, 0.0);
    timer->setTimer(kForever, 0.0);
    letTimePass(0.05);
    EXPECT_EQ(fired.value(), 2);
    timer->cancel();
}
