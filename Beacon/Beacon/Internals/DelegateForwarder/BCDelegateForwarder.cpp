#include "BCDelegateForwarder.h"

namespace {

struct TraceBuffer {
    std::mutex mutex;
    std::vector<BCDelegateForwarder::TraceBlock> blocks;
    bool flushed = false;
};

// Never destroyed: lines may be added from any thread while the process exits.
TraceBuffer &traceBuffer() {
    static TraceBuffer *buffer = new TraceBuffer();
    return *buffer;
}

}  // namespace

void BCDelegateForwarder::addTraceBlock(TraceBlock block) {
    if (!block) return;
    TraceBuffer &buffer = traceBuffer();
    {
        std::lock_guard<std::mutex> lock(buffer.mutex);
        if (!buffer.flushed) {
            buffer.blocks.push_back(std::move(block));
            return;
        }
    }
    block();
}

void BCDelegateForwarder::flushTraceBuffer() {
    std::vector<TraceBlock> blocks;
    TraceBuffer &buffer = traceBuffer();
    {
        std::lock_guard<std::mutex> lock(buffer.mutex);
        buffer.flushed = true;
        blocks.swap(buffer.blocks);
    }
    for (const auto &block : blocks) block();
}

void BCDelegateForwarder::resetTraceBuffer() {
    TraceBuffer &buffer = traceBuffer();
    std::lock_guard<std::mutex> lock(buffer.mutex);
    buffer.flushed = false;
    buffer.blocks.clear();
}
