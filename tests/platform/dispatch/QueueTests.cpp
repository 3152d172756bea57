#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "WaitSupport.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MemoryPressureSource.h"
#include "platform/dispatch/TimerSource.h"
#include "platform/dispatch/WorkerPool.h"
#include "platform/syslog/SystemLog.h"

using namespace platform::dispatch;
using dispatchtests::Counter;
using dispatchtests::Gate;

namespace {

// Captures system log lines for the lifetime of the object.
class LogCapture {
public:
    LogCapture() {
        platform::SystemLog::setSink([this](const std::string &line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogCapture() { platform::SystemLog::setSink(nullptr); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace

TEST(QueueTests, SerialQueueKeepsEachProducersOrderAndRunsOneBlockAtATime) {
    auto queue = Queue::createSerial("test.serial.order");
    EXPECT_EQ(queue->label(), "test.serial.order");
    EXPECT_EQ(queue->kind(), Queue::Kind::Serial);

    constexpr int kProducers = 8;
    constexpr int kPerProducer = 500;
    std::vector<std::pair<int, int>> seen;  // touched only by the queue's blocks
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                async(queue, [&, p, i] {
                    if (inside.fetch_add(1) != 0) {
                        overlapped = true;
                    }
                    seen.emplace_back(p, i);
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto &producer : producers) {
        producer.join();
    }
    std::vector<std::pair<int, int>> result;
    sync(queue, [&] { result = seen; });

    EXPECT_FALSE(overlapped);
    ASSERT_EQ(result.size(), static_cast<size_t>(kProducers * kPerProducer));
    std::vector<int> next(kProducers, 0);
    for (const auto &[p, i] : result) {
        ASSERT_EQ(i, next[p]) << "producer " << p << " out of order";
        ++next[p];
    }
}

TEST(QueueTests, SyncReturnsAfterTheBlockRanAndSeesItsEffects) {
    auto queue = Queue::createSerial("test.serial.sync");
    Gate gate;
    async(queue, [&] { gate.pass(); });  // holds the queue until opened
    std::thread opener([&] { gate.open(); });

    int value = 0;  // deliberately not atomic: sync must order the accesses
    std::thread::id ranOn;
    sync(queue, [&] {
        value = 42;
        ranOn = std::this_thread::get_id();
    });
    EXPECT_EQ(value, 42);
    EXPECT_NE(ranOn, std::this_thread::get_id());  // ran on the queue's worker
    opener.join();
}

TEST(QueueTests, SyncOntoTheQueueAlreadyRunningRunsInlineAndIsLogged) {
    LogCapture log;
    auto a = Queue::createSerial("test.serial.a");
    auto b = Queue::createSerial("test.serial.b");
    std::vector<std::string> order;
    sync(a, [&] {
        EXPECT_TRUE(a->isCurrent());
        EXPECT_FALSE(b->isCurrent());
        order.push_back("a");
        sync(a, [&] { order.push_back("a-inner"); });
        // A chain a -> b -> a would deadlock the same way.
        sync(b, [&] {
            EXPECT_TRUE(b->isCurrent());
            EXPECT_TRUE(a->isCurrent());
            sync(a, [&] { order.push_back("a-through-b"); });
        });
        order.push_back("a-end");
    });
    EXPECT_EQ(order, (std::vector<std::string>{"a", "a-inner", "a-through-b", "a-end"}));
    EXPECT_FALSE(a->isCurrent());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("test.serial.a"), std::string::npos);
}

TEST(QueueTests, GlobalQueuesRunBlocksConcurrently) {
    for (Priority priority : {Priority::High, Priority::Default, Priority::Low, Priority::Background}) {
        auto queue = globalQueue(priority);
        EXPECT_EQ(queue, globalQueue(priority));
        EXPECT_EQ(queue->kind(), Queue::Kind::Concurrent);
        // Each block waits until all have started: only concurrent execution
        // lets them all finish.
        constexpr int kBlocks = 6;
        Counter started;
        Counter finished;
        std::atomic<int> timedOut{0};
        for (int i = 0; i < kBlocks; ++i) {
            async(queue, [&] {
                started.add();
                if (!started.waitFor(kBlocks)) {
                    ++timedOut;
                }
                finished.add();
            });
        }
        ASSERT_TRUE(finished.waitFor(kBlocks));
        EXPECT_EQ(timedOut, 0);
    }
    EXPECT_NE(globalQueue(Priority::High), globalQueue(Priority::Low));
}

TEST(QueueTests, GlobalSyncRunsOnTheCallerAndBlockingWorkDoesNotStarveOthers) {
    std::thread::id ranOn;
    sync(globalQueue(), [&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // Blocks that wait for a later block must not hold up that block, however
    // many of them there are.
    Gate gate;
    Counter waited;
    constexpr int kWaiters = 20;
    for (int i = 0; i < kWaiters; ++i) {
        async(globalQueue(), [&] {
            gate.pass();
            waited.add();
        });
    }
    async(globalQueue(), [&] { gate.open(); });
    EXPECT_TRUE(waited.waitFor(kWaiters));
}

TEST(QueueTests, ApplyCallsEveryIndexOnceAcrossThreadsAndNeverWaitsForABusyQueue) {
    // Spread over workers: the caller's first call waits until a worker has
    // taken one (bounded), so that sharing is seen however busy the machine.
    const auto caller = std::this_thread::get_id();
    constexpr std::size_t kCalls = 500;
    std::vector<std::atomic<int>> calls(kCalls);
    Counter workerCalls;
    std::atomic<bool> callerWaited{false};
    apply(kCalls, globalQueue(), [&](std::size_t i) {
        ++calls[i];
        if (std::this_thread::get_id() != caller) {
            workerCalls.add();
        } else if (!callerWaited.exchange(true) && WorkerPool::availableCPUs() > 1) {
            workerCalls.waitFor(1);
        }
    });
    for (std::size_t i = 0; i < kCalls; ++i) EXPECT_EQ(calls[i], 1) << i;
    if (WorkerPool::availableCPUs() > 1) {
        EXPECT_GT(workerCalls.value(), 0);
    }

    // A queue whose worker is held: every call runs on the caller, and the
    // workers queued behind the held block find nothing left when it ends.
    auto held = Queue::createSerial("apply.held");
    Gate gate;
    Counter heldRan;
    async(held, [&] {
        gate.pass();
        heldRan.add();
    });
    int onCaller = 0;
    apply(40, held, [&](std::size_t) { onCaller += std::this_thread::get_id() == caller; });
    EXPECT_EQ(onCaller, 40);
    gate.open();
    EXPECT_TRUE(heldRan.waitFor(1));
    sync(held, [] {});
    apply(0, globalQueue(), [](std::size_t) { ADD_FAILURE() << "no call for no iterations"; });
}

TEST(QueueTests, PendingWorkKeepsADroppedQueueAlive) {
    Gate gate;
    Counter ran;
    std::weak_ptr<Queue> weak;
    {
        auto queue = Queue::createSerial("test.serial.dropped");
        weak = queue;
        async(queue, [&] { gate.pass(); });
        for (int i = 0; i < 10; ++i) {
            async(queue, [&] { ran.add(); });
        }
    }
    EXPECT_FALSE(weak.expired());
    gate.open();
    EXPECT_TRUE(ran.waitFor(10));
}

TEST(QueueTests, EmptyBlocksAreIgnoredAndMissingQueuesFallBackWithALogLine) {
    auto queue = Queue::createSerial("test.serial.empty");
    async(queue, Block{});
    sync(queue, Block{});
    after(0.0, queue, Block{});
    sync(queue, [] {});  // the queue still works

    LogCapture log;
    Counter ran;
    async(std::shared_ptr<Queue>(), [&] { ran.add(); });
    EXPECT_TRUE(ran.waitFor(1));
    bool syncRan = false;
    sync(std::shared_ptr<Queue>(), [&] { syncRan = true; });
    EXPECT_TRUE(syncRan);
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST(QueueTests, AfterRunsNoEarlierThanItsDelay) {
    auto queue = Queue::createSerial("test.serial.after");
    struct Case {
        double seconds;
        std::chrono::steady_clock::time_point queuedAt;
        std::chrono::steady_clock::time_point ranAt;
    };
    std::vector<Case> cases{{0.05, {}, {}}, {0.01, {}, {}}, {0.0, {}, {}}, {-1.0, {}, {}}};
    Counter ran;
    for (auto &c : cases) {
        c.queuedAt = std::chrono::steady_clock::now();
        after(c.seconds, queue, [&c, &ran] {
            c.ranAt = std::chrono::steady_clock::now();
            ran.add();
        });
    }
    const auto nanosQueuedAt = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point nanosRanAt;
    after(std::chrono::milliseconds(30), queue, [&] {
        nanosRanAt = std::chrono::steady_clock::now();
        ran.add();
    });
    // kForever never fires; the shorter delays must still arrive.
    after(kForever, queue, [&] { ran.add(100); });
    ASSERT_TRUE(ran.waitFor(5));
    sync(queue, [] {});
    for (const auto &c : cases) {
        EXPECT_GE(c.ranAt - c.queuedAt, std::chrono::duration<double>(std::max(c.seconds, 0.0)));
    }
    EXPECT_GE(nanosRanAt - nanosQueuedAt, std::chrono::milliseconds(30));
    EXPECT_LT(ran.value(), 100);
}

namespace {

// Leaves every kind of worker busy or waiting, then exits through the normal
// path (static destructors included). Answers the number of failed checks.
int exitWithBusyWorkers() {
    auto *never = new Gate();  // never opened
    auto *started = new Counter();
    async(globalQueue(Priority::High), [=] {
        started->add();
        never->pass(3600);
    });
    auto serial = Queue::createSerial("test.exit.serial");
    async(serial, [=] {
        started->add();
        never->pass(3600);
    });
    async(serial, [] {});  // waits behind the blocked block
    auto timer = TimerSource::create(globalQueue());
    timer->setEventHandler([] {});
    timer->setTimer(0.0, 0.001);
    timer->resume();
    static auto memory = MemoryPressureSource::create(globalQueue());
    memory->resume();  // its watcher is joined when the static goes away
    after(3600.0, globalQueue(), [] {});
    return started->waitFor(2) ? 0 : 1;
}

[[maybe_unused]] const bool exitChildRan = dispatchtests::runChildRole("exit", exitWithBusyWorkers);

}  // namespace

TEST(QueueTests, BusyWorkersDoNotHoldUpProcessExit) {
    EXPECT_EQ(dispatchtests::spawnChildRole("exit", 10), dispatchtests::kChildPassed);
}
