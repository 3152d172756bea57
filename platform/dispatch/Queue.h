#pragma once
// Dispatch queues: named serial queues, the global concurrent queues by
// priority, and the main queue.
//
// - A serial queue runs its blocks one at a time, in the order they were
//   queued, on worker threads of a shared pool. Pending work keeps the queue
//   alive: dropping the last reference with work queued lets the work finish.
// - A global queue runs its blocks concurrently on a pool of its priority,
//   created on first use and growing on demand.
// - The main queue's blocks run only on the main thread, when the application
//   or a test pumps the main run loop (MainRunLoop).
//
// sync:
// - onto the main queue from the main thread runs the block at once;
// - onto a global queue runs the block on the calling thread;
// - onto a serial queue (or the main queue) that the calling thread is already
//   running, directly or through a chain of syncs, would deadlock. It is a
//   programming error: it is logged to the system log and the block runs
//   inline at once, nested inside the running block. (So a block that syncs
//   onto the main queue while the main thread waits in a sync for it runs on
//   its own thread, the main thread being blocked meanwhile.)
//
// A block that throws on a worker ends the process like any uncaught
// exception, so the crash reporter sees it.
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/DispatchTypes.h"

namespace platform::dispatch {

class WorkerPool;

class Queue : public std::enable_shared_from_this<Queue> {
public:
    enum class Kind { Serial, Concurrent, Main };

    // A new serial queue with the given label.
    static std::shared_ptr<Queue> createSerial(const std::string &label);
    // The global concurrent queue of a priority.
    static std::shared_ptr<Queue> global(Priority priority = Priority::Default);
    // The main queue.
    static std::shared_ptr<Queue> main();

    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;

    const std::string &label() const { return label_; }
    Kind kind() const { return kind_; }

    // The calling thread is running a block of this queue (directly or through
    // a chain of syncs). For the main queue: also true anywhere on the main
    // thread.
    bool isCurrent() const;

    // Queues the block and returns at once.
    void async(Block block);
    // Runs the block on the queue and returns after it has run.
    void sync(const Block &block);

private:
    struct Frame;
    class FrameScope;

    // The innermost frame of the calling thread, if it runs a queue's block.
    static thread_local const Frame *currentFrame_;

    Queue(Kind kind, std::string label, WorkerPool *pool);
    static const Frame *callerFrame();
    bool chainContains(const Frame *frame) const;
    void runInline(const Block &block, const Frame *caller);
    void enqueue(Block wrapped);
    void drain();

    const Kind kind_;
    const std::string label_;
    WorkerPool *const pool_;
    std::mutex mutex_;
    std::deque<Block> items_;  // serial queues only
    bool draining_ = false;
};

}  // namespace platform::dispatch
