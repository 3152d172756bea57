#include "platform/dispatch/Queue.h"

#include <condition_variable>

#include "platform/dispatch/MainRunLoop.h"
#include "platform/dispatch/WorkerPool.h"
#include "platform/syslog/SystemLog.h"

namespace platform::dispatch {

namespace {

constexpr std::size_t kMaxGlobalThreads = 64;
constexpr std::size_t kMaxSerialThreads = 256;
constexpr auto kIdleTimeout = std::chrono::seconds(3);

// Pools and global queues live for the whole process (never destroyed), so
// that their detached workers can never outlive them. A serial queue with
// work gets a worker at once (every queue makes progress of its own); a
// global queue runs as many blocks at once as there are CPUs, and more only
// when those are blocked.
WorkerPool &serialPool() {
    static WorkerPool *pool = new WorkerPool("dispatch.serial", kMaxSerialThreads, kIdleTimeout);
    return *pool;
}

}  // namespace

// What the calling thread is running: a block of `queue`, reached from the
// frame `parent` when the block was submitted with sync (the submitter waits,
// so its frame stays valid).
struct Queue::Frame {
    const Queue *queue;
    const Frame *parent;
};

thread_local const Queue::Frame *Queue::currentFrame_ = nullptr;

class Queue::FrameScope {
public:
    FrameScope(const Queue *queue, const Frame *parent) : frame_{queue, parent}, saved_(currentFrame_) {
        currentFrame_ = &frame_;
    }
    ~FrameScope() { currentFrame_ = saved_; }
    FrameScope(const FrameScope &) = delete;
    FrameScope &operator=(const FrameScope &) = delete;

private:
    Frame frame_;
    const Frame *saved_;
};

Queue::Queue(Kind kind, std::string label, WorkerPool *pool) : kind_(kind), label_(std::move(label)), pool_(pool) {}

std::shared_ptr<Queue> Queue::createSerial(const std::string &label) {
    return std::shared_ptr<Queue>(new Queue(Kind::Serial, label, &serialPool()));
}

std::shared_ptr<Queue> Queue::global(Priority priority) {
    struct Global {
        Priority priority;
        const char *label;
        const char *threadName;
    };
    static const Global kGlobals[] = {
        {Priority::High, "platform.dispatch.global.high", "dispatch.high"},
        {Priority::Default, "platform.dispatch.global.default", "dispatch.default"},
        {Priority::Low, "platform.dispatch.global.low", "dispatch.low"},
        {Priority::Background, "platform.dispatch.global.background", "dispatch.bg"},
    };
    static std::mutex mutex;
    static std::shared_ptr<Queue> *queues = new std::shared_ptr<Queue>[4];
    std::size_t index = 1;
    for (std::size_t i = 0; i < 4; ++i) {
        if (kGlobals[i].priority == priority) {
            index = i;
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (!queues[index]) {
        auto *pool =
            new WorkerPool(kGlobals[index].threadName, kMaxGlobalThreads, kIdleTimeout, WorkerPool::availableCPUs());
        queues[index] = std::shared_ptr<Queue>(new Queue(Kind::Concurrent, kGlobals[index].label, pool));
    }
    return queues[index];
}

std::shared_ptr<Queue> Queue::main() {
    static std::shared_ptr<Queue> *queue =
        new std::shared_ptr<Queue>(new Queue(Kind::Main, "platform.dispatch.main", nullptr));
    return *queue;
}

const Queue::Frame *Queue::callerFrame() {
    if (currentFrame_ == nullptr && MainRunLoop::isMainThread()) {
        // Plain code on the main thread owns the main queue just as a
        // main-queue block does.
        static const Frame mainThreadFrame{main().get(), nullptr};
        return &mainThreadFrame;
    }
    return currentFrame_;
}

bool Queue::chainContains(const Frame *frame) const {
    for (; frame != nullptr; frame = frame->parent) {
        if (frame->queue == this) {
            return true;
        }
    }
    return false;
}

bool Queue::isCurrent() const { return chainContains(callerFrame()); }

void Queue::async(Block block) {
    if (!block) {
        return;
    }
    enqueue([this, block = std::move(block)] {
        FrameScope scope(this, nullptr);
        block();
    });
}

void Queue::runInline(const Block &block, const Frame *caller) {
    FrameScope scope(this, caller);
    block();
}

void Queue::sync(const Block &block) {
    if (!block) {
        return;
    }
    const Frame *caller = callerFrame();
    if (kind_ == Kind::Concurrent) {
        runInline(block, caller);
        return;
    }
    if (kind_ == Kind::Main && MainRunLoop::isMainThread()) {
        runInline(block, caller);
        return;
    }
    if (chainContains(caller)) {
        SystemLog::write("[dispatch] sync onto queue \"" + label_ +
                         "\" from a block that queue is already running would deadlock; running it inline");
        runInline(block, caller);
        return;
    }
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    enqueue([&, this] {
        {
            FrameScope scope(this, caller);
            block();
        }
        // Notify under the lock: the waiter may return (and destroy these
        // locals) as soon as it can take the lock again.
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        finished.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    finished.wait(lock, [&] { return done; });
}

void Queue::enqueue(Block wrapped) {
    switch (kind_) {
    case Kind::Main: MainRunLoop::enqueue(std::move(wrapped)); return;
    case Kind::Concurrent: pool_->submit(std::move(wrapped)); return;
    case Kind::Serial: break;
    }
    bool startDrain = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(wrapped));
        if (!draining_) {
            draining_ = true;
            startDrain = true;
        }
    }
    if (startDrain) {
        // The drain holds the queue until its work is done.
        pool_->submit([self = shared_from_this()] { self->drain(); });
    }
}

void Queue::drain() {
    for (;;) {
        Block block;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (items_.empty()) {
                draining_ = false;
                return;
            }
            block = std::move(items_.front());
            items_.pop_front();
        }
        block();
    }
}

}  // namespace platform::dispatch
