#include <atomic>
#include <cstring>
#include <sys/mman.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BBCrashMachExceptionPort.h"
#include "BBCrashMachExceptionPortSet.h"
#include "BBCrashMachExceptionServer.h"
#include "bbcrash_mach_exception.h"
#include "platform/mach/exception_ports.h"
#include "platform/mach/exception_raise.h"
#include "platform/mach/thread_list.h"
#include "platform/mach/thread_suspend.h"
#include "platform/syslog/SystemLog.h"
#include "thread_test_child.h"
#include "support/Sanitizers.h"

using namespace platform::mach;
using threadtest::runInChild;

namespace {

const task_t self = mach_task_self();

// What the server's callback saw, in memory a parent can read after a child
// died.
struct CallbackRecord {
    std::atomic<int> calls;
    kern_return_t answer;
    task_t task;
    thread_t thread;
    exception_type_t type;
    mach_msg_type_number_t count;
    int64_t codes[4];
    thread_t callbackThread;
    uint64_t faultRip;
};

CallbackRecord *newRecord(kern_return_t answer) {
    void *memory = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto *record = new (memory) CallbackRecord{};
    record->answer = answer;
    return record;
}

kern_return_t recordingCallback(task_t task, thread_t thread, exception_type_t type, mach_exception_data_t codes,
                                mach_msg_type_number_t count, void *context) {
    auto *record = static_cast<CallbackRecord *>(context);
    record->task = task;
    record->thread = thread;
    record->type = type;
    record->count = count;
    for (mach_msg_type_number_t i = 0; i < count && i < 4; ++i) record->codes[i] = codes[i];
    record->callbackThread = mach_thread_self();
    x86_thread_state64_t state;
    mach_msg_type_number_t stateCount = x86_THREAD_STATE64_COUNT;
    if (thread_get_state(thread, x86_THREAD_STATE64, reinterpret_cast<natural_t *>(&state), &stateCount) ==
        KERN_SUCCESS) {
        record->faultRip = state.rip;
    }
    record->calls.fetch_add(1);
    return record->answer;
}

// A request as the kernel sends it, `size` bytes long, with `codeCnt`
// claimed; the reply comes back in `reply`.
struct Reply {
    mach_msg_header_t head;
    NDR_record_t ndr;
    kern_return_t result;
    mach_msg_trailer_t trailer;
};

mach_msg_return_t sendRequest(mach_port_t server, mach_msg_size_t size, mach_msg_type_number_t codeCnt, Reply *reply,
                              mach_msg_id_t id = kMachExceptionRaiseId) {
    alignas(8) unsigned char buffer[kMachMsgMaxSize] = {};
    auto *head = reinterpret_cast<mach_msg_header_t *>(buffer);
    head->msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE) | MACH_MSGH_BITS_COMPLEX;
    head->msgh_size = size;
    head->msgh_remote_port = server;
    mach_port_t replyPort = MACH_PORT_NULL;
    mach_port_allocate(self, MACH_PORT_RIGHT_RECEIVE, &replyPort);
    head->msgh_local_port = replyPort;
    head->msgh_id = id;
    mach_msg_body_t body{2};
    std::memcpy(buffer + 24, &body, 4);
    mach_msg_port_descriptor_t ports[2] = {};
    ports[0].name = mach_thread_self();
    ports[1].name = self;
    ports[0].disposition = ports[1].disposition = MACH_MSG_TYPE_COPY_SEND;
    std::memcpy(buffer + 28, ports, sizeof ports);
    std::memcpy(buffer + 52, &NDR_record, 8);
    const exception_type_t type = EXC_BAD_ACCESS;
    std::memcpy(buffer + 60, &type, 4);
    std::memcpy(buffer + 64, &codeCnt, 4);
    const int64_t codes[2] = {KERN_INVALID_ADDRESS, 0x1234};
    std::memcpy(buffer + 68, codes, sizeof codes);
    mach_msg_return_t mr =
        mach_msg(head, MACH_SEND_MSG | MACH_SEND_TIMEOUT, size, 0, MACH_PORT_NULL, 5000, MACH_PORT_NULL);
    if (mr == MACH_MSG_SUCCESS) {
        mr =
            mach_msg(&reply->head, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof *reply, replyPort, 10000, MACH_PORT_NULL);
    }
    mach_port_mod_refs(self, replyPort, MACH_PORT_RIGHT_RECEIVE, -1);
    return mr;
}

