#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/mach/mach_msg.h"
#include "platform/mach/thread_list.h"

using namespace platform::mach;

namespace {

const task_t self = mach_task_self();

struct SimpleMessage {
    mach_msg_header_t header;
    uint32_t payload[4];
};

struct CarryMessage {
    mach_msg_header_t header;
    mach_msg_body_t body;
    mach_msg_port_descriptor_t port;
};

struct Received {
    union {
        mach_msg_header_t header;
        CarryMessage carry;
        unsigned char bytes[512];
    };
};

mach_port_t newReceive() {
    mach_port_t port = MACH_PORT_NULL;
    EXPECT_EQ(mach_port_allocate(self, MACH_PORT_RIGHT_RECEIVE, &port), KERN_SUCCESS);
    return port;
}

void destroyReceive(mach_port_t port) { mach_port_mod_refs(self, port, MACH_PORT_RIGHT_RECEIVE, -1); }

mach_msg_return_t sendSimple(mach_port_t dest, mach_msg_type_name_t disposition, mach_msg_id_t id,
                             mach_port_t reply = MACH_PORT_NULL, mach_msg_type_name_t replyDisposition = 0,
                             mach_msg_timeout_t timeout = 0) {
    SimpleMessage m{};
    m.header.msgh_bits = MACH_MSGH_BITS(disposition, replyDisposition);
    m.header.msgh_size = sizeof m;
    m.header.msgh_remote_port = dest;
    m.header.msgh_local_port = reply;
    m.header.msgh_id = id;
    m.payload[0] = static_cast<uint32_t>(id) * 3;
    return mach_msg(&m.header, MACH_SEND_MSG | MACH_SEND_TIMEOUT, sizeof m, 0, MACH_PORT_NULL, timeout, MACH_PORT_NULL);
}

mach_msg_return_t receive(mach_port_t name, Received *out, mach_msg_size_t size = sizeof(Received),
                          mach_msg_option_t extra = 0, mach_msg_timeout_t timeout = 0) {
    return mach_msg(&out->header, MACH_RCV_MSG | MACH_RCV_TIMEOUT | extra, 0, size, name, timeout, MACH_PORT_NULL);
}

mach_port_urefs_t refs(mach_port_t name, mach_port_right_t right) {
    mach_port_urefs_t count = 0;
    EXPECT_EQ(mach_port_get_refs(self, name, right, &count), KERN_SUCCESS);
    return count;
}

TEST(MachPort, RightsAndDeadNames) {
    const mach_port_t port = newReceive();
    EXPECT_GT(port, 0xffffu) << "names never look like thread ids";
    mach_port_type_t type = 0;
    ASSERT_EQ(mach_port_type(self, port, &type), KERN_SUCCESS);
    EXPECT_EQ(type, MACH_PORT_TYPE_RECEIVE);

    EXPECT_EQ(mach_port_insert_right(self, port, port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
    EXPECT_EQ(mach_port_mod_refs(self, port, MACH_PORT_RIGHT_SEND, 2), KERN_SUCCESS);
    EXPECT_EQ(refs(port, MACH_PORT_RIGHT_SEND), 3u);
    EXPECT_EQ(mach_port_mod_refs(self, port, MACH_PORT_RIGHT_SEND, -4), KERN_INVALID_VALUE);
    EXPECT_EQ(mach_port_deallocate(self, port), KERN_SUCCESS);
    EXPECT_EQ(refs(port, MACH_PORT_RIGHT_SEND), 2u);

    // Without its receive right the name lives on as a dead name with the
    // send references it had.
    destroyReceive(port);
    ASSERT_EQ(mach_port_type(self, port, &type), KERN_SUCCESS);
    EXPECT_EQ(type, MACH_PORT_TYPE_DEAD_NAME);
    EXPECT_EQ(refs(port, MACH_PORT_RIGHT_DEAD_NAME), 2u);
    EXPECT_EQ(sendSimple(port, MACH_MSG_TYPE_COPY_SEND, 1), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(mach_port_mod_refs(self, port, MACH_PORT_RIGHT_SEND, -1), KERN_SUCCESS);
    EXPECT_EQ(mach_port_deallocate(self, port), KERN_SUCCESS);
    EXPECT_EQ(mach_port_type(self, port, &type), KERN_INVALID_NAME) << "a released name is gone";

    // Kernel objects (thread and task ports) are not names of the space.
    EXPECT_EQ(mach_port_mod_refs(self, mach_thread_self(), MACH_PORT_RIGHT_SEND, 1), KERN_SUCCESS);
    EXPECT_EQ(mach_port_deallocate(self, mach_task_self()), KERN_SUCCESS);
    EXPECT_EQ(mach_port_allocate(self, 9, nullptr), KERN_INVALID_ARGUMENT);
}

TEST(MachMsg, RightsTravelInHeaderAndDescriptors) {
    const mach_port_t server = newReceive();
    const mach_port_t client = newReceive();
    const mach_port_t carried = newReceive();

    // A request with a send-once reply right and a send right made from
    // `carried`, plus a thread port, which travels as it is.
    Received request{};
    CarryMessage &m = request.carry;
    m.header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_MAKE_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE) | MACH_MSGH_BITS_COMPLEX;
    m.header.msgh_size = sizeof m;
    m.header.msgh_remote_port = server;
    m.header.msgh_local_port = client;
    m.header.msgh_id = 500;
    m.body.msgh_descriptor_count = 1;
    m.port.name = carried;
    m.port.disposition = MACH_MSG_TYPE_MAKE_SEND;
    m.port.type = MACH_MSG_PORT_DESCRIPTOR;
    ASSERT_EQ(mach_msg(&m.header, MACH_SEND_MSG, sizeof m, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL), MACH_MSG_SUCCESS);

    Received in{};
    ASSERT_EQ(receive(server, &in), MACH_MSG_SUCCESS);
    EXPECT_EQ(in.header.msgh_id, 500);
    EXPECT_EQ(in.header.msgh_size, sizeof(CarryMessage));
    EXPECT_EQ(in.header.msgh_local_port, server);
    EXPECT_EQ(MACH_MSGH_BITS_REMOTE(in.header.msgh_bits), MACH_MSG_TYPE_PORT_SEND_ONCE);
    EXPECT_EQ(MACH_MSGH_BITS_LOCAL(in.header.msgh_bits), MACH_MSG_TYPE_PORT_SEND);
    const mach_msg_trailer_t *trailer = reinterpret_cast<const mach_msg_trailer_t *>(in.bytes + in.header.msgh_size);
    EXPECT_EQ(trailer->msgh_trailer_size, sizeof(mach_msg_trailer_t));
    EXPECT_EQ(in.carry.port.name, carried) << "a send right comes back under the port's own name";
    EXPECT_EQ(in.carry.port.disposition, MACH_MSG_TYPE_PORT_SEND);
    EXPECT_EQ(refs(carried, MACH_PORT_RIGHT_SEND), 1u);
    EXPECT_EQ(refs(server, MACH_PORT_RIGHT_SEND), 0u) << "the destination right is used up";

    const mach_port_t replyRight = in.header.msgh_remote_port;
    mach_port_type_t type = 0;
    ASSERT_EQ(mach_port_type(self, replyRight, &type), KERN_SUCCESS);
    EXPECT_EQ(type, MACH_PORT_TYPE_SEND_ONCE);
    ASSERT_EQ(sendSimple(replyRight, MACH_MSG_TYPE_MOVE_SEND_ONCE, 600), MACH_MSG_SUCCESS);
    EXPECT_EQ(mach_port_type(self, replyRight, &type), KERN_INVALID_NAME) << "a send-once right is used once";
    Received reply{};
    ASSERT_EQ(receive(client, &reply), MACH_MSG_SUCCESS);
    EXPECT_EQ(reply.header.msgh_id, 600);
    EXPECT_EQ(MACH_MSGH_BITS_LOCAL(reply.header.msgh_bits), MACH_MSG_TYPE_PORT_SEND_ONCE);

    // Moving more send references than the name holds fails and takes none.
    m.header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_MAKE_SEND, 0) | MACH_MSGH_BITS_COMPLEX;
    m.header.msgh_local_port = MACH_PORT_NULL;
    mach_msg_port_descriptor_t twice[2] = {m.port, m.port};
    twice[0].disposition = twice[1].disposition = MACH_MSG_TYPE_MOVE_SEND;
    struct {
        mach_msg_header_t header;
        mach_msg_body_t body;
        mach_msg_port_descriptor_t ports[2];
    } two{m.header, {2}, {twice[0], twice[1]}};
    two.header.msgh_size = sizeof two;
    EXPECT_EQ(mach_msg(&two.header, MACH_SEND_MSG, sizeof two, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL),
              MACH_SEND_INVALID_RIGHT);
    EXPECT_EQ(refs(carried, MACH_PORT_RIGHT_SEND), 1u);
    EXPECT_EQ(receive(server, &in, sizeof in, 0, 0), MACH_RCV_TIMED_OUT);

    // A thread port in a descriptor arrives unchanged.
    m.port.name = mach_thread_self();
    m.port.disposition = MACH_MSG_TYPE_COPY_SEND;
    ASSERT_EQ(mach_msg(&m.header, MACH_SEND_MSG, sizeof m, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL), MACH_MSG_SUCCESS);
    ASSERT_EQ(receive(server, &in), MACH_MSG_SUCCESS);
    EXPECT_EQ(in.carry.port.name, mach_thread_self());

    EXPECT_EQ(sendSimple(mach_thread_self(), MACH_MSG_TYPE_COPY_SEND, 1), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(sendSimple(server, MACH_MSG_TYPE_COPY_SEND, 1), MACH_SEND_INVALID_DEST) << "no send right";
    mach_port_deallocate(self, carried);
    for (mach_port_t p : {server, client, carried}) destroyReceive(p);
}

TEST(MachMsg, QueuesAreBoundedAndReceivesTimeOut) {
    const mach_port_t port = newReceive();
    ASSERT_EQ(mach_port_insert_right(self, port, port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
    for (unsigned i = 0; i < MACH_PORT_QLIMIT_DEFAULT; ++i) {
        ASSERT_EQ(sendSimple(port, MACH_MSG_TYPE_COPY_SEND, static_cast<int>(i)), MACH_MSG_SUCCESS);
    }
    EXPECT_EQ(sendSimple(port, MACH_MSG_TYPE_COPY_SEND, 99), MACH_SEND_TIMED_OUT);
    // A send-once message (a reply, a notification) still gets through.
    EXPECT_EQ(sendSimple(port, MACH_MSG_TYPE_MAKE_SEND_ONCE, 100), MACH_MSG_SUCCESS);
    EXPECT_EQ(refs(port, MACH_PORT_RIGHT_SEND), 1u) << "a failed send takes no right";

    Received in{};
    for (int i = 0; i < static_cast<int>(MACH_PORT_QLIMIT_DEFAULT); ++i) {
        ASSERT_EQ(receive(port, &in), MACH_MSG_SUCCESS);
        EXPECT_EQ(in.header.msgh_id, i) << "first in, first out";
    }
    ASSERT_EQ(receive(port, &in), MACH_MSG_SUCCESS);
    EXPECT_EQ(in.header.msgh_id, 100);
    EXPECT_EQ(receive(port, &in, sizeof in, 0, 5), MACH_RCV_TIMED_OUT);

    // A sender blocked on a full queue goes on once a receiver makes room.
    ASSERT_EQ(mach_port_set_qlimit(self, port, 1), KERN_SUCCESS);
    ASSERT_EQ(sendSimple(port, MACH_MSG_TYPE_COPY_SEND, 1), MACH_MSG_SUCCESS);
    std::atomic<mach_msg_return_t> blocked{-1};
    std::thread sender([&] { blocked = sendSimple(port, MACH_MSG_TYPE_COPY_SEND, 2, MACH_PORT_NULL, 0, 10000); });
    ASSERT_EQ(receive(port, &in), MACH_MSG_SUCCESS);
    ASSERT_EQ(receive(port, &in, sizeof in, 0, 10000), MACH_MSG_SUCCESS) << "the blocked send arrives";
    EXPECT_EQ(in.header.msgh_id, 2);
    sender.join();
    EXPECT_EQ(blocked.load(), MACH_MSG_SUCCESS);

    mach_port_deallocate(self, port);
    destroyReceive(port);
}

// Many senders on full queues and one receiver on a set: every message
// arrives once, and no wait misses its wake-up.
TEST(MachMsg, ConcurrentSendersAndOneReceiver) {
    constexpr int kSenders = 4;
    constexpr int kEach = 300;
    mach_port_t set = MACH_PORT_NULL;
    ASSERT_EQ(mach_port_allocate(self, MACH_PORT_RIGHT_PORT_SET, &set), KERN_SUCCESS);
    mach_port_t ports[2];
    for (mach_port_t &port : ports) {
        port = newReceive();
        mach_port_insert_right(self, port, port, MACH_MSG_TYPE_MAKE_SEND);
        mach_port_move_member(self, port, set);
    }
    std::vector<std::thread> senders;
    std::atomic<int> failures{0};
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kEach; ++i) {
                if (sendSimple(ports[s % 2], MACH_MSG_TYPE_COPY_SEND, s * kEach + i, MACH_PORT_NULL, 0, 10000) !=
                    MACH_MSG_SUCCESS) {
                    ++failures;
                }
            }
        });
    }
    std::vector<int> seen(kSenders * kEach, 0);
    std::vector<int> lastOfSender(kSenders, -1);
    Received in{};
    for (int n = 0; n < kSenders * kEach; ++n) {
        ASSERT_EQ(receive(set, &in, sizeof in, 0, 10000), MACH_MSG_SUCCESS) << n;
        const int id = in.header.msgh_id;
        ASSERT_TRUE(id >= 0 && id < kSenders * kEach);
        ++seen[id];
        EXPECT_GT(id, lastOfSender[id / kEach]) << "each sender's messages keep their order";
        lastOfSender[id / kEach] = id;
    }
    for (std::thread &t : senders) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kSenders * kEach);
    EXPECT_EQ(receive(set, &in), MACH_RCV_TIMED_OUT);
    for (mach_port_t port : ports) {
        mach_port_deallocate(self, port);
        destroyReceive(port);
    }
    mach_port_mod_refs(self, set, MACH_PORT_RIGHT_PORT_SET, -1);
}

