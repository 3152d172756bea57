// Crash path: the fault handler and the engine's forwarding call these.
// Messages are built on the stack; the reply port comes from the static
// port space and is destroyed again before returning.
#include "platform/mach/exception_raise.h"

#include <cstring>

namespace platform::mach {
namespace {

constexpr mach_msg_size_t kHeaderAndPorts =
    sizeof(mach_msg_header_t) + sizeof(mach_msg_body_t) + 2 * sizeof(mach_msg_port_descriptor_t);
// A reply with an error only: header, NDR, result.
constexpr mach_msg_size_t kShortReplySize = sizeof(mach_msg_header_t) + sizeof(NDR_record_t) + sizeof(kern_return_t);
// A state reply: the short reply, flavour, state count, then the state.
constexpr mach_msg_size_t kStateReplyFixedSize = kShortReplySize + 2 * sizeof(natural_t);

struct Request {
    bool identity;  // carries the thread and task ports
    thread_t thread;
    task_t task;
    exception_type_t exception;
    const void *codes;
    size_t codeSize;  // 4 or 8
    mach_msg_type_number_t codeCnt;
    bool withState;
    thread_state_flavor_t *flavor;
    const natural_t *oldState;
    mach_msg_type_number_t oldStateCnt;
    natural_t *newState;
    mach_msg_type_number_t *newStateCnt;
};

// Appends bytes to a message under construction.
class Writer {
public:
    explicit Writer(unsigned char *buffer) : buffer_(buffer) {}
    void put(const void *bytes, size_t length) {
        std::memcpy(buffer_ + size_, bytes, length);
        size_ += length;
    }
    template <typename T>
    void put(const T &value) {
        put(&value, sizeof value);
    }
    mach_msg_size_t size() const { return static_cast<mach_msg_size_t>(size_); }

private:
    unsigned char *buffer_;
    size_t size_ = 0;
};

mach_msg_port_descriptor_t portDescriptor(mach_port_t name) {
    mach_msg_port_descriptor_t descriptor;
    std::memset(&descriptor, 0, sizeof descriptor);
    descriptor.name = name;
    descriptor.disposition = MACH_MSG_TYPE_COPY_SEND;
    descriptor.type = MACH_MSG_PORT_DESCRIPTOR;
    return descriptor;
}

kern_return_t readReply(const unsigned char *buffer, mach_msg_id_t expectedId, const Request &request) {
    mach_msg_header_t header;
    std::memcpy(&header, buffer, sizeof header);
    if (header.msgh_id == MACH_NOTIFY_SEND_ONCE) return KERN_FAILURE;  // the handler dropped the reply right
    if (header.msgh_id != expectedId || (header.msgh_bits & MACH_MSGH_BITS_COMPLEX) ||
        header.msgh_size < kShortReplySize) {
        return MIG_REPLY_MISMATCH;
    }
    kern_return_t result;
    std::memcpy(&result, buffer + sizeof header + sizeof(NDR_record_t), sizeof result);
    if (!request.withState) return header.msgh_size == kShortReplySize ? result : MIG_REPLY_MISMATCH;
    if (result != KERN_SUCCESS) return result;
    if (header.msgh_size < kStateReplyFixedSize) return MIG_REPLY_MISMATCH;
    natural_t flavorAndCount[2];
    std::memcpy(flavorAndCount, buffer + kShortReplySize, sizeof flavorAndCount);
    const mach_msg_type_number_t count = flavorAndCount[1];
    if (count > *request.newStateCnt || count > THREAD_STATE_MAX ||
        header.msgh_size != kStateReplyFixedSize + count * sizeof(natural_t)) {
        return MIG_REPLY_MISMATCH;
    }
    *request.flavor = static_cast<thread_state_flavor_t>(flavorAndCount[0]);
    std::memcpy(request.newState, buffer + kStateReplyFixedSize, count * sizeof(natural_t));
    *request.newStateCnt = count;
    return KERN_SUCCESS;
}

kern_return_t raise(mach_port_t port, mach_msg_id_t id, const Request &request) {
    if (request.codeCnt > EXCEPTION_CODE_MAX) return MIG_ARRAY_TOO_LARGE;
    if (request.withState &&
        (request.oldStateCnt > THREAD_STATE_MAX || request.flavor == nullptr || request.newState == nullptr ||
         request.newStateCnt == nullptr || (request.oldStateCnt > 0 && request.oldState == nullptr))) {
        return request.oldStateCnt > THREAD_STATE_MAX ? MIG_ARRAY_TOO_LARGE : MIG_BAD_ARGUMENTS;
    }
    mach_port_t replyPort = MACH_PORT_NULL;
    kern_return_t kr = mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &replyPort);
    if (kr != KERN_SUCCESS) return kr;