TEST(BBCrashMachExceptionServer, AnswersRequestsWithTheCallbackResult) {
    CallbackRecord *record = newRecord(KERN_PROTECTION_FAILURE);
    std::shared_ptr<const platform::Error> error;
    auto server = BBCrashMachExceptionServer::make(recordingCallback, record, &error);
    ASSERT_TRUE(server) << (error ? error->localizedDescription() : "");
    EXPECT_NE(server->serverThread(), 0u);
    const mach_port_t port = server->copySendRightForServerAndReturningError(&error);
    ASSERT_TRUE(MACH_PORT_VALID(port));

    Reply reply{};
    ASSERT_EQ(sendRequest(port, 84, 2, &reply), MACH_MSG_SUCCESS);
    EXPECT_EQ(reply.head.msgh_id, kMachExceptionRaiseId + 100);
    EXPECT_EQ(reply.head.msgh_size, 36u);
    EXPECT_EQ(MACH_MSGH_BITS_LOCAL(reply.head.msgh_bits), MACH_MSG_TYPE_PORT_SEND_ONCE)
        << "the reply went out on the request's send-once right";
    EXPECT_EQ(reply.result, KERN_PROTECTION_FAILURE);
    EXPECT_EQ(record->calls.load(), 1);
    EXPECT_EQ(record->thread, mach_thread_self());
    EXPECT_EQ(record->task, self);
    EXPECT_EQ(record->type, EXC_BAD_ACCESS);
    EXPECT_EQ(record->count, 2u);
    EXPECT_EQ(record->codes[1], 0x1234);
    EXPECT_EQ(record->callbackThread, server->serverThread());

    // Shorter than a two-code request: answered 5 without a call. A count
    // larger than the message holds is cut to what it holds.
    ASSERT_EQ(sendRequest(port, 80, 2, &reply), MACH_MSG_SUCCESS);
    EXPECT_EQ(reply.result, KERN_FAILURE);
    EXPECT_EQ(record->calls.load(), 1);
    ASSERT_EQ(sendRequest(port, 84, 100000, &reply), MACH_MSG_SUCCESS);
    EXPECT_EQ(record->count, 2u);
    // A request larger than the receive buffer (a page with the trailer):
    // the buffer grows and the request is still served.
    ASSERT_EQ(sendRequest(port, kMachMsgMaxSize, 2, &reply), MACH_MSG_SUCCESS);
    EXPECT_EQ(reply.result, KERN_PROTECTION_FAILURE);
    EXPECT_EQ(record->calls.load(), 3);
    // A stop message nobody asked for is a request like any other.
    record->answer = KERN_FAILURE;
    ASSERT_EQ(sendRequest(port, 84, 2, &reply, static_cast<mach_msg_id_t>(0xdeadbeef)), MACH_MSG_SUCCESS);
    EXPECT_EQ(reply.result, KERN_FAILURE);
    EXPECT_EQ(record->calls.load(), 4);

    // The last send right going away sends a no-senders notification, which
    // the server ignores; it serves new senders afterwards.
    mach_port_deallocate(self, port);
    const mach_port_t again = server->copySendRightForServerAndReturningError(&error);
    ASSERT_EQ(sendRequest(again, 84, 2, &reply), MACH_MSG_SUCCESS);
    EXPECT_EQ(record->calls.load(), 5);

    // Stopping releases the ports: the right we still hold is now dead.
    server.reset();
    mach_port_type_t type = 0;
    ASSERT_EQ(mach_port_type(self, again, &type), KERN_SUCCESS);
    EXPECT_EQ(type, MACH_PORT_TYPE_DEAD_NAME);
    mach_port_deallocate(self, again);
}

TEST(BBCrashMachExceptionServer, StartFailureReleasesEverythingAndDoesNotHang) {
    EXPECT_EQ(runInChild([] {
                  std::vector<mach_port_t> filler;
                  mach_port_t name;
                  while (mach_port_allocate(self, MACH_PORT_RIGHT_DEAD_NAME, &name) == KERN_SUCCESS) {
                      filler.push_back(name);
                  }
                  // Room for the server port only: the notify port fails.
                  mach_port_deallocate(self, filler.back());
                  filler.pop_back();
                  std::shared_ptr<const platform::Error> error;
                  auto server = BBCrashMachExceptionServer::make(recordingCallback, nullptr, &error);
                  THREAD_CHILD_CHECK(!server && error && error->code() == 1, "");
                  THREAD_CHILD_CHECK(error->localizedDescription() == "Failed to allocate exception server's port",
                                     error->localizedDescription());
                  THREAD_CHILD_CHECK(mach_port_allocate(self, MACH_PORT_RIGHT_DEAD_NAME, &name) == KERN_SUCCESS,
                                     "the server port was released");
                  return std::string();
              }),
              "");
}

