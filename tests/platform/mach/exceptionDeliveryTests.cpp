#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <functional>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/mach/exception_ports.h"
#include "platform/mach/exception_raise.h"
#include "platform/mach/thread_list.h"
#include "platform/mach/thread_suspend.h"
#include "thread_test_child.h"
#include "support/Sanitizers.h"

using namespace platform::mach;
using threadtest::runInChild;

// Faulting instructions at known addresses.
extern "C" void exc_test_ud2();
extern "C" char exc_test_ud2_insn[];
extern "C" void exc_test_store(void *address);
extern "C" char exc_test_store_insn[];
asm(R"(
    .text
    .globl  exc_test_ud2, exc_test_ud2_insn, exc_test_store, exc_test_store_insn
exc_test_ud2:
exc_test_ud2_insn:
    ud2
    ret
exc_test_store:
exc_test_store_insn:
    movl    $42, (%rdi)
    ret
)");

namespace {

const task_t self = mach_task_self();

// What a handler saw of one request, in memory the parent can read after
// the child died.
struct Seen {
    int requests;
    mach_msg_id_t id;
    exception_type_t type;
    mach_msg_type_number_t codeCnt;
    int64_t codes[2];
    mach_port_t thread;
    mach_port_t task;
    thread_state_flavor_t flavor;
    uint64_t stateRip;      // from the request's state, or thread_get_state
    uint64_t faultAddress;  // exception state of the parked thread
    int order;              // which handler answered first (1 thread, 2 task)
};

Seen *sharedSeen() {
    void *memory = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return static_cast<Seen *>(memory);
}

struct Request {
    mach_msg_header_t head;
    unsigned char rest[3000];
};

// A thread serving exception requests on its own port: records them, runs
// `action` and answers with `answer` (and, for state requests, the state the
// action may have changed).
class TestHandler {
public:
    TestHandler(Seen *seen, kern_return_t answer, std::function<void(natural_t *state, thread_t thread)> action = {})
        : seen_(seen), answer_(answer), action_(std::move(action)) {
        mach_port_allocate(self, MACH_PORT_RIGHT_RECEIVE, &port_);
        mach_port_insert_right(self, port_, port_, MACH_MSG_TYPE_MAKE_SEND);
        thread_ = std::thread([this] { serve(); });
    }
    ~TestHandler() {
        stop_ = true;
        thread_.join();
    }
    mach_port_t port() const { return port_; }
    int tag = 0;

private:
    void serve() {
        Request request;
        while (!stop_) {
            const mach_msg_return_t mr =
                mach_msg(&request.head, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof request, port_, 20, MACH_PORT_NULL);
            if (mr != MACH_MSG_SUCCESS) continue;
            handle(request);
        }
    }