    // Large enough for either direction: header, ports, NDR, type, codes,
    // flavour, count and the largest state, plus the trailer.
    alignas(8) unsigned char buffer[kHeaderAndPorts + 8 + 8 + EXCEPTION_CODE_MAX * 8 + 8 +
                                    THREAD_STATE_MAX * sizeof(natural_t) + sizeof(mach_msg_trailer_t)];
    Writer out(buffer);
    mach_msg_header_t header;
    std::memset(&header, 0, sizeof header);
    header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE) |
                       (request.identity ? MACH_MSGH_BITS_COMPLEX : 0);
    header.msgh_remote_port = port;
    header.msgh_local_port = replyPort;
    header.msgh_id = id;
    out.put(header);
    if (request.identity) {
        out.put(mach_msg_body_t{2});
        out.put(portDescriptor(request.thread));
        out.put(portDescriptor(request.task));
    }
    out.put(NDR_record);
    out.put(request.exception);
    out.put(request.codeCnt);
    out.put(request.codes, request.codeCnt * request.codeSize);
    if (request.withState) {
        out.put(*request.flavor);
        out.put(request.oldStateCnt);
        out.put(request.oldState, request.oldStateCnt * sizeof(natural_t));
    }
    const mach_msg_size_t size = out.size();
    reinterpret_cast<mach_msg_header_t *>(buffer)->msgh_size = size;

    const mach_msg_return_t mr = mach_msg(reinterpret_cast<mach_msg_header_t *>(buffer),
                                          MACH_SEND_MSG | MACH_RCV_MSG | MACH_SEND_TIMEOUT | MACH_RCV_TIMEOUT, size,
                                          sizeof buffer, replyPort, kExceptionReplyTimeoutMs, MACH_PORT_NULL);
    kr = mr == MACH_MSG_SUCCESS ? readReply(buffer, id + 100, request) : mr;
    mach_port_mod_refs(mach_task_self(), replyPort, MACH_PORT_RIGHT_RECEIVE, -1);
    return kr;
}

Request identityRequest(bool identity, thread_t thread, task_t task, exception_type_t exception, const void *codes,
                        size_t codeSize, mach_msg_type_number_t codeCnt) {
    return Request{identity, thread,  task,    exception, codes,   codeSize, codeCnt,
                   false,    nullptr, nullptr, 0,         nullptr, nullptr};
}

Request stateRequest(bool identity, thread_t thread, task_t task, exception_type_t exception, const void *codes,
                     size_t codeSize, mach_msg_type_number_t codeCnt, thread_state_flavor_t *flavor,
                     const natural_t *oldState, mach_msg_type_number_t oldStateCnt, natural_t *newState,
                     mach_msg_type_number_t *newStateCnt) {
    return Request{identity, thread, task,     exception,   codes,    codeSize,   codeCnt,
                   true,     flavor, oldState, oldStateCnt, newState, newStateCnt};
}

}  // namespace

kern_return_t mach_exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                                   const mach_exception_data_type_t *code, mach_msg_type_number_t codeCnt) {
    return raise(port, kMachExceptionRaiseId, identityRequest(true, thread, task, exception, code, 8, codeCnt));
}

kern_return_t mach_exception_raise_state(mach_port_t port, exception_type_t exception,
                                         const mach_exception_data_type_t *code, mach_msg_type_number_t codeCnt,
                                         thread_state_flavor_t *flavor, const natural_t *oldState,
                                         mach_msg_type_number_t oldStateCnt, natural_t *newState,
                                         mach_msg_type_number_t *newStateCnt) {
    return raise(port, kMachExceptionRaiseStateId,
                 stateRequest(false, MACH_PORT_NULL, MACH_PORT_NULL, exception, code, 8, codeCnt, flavor, oldState,
                              oldStateCnt, newState, newStateCnt));
}

kern_return_t mach_exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task,
                                                  exception_type_t exception, const mach_exception_data_type_t *code,
                                                  mach_msg_type_number_t codeCnt, thread_state_flavor_t *flavor,
                                                  const natural_t *oldState, mach_msg_type_number_t oldStateCnt,
                                                  natural_t *newState, mach_msg_type_number_t *newStateCnt) {
    return raise(port, kMachExceptionRaiseStateIdentityId,
                 stateRequest(true, thread, task, exception, code, 8, codeCnt, flavor, oldState, oldStateCnt, newState,
                              newStateCnt));
}

kern_return_t exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                              const exception_data_type_t *code, mach_msg_type_number_t codeCnt) {
    return raise(port, kExceptionRaiseId, identityRequest(true, thread, task, exception, code, 4, codeCnt));
}

kern_return_t exception_raise_state(mach_port_t port, exception_type_t exception, const exception_data_type_t *code,
                                    mach_msg_type_number_t codeCnt, thread_state_flavor_t *flavor,
                                    const natural_t *oldState, mach_msg_type_number_t oldStateCnt, natural_t *newState,
                                    mach_msg_type_number_t *newStateCnt) {
    return raise(port, kExceptionRaiseStateId,
                 stateRequest(false, MACH_PORT_NULL, MACH_PORT_NULL, exception, code, 4, codeCnt, flavor, oldState,
                              oldStateCnt, newState, newStateCnt));
}

kern_return_t exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                                             const exception_data_type_t *code, mach_msg_type_number_t codeCnt,
                                             thread_state_flavor_t *flavor, const natural_t *oldState,
                                             mach_msg_type_number_t oldStateCnt, natural_t *newState,
                                             mach_msg_type_number_t *newStateCnt) {
    return raise(port, kExceptionRaiseStateIdentityId,
                 stateRequest(true, thread, task, exception, code, 4, codeCnt, flavor, oldState, oldStateCnt, newState,
                              newStateCnt));
}

}  // namespace platform::mach