TEST(BBCrashMachExceptionServer, StopFinishesWhenTheLoopEndedEarly) {
    EXPECT_EQ(
        runInChild(
            [] {
                std::shared_ptr<const platform::Error> error;
                auto server = BBCrashMachExceptionServer::make(recordingCallback, nullptr, &error);
                THREAD_CHILD_CHECK(server != nullptr, "");
                // Take the server's port set away: its receive fails for good,
                // and the loop ends instead of spinning.
                bool destroyed = false;
                for (uint32_t entry = 0; entry < kMachPortSpaceSize && !destroyed; ++entry) {
                    for (uint32_t gen = 1; gen < 256 && !destroyed; ++gen) {
                        const mach_port_t name = 0x40000000u | (entry << 8) | gen;
                        mach_port_type_t type = 0;
                        if (mach_port_type(self, name, &type) == KERN_SUCCESS && type == MACH_PORT_TYPE_PORT_SET) {
                            destroyed = mach_port_mod_refs(self, name, MACH_PORT_RIGHT_PORT_SET, -1) == KERN_SUCCESS;
                        }
                    }
                }
                THREAD_CHILD_CHECK(destroyed, "");
                // The stop must see the loop's end, not wait out its bound.
                std::vector<std::string> lines;
                platform::SystemLog::setSink([&lines](const std::string &line) { lines.push_back(line); });
                server.reset();
                platform::SystemLog::setSink({});
                THREAD_CHILD_CHECK(lines.empty(), lines.empty() ? "" : lines.front());
                return std::string();
            },
            15000),
        "");
}

TEST(BBCrashMachExceptionServer, RealFaultReachesTheCallbackOnTheServerThread) {
    SKIP_UNDER_SANITIZERS(
        "AddressSanitizer reports the deliberate fault through its own handler before the "
        "exception reaches the server");
    CallbackRecord *record = newRecord(KERN_FAILURE);
    static void *page;
    page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const std::string result = runInChild([record] {
        std::shared_ptr<const platform::Error> error;
        auto server = BBCrashMachExceptionServer::make(recordingCallback, record, &error);
        auto port = server ? server->exceptionPortWithMask(EXC_MASK_BAD_ACCESS | EXC_MASK_BREAKPOINT, &error) : nullptr;
        THREAD_CHILD_CHECK(port && port->behavior() == static_cast<exception_behavior_t>(0x80000001) &&
                               port->flavor() == MACHINE_THREAD_STATE,
                           "");
        std::shared_ptr<BBCrashMachExceptionPortSet> previous;
        THREAD_CHILD_CHECK(port->registerForTask(self, &previous, &error), "");
        THREAD_CHILD_CHECK(
            previous && previous->set().size() == 1 && previous->asyncSafeRepresentation().ports[0] == MACH_PORT_NULL,
            "nothing was registered before");
        record->faultRip = reinterpret_cast<uintptr_t>(page);  // overwritten by the callback
        *static_cast<volatile int *>(page) = 1;
        return std::string("went on");
    });
    EXPECT_EQ(result.rfind("child died of signal 11;", 0), 0u) << result;
    EXPECT_EQ(record->calls.load(), 1);
    EXPECT_EQ(record->type, EXC_BAD_ACCESS);
    EXPECT_EQ(record->codes[0], KERN_PROTECTION_FAILURE);
    EXPECT_EQ(record->codes[1], static_cast<int64_t>(reinterpret_cast<uintptr_t>(page)));
    EXPECT_NE(record->thread, record->callbackThread);
    EXPECT_NE(record->faultRip, reinterpret_cast<uintptr_t>(page)) << "the callback read the parked thread's state";
    EXPECT_NE(record->faultRip, 0u);
}

// The engine's chain: a server registered over an earlier one forwards each
// exception to it first; the earlier one repairs the fault and answers
// success, so the thread goes on.
void *gRepairPage;
bbcrash_mach_exception_port_set gPreviousPorts;

