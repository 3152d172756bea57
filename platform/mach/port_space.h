#pragma once
// Inside the port name space: the tables that mach_port.cpp, mach_msg.cpp
// and the exception port tables share. Not an interface for anyone else.
//
// Crash-path code: everything here runs in signal handlers. The tables are
// static; they are changed only with the space lock held, a futex lock that
// records its owner so that a thread faulting inside the layer fails instead
// of waiting for itself, and that gives up after a bound.
#include <atomic>
#include <cstdint>

#include "platform/mach/mach_msg.h"

namespace platform::mach::detail {

constexpr uint32_t kNone = 0xffffffffu;
// Most rights a message may carry in port descriptors.
constexpr uint32_t kMaxDescriptors = 32;
// Messages a port can hold: its queue limit, plus notifications and
// send-once messages, which the limit does not hold back.
constexpr uint32_t kQueueCapacity = 32;
// How long a call waits for the space lock.
constexpr int kSpaceLockTimeoutMs = 5000;

struct Port {
    bool inUse;
    bool alive;         // the receive right exists
    uint32_t entry;     // entry holding the receive right (and the space's send right)
    uint32_t set;       // entry of the port set it is in, or kNone
    uint32_t refs;      // rights outside the receive entry: send-once names, rights in
                        // messages, exception tables, armed notifications
    uint32_t srights;   // send rights: the entry's references, in messages, in tables
    uint32_t sorights;  // send-once rights
    uint32_t mscount;   // send rights made so far
    uint32_t qlimit;
    uint32_t queue[kQueueCapacity];
    uint32_t head;
    uint32_t count;
    uint32_t nsNotify;  // port that the no-senders notification goes to, or kNone
    uint32_t nsSync;
    uint32_t receiver;  // thread that last received on it, 0 when none
};

struct Entry {
    mach_port_type_t type;  // 0: free
    uint32_t gen;           // 1..255, part of the name
    uint32_t port;          // kNone for port sets and dead names
    uint32_t urefs;         // send or dead-name references
    uint32_t receiver;      // port sets: thread that last received on it
};

// A right inside a message: which port, and which right (PORT_SEND or
// PORT_SEND_ONCE). Kernel objects (thread and task ports) and null and dead
// names travel as plain names.
constexpr uint32_t kInTransitBit = 0x80000000u;

struct Message {
    uint32_t next;  // free list
    uint64_t seq;   // arrival order, across ports
    uint32_t size;
    uint32_t destPort;
    mach_msg_type_name_t destType;
    uint32_t replyPort;  // kNone when the header carries a plain name
    mach_msg_type_name_t replyType;
    alignas(8) unsigned char data[kMachMsgMaxSize];
};

extern Port gPorts[kMachPortSpaceSize];
extern Entry gEntries[kMachPortSpaceSize];

// The lock. lockSpace fails when the calling thread holds it already or
// when it stays taken for `timeoutMs`.
bool lockSpace(int timeoutMs = kSpaceLockTimeoutMs);
void unlockSpace();

// Something changed (a message queued or taken, a port died): waiters wake.
// Call with the lock held; the wake-up itself happens at unlockSpace.
void noteChange();
// The change counter that waits watch (read it before looking, then wait
// for it to move).
uint32_t changeCount();
// Waits until the counter moves from `seen` or the deadline passes (false).
// `deadline` is an absolute CLOCK_MONOTONIC time, or null for no bound.
bool waitForChange(uint32_t seen, const struct timespec *deadline);

// Names: entry index and generation.
mach_port_name_t nameOf(uint32_t entry);
// Whether a name has the form of this space's names (live or not); other
// valid names are kernel objects (thread ports, the task port).
bool inNameRange(mach_port_name_t name);
// The entry a name of this space denotes, or kNone.
uint32_t entryOf(mach_port_name_t name);

uint32_t allocateEntry();  // kNone when full; type still 0
void freeEntry(uint32_t entry);
uint32_t allocatePort();  // kNone when full

// Rights of a port held outside its entry. Releasing the last send right
// may send the no-senders notification; releasing a send-once right sends
// the send-once notification. Both need the lock.
void retainSend(uint32_t port);
void releaseSend(uint32_t port);
void releaseSendOnce(uint32_t port);
// A right taken out of a message and dropped.
void releaseRight(uint32_t port, mach_msg_type_name_t type);
// The port reference count fell: frees a dead port nobody refers to.
void dropRef(uint32_t port);

// A send right handed out to the space (exception ports "get"): the
// entry's name with one more reference, or MACH_PORT_DEAD for a dead port.
mach_port_name_t copyoutSend(uint32_t port);
// The port of a send right named in the space, for the exception tables:
// kNone for MACH_PORT_NULL; false when the name is neither.
bool portOfSendName(mach_port_name_t name, uint32_t *port);

// Destroys a port's receive right.
void destroyReceive(uint32_t entry);

// The message pool, and queueing a message on a port (its destination
// right already accounted for; the caller checked the room).
uint32_t takeMessage();  // kNone when the pool is empty
void putMessage(uint32_t message);
Message &message(uint32_t index);
void enqueue(uint32_t port, uint32_t message);
// Destroys a message's rights and returns it to the pool.
void destroyMessage(uint32_t message);

}  // namespace platform::mach::detail
