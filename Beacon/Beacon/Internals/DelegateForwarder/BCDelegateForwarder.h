#pragma once
// The base of the delegate forwarders. Forwarders are set up before the
// application chose a log level, so their log lines are kept as blocks in a
// trace buffer and written out once the level is known.
#include <functional>
#include <mutex>
#include <vector>

class BCDelegateForwarder {
public:
    using TraceBlock = std::function<void()>;

    virtual ~BCDelegateForwarder() = default;

    // Keeps the block until the buffer is flushed; after the flush the
    // block runs at once.
    static void addTraceBlock(TraceBlock block);
    // Runs every kept block once, in the order added, outside the buffer's
    // lock, and lets later blocks run at once.
    static void flushTraceBuffer();
    // Back to buffering, with an empty buffer (tests).
    static void resetTraceBuffer();
};