kern_return_t repairingCallback(task_t, thread_t, exception_type_t, mach_exception_data_t, mach_msg_type_number_t,
                                void *context) {
    static_cast<CallbackRecord *>(context)->calls.fetch_add(1);
    mprotect(gRepairPage, 4096, PROT_READ | PROT_WRITE);
    return KERN_SUCCESS;
}

kern_return_t forwardingCallback(task_t task, thread_t thread, exception_type_t type, mach_exception_data_t codes,
                                 mach_msg_type_number_t count, void *context) {
    static_cast<CallbackRecord *>(context)->calls.fetch_add(1);
    return forward_mach_exception(task, thread, type, codes, count, &gPreviousPorts);
}

TEST(BBCrashMachExceptionServer, FaultForwardedToAnEarlierPortThatRepairsIt) {
    CallbackRecord *earlier = newRecord(KERN_SUCCESS);
    CallbackRecord *later = newRecord(KERN_FAILURE);
    const std::string result = runInChild([earlier, later] {
        gRepairPage = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::shared_ptr<const platform::Error> error;
        auto first = BBCrashMachExceptionServer::make(repairingCallback, earlier, &error);
        auto second = BBCrashMachExceptionServer::make(forwardingCallback, later, &error);
        THREAD_CHILD_CHECK(first && second, "");
        THREAD_CHILD_CHECK(
            first->exceptionPortWithMask(EXC_MASK_BAD_ACCESS, &error)->registerForTask(self, nullptr, &error), "");
        std::shared_ptr<BBCrashMachExceptionPortSet> previous;
        THREAD_CHILD_CHECK(
            second->exceptionPortWithMask(EXC_MASK_BAD_ACCESS, &error)->registerForTask(self, &previous, &error), "");
        gPreviousPorts = previous->asyncSafeRepresentation();
        *static_cast<volatile int *>(gRepairPage) = 7;
        THREAD_CHILD_CHECK(*static_cast<volatile int *>(gRepairPage) == 7, "");
        return std::string();
    });
    EXPECT_EQ(result, "");
    EXPECT_EQ(later->calls.load(), 1);
    EXPECT_EQ(earlier->calls.load(), 1);
}

