#include "RandomStackFrames.h"

#include <alloca.h>
#include <setjmp.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <streambuf>
#include <vector>

namespace {

int *volatile g_null;
sigjmp_buf g_escape;
const random_stack_plan *g_pendingPlan;  // handed to a signal handler
int g_pendingIndex;
long g_signalResult;

long step(const random_stack_plan *plan, int index);

struct Cleanup {
    long *sink;
    ~Cleanup() { *sink += 1; }
};

__attribute__((noinline)) long manyArguments(const random_stack_plan *plan, int index, long a, long b, long c, long d,
                                             long e, long f, long g, long h) {
    return step(plan, index) + a + b + c + d + e + f + g + h;
}

__attribute__((noinline)) long stackArguments(const random_stack_plan *plan, int index) {
    long sink = 0;
    Cleanup cleanup{&sink};
    return manyArguments(plan, index, 1, 2, 3, index, 5, 6, 7, 8) + sink;
}

__attribute__((noinline)) long stdSort(const random_stack_plan *plan, int index) {
    std::vector<int> values{9, 3, 7, 1, 8, 2, 6, 4, 5, 0};
    bool pending = true;
    long result = 0;
    std::sort(values.begin(), values.end(), [&](int x, int y) {
        if (pending) {
            pending = false;
            result = step(plan, index);
        }
        return x < y;
    });
    return result + values[3];
}

__attribute__((noinline)) long stdFunction(const random_stack_plan *plan, int index) {
    std::function<long()> call = [plan, index] { return step(plan, index); };
    return call() + 1;
}

class ContinuingBuffer : public std::streambuf {
public:
    ContinuingBuffer(const random_stack_plan *plan, int index) : plan_(plan), index_(index) {}
    long result = 0;

protected:
    int_type overflow(int_type c) override {
        if (plan_ != nullptr) {
            const random_stack_plan *plan = plan_;
            plan_ = nullptr;
            result = step(plan, index_);
        }
        return traits_type::not_eof(c);
    }

private:
    const random_stack_plan *plan_;
    int index_;
};

__attribute__((noinline)) long ostreamShape(const random_stack_plan *plan, int index) {
    ContinuingBuffer buffer(plan, index);
    std::ostream out(&buffer);
    out << "abc" << index;
    return buffer.result;
}

struct QsortContext {
    const random_stack_plan *plan;
    int index;
    bool pending;
    long result;
};

__attribute__((noinline)) int qsortCompare(const void *a, const void *b, void *data) {
    auto *context = static_cast<QsortContext *>(data);
    if (context->pending) {
        context->pending = false;
        context->result = step(context->plan, context->index);
    }
    return *static_cast<const int *>(a) - *static_cast<const int *>(b);
}

__attribute__((noinline)) long qsortShape(const random_stack_plan *plan, int index) {
    int values[12] = {5, 11, 3, 7, 1, 9, 8, 2, 10, 6, 4, 0};
    QsortContext context{plan, index, true, 0};
    qsort_r(values, 12, sizeof(int), qsortCompare, &context);
    return context.result + values[4];
}

__attribute__((noinline)) long bigFrame(const random_stack_plan *plan, int index) {
    volatile char buffer[9000];
    buffer[index] = char(index);
    return step(plan, index) + buffer[index];
}

__attribute__((noinline)) long allocaShape(const random_stack_plan *plan, int index) {
    volatile char *buffer = static_cast<volatile char *>(alloca(size_t(32 + index * 8)));
    buffer[index] = char(index);
    return step(plan, index) + buffer[index];
}

__attribute__((noinline)) long tryShape(const random_stack_plan *plan, int index) {
    try {
        return step(plan, index) + 2;
    } catch (...) {
        return -1;
    }
}

void onSignal(int) {
    const random_stack_plan *plan = g_pendingPlan;
    const int index = g_pendingIndex;
    g_signalResult = step(plan, index);
}

__attribute__((noinline)) long signalShape(const random_stack_plan *plan, int index, int signal) {
    g_pendingPlan = plan;
    g_pendingIndex = index;
    raise(signal);
    return g_signalResult + 3;
}

void onFault(int, siginfo_t *, void *) {
    g_pendingPlan->probe(g_pendingPlan->ctx);
    siglongjmp(g_escape, 1);
}

__attribute__((noinline)) long bottom(const random_stack_plan *plan, int index) {
    if (plan->fault) {
        g_pendingPlan = plan;
        *g_null = index;  // the fault, in the middle of the function
        return -1;
    }
    plan->probe(plan->ctx);
    return index;
}

__attribute__((noinline)) long step(const random_stack_plan *plan, int index) {
    if (index == plan->count) {
        return bottom(plan, index);
    }
    switch (plan->shapes[index]) {
    case RANDOM_STACK_STACK_ARGS: return stackArguments(plan, index + 1);
    case RANDOM_STACK_STD_SORT: return stdSort(plan, index + 1);
    case RANDOM_STACK_STD_FUNCTION: return stdFunction(plan, index + 1);
    case RANDOM_STACK_OSTREAM: return ostreamShape(plan, index + 1);
    case RANDOM_STACK_QSORT: return qsortShape(plan, index + 1);
    case RANDOM_STACK_BIG_FRAME: return bigFrame(plan, index + 1);
    case RANDOM_STACK_ALLOCA: return allocaShape(plan, index + 1);
    case RANDOM_STACK_TRY: return tryShape(plan, index + 1);
    case RANDOM_STACK_SIGNAL: return signalShape(plan, index + 1, SIGUSR1);
    default: return signalShape(plan, index + 1, SIGUSR2);
    }
}

}  // namespace

extern "C" void random_stack_install(void *alternate_stack, size_t size) {
    stack_t stack{};
    stack.ss_sp = alternate_stack;
    stack.ss_size = size;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_NODEFER;
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_flags = SA_NODEFER | SA_ONSTACK;
    sigaction(SIGUSR2, &action, nullptr);
    struct sigaction fault {};
    fault.sa_sigaction = onFault;
    fault.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigaction(SIGSEGV, &fault, nullptr);
}

extern "C" int random_stack_run(const random_stack_plan *plan) {
    if (sigsetjmp(g_escape, 1) != 0) {
        return 1;
    }
    volatile long result = step(plan, 0);
    (void)result;
    return 0;
}
