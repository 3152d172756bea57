// Crash path: see port_space.h. Static tables, one owner-checked futex lock,
// raw system calls; nothing allocates.
#include "platform/mach/port_space.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/mach/thread_syscall.h"

namespace platform::mach::detail {

Port gPorts[kMachPortSpaceSize];
Entry gEntries[kMachPortSpaceSize];

namespace {

Message gMessages[kMachMsgPoolSize];
uint32_t gFreeMessages = kNone;
bool gPoolReady = false;
uint64_t gNextSeq = 1;

std::atomic<uint32_t> gLockOwner{0};
std::atomic<uint32_t> gLockWaiters{0};
std::atomic<uint32_t> gChange{0};
std::atomic<uint32_t> gChangeWaiters{0};
bool gChangePending = false;

constexpr uint32_t kNameBase = 0x40000000u;

const uint32_t *word(const std::atomic<uint32_t> &value) { return reinterpret_cast<const uint32_t *>(&value); }

void preparePool() {
    if (gPoolReady) return;
    for (uint32_t i = 0; i < kMachMsgPoolSize; ++i) gMessages[i].next = i + 1 < kMachMsgPoolSize ? i + 1 : kNone;
    gFreeMessages = 0;
    gPoolReady = true;
}

// Sends a notification through a send-once right to `port` that the caller
// hands over (counted in sorights and refs). Without room it is dropped
// with the right.
void sendNotification(uint32_t port, mach_msg_id_t id, uint32_t value, bool hasValue) {
    Port &p = gPorts[port];
    const uint32_t index = (p.alive && p.count < kQueueCapacity) ? takeMessage() : kNone;
    if (index == kNone) {
        --p.sorights;
        dropRef(port);
        return;
    }
    Message &m = gMessages[index];
    std::memset(m.data, 0, sizeof(mach_msg_header_t) + sizeof(NDR_record_t) + sizeof(uint32_t));
    auto *header = reinterpret_cast<mach_msg_header_t *>(m.data);
    header->msgh_id = id;
    m.size = sizeof(mach_msg_header_t);
    if (hasValue) {
        std::memcpy(m.data + m.size, &NDR_record, sizeof NDR_record);
        std::memcpy(m.data + m.size + sizeof NDR_record, &value, sizeof value);
        m.size += sizeof NDR_record + sizeof value;
    }
    header->msgh_size = m.size;
    m.destPort = port;
    m.destType = MACH_MSG_TYPE_PORT_SEND_ONCE;
    m.replyPort = kNone;
    m.replyType = 0;
    header->msgh_remote_port = MACH_PORT_NULL;
    enqueue(port, index);
}

void checkNoSenders(uint32_t port) {
    Port &p = gPorts[port];
    if (!p.alive || p.srights != 0 || p.nsNotify == kNone || p.mscount < p.nsSync) return;
    const uint32_t notify = p.nsNotify;
    p.nsNotify = kNone;
    sendNotification(notify, MACH_NOTIFY_NO_SENDERS, p.mscount, true);
}

}  // namespace

bool lockSpace(int timeoutMs) {
    const auto self = static_cast<uint32_t>(rawGettid());
    const struct timespec deadline = rawDeadlineAfterMs(static_cast<unsigned>(timeoutMs));
    for (;;) {
        uint32_t owner = 0;
        if (gLockOwner.compare_exchange_strong(owner, self, std::memory_order_acquire)) break;
        if (owner == self) return false;  // a fault inside the layer: never wait for ourselves
        gLockWaiters.fetch_add(1);
        const long r = rawFutexWait(word(gLockOwner), owner, &deadline);
        gLockWaiters.fetch_sub(1);
        if (r == -ETIMEDOUT) return false;
    }
    preparePool();
    return true;
}

void unlockSpace() {
    const bool changed = gChangePending;
    gChangePending = false;
    gLockOwner.store(0, std::memory_order_release);
    if (gLockWaiters.load() != 0) rawFutexWake(word(gLockOwner), 1);
    if (changed) {
        gChange.fetch_add(1, std::memory_order_acq_rel);
        if (gChangeWaiters.load() != 0) rawFutexWake(word(gChange), INT_MAX);
    }
}

void noteChange() { gChangePending = true; }

uint32_t changeCount() { return gChange.load(std::memory_order_acquire); }

bool waitForChange(uint32_t seen, const struct timespec *deadline) {
    gChangeWaiters.fetch_add(1);
    const long r = rawFutexWait(word(gChange), seen, deadline);
    gChangeWaiters.fetch_sub(1);
    return r != -ETIMEDOUT;
}

mach_port_name_t nameOf(uint32_t entry) { return kNameBase | (entry << 8) | gEntries[entry].gen; }

bool inNameRange(mach_port_name_t name) { return (name & 0xfffc0000u) == kNameBase; }

uint32_t entryOf(mach_port_name_t name) {
    if (!inNameRange(name)) return kNone;
    const uint32_t entry = (name >> 8) & 0x3ff;
    if (gEntries[entry].type == 0 || gEntries[entry].gen != (name & 0xff)) return kNone;
    return entry;
}

uint32_t allocateEntry() {
    for (uint32_t i = 0; i < kMachPortSpaceSize; ++i) {
        Entry &e = gEntries[i];
        if (e.type != 0) continue;
        e.gen = e.gen % 255 + 1;  // a new name each time the slot is reused
        e.port = kNone;
        e.urefs = 0;
        e.receiver = 0;
        return i;
    }
    return kNone;
}

void freeEntry(uint32_t entry) {
    gEntries[entry].type = 0;
    gEntries[entry].port = kNone;
    gEntries[entry].urefs = 0;
}

uint32_t allocatePort() {
    for (uint32_t i = 0; i < kMachPortSpaceSize; ++i) {
        Port &p = gPorts[i];
        if (p.inUse) continue;
        std::memset(&p, 0, sizeof p);
        p.inUse = true;
        p.alive = true;
        p.entry = kNone;
        p.set = kNone;
        p.nsNotify = kNone;
        p.qlimit = MACH_PORT_QLIMIT_DEFAULT;
        return i;
    }
    return kNone;
}

void retainSend(uint32_t port) {
    ++gPorts[port].srights;
    ++gPorts[port].refs;
}

void releaseSend(uint32_t port) {
    --gPorts[port].srights;
    checkNoSenders(port);
    dropRef(port);
}

void releaseSendOnce(uint32_t port) {
    // The right itself carries the notification to its port.
    sendNotification(port, MACH_NOTIFY_SEND_ONCE, 0, false);
}

void releaseRight(uint32_t port, mach_msg_type_name_t type) {
    if (type == MACH_MSG_TYPE_PORT_SEND_ONCE) {
        releaseSendOnce(port);
    } else {
        releaseSend(port);
    }
}

void dropRef(uint32_t port) {
    Port &p = gPorts[port];
    if (--p.refs == 0 && !p.alive) p.inUse = false;
}

mach_port_name_t copyoutSend(uint32_t port) {
    Port &p = gPorts[port];
    if (!p.alive) return MACH_PORT_DEAD;
    Entry &e = gEntries[p.entry];
    e.type |= MACH_PORT_TYPE_SEND;
    ++e.urefs;
    ++p.srights;
    return nameOf(p.entry);
}

bool portOfSendName(mach_port_name_t name, uint32_t *port) {
    if (name == MACH_PORT_NULL) {
        *port = kNone;
        return true;
    }
    const uint32_t entry = entryOf(name);
    if (entry == kNone || (gEntries[entry].type & MACH_PORT_TYPE_SEND) == 0) return false;
    *port = gEntries[entry].port;
    return true;
}

void destroyReceive(uint32_t entry) {
    Entry &e = gEntries[entry];
    const uint32_t port = e.port;
    Port &p = gPorts[port];
    p.alive = false;
    p.set = kNone;
    // The space's send right, if any, becomes a dead name; so do send-once
    // names of the port.
    if (e.urefs > 0) {
        e.type = MACH_PORT_TYPE_DEAD_NAME;
        e.port = kNone;
        p.srights -= e.urefs;
    } else {
        freeEntry(entry);
    }
    p.entry = kNone;
    for (uint32_t i = 0; i < kMachPortSpaceSize; ++i) {
        Entry &other = gEntries[i];
        if (other.type == MACH_PORT_TYPE_SEND_ONCE && other.port == port) {
            other.type = MACH_PORT_TYPE_DEAD_NAME;
            other.port = kNone;
            other.urefs = 1;
            --p.sorights;
            --p.refs;
        }
    }
    if (p.nsNotify != kNone) {
        const uint32_t notify = p.nsNotify;
        p.nsNotify = kNone;
        releaseSendOnce(notify);
    }
    // Queued messages go with their rights; the port stays referenced
    // while they are destroyed.
    ++p.refs;
    while (p.count > 0) {
        const uint32_t index = p.queue[p.head];
        p.head = (p.head + 1) % kQueueCapacity;
        --p.count;
        destroyMessage(index);
    }
    noteChange();
    dropRef(port);
}

uint32_t takeMessage() {
    const uint32_t index = gFreeMessages;
    if (index != kNone) gFreeMessages = gMessages[index].next;
    return index;
}

void putMessage(uint32_t index) {
    gMessages[index].next = gFreeMessages;
    gFreeMessages = index;
}

Message &message(uint32_t index) { return gMessages[index]; }

void enqueue(uint32_t port, uint32_t index) {
    Port &p = gPorts[port];
    gMessages[index].seq = gNextSeq++;
    p.queue[(p.head + p.count) % kQueueCapacity] = index;
    ++p.count;
    noteChange();
}

void destroyMessage(uint32_t index) {
    Message &m = gMessages[index];
    releaseRight(m.destPort, m.destType);
    if (m.replyPort != kNone) releaseRight(m.replyPort, m.replyType);
    const auto *header = reinterpret_cast<const mach_msg_header_t *>(m.data);
    if (header->msgh_bits & MACH_MSGH_BITS_COMPLEX) {
        const auto *body = reinterpret_cast<const mach_msg_body_t *>(m.data + sizeof(mach_msg_header_t));
        auto *descriptors = reinterpret_cast<const mach_msg_port_descriptor_t *>(body + 1);
        for (uint32_t i = 0; i < body->msgh_descriptor_count; ++i) {
            if (descriptors[i].name & kInTransitBit) {
                releaseRight(descriptors[i].name & ~kInTransitBit, descriptors[i].disposition);
            }
        }
    }
    putMessage(index);
    noteChange();
}

}  // namespace platform::mach::detail
