// The exception server's thread runs on the crash path: while it handles a
// request the callback writes the report with every other thread suspended.
// The loop itself allocates nothing but its receive buffer (whole pages from
// the kernel) and takes `lock` only to hand over its state at start and
// stop, never while a request is handled.
#include "BBCrashMachExceptionServer.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include "BBCrashMachExceptionPort.h"
#include "bbcrash_error_object.h"
#include "platform/mach/mach_msg.h"
#include "platform/mach/thread_list.h"
#include "platform/mach/vm_allocate.h"
#include "platform/mach/vm_page.h"
#include "platform/syslog/SystemLog.h"

using namespace platform::mach;

struct bbcrash_exception_server_context {
    thread_t server_thread;
    mach_port_t server_port;
    mach_port_t notify_port;
    mach_port_t port_set;
    bbcrash_mach_exception_callback_t callback;
    void *callback_context;
    pthread_mutex_t lock;
    pthread_cond_t server_cond;
    std::atomic<bool> server_should_stop;
    bool server_stop_done;
};

namespace {

constexpr mach_msg_id_t kStopMessageId = static_cast<mach_msg_id_t>(0xdeadbeef);
// Header 24, body 4, two port descriptors of 12, NDR 8, type 4, count 4:
// the codes start here, and a request with two codes is 84 bytes.
constexpr mach_msg_size_t kRequestCodesOffset = 68;
constexpr mach_msg_size_t kRequestSize = kRequestCodesOffset + 2 * sizeof(mach_exception_data_type_t);
// How long a stop waits for the thread before giving up on it.
constexpr int kStopTimeoutSeconds = 5;

struct ExceptionRequest {
    mach_msg_header_t head;
    mach_msg_body_t body;
    mach_msg_port_descriptor_t thread;
    mach_msg_port_descriptor_t task;
    NDR_record_t ndr;
    exception_type_t exception;
    mach_msg_type_number_t codeCnt;
    // codes follow, unaligned
};
static_assert(sizeof(ExceptionRequest) == kRequestCodesOffset);

struct ExceptionReply {
    mach_msg_header_t head;
    NDR_record_t ndr;
    kern_return_t retCode;
};
static_assert(sizeof(ExceptionReply) == 36);

// Writes one line to standard error without locking stdio.
void writeError(const char *format, unsigned value) {
    char line[96];
    const int n = std::snprintf(line, sizeof line, format, value);
    if (n > 0) {
        ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
        static_cast<void>(ignored);
    }
}

mach_vm_size_t roundToPages(mach_vm_size_t size) {
    const mach_vm_size_t mask = vm_page_mask();
    return (size + mask) & ~mask;
}

// Marks the loop as ended and wakes a stop that waits for it. The context
// is not touched afterwards: the stopping thread may free it at once.
void finishLoop(bbcrash_exception_server_context *context) {
    pthread_mutex_lock(&context->lock);
    context->server_stop_done = true;
    pthread_cond_broadcast(&context->server_cond);
    pthread_mutex_unlock(&context->lock);
}

kern_return_t handleRequest(bbcrash_exception_server_context *context, mach_msg_header_t *request) {
    if (request->msgh_size < kRequestSize) return KERN_FAILURE;
    const auto *fixed = reinterpret_cast<const ExceptionRequest *>(request);
    // The count comes from the sender: never more codes than the message holds.
    mach_msg_type_number_t count = fixed->codeCnt;
    const mach_msg_type_number_t room = (request->msgh_size - kRequestCodesOffset) / sizeof(mach_exception_data_type_t);
    if (count > room) count = room;
    mach_exception_data_type_t codes[kMachMsgMaxSize / sizeof(mach_exception_data_type_t)];
    std::memcpy(codes, reinterpret_cast<const char *>(request) + kRequestCodesOffset,
                count * sizeof(mach_exception_data_type_t));
    return context->callback(fixed->task.name, fixed->thread.name, fixed->exception, codes, count,
                             context->callback_context);
}

void sendReply(const mach_msg_header_t *request, kern_return_t result) {
    ExceptionReply reply;
    std::memset(&reply, 0, sizeof reply);
    reply.head.msgh_bits = MACH_MSGH_BITS(MACH_MSGH_BITS_REMOTE(request->msgh_bits), 0);
    reply.head.msgh_size = sizeof reply;
    reply.head.msgh_remote_port = request->msgh_remote_port;
    reply.head.msgh_local_port = MACH_PORT_NULL;
    reply.head.msgh_id = request->msgh_id + 100;
    reply.ndr = NDR_record;
    reply.retCode = result;
    // A request without a reply right (or one whose sender went away) gets
    // no answer; nothing else is to be done about it.
    mach_msg(&reply.head, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
}

void *exceptionServerThread(void *argument) {
    auto *context = static_cast<bbcrash_exception_server_context *>(argument);
    pthread_mutex_lock(&context->lock);
    context->server_thread = mach_thread_self();
    pthread_cond_broadcast(&context->server_cond);
    pthread_mutex_unlock(&context->lock);

    mach_vm_size_t size = roundToPages(kRequestSize);
    mach_vm_address_t buffer = 0;
    kern_return_t kr = mach_vm_allocate(mach_task_self(), &buffer, size, VM_FLAGS_ANYWHERE);
    if (kr != KERN_SUCCESS) {
        writeError("Unexpected error in vm_allocate(): %x\n", static_cast<unsigned>(kr));
        finishLoop(context);
        return nullptr;
    }
    for (;;) {
        auto *message = reinterpret_cast<mach_msg_header_t *>(buffer);
        const mach_msg_return_t mr =
            mach_msg(message, MACH_RCV_MSG | MACH_RCV_LARGE, 0, static_cast<mach_msg_size_t>(size), context->port_set,
                     MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
        if (mr == MACH_RCV_TOO_LARGE) {
            const mach_vm_size_t needed = roundToPages(message->msgh_size);
            mach_vm_deallocate(mach_task_self(), buffer, size);
            size = needed;
            buffer = 0;
            kr = mach_vm_allocate(mach_task_self(), &buffer, size, VM_FLAGS_ANYWHERE);
            if (kr != KERN_SUCCESS) {
                writeError("Unexpected error in vm_allocate(): 0x%x\n", static_cast<unsigned>(kr));
                finishLoop(context);
                return nullptr;
            }
            continue;
        }
        if (mr == MACH_RCV_INTERRUPTED) continue;
        if (mr != MACH_MSG_SUCCESS) {
            // A permanent failure (the port set is gone): receiving again
            // would only spin.
            writeError("Unexpected error in mach_msg(): 0x%x\n", static_cast<unsigned>(mr));
            break;
        }
        if (message->msgh_local_port == context->notify_port) {
            if (message->msgh_id == MACH_NOTIFY_NO_SENDERS) continue;
            if (message->msgh_id == kStopMessageId && context->server_should_stop.load()) break;
        }
        sendReply(message, handleRequest(context, message));
    }
    mach_vm_deallocate(mach_task_self(), buffer, size);
    finishLoop(context);
    return nullptr;
}

void releasePorts(bbcrash_exception_server_context *context) {
    const task_t self = mach_task_self();
    if (context->port_set != MACH_PORT_NULL) mach_port_mod_refs(self, context->port_set, MACH_PORT_RIGHT_PORT_SET, -1);
    if (context->server_port != MACH_PORT_NULL) {
        mach_port_mod_refs(self, context->server_port, MACH_PORT_RIGHT_RECEIVE, -1);
    }
    if (context->notify_port != MACH_PORT_NULL) {
        // Its own send right first, so that no dead name is left behind.
        mach_port_mod_refs(self, context->notify_port, MACH_PORT_RIGHT_SEND, -1);
        mach_port_mod_refs(self, context->notify_port, MACH_PORT_RIGHT_RECEIVE, -1);
    }
}

void freeContext(bbcrash_exception_server_context *context) {
    releasePorts(context);
    pthread_cond_destroy(&context->server_cond);
    pthread_mutex_destroy(&context->lock);
    delete context;
}

// Steps 3 to 6 of the start: the ports, the notification and the set.
bool setUpPorts(bbcrash_exception_server_context *context, std::shared_ptr<const platform::Error> *error) {
    const task_t self = mach_task_self();
    kern_return_t kr = mach_port_allocate(self, MACH_PORT_RIGHT_RECEIVE, &context->server_port);
    if (kr == KERN_SUCCESS) kr = mach_port_allocate(self, MACH_PORT_RIGHT_RECEIVE, &context->notify_port);
    if (kr != KERN_SUCCESS) {
        bbcrash_populate_mach_error(error, kr, "Failed to allocate exception server's port");
        return false;
    }
    kr = mach_port_insert_right(self, context->notify_port, context->notify_port, MACH_MSG_TYPE_MAKE_SEND);
    if (kr != KERN_SUCCESS) {
        bbcrash_populate_mach_error(error, kr, "Failed to add send right to exception server's port");
        return false;
    }
    mach_port_t previous = MACH_PORT_NULL;
    kr = mach_port_request_notification(self, context->server_port, MACH_NOTIFY_NO_SENDERS, 1, context->notify_port,
                                        MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous);
    if (kr != KERN_SUCCESS) {
        bbcrash_populate_mach_error(error, kr,
                                    "Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port");
        return false;
    }
    kr = mach_port_allocate(self, MACH_PORT_RIGHT_PORT_SET, &context->port_set);
    if (kr != KERN_SUCCESS) {
        bbcrash_populate_mach_error(error, kr, "Failed to allocate exception server's port set");
        return false;
    }
    kr = mach_port_move_member(self, context->server_port, context->port_set);
    if (kr != KERN_SUCCESS) {
        bbcrash_populate_mach_error(error, kr, "Failed to add exception server port to port set");
        return false;
    }
    kr = mach_port_move_member(self, context->notify_port, context->port_set);
    if (kr != KERN_SUCCESS) {
        bbcrash_populate_mach_error(error, kr, "Failed to add exception server notify port to port set");
        return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<BBCrashMachExceptionServer> BBCrashMachExceptionServer::make(
    bbcrash_mach_exception_callback_t callback, void *callbackContext, std::shared_ptr<const platform::Error> *error) {
    auto *context = new bbcrash_exception_server_context{};
    context->callback = callback;
    context->callback_context = callbackContext;

    int err = pthread_mutex_init(&context->lock, nullptr);
    if (err != 0) {
        bbcrash_populate_posix_error(error, err, "Mutex initialization failed");
        delete context;
        return nullptr;
    }
    pthread_condattr_t condAttr;
    pthread_condattr_init(&condAttr);
    pthread_condattr_setclock(&condAttr, CLOCK_MONOTONIC);
    err = pthread_cond_init(&context->server_cond, &condAttr);
    pthread_condattr_destroy(&condAttr);
    if (err != 0) {
        bbcrash_populate_posix_error(error, err, "Condition initialization failed");
        pthread_mutex_destroy(&context->lock);
        delete context;
        return nullptr;
    }
    // From here on a failure releases whatever was set up; no thread runs
    // yet, so nothing waits for a stop handshake.
    if (!setUpPorts(context, error)) {
        freeContext(context);
        return nullptr;
    }
    pthread_attr_t attr;
    err = pthread_attr_init(&attr);
    if (err != 0) {
        bbcrash_populate_posix_error(error, err, "Failed to initialize pthread_attr");
        freeContext(context);
        return nullptr;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    err = pthread_create(&thread, &attr, exceptionServerThread, context);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        bbcrash_populate_posix_error(error, err, "Failed to create exception server thread");
        freeContext(context);
        return nullptr;
    }
    // The thread records its own port first thing.
    pthread_mutex_lock(&context->lock);
    while (context->server_thread == MACH_PORT_NULL && !context->server_stop_done) {
        pthread_cond_wait(&context->server_cond, &context->lock);
    }
    pthread_mutex_unlock(&context->lock);
    return std::shared_ptr<BBCrashMachExceptionServer>(new BBCrashMachExceptionServer(context));
}

BBCrashMachExceptionServer::~BBCrashMachExceptionServer() {
    bbcrash_exception_server_context *context = serverContext_;
    context->server_should_stop.store(true);

    mach_msg_header_t stop;
    std::memset(&stop, 0, sizeof stop);
    stop.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0);
    stop.msgh_size = sizeof stop;
    stop.msgh_remote_port = context->notify_port;
    stop.msgh_id = kStopMessageId;

    pthread_mutex_lock(&context->lock);
    const bool ended = context->server_stop_done;
    pthread_mutex_unlock(&context->lock);
    if (!ended) {
        const mach_msg_return_t mr =
            mach_msg(&stop, MACH_SEND_MSG, sizeof stop, 0, MACH_PORT_NULL, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
        if (mr != MACH_MSG_SUCCESS) {
            char line[128];
            std::snprintf(line, sizeof line,
                          "[BBCrashReporter] Unexpected error sending termination message to background thread: %d",
                          mr);
            platform::SystemLog::write(line);
            return;
        }
    }
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kStopTimeoutSeconds;
    pthread_mutex_lock(&context->lock);
    int err = 0;
    while (!context->server_stop_done && err != ETIMEDOUT) {
        err = pthread_cond_timedwait(&context->server_cond, &context->lock, &deadline);
    }
    const bool stopped = context->server_stop_done;
    pthread_mutex_unlock(&context->lock);
    if (!stopped) {
        // The thread is stuck in a callback: it may still use the context,
        // so the context stays.
        platform::SystemLog::write("[BBCrashReporter] Exception server thread did not stop; leaving it running");
        return;
    }
    freeContext(context);
}

thread_t BBCrashMachExceptionServer::serverThread() const {
    pthread_mutex_lock(&serverContext_->lock);
    const thread_t thread = serverContext_->server_thread;
    pthread_mutex_unlock(&serverContext_->lock);
    return thread;
}

mach_port_t BBCrashMachExceptionServer::copySendRightForServerAndReturningError(
    std::shared_ptr<const platform::Error> *error) const {
    pthread_mutex_lock(&serverContext_->lock);
    const mach_port_t port = serverContext_->server_port;
    const kern_return_t kr = mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND);
    pthread_mutex_unlock(&serverContext_->lock);
    if (kr != KERN_SUCCESS) {
        bbcrash_populate_mach_error(error, kr, "Failed to insert Mach send right");
        return MACH_PORT_NULL;
    }
    return port;
}

std::shared_ptr<BBCrashMachExceptionPort> BBCrashMachExceptionServer::exceptionPortWithMask(
    exception_mask_t mask, std::shared_ptr<const platform::Error> *error) const {
    const mach_port_t port = copySendRightForServerAndReturningError(error);
    if (!MACH_PORT_VALID(port)) return nullptr;
    auto result = std::make_shared<BBCrashMachExceptionPort>(port, mask, EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES,
                                                             MACHINE_THREAD_STATE);
    mach_port_deallocate(mach_task_self(), port);
    return result;
}
