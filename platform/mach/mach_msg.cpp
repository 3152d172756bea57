// Crash path: sending and receiving run in signal handlers (exception
// delivery). Messages are copied into the static pool under the space lock;
// waits are futex waits outside it, bounded when the caller asks for it.
#include "platform/mach/mach_msg.h"

#include <cstring>

#include "platform/mach/port_space.h"
#include "platform/mach/thread_syscall.h"

namespace platform::mach {

const NDR_record_t NDR_record = {0, 0, 0, 0, 1, 0, 0, 0};

using namespace detail;

namespace {

constexpr mach_msg_size_t kComplexHeaderSize = sizeof(mach_msg_header_t) + sizeof(mach_msg_body_t);

// One right a message is to carry, checked before anything is taken.
struct RightPlan {
    mach_port_name_t name;  // the plain name carried when port is kNone
    uint32_t entry;
    uint32_t port;  // kNone: a plain name (null, dead, kernel object)
    mach_msg_type_name_t disposition;
};

// Rights a message takes from names, so that moving the same name twice is
// checked against what it holds.
struct Tally {
    uint32_t entries[kMaxDescriptors + 2];
    uint32_t taken[kMaxDescriptors + 2];
    uint32_t count = 0;

    uint32_t &of(uint32_t entry) {
        for (uint32_t i = 0; i < count; ++i) {
            if (entries[i] == entry) return taken[i];
        }
        entries[count] = entry;
        taken[count] = 0;
        return taken[count++];
    }
};

bool planRight(mach_port_name_t name, mach_msg_type_name_t disposition, bool destination, Tally &tally,
               RightPlan *plan) {
    plan->name = name;
    plan->entry = kNone;
    plan->port = kNone;
    plan->disposition = disposition;
    if (disposition < MACH_MSG_TYPE_MOVE_SEND || disposition > MACH_MSG_TYPE_MAKE_SEND_ONCE) return false;
    if (!MACH_PORT_VALID(name) || !inNameRange(name)) return !destination;
    const uint32_t entry = entryOf(name);
    if (entry == kNone) return false;
    const Entry &e = gEntries[entry];
    if (e.type & MACH_PORT_TYPE_DEAD_NAME) {
        // A right that died travels as a dead name; nothing receives it.
        plan->name = MACH_PORT_DEAD;
        return !destination;
    }
    switch (disposition) {
    case MACH_MSG_TYPE_MAKE_SEND:
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
        if ((e.type & MACH_PORT_TYPE_RECEIVE) == 0) return false;
        break;
    case MACH_MSG_TYPE_COPY_SEND:
        if ((e.type & MACH_PORT_TYPE_SEND) == 0 || e.urefs <= tally.of(entry)) return false;
        break;
    case MACH_MSG_TYPE_MOVE_SEND: {
        uint32_t &taken = tally.of(entry);
        if ((e.type & MACH_PORT_TYPE_SEND) == 0 || e.urefs <= taken) return false;
        ++taken;
        break;
    }
    default: {  // MOVE_SEND_ONCE
        uint32_t &taken = tally.of(entry);
        if (e.type != MACH_PORT_TYPE_SEND_ONCE || taken != 0) return false;
        taken = 1;
        break;
    }
    }
    plan->entry = entry;
    plan->port = e.port;
    return true;
}

bool isSendOnce(mach_msg_type_name_t disposition) {
    return disposition == MACH_MSG_TYPE_MOVE_SEND_ONCE || disposition == MACH_MSG_TYPE_MAKE_SEND_ONCE;
}

// Moves a planned right into the message; returns the right it now is.
mach_msg_type_name_t takeRight(const RightPlan &plan) {
    Port &p = gPorts[plan.port];
    switch (plan.disposition) {
    case MACH_MSG_TYPE_MAKE_SEND:
        ++p.mscount;
        retainSend(plan.port);
        return MACH_MSG_TYPE_PORT_SEND;
    case MACH_MSG_TYPE_COPY_SEND: retainSend(plan.port); return MACH_MSG_TYPE_PORT_SEND;
    case MACH_MSG_TYPE_MOVE_SEND: {
        Entry &e = gEntries[plan.entry];
        if (--e.urefs == 0) e.type &= ~MACH_PORT_TYPE_SEND;
        ++p.refs;  // the right moves from the name into the message
        return MACH_MSG_TYPE_PORT_SEND;
    }
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
        ++p.sorights;
        ++p.refs;
        return MACH_MSG_TYPE_PORT_SEND_ONCE;
    default:  // MOVE_SEND_ONCE: the name's right moves into the message
        freeEntry(plan.entry);
        return MACH_MSG_TYPE_PORT_SEND_ONCE;
    }
}

// Hands a right from a message to the space: its name, MACH_PORT_DEAD when
// its port died meanwhile.
mach_port_name_t giveRight(uint32_t port, mach_msg_type_name_t type) {
    Port &p = gPorts[port];
    if (!p.alive) {
        releaseRight(port, type);
        return MACH_PORT_DEAD;
    }
    if (type == MACH_MSG_TYPE_PORT_SEND) {
        Entry &e = gEntries[p.entry];
        e.type |= MACH_PORT_TYPE_SEND;
        ++e.urefs;
        dropRef(port);
        return nameOf(p.entry);
    }
    const uint32_t entry = allocateEntry();
    if (entry == kNone) {
        releaseSendOnce(port);
        return MACH_PORT_NULL;
    }
    gEntries[entry].type = MACH_PORT_TYPE_SEND_ONCE;
    gEntries[entry].port = port;
    return nameOf(entry);
}

mach_msg_type_name_t carriedType(mach_msg_type_name_t disposition) {
    return isSendOnce(disposition) ? MACH_MSG_TYPE_PORT_SEND_ONCE : MACH_MSG_TYPE_PORT_SEND;
}

mach_msg_return_t sendMessage(mach_msg_header_t *msg, mach_msg_option_t option, mach_msg_size_t size,
                              mach_msg_timeout_t timeout) {
    if (size < sizeof(mach_msg_header_t) || size % 4 != 0) return MACH_SEND_MSG_TOO_SMALL;
    if (size > kMachMsgMaxSize) return MACH_SEND_TOO_LARGE;
    const bool complex = (msg->msgh_bits & MACH_MSGH_BITS_COMPLEX) != 0;
    uint32_t descriptorCount = 0;
    const mach_msg_port_descriptor_t *descriptors = nullptr;
    if (complex) {
        if (size < kComplexHeaderSize) return MACH_SEND_MSG_TOO_SMALL;
        descriptorCount = reinterpret_cast<const mach_msg_body_t *>(msg + 1)->msgh_descriptor_count;
        if (descriptorCount > kMaxDescriptors) return MACH_SEND_TOO_LARGE;
        if (kComplexHeaderSize + descriptorCount * sizeof(mach_msg_port_descriptor_t) > size) {
            return MACH_SEND_MSG_TOO_SMALL;
        }
        descriptors = reinterpret_cast<const mach_msg_port_descriptor_t *>(reinterpret_cast<const char *>(msg) +
                                                                           kComplexHeaderSize);
        for (uint32_t i = 0; i < descriptorCount; ++i) {
            if (descriptors[i].type != MACH_MSG_PORT_DESCRIPTOR) return MACH_SEND_INVALID_TYPE;
        }
    }
    const struct timespec deadline = rawDeadlineAfterMs(timeout);
    const bool bounded = (option & MACH_SEND_TIMEOUT) != 0;

    for (;;) {
        const uint32_t seen = changeCount();
        if (!lockSpace()) return MACH_SEND_INTERRUPTED;
        Tally tally;
        RightPlan dest;
        RightPlan reply;
        RightPlan carried[kMaxDescriptors];
        mach_msg_return_t result = MACH_MSG_SUCCESS;
        if (!planRight(msg->msgh_remote_port, MACH_MSGH_BITS_REMOTE(msg->msgh_bits), true, tally, &dest) ||
            !gPorts[dest.port].alive) {
            result = MACH_SEND_INVALID_DEST;
        } else if (msg->msgh_local_port != MACH_PORT_NULL &&
                   !planRight(msg->msgh_local_port, MACH_MSGH_BITS_LOCAL(msg->msgh_bits), false, tally, &reply)) {
            result = MACH_SEND_INVALID_REPLY;
        }
        for (uint32_t i = 0; result == MACH_MSG_SUCCESS && i < descriptorCount; ++i) {
            if (!planRight(descriptors[i].name, descriptors[i].disposition, false, tally, &carried[i])) {
                result = MACH_SEND_INVALID_RIGHT;
            }
        }
        if (result != MACH_MSG_SUCCESS) {
            unlockSpace();
            return result;
        }
        // Send-once messages (replies, notifications) are not held back by
        // the queue limit, only by the queue's size.
        const Port &target = gPorts[dest.port];
        const uint32_t limit = isSendOnce(dest.disposition) ? kQueueCapacity : target.qlimit;
        const uint32_t index = target.count < limit ? takeMessage() : kNone;
        if (index == kNone) {
            const bool poolEmpty = target.count < limit;
            unlockSpace();
            if (poolEmpty && !bounded) return MACH_SEND_NO_BUFFER;
            if (!waitForChange(seen, bounded ? &deadline : nullptr)) return MACH_SEND_TIMED_OUT;
            continue;
        }

        Message &m = message(index);
        std::memcpy(m.data, msg, size);
        m.size = size;
        auto *stored = reinterpret_cast<mach_msg_header_t *>(m.data);
        stored->msgh_size = size;
        m.destPort = dest.port;
        m.destType = takeRight(dest);
        m.replyPort = kNone;
        m.replyType = 0;
        if (msg->msgh_local_port != MACH_PORT_NULL) {
            if (reply.port != kNone) {
                m.replyPort = reply.port;
                m.replyType = takeRight(reply);
            } else {
                m.replyType = carriedType(reply.disposition);
                stored->msgh_local_port = reply.name;
            }
        }
        auto *storedDescriptors = reinterpret_cast<mach_msg_port_descriptor_t *>(m.data + kComplexHeaderSize);
        for (uint32_t i = 0; i < descriptorCount; ++i) {
            if (carried[i].port != kNone) {
                storedDescriptors[i].disposition = takeRight(carried[i]);
                storedDescriptors[i].name = kInTransitBit | carried[i].port;
            } else {
                storedDescriptors[i].disposition = carriedType(carried[i].disposition);
                storedDescriptors[i].name = carried[i].name;
            }
        }
        enqueue(dest.port, index);
        unlockSpace();
        return MACH_MSG_SUCCESS;
    }
}

// The oldest message for a receive on `entry` (a port or a set), and the
// port it is queued on.
uint32_t findMessage(uint32_t entry, uint32_t *port) {
    const Entry &e = gEntries[entry];
    if (e.type & MACH_PORT_TYPE_RECEIVE) {
        const Port &p = gPorts[e.port];
        *port = e.port;
        return p.count > 0 ? p.queue[p.head] : kNone;
    }
    uint32_t best = kNone;
    for (uint32_t i = 0; i < kMachPortSpaceSize; ++i) {
        const Port &p = gPorts[i];
        if (!p.inUse || !p.alive || p.set != entry || p.count == 0) continue;
        const uint32_t candidate = p.queue[p.head];
        if (best == kNone || message(candidate).seq < message(best).seq) {
            best = candidate;
            *port = i;
        }
    }
    return best;
}

void dequeue(uint32_t port) {
    Port &p = gPorts[port];
    p.head = (p.head + 1) % kQueueCapacity;
    --p.count;
    noteChange();
}

void deliver(uint32_t index, uint32_t port, mach_msg_header_t *msg) {
    Message &m = message(index);
    std::memcpy(msg, m.data, m.size);
    msg->msgh_local_port = nameOf(gPorts[port].entry);
    // The destination right is used up by the delivery.
    if (m.destType == MACH_MSG_TYPE_PORT_SEND) {
        releaseSend(port);
    } else {
        --gPorts[port].sorights;
        dropRef(port);
    }
    const auto *sent = reinterpret_cast<const mach_msg_header_t *>(m.data);
    mach_msg_type_name_t replyType = 0;
    msg->msgh_remote_port = MACH_PORT_NULL;
    if (m.replyPort != kNone) {
        msg->msgh_remote_port = giveRight(m.replyPort, m.replyType);
        replyType = m.replyType;
    } else if (sent->msgh_local_port != MACH_PORT_NULL) {
        msg->msgh_remote_port = sent->msgh_local_port;
        replyType = m.replyType;
    }
    msg->msgh_bits = (sent->msgh_bits & MACH_MSGH_BITS_COMPLEX) | MACH_MSGH_BITS(replyType, m.destType);
    if (sent->msgh_bits & MACH_MSGH_BITS_COMPLEX) {
        const uint32_t count = reinterpret_cast<const mach_msg_body_t *>(sent + 1)->msgh_descriptor_count;
        auto *descriptors =
            reinterpret_cast<mach_msg_port_descriptor_t *>(reinterpret_cast<char *>(msg) + kComplexHeaderSize);
        for (uint32_t i = 0; i < count; ++i) {
            if (descriptors[i].name & kInTransitBit) {
                descriptors[i].name = giveRight(descriptors[i].name & ~kInTransitBit, descriptors[i].disposition);
            }
        }
    }
    const mach_msg_trailer_t trailer = {0, sizeof(mach_msg_trailer_t)};
    std::memcpy(reinterpret_cast<char *>(msg) + m.size, &trailer, sizeof trailer);
    msg->msgh_size = m.size;
    putMessage(index);
}

mach_msg_return_t receiveMessage(mach_msg_header_t *msg, mach_msg_option_t option, mach_msg_size_t rcvSize,
                                 mach_port_name_t rcvName, mach_msg_timeout_t timeout) {
    const struct timespec deadline = rawDeadlineAfterMs(timeout);
    const bool bounded = (option & MACH_RCV_TIMEOUT) != 0;
    const auto self = static_cast<uint32_t>(rawGettid());
    for (;;) {
        const uint32_t seen = changeCount();
        if (!lockSpace()) return MACH_RCV_INTERRUPTED;
        const uint32_t entry = entryOf(rcvName);
        if (entry == kNone || (gEntries[entry].type & (MACH_PORT_TYPE_RECEIVE | MACH_PORT_TYPE_PORT_SET)) == 0) {
            unlockSpace();
            return MACH_RCV_INVALID_NAME;
        }
        if ((gEntries[entry].type & MACH_PORT_TYPE_RECEIVE) && gPorts[gEntries[entry].port].set != kNone) {
            unlockSpace();
            return MACH_RCV_IN_SET;
        }
        if (gEntries[entry].type & MACH_PORT_TYPE_RECEIVE) {
            gPorts[gEntries[entry].port].receiver = self;
        } else {
            gEntries[entry].receiver = self;
        }
        uint32_t port = kNone;
        const uint32_t index = findMessage(entry, &port);
        if (index == kNone) {
            unlockSpace();
            if (!waitForChange(seen, bounded ? &deadline : nullptr)) return MACH_RCV_TIMED_OUT;
            continue;
        }
        const mach_msg_size_t needed = message(index).size + sizeof(mach_msg_trailer_t);
        if (needed > rcvSize) {
            if (rcvSize >= sizeof(mach_msg_header_t)) msg->msgh_size = needed;
            if ((option & MACH_RCV_LARGE) == 0) {
                dequeue(port);
                destroyMessage(index);
            }
            unlockSpace();
            return MACH_RCV_TOO_LARGE;
        }
        dequeue(port);
        deliver(index, port, msg);
        unlockSpace();
        return MACH_MSG_SUCCESS;
    }
}

}  // namespace

mach_msg_return_t mach_msg(mach_msg_header_t *msg, mach_msg_option_t option, mach_msg_size_t sendSize,
                           mach_msg_size_t rcvSize, mach_port_name_t rcvName, mach_msg_timeout_t timeout,
                           mach_port_name_t /*notify*/) {
    if (msg == nullptr) return (option & MACH_SEND_MSG) ? MACH_SEND_INVALID_DATA : MACH_RCV_INVALID_NAME;
    if (option & MACH_SEND_MSG) {
        const mach_msg_return_t result = sendMessage(msg, option, sendSize, timeout);
        if (result != MACH_MSG_SUCCESS) return result;
    }
    if (option & MACH_RCV_MSG) return receiveMessage(msg, option, rcvSize, rcvName, timeout);
    return MACH_MSG_SUCCESS;
}

}  // namespace platform::mach