TEST(MachMsg, LargeMessagesStayQueuedWithRcvLarge) {
    const mach_port_t port = newReceive();
    SimpleMessage m{};
    m.header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_MAKE_SEND, 0);
    m.header.msgh_size = sizeof m;
    m.header.msgh_remote_port = port;
    m.header.msgh_id = 7;
    ASSERT_EQ(mach_msg(&m.header, MACH_SEND_MSG, sizeof m, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL), MACH_MSG_SUCCESS);

    Received in{};
    const mach_msg_size_t needed = sizeof m + sizeof(mach_msg_trailer_t);
    ASSERT_EQ(receive(port, &in, needed - 4, MACH_RCV_LARGE), MACH_RCV_TOO_LARGE);
    EXPECT_EQ(in.header.msgh_size, needed);
    ASSERT_EQ(receive(port, &in, needed), MACH_MSG_SUCCESS) << "still queued";
    EXPECT_EQ(in.header.msgh_id, 7);

    // Without the option the message is dropped.
    ASSERT_EQ(mach_msg(&m.header, MACH_SEND_MSG, sizeof m, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL), MACH_MSG_SUCCESS);
    EXPECT_EQ(receive(port, &in, needed - 4), MACH_RCV_TOO_LARGE);
    EXPECT_EQ(receive(port, &in), MACH_RCV_TIMED_OUT);

    m.header.msgh_size = kMachMsgMaxSize + 4;
    EXPECT_EQ(mach_msg(&m.header, MACH_SEND_MSG, kMachMsgMaxSize + 4, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL),
              MACH_SEND_TOO_LARGE);
    EXPECT_EQ(mach_msg(&m.header, MACH_SEND_MSG, 20, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL), MACH_SEND_MSG_TOO_SMALL);
    destroyReceive(port);
}

