#pragma once
// Mach messages: send and receive on the ports of mach_port.h.
//
// A message is a header, optionally a body with port descriptors (a complex
// message), then inline data. The rights named in the header (destination
// and reply) and in port descriptors move from the sender's names into the
// message and come out as names of the receiver; a receive gets the port's
// name as msgh_local_port and the reply right as msgh_remote_port, and an
// 8-byte trailer after the message.
//
// Queues are bounded (a port's queue limit; messages are copied into a fixed
// pool of kMachMsgMaxSize-byte buffers). Waits are futex waits with optional
// timeouts, usable inside a signal handler; nothing allocates. A send that
// fails leaves every right with the sender.
//
// What this layer leaves out: receive rights do not travel in messages
// (MACH_MSG_TYPE_MOVE_RECEIVE is refused), out-of-line memory descriptors are
// refused (MACH_SEND_INVALID_TYPE), a message carries at most 32 port
// descriptors, and the trailer is always the minimal 8-byte one.
#include <cstdint>

#include "platform/mach/mach_port.h"

namespace platform::mach {

using mach_msg_return_t = kern_return_t;
using mach_msg_option_t = int;
using mach_msg_size_t = natural_t;
using mach_msg_timeout_t = natural_t;
using mach_msg_bits_t = unsigned int;

struct mach_msg_header_t {
    mach_msg_bits_t msgh_bits;
    mach_msg_size_t msgh_size;
    mach_port_t msgh_remote_port;
    mach_port_t msgh_local_port;
    mach_port_name_t msgh_voucher_port;
    mach_msg_id_t msgh_id;
};

struct mach_msg_body_t {
    mach_msg_size_t msgh_descriptor_count;
};

struct mach_msg_port_descriptor_t {
    mach_port_t name;
    mach_msg_size_t pad1;
    unsigned int pad2 : 16;
    mach_msg_type_name_t disposition : 8;
    unsigned int type : 8;
};

struct mach_msg_trailer_t {
    unsigned int msgh_trailer_type;
    mach_msg_size_t msgh_trailer_size;
};

// The data representation record that MIG messages carry.
struct NDR_record_t {
    uint8_t mig_vers;
    uint8_t if_vers;
    uint8_t reserved1;
    uint8_t mig_encoding;
    uint8_t int_rep;
    uint8_t char_rep;
    uint8_t float_rep;
    uint8_t reserved2;
};
extern const NDR_record_t NDR_record;

static_assert(sizeof(mach_msg_header_t) == 24 && sizeof(mach_msg_port_descriptor_t) == 12);
static_assert(sizeof(NDR_record_t) == 8 && sizeof(mach_msg_trailer_t) == 8);

constexpr unsigned int MACH_MSG_PORT_DESCRIPTOR = 0;

constexpr mach_msg_bits_t MACH_MSGH_BITS_COMPLEX = 0x80000000u;
constexpr mach_msg_bits_t MACH_MSGH_BITS(mach_msg_type_name_t remote, mach_msg_type_name_t local) {
    return remote | (local << 8);
}
constexpr mach_msg_type_name_t MACH_MSGH_BITS_REMOTE(mach_msg_bits_t bits) { return bits & 0xff; }
constexpr mach_msg_type_name_t MACH_MSGH_BITS_LOCAL(mach_msg_bits_t bits) { return (bits >> 8) & 0xff; }

// Options.
constexpr mach_msg_option_t MACH_MSG_OPTION_NONE = 0;
constexpr mach_msg_option_t MACH_SEND_MSG = 0x1;
constexpr mach_msg_option_t MACH_RCV_MSG = 0x2;
constexpr mach_msg_option_t MACH_RCV_LARGE = 0x4;
constexpr mach_msg_option_t MACH_SEND_TIMEOUT = 0x10;
constexpr mach_msg_option_t MACH_RCV_TIMEOUT = 0x100;
constexpr mach_msg_timeout_t MACH_MSG_TIMEOUT_NONE = 0;

// Results.
constexpr mach_msg_return_t MACH_MSG_SUCCESS = 0;
constexpr mach_msg_return_t MACH_SEND_INVALID_DATA = 0x10000002;
constexpr mach_msg_return_t MACH_SEND_INVALID_DEST = 0x10000003;
constexpr mach_msg_return_t MACH_SEND_TIMED_OUT = 0x10000004;
constexpr mach_msg_return_t MACH_SEND_INTERRUPTED = 0x10000007;
constexpr mach_msg_return_t MACH_SEND_MSG_TOO_SMALL = 0x10000008;
constexpr mach_msg_return_t MACH_SEND_INVALID_REPLY = 0x10000009;
constexpr mach_msg_return_t MACH_SEND_INVALID_RIGHT = 0x1000000a;
constexpr mach_msg_return_t MACH_SEND_NO_BUFFER = 0x1000000d;
constexpr mach_msg_return_t MACH_SEND_TOO_LARGE = 0x1000000e;
constexpr mach_msg_return_t MACH_SEND_INVALID_TYPE = 0x1000000f;
constexpr mach_msg_return_t MACH_SEND_INVALID_HEADER = 0x10000010;
constexpr mach_msg_return_t MACH_RCV_INVALID_NAME = 0x10004002;
constexpr mach_msg_return_t MACH_RCV_TIMED_OUT = 0x10004003;
constexpr mach_msg_return_t MACH_RCV_TOO_LARGE = 0x10004004;
constexpr mach_msg_return_t MACH_RCV_INTERRUPTED = 0x10004005;
constexpr mach_msg_return_t MACH_RCV_PORT_DIED = 0x10004009;
constexpr mach_msg_return_t MACH_RCV_IN_SET = 0x1000400a;

// The largest message (header included, trailer excluded) and how many can
// be in flight in the whole task at once.
constexpr mach_msg_size_t kMachMsgMaxSize = 4096;
constexpr unsigned kMachMsgPoolSize = 128;

// Sends `msg` (when MACH_SEND_MSG; `sendSize` bytes, a multiple of 4 no
// smaller than the header), then receives into `msg` (when MACH_RCV_MSG; at
// most `rcvSize` bytes, trailer included) from the port or port set
// `rcvName`. With MACH_SEND_TIMEOUT or MACH_RCV_TIMEOUT, `timeout`
// milliseconds bound each wait; without them a full queue or an empty one is
// waited on until it changes. A message too large for the buffer is dropped
// with MACH_RCV_TOO_LARGE, or, with MACH_RCV_LARGE, left queued while
// msgh_size reports the size it needs.
mach_msg_return_t mach_msg(mach_msg_header_t *msg, mach_msg_option_t option, mach_msg_size_t sendSize,
                           mach_msg_size_t rcvSize, mach_port_name_t rcvName, mach_msg_timeout_t timeout,
                           mach_port_name_t notify);

}  // namespace platform::mach