// Answers one request on `port` with `answer`, keeping its id and size.
struct OneShotResponder {
    OneShotResponder(mach_port_t port, kern_return_t answer)
        : thread([this, port, answer] {
              struct {
                  mach_msg_header_t head;
                  unsigned char rest[3000];
              } request;
              if (mach_msg(&request.head, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof request, port, 10000,
                           MACH_PORT_NULL) != MACH_MSG_SUCCESS) {
                  return;
              }
              id = request.head.msgh_id;
              size = request.head.msgh_size;
              Reply reply{};
              reply.head.msgh_bits = MACH_MSGH_BITS(MACH_MSGH_BITS_REMOTE(request.head.msgh_bits), 0);
              reply.head.msgh_size = 36;
              reply.head.msgh_remote_port = request.head.msgh_remote_port;
              reply.head.msgh_id = request.head.msgh_id + 100;
              reply.result = answer;
              mach_msg(&reply.head, MACH_SEND_MSG, 36, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
          }) {}
    ~OneShotResponder() { wait(); }
    void wait() {
        if (thread.joinable()) thread.join();
    }
    std::atomic<mach_msg_id_t> id{0};
    std::atomic<mach_msg_size_t> size{0};
    std::thread thread;
};

TEST(BBCrashMachExceptionForwarding, FirstLiveMatchingPortAndItsInterface) {
    mach_port_t live = MACH_PORT_NULL;
    mach_port_allocate(self, MACH_PORT_RIGHT_RECEIVE, &live);
    mach_port_insert_right(self, live, live, MACH_MSG_TYPE_MAKE_SEND);
    const mach_exception_data_type_t codes[2] = {KERN_INVALID_ADDRESS, 0x1122334455667788};
    bbcrash_mach_exception_port_set set{};
    set.count = 3;
    set.masks[0] = EXC_MASK_BAD_ACCESS;  // null port: skipped
    set.ports[0] = MACH_PORT_NULL;
    set.masks[1] = EXC_MASK_ARITHMETIC;  // other type: skipped
    set.ports[1] = live;
    set.masks[2] = EXC_MASK_BAD_ACCESS;
    set.ports[2] = live;
    set.behaviors[2] = EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES;
    {
        OneShotResponder responder(live, KERN_SUCCESS);
        EXPECT_EQ(forward_mach_exception(self, mach_thread_self(), EXC_BAD_ACCESS, codes, 2, &set), KERN_SUCCESS);
        responder.wait();
        EXPECT_EQ(responder.id.load(), kMachExceptionRaiseId);
        EXPECT_EQ(responder.size.load(), 84u);
    }
    set.behaviors[2] = EXCEPTION_DEFAULT;
    {
        OneShotResponder responder(live, KERN_INVALID_ARGUMENT);
        EXPECT_EQ(forward_mach_exception(self, mach_thread_self(), EXC_BAD_ACCESS, codes, 2, &set),
                  KERN_INVALID_ARGUMENT)
            << "the handler's answer is the result";
        responder.wait();
        EXPECT_EQ(responder.id.load(), kExceptionRaiseId);
        EXPECT_EQ(responder.size.load(), 76u) << "32-bit codes";
    }

    // State behaviours read the thread's state first: a thread that is not
    // stopped has none, and that failure is the result.
    set.behaviors[2] = EXCEPTION_STATE;
    set.flavors[2] = x86_THREAD_STATE64;
    EXPECT_EQ(forward_mach_exception(self, mach_thread_self(), EXC_BAD_ACCESS, codes, 2, &set), KERN_INVALID_ARGUMENT);
    std::atomic<bool> stop{false};
    std::atomic<thread_t> otherThread{0};
    std::thread other([&] {
        otherThread = mach_thread_self();
        while (!stop) {}
    });
    while (otherThread.load() == 0) std::this_thread::yield();
    const thread_t otherPort = otherThread.load();
    ASSERT_EQ(thread_suspend(otherPort), KERN_SUCCESS);
    {
        // (A success answer of a state request must carry a state; an
        // error answer need not.)
        OneShotResponder responder(live, KERN_INVALID_ADDRESS);
        EXPECT_EQ(forward_mach_exception(self, otherPort, EXC_BAD_ACCESS, codes, 2, &set), KERN_INVALID_ADDRESS);
        responder.wait();
        EXPECT_EQ(responder.id.load(), kExceptionRaiseStateId);
        EXPECT_EQ(responder.size.load(), 24u + 8 + 8 + 8 + 8 + x86_THREAD_STATE64_COUNT * 4);
    }
    thread_resume(otherPort);
    stop = true;
    other.join();

    set.behaviors[2] = 4;
    EXPECT_EQ(forward_mach_exception(self, mach_thread_self(), EXC_BAD_ACCESS, codes, 2, &set), KERN_FAILURE);
    // No entry for the type, and types outside 1..13, are not forwarded.
    EXPECT_EQ(forward_mach_exception(self, mach_thread_self(), EXC_BREAKPOINT, codes, 2, &set), KERN_FAILURE);
    set.masks[2] = 0xffffffffu;
    set.behaviors[2] = EXCEPTION_DEFAULT;
    EXPECT_EQ(forward_mach_exception(self, mach_thread_self(), 33, codes, 2, &set), KERN_FAILURE);
    EXPECT_EQ(forward_mach_exception(self, mach_thread_self(), 0, codes, 2, &set), KERN_FAILURE);

    // A dead port is skipped like a null one.
    mach_port_mod_refs(self, live, MACH_PORT_RIGHT_RECEIVE, -1);
    set.ports[2] = MACH_PORT_DEAD;
    EXPECT_EQ(forward_mach_exception(self, mach_thread_self(), EXC_BAD_ACCESS, codes, 2, &set), KERN_FAILURE);
    mach_port_deallocate(self, live);
}

TEST(BBCrashMachExceptionMapping, SignalsOfExceptions) {
    struct Row {
        exception_type_t type;
        int64_t code0;
        int signo;
        int code;
    };
    const Row rows[] = {
        {EXC_BAD_ACCESS, KERN_INVALID_ADDRESS, 11, 1},
        {EXC_BAD_ACCESS, KERN_PROTECTION_FAILURE, 10, 2},
        {EXC_BAD_INSTRUCTION, 1, 4, 0},
        {EXC_ARITHMETIC, 1, 8, 0},
        {EXC_EMULATION, 0, 7, 0},
        {EXC_SOFTWARE, 0x10000, 12, 0},
        {EXC_SOFTWARE, 0x10001, 13, 0},
        {EXC_SOFTWARE, 0x10002, 6, 0},
        {EXC_SOFTWARE, 0x10003, 9, 0},
        {EXC_SOFTWARE, 5, 6, 0},
        {EXC_BREAKPOINT, 2, 5, 1},
    };
    for (const Row &row : rows) {
        const mach_exception_data_type_t codes[2] = {row.code0, 0xabc};
        int signo = 0, code = -1;
        uintptr_t address = 0;
        ASSERT_TRUE(
            map_mach_exception_to_signal(row.type, codes, 2, BBCRASH_MACH_CPU_TYPE_ANY, &signo, &code, &address));
        EXPECT_EQ(signo, row.signo) << "type " << row.type << " code " << row.code0;
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(address, 0xabcu);
    }
    const mach_exception_data_type_t codes[2] = {1, 2};
    int signo, code;
    uintptr_t address;
    EXPECT_FALSE(
        map_mach_exception_to_signal(EXC_BAD_ACCESS, codes, 1, BBCRASH_MACH_CPU_TYPE_ANY, &signo, &code, &address));
    EXPECT_FALSE(
        map_mach_exception_to_signal(EXC_SYSCALL, codes, 2, BBCRASH_MACH_CPU_TYPE_ANY, &signo, &code, &address));
    EXPECT_FALSE(map_mach_exception_to_signal(0, codes, 2, BBCRASH_MACH_CPU_TYPE_ANY, &signo, &code, &address));
}

TEST(BBCrashMachExceptionPortSet, HoldsReferencesForItsPorts) {
    mach_port_t port = MACH_PORT_NULL;
    mach_port_allocate(self, MACH_PORT_RIGHT_RECEIVE, &port);
    mach_port_insert_right(self, port, port, MACH_MSG_TYPE_MAKE_SEND);
    auto refs = [port] {
        mach_port_urefs_t count = 0;
        mach_port_get_refs(self, port, MACH_PORT_RIGHT_SEND, &count);
        return count;
    };
    {
        // As a kernel call hands it over: the set keeps a reference of its
        // own per port object and gives the handed-over one back.
        mach_port_mod_refs(self, port, MACH_PORT_RIGHT_SEND, 1);
        bbcrash_mach_exception_port_set state{};
        state.count = 1;
        state.masks[0] = EXC_MASK_BAD_ACCESS;
        state.ports[0] = port;
        state.behaviors[0] = EXCEPTION_STATE;
        state.flavors[0] = x86_THREAD_STATE64;
        BBCrashMachExceptionPortSet set(state);
        EXPECT_EQ(refs(), 2u);
        ASSERT_EQ(set.set().size(), 1u);
        EXPECT_EQ(set.set()[0]->behavior(), EXCEPTION_STATE);
        BBCrashMachExceptionPortSet copy(set.set());
        EXPECT_EQ(copy.asyncSafeRepresentation().ports[0], port);
        EXPECT_EQ(copy.asyncSafeRepresentation().flavors[0], x86_THREAD_STATE64);
    }
    EXPECT_EQ(refs(), 1u);

    // A swap hands out the replaced rights even when the caller does not
    // keep the previous set; they are given back, not leaked.
    EXPECT_EQ(runInChild([port, &refs] {
                  BBCrashMachExceptionPort first(port, EXC_MASK_BAD_ACCESS, EXCEPTION_DEFAULT, 0);
                  std::shared_ptr<const platform::Error> error;
                  THREAD_CHILD_CHECK(first.registerForThread(mach_thread_self(), nullptr, &error), "");
                  const mach_port_urefs_t registered = refs();
                  BBCrashMachExceptionPort second(MACH_PORT_NULL, EXC_MASK_BAD_ACCESS, EXCEPTION_DEFAULT, 0);
                  THREAD_CHILD_CHECK(second.registerForThread(mach_thread_self(), nullptr, &error), "");
                  THREAD_CHILD_CHECK(refs() == registered,
                                     std::to_string(refs()) + " vs " + std::to_string(registered));
                  return std::string();
              }),
              "");
    mach_port_deallocate(self, port);
    mach_port_mod_refs(self, port, MACH_PORT_RIGHT_RECEIVE, -1);
}

}  // namespace