TEST(MachMsg, PortSetsDeliverInArrivalOrder) {
    const mach_port_t a = newReceive();
    const mach_port_t b = newReceive();
    mach_port_t set = MACH_PORT_NULL;
    ASSERT_EQ(mach_port_allocate(self, MACH_PORT_RIGHT_PORT_SET, &set), KERN_SUCCESS);
    ASSERT_EQ(mach_port_move_member(self, a, set), KERN_SUCCESS);
    ASSERT_EQ(mach_port_move_member(self, b, set), KERN_SUCCESS);
    ASSERT_EQ(sendSimple(b, MACH_MSG_TYPE_MAKE_SEND, 1), MACH_MSG_SUCCESS);
    ASSERT_EQ(sendSimple(a, MACH_MSG_TYPE_MAKE_SEND, 2), MACH_MSG_SUCCESS);

    Received in{};
    EXPECT_EQ(receive(a, &in), MACH_RCV_IN_SET);
    ASSERT_EQ(receive(set, &in), MACH_MSG_SUCCESS);
    EXPECT_EQ(in.header.msgh_id, 1);
    EXPECT_EQ(in.header.msgh_local_port, b);
    ASSERT_EQ(receive(set, &in), MACH_MSG_SUCCESS);
    EXPECT_EQ(in.header.msgh_local_port, a);

    // A receiver blocked on the set wakes for a message from another thread.
    std::thread sender([&] { sendSimple(a, MACH_MSG_TYPE_MAKE_SEND, 3); });
    ASSERT_EQ(receive(set, &in, sizeof in, 0, 10000), MACH_MSG_SUCCESS);
    EXPECT_EQ(in.header.msgh_id, 3);
    sender.join();

    ASSERT_EQ(mach_port_move_member(self, a, MACH_PORT_NULL), KERN_SUCCESS);
    ASSERT_EQ(sendSimple(a, MACH_MSG_TYPE_MAKE_SEND, 4), MACH_MSG_SUCCESS);
    EXPECT_EQ(receive(set, &in), MACH_RCV_TIMED_OUT);
    EXPECT_EQ(receive(a, &in), MACH_MSG_SUCCESS);
    mach_port_mod_refs(self, set, MACH_PORT_RIGHT_PORT_SET, -1);
    EXPECT_EQ(receive(set, &in), MACH_RCV_INVALID_NAME);
    EXPECT_EQ(receive(b, &in), MACH_RCV_TIMED_OUT) << "a destroyed set lets its members go";
    destroyReceive(a);
    destroyReceive(b);
}