    void handle(Request &request) {
        const bool identity = request.head.msgh_bits & MACH_MSGH_BITS_COMPLEX;
        const bool codes64 = request.head.msgh_id >= kMachExceptionRaiseId;
        const bool withState = request.head.msgh_id % 4 != 1;  // 2401 and 2405 carry no state
        const unsigned char *p = request.rest;
        ++seen_->requests;
        seen_->id = request.head.msgh_id;
        if (seen_->order == 0) seen_->order = tag;
        if (identity) {
            mach_msg_port_descriptor_t ports[2];
            std::memcpy(ports, p + 4, sizeof ports);
            seen_->thread = ports[0].name;
            seen_->task = ports[1].name;
            p += 4 + sizeof ports;
        }
        p += sizeof(NDR_record_t);
        std::memcpy(&seen_->type, p, 4);
        std::memcpy(&seen_->codeCnt, p + 4, 4);
        p += 8;
        for (unsigned i = 0; i < seen_->codeCnt && i < 2; ++i) {
            if (codes64) {
                std::memcpy(&seen_->codes[i], p + 8 * i, 8);
            } else {
                int32_t narrow;
                std::memcpy(&narrow, p + 4 * i, 4);
                seen_->codes[i] = narrow;
            }
        }
        p += seen_->codeCnt * (codes64 ? 8 : 4);

        natural_t state[THREAD_STATE_MAX] = {};
        mach_msg_type_number_t stateCnt = 0;
        if (withState) {
            std::memcpy(&seen_->flavor, p, 4);
            std::memcpy(&stateCnt, p + 4, 4);
            std::memcpy(state, p + 8, stateCnt * 4);
            x86_thread_state64_t registers;
            std::memcpy(&registers, state, sizeof registers);
            seen_->stateRip = registers.rip;
        } else {
            x86_thread_state64_t registers;
            mach_msg_type_number_t count = x86_THREAD_STATE64_COUNT;
            if (thread_get_state(seen_->thread, x86_THREAD_STATE64, reinterpret_cast<natural_t *>(&registers),
                                 &count) == KERN_SUCCESS) {
                seen_->stateRip = registers.rip;
            }
            x86_exception_state64_t exception;
            count = x86_EXCEPTION_STATE64_COUNT;
            if (thread_get_state(seen_->thread, x86_EXCEPTION_STATE64, reinterpret_cast<natural_t *>(&exception),
                                 &count) == KERN_SUCCESS) {
                seen_->faultAddress = exception.faultvaddr;
            }
        }
        if (action_) action_(state, seen_->thread);

        struct {
            mach_msg_header_t head;
            NDR_record_t ndr;
            kern_return_t result;
            thread_state_flavor_t flavor;
            mach_msg_type_number_t count;
            natural_t state[THREAD_STATE_MAX];
        } reply{};
        reply.head.msgh_bits = MACH_MSGH_BITS(MACH_MSGH_BITS_REMOTE(request.head.msgh_bits), 0);
        reply.head.msgh_remote_port = request.head.msgh_remote_port;
        reply.head.msgh_id = request.head.msgh_id + 100;
        reply.ndr = NDR_record;
        reply.result = answer_;
        reply.head.msgh_size = 36;
        if (withState && answer_ == KERN_SUCCESS) {
            reply.flavor = seen_->flavor;
            reply.count = stateCnt;
            std::memcpy(reply.state, state, stateCnt * 4);
            reply.head.msgh_size = 44 + stateCnt * 4;
        }
        mach_msg(&reply.head, MACH_SEND_MSG, reply.head.msgh_size, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
    }

    Seen *seen_;
    kern_return_t answer_;
    std::function<void(natural_t *, thread_t)> action_;
    mach_port_t port_ = MACH_PORT_NULL;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void *protectedPage() { return mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); }

TEST(ExceptionPorts, GetSetSwapAndTakeover) {
    EXPECT_EQ(
        runInChild([] {
            Seen *seen = sharedSeen();
            TestHandler a(seen, KERN_FAILURE), b(seen, KERN_FAILURE);
            struct sigaction before {};
            sigaction(SIGSEGV, nullptr, &before);

            const exception_behavior_t codes64 = EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES;
            THREAD_CHILD_CHECK(task_set_exception_ports(self, EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC, a.port(),
                                                        codes64, MACHINE_THREAD_STATE) == KERN_SUCCESS,
                               "");
            THREAD_CHILD_CHECK(task_set_exception_ports(self, EXC_MASK_BREAKPOINT, b.port(), EXCEPTION_STATE,
                                                        x86_THREAD_STATE64) == KERN_SUCCESS,
                               "");
            struct sigaction owned {};
            sigaction(SIGSEGV, nullptr, &owned);
            THREAD_CHILD_CHECK((owned.sa_flags & SA_ONSTACK) && owned.sa_sigaction != before.sa_sigaction,
                               "the layer owns SIGSEGV while bad access is covered");

            exception_mask_t masks[EXC_TYPES_COUNT];
            mach_port_t ports[EXC_TYPES_COUNT];
            exception_behavior_t behaviors[EXC_TYPES_COUNT];
            thread_state_flavor_t flavors[EXC_TYPES_COUNT];
            mach_msg_type_number_t count = EXC_TYPES_COUNT;
            mach_port_urefs_t refsBefore = 0, refsAfter = 0;
            mach_port_get_refs(self, a.port(), MACH_PORT_RIGHT_SEND, &refsBefore);
            THREAD_CHILD_CHECK(task_get_exception_ports(self, EXC_MASK_VALID, masks, &count, ports, behaviors,
                                                        flavors) == KERN_SUCCESS,
                               "");
            // a for types 1 and 3, b for 6, and null for the other ten.
            THREAD_CHILD_CHECK(count == 3, std::to_string(count));
            THREAD_CHILD_CHECK(masks[0] == (EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC) && ports[0] == a.port() &&
                                   behaviors[0] == codes64 && flavors[0] == MACHINE_THREAD_STATE,
                               "");
            THREAD_CHILD_CHECK(
                ports[1] == MACH_PORT_NULL &&
                    masks[1] == (EXC_MASK_VALID & ~(EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC | EXC_MASK_BREAKPOINT)),
                std::to_string(masks[1]));
            THREAD_CHILD_CHECK(masks[2] == EXC_MASK_BREAKPOINT && ports[2] == b.port(), "");
            mach_port_get_refs(self, a.port(), MACH_PORT_RIGHT_SEND, &refsAfter);
            THREAD_CHILD_CHECK(refsAfter == refsBefore + 1, "a get hands out one send right per entry");

            // Swap gives the old ports back, then clears: SIGSEGV is given back too.
            count = EXC_TYPES_COUNT;
            THREAD_CHILD_CHECK(task_swap_exception_ports(self, EXC_MASK_BAD_ACCESS, MACH_PORT_NULL, EXCEPTION_DEFAULT,
                                                         0, masks, &count, ports, behaviors, flavors) == KERN_SUCCESS,
                               "");
            THREAD_CHILD_CHECK(count == 1 && ports[0] == a.port() && masks[0] == EXC_MASK_BAD_ACCESS, "");
            struct sigaction after {};
            sigaction(SIGSEGV, nullptr, &after);
            THREAD_CHILD_CHECK(after.sa_handler == before.sa_handler,
                               "SIGSEGV is given back once nothing covers bad access");

            THREAD_CHILD_CHECK(
                task_set_exception_ports(self, EXC_MASK_BAD_ACCESS, a.port(), 7, 0) == KERN_INVALID_ARGUMENT,
                "unknown behaviour");
            THREAD_CHILD_CHECK(
                task_set_exception_ports(self, 1u << 14, a.port(), EXCEPTION_DEFAULT, 0) == KERN_INVALID_ARGUMENT,
                "type 14");
            THREAD_CHILD_CHECK(task_set_exception_ports(self, EXC_MASK_BAD_ACCESS, 0x4003ff00, EXCEPTION_DEFAULT, 0) ==
                                   KERN_INVALID_CAPABILITY,
                               "a name that is no right");
            THREAD_CHILD_CHECK(thread_set_exception_ports(0x7ffffffe, EXC_MASK_BAD_ACCESS, a.port(), EXCEPTION_DEFAULT,
                                                          0) == KERN_INVALID_ARGUMENT,
                               "no such thread");

            // A thread's own table, apart from the task's; a port that
            // dies reads back as dead.
            THREAD_CHILD_CHECK(thread_set_exception_ports(mach_thread_self(), EXC_MASK_SOFTWARE, b.port(),
                                                          EXCEPTION_DEFAULT, 0) == KERN_SUCCESS,
                               "");
            mach_port_t dying = MACH_PORT_NULL;
            mach_port_allocate(self, MACH_PORT_RIGHT_RECEIVE, &dying);
            mach_port_insert_right(self, dying, dying, MACH_MSG_TYPE_MAKE_SEND);
            thread_set_exception_ports(mach_thread_self(), EXC_MASK_CRASH, dying, EXCEPTION_DEFAULT, 0);
            mach_port_mod_refs(self, dying, MACH_PORT_RIGHT_RECEIVE, -1);
            count = EXC_TYPES_COUNT;
            thread_get_exception_ports(mach_thread_self(), EXC_MASK_SOFTWARE | EXC_MASK_CRASH, masks, &count, ports,
                                       behaviors, flavors);
            THREAD_CHILD_CHECK(count == 2 && ports[0] == b.port() && ports[1] == MACH_PORT_DEAD, "");
            return std::string();
        }),
        "");
}

// A fault in the child, delivered to a handler that answers `answer`.
std::string faultWith(Seen *seen, kern_return_t answer, void (*fault)(), exception_behavior_t behavior,
                      thread_state_flavor_t flavor, std::function<void(natural_t *, thread_t)> action = {}) {
    TestHandler handler(seen, answer, std::move(action));
    if (task_set_exception_ports(
            self, EXC_MASK_BAD_ACCESS | EXC_MASK_BAD_INSTRUCTION | EXC_MASK_ARITHMETIC | EXC_MASK_BREAKPOINT,
            handler.port(), behavior, flavor) != KERN_SUCCESS) {
        return "set failed";
    }
    fault();
    return "went on";
}

TEST(ExceptionDelivery, UnhandledFaultsDieOfTheirSignalAfterTheHandlerSawThem) {
    SKIP_UNDER_SANITIZERS(
        "AddressSanitizer's own SIGSEGV handler is the disposition restored after the handler, so "
        "the child exits through its report instead of dying of the signal");
    struct Case {
        const char *name;
        void (*fault)();
        int signo;
        exception_type_t type;
        int64_t code0;
    };
    static const Case cases[] = {
        {"null", [] { exc_test_store(nullptr); }, SIGSEGV, EXC_BAD_ACCESS, KERN_INVALID_ADDRESS},
        {"prot_none", [] { exc_test_store(protectedPage()); }, SIGSEGV, EXC_BAD_ACCESS, KERN_PROTECTION_FAILURE},
        {"ud2", exc_test_ud2, SIGILL, EXC_BAD_INSTRUCTION, EXC_I386_INVOP},
        {"idiv",
         [] {
             __asm__ volatile("xorl %%ecx, %%ecx; movl $1, %%eax; cltd; idivl %%ecx" ::: "eax", "ecx", "edx");
         },
         SIGFPE, EXC_ARITHMETIC, EXC_I386_DIV},
        {"int3", [] { __asm__ volatile("int3"); }, SIGTRAP, EXC_BREAKPOINT, EXC_I386_BPT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Seen *seen = sharedSeen();
        const std::string result = runInChild([&] {
            return faultWith(seen, KERN_FAILURE, c.fault, EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES,
                             MACHINE_THREAD_STATE);
        });
        EXPECT_EQ(result.rfind("child died of signal " + std::to_string(c.signo) + ";", 0), 0u) << result;
        EXPECT_EQ(seen->requests, 1);
        EXPECT_EQ(seen->id, kMachExceptionRaiseId);
        EXPECT_EQ(seen->type, c.type);
        EXPECT_EQ(seen->codeCnt, 2u);
        EXPECT_EQ(seen->codes[0], c.code0);
        EXPECT_EQ(seen->task, mach_task_self());
        EXPECT_NE(seen->thread, 0u);
        munmap(seen, 4096);
    }
}

TEST(ExceptionDelivery, SuccessReExecutesAndParkedThreadShowsItsFault) {
    Seen *seen = sharedSeen();
    static void *page;
    page = protectedPage();
    const std::string result = runInChild([&] {
        const std::string outcome = faultWith(
            seen, KERN_SUCCESS, [] { exc_test_store(page); }, EXCEPTION_DEFAULT, 0,
            [](natural_t *, thread_t) { mprotect(page, 4096, PROT_READ | PROT_WRITE); });
        THREAD_CHILD_CHECK(outcome == "went on", outcome);
        THREAD_CHILD_CHECK(*static_cast<int *>(page) == 42, "the store ran again");
        return std::string();
    });
    EXPECT_EQ(result, "");
    EXPECT_EQ(seen->id, kExceptionRaiseId) << "32-bit codes without MACH_EXCEPTION_CODES";
    EXPECT_EQ(seen->codes[1], static_cast<int32_t>(reinterpret_cast<uintptr_t>(page)));
    EXPECT_EQ(seen->stateRip, reinterpret_cast<uintptr_t>(exc_test_store_insn))
        << "thread_get_state of the parked thread";
    EXPECT_EQ(seen->faultAddress, reinterpret_cast<uintptr_t>(page));
    munmap(seen, 4096);
}

TEST(ExceptionDelivery, StateBehaviourResumesWithTheReturnedState) {
    Seen *seen = sharedSeen();
    const std::string result = runInChild([&] {
        // The handler steps over the two-byte ud2.
        const std::string outcome =
            faultWith(seen, KERN_SUCCESS, exc_test_ud2, EXCEPTION_STATE_IDENTITY | MACH_EXCEPTION_CODES,
                      x86_THREAD_STATE64, [](natural_t *state, thread_t) {
                          auto *registers = reinterpret_cast<x86_thread_state64_t *>(state);
                          registers->rip += 2;
                      });
        THREAD_CHILD_CHECK(outcome == "went on", outcome);
        return std::string();
    });
    EXPECT_EQ(result, "");
    EXPECT_EQ(seen->id, kMachExceptionRaiseStateIdentityId);
    EXPECT_EQ(seen->flavor, x86_THREAD_STATE64);
    EXPECT_EQ(seen->stateRip, reinterpret_cast<uintptr_t>(exc_test_ud2_insn));
    munmap(seen, 4096);
}

TEST(ExceptionDelivery, ThreadPortFirstThenTaskPort) {
    Seen *seen = sharedSeen();
    const std::string result = runInChild([&] {
        TestHandler threadHandler(seen, KERN_FAILURE);
        threadHandler.tag = 1;
        TestHandler taskHandler(seen, KERN_SUCCESS, [](natural_t *, thread_t thread) {
            x86_thread_state64_t registers;
            mach_msg_type_number_t count = x86_THREAD_STATE64_COUNT;
            thread_get_state(thread, x86_THREAD_STATE64, reinterpret_cast<natural_t *>(&registers), &count);
            registers.rip += 2;  // over the ud2
            thread_set_state(thread, x86_THREAD_STATE64, reinterpret_cast<natural_t *>(&registers), count);
        });
        taskHandler.tag = 2;
        task_set_exception_ports(self, EXC_MASK_BAD_INSTRUCTION, taskHandler.port(), EXCEPTION_DEFAULT, 0);
        thread_set_exception_ports(mach_thread_self(), EXC_MASK_BAD_INSTRUCTION, threadHandler.port(),
                                   EXCEPTION_DEFAULT, 0);
        exc_test_ud2();
        THREAD_CHILD_CHECK(seen->requests == 2 && seen->order == 1, std::to_string(seen->requests));
        return std::string();
    });
    EXPECT_EQ(result, "");
    munmap(seen, 4096);
}

sigjmp_buf gJump;
volatile sig_atomic_t gPreviousCalls;

TEST(ExceptionDelivery, PreviousDispositionRunsWhenUnhandledOrSent) {
    Seen *seen = sharedSeen();
    const std::string result = runInChild([&] {
        struct sigaction previous {};
        previous.sa_sigaction = [](int, siginfo_t *, void *) {
            gPreviousCalls = gPreviousCalls + 1;
            siglongjmp(gJump, 1);
        };
        previous.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigaction(SIGSEGV, &previous, nullptr);
        TestHandler handler(seen, KERN_FAILURE);
        task_set_exception_ports(self, EXC_MASK_BAD_ACCESS, handler.port(), EXCEPTION_DEFAULT, 0);
        if (sigsetjmp(gJump, 1) == 0) exc_test_store(nullptr);
        THREAD_CHILD_CHECK(gPreviousCalls == 1 && seen->requests == 1, "a failed exception reaches the old handler");
        // A sent SIGSEGV is no exception.
        if (sigsetjmp(gJump, 1) == 0) kill(getpid(), SIGSEGV);
        THREAD_CHILD_CHECK(gPreviousCalls == 2 && seen->requests == 1, std::to_string(seen->requests));
        return std::string();
    });
    EXPECT_EQ(result, "");
    munmap(seen, 4096);
}

// An ignored SIGSEGV stays ignored when sent, but a fault nobody handles
// ends the process instead of repeating for ever.
TEST(ExceptionDelivery, IgnoredFaultDiesInsteadOfRepeating) {
    Seen *seen = sharedSeen();
    const std::string result = runInChild(
        [&] {
            signal(SIGSEGV, SIG_IGN);
            TestHandler handler(seen, KERN_FAILURE);
            task_set_exception_ports(self, EXC_MASK_BAD_ACCESS, handler.port(), EXCEPTION_DEFAULT, 0);
            kill(getpid(), SIGSEGV);
            exc_test_store(nullptr);
            return std::string("went on");
        },
        10000);
    EXPECT_EQ(result.rfind("child died of signal " + std::to_string(SIGSEGV) + ";", 0), 0u) << result;
    EXPECT_EQ(seen->requests, 1);
    munmap(seen, 4096);
}

TEST(ExceptionDelivery, HandlerThreadFaultingItselfDoesNotHang) {
    SKIP_UNDER_SANITIZERS(
        "AddressSanitizer's own SIGSEGV handler is the disposition restored for the faulting "
        "handler thread, so the child exits through its report instead of dying of the signal");
    Seen *seen = sharedSeen();
    const std::string result = runInChild(
        [&] {
            faultWith(
                seen, KERN_FAILURE, [] { exc_test_ud2(); }, EXCEPTION_DEFAULT, 0,
                [](natural_t *, thread_t) { exc_test_store(nullptr); });
            return std::string("went on");
        },
        10000);
    // The ud2 waits for an answer that never comes; the handler's own fault
    // cannot be sent to itself, so the process dies of it.
    EXPECT_EQ(result.rfind("child died of signal " + std::to_string(SIGSEGV) + ";", 0), 0u) << result;
    munmap(seen, 4096);
}

}  // namespace