TEST(MachMsg, NoSendersAndSendOnceNotifications) {
    const mach_port_t port = newReceive();
    const mach_port_t notify = newReceive();
    mach_port_t previous = 1;
    ASSERT_EQ(mach_port_request_notification(self, port, MACH_NOTIFY_NO_SENDERS, 1, notify,
                                             MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous),
              KERN_SUCCESS);
    EXPECT_EQ(previous, MACH_PORT_NULL);
    Received in{};
    EXPECT_EQ(receive(notify, &in), MACH_RCV_TIMED_OUT) << "no send right was ever made";

    // A send right that travels in a message still counts.
    ASSERT_EQ(mach_port_insert_right(self, port, port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
    ASSERT_EQ(sendSimple(port, MACH_MSG_TYPE_MOVE_SEND, 1), MACH_MSG_SUCCESS);
    EXPECT_EQ(receive(notify, &in), MACH_RCV_TIMED_OUT);
    ASSERT_EQ(receive(port, &in), MACH_MSG_SUCCESS);
    ASSERT_EQ(receive(notify, &in), MACH_MSG_SUCCESS);
    EXPECT_EQ(in.header.msgh_id, MACH_NOTIFY_NO_SENDERS);
    EXPECT_EQ(in.header.msgh_local_port, notify);
    // Armed once: later senders going away say nothing.
    ASSERT_EQ(mach_port_insert_right(self, port, port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
    ASSERT_EQ(mach_port_deallocate(self, port), KERN_SUCCESS);
    EXPECT_EQ(receive(notify, &in), MACH_RCV_TIMED_OUT);

    // A reply right dropped unanswered tells its port, whether dropped by
    // its holder or with a queued request whose port died.
    ASSERT_EQ(sendSimple(port, MACH_MSG_TYPE_MAKE_SEND, 2, notify, MACH_MSG_TYPE_MAKE_SEND_ONCE), MACH_MSG_SUCCESS);
    ASSERT_EQ(receive(port, &in), MACH_MSG_SUCCESS);
    ASSERT_EQ(mach_port_deallocate(self, in.header.msgh_remote_port), KERN_SUCCESS);
    ASSERT_EQ(receive(notify, &in), MACH_MSG_SUCCESS);
    EXPECT_EQ(in.header.msgh_id, MACH_NOTIFY_SEND_ONCE);
    ASSERT_EQ(sendSimple(port, MACH_MSG_TYPE_MAKE_SEND, 3, notify, MACH_MSG_TYPE_MAKE_SEND_ONCE), MACH_MSG_SUCCESS);
    destroyReceive(port);
    ASSERT_EQ(receive(notify, &in), MACH_MSG_SUCCESS);
    EXPECT_EQ(in.header.msgh_id, MACH_NOTIFY_SEND_ONCE);
    destroyReceive(notify);
}

}  // namespace
