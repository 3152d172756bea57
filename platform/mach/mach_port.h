#pragma once
// Ports and the task's port name space.
//
// A port is a message queue with one receive right; send rights (counted in
// user references), send-once rights, port sets and dead names are names in
// the task's name space. The receive and send rights of one port share one
// name; each send-once right has a name of its own. Names are never small
// numbers: a thread port (a thread id) or the task port (1) is not a name of
// this space, and calls on such a kernel object's rights succeed and do
// nothing.
//
// The space is a fixed table in static storage guarded by one owner-checked
// futex lock: nothing here allocates, and every call may run in a signal
// handler. A call that finds the lock held by its own thread (a fault inside
// the layer) or that cannot take it within a bound fails with
// KERN_OPERATION_TIMED_OUT instead of waiting for ever.
#include "platform/mach/mach_types.h"

namespace platform::mach {

using mach_port_name_t = mach_port_t;
using mach_port_right_t = natural_t;
using mach_port_type_t = natural_t;
using mach_port_urefs_t = natural_t;
using mach_port_delta_t = int;
using mach_port_mscount_t = natural_t;
using mach_msg_id_t = int;
using mach_msg_type_name_t = unsigned int;

constexpr mach_port_t MACH_PORT_DEAD = 0xffffffffu;
inline bool MACH_PORT_VALID(mach_port_t name) { return name != MACH_PORT_NULL && name != MACH_PORT_DEAD; }

// Rights.
constexpr mach_port_right_t MACH_PORT_RIGHT_SEND = 0;
constexpr mach_port_right_t MACH_PORT_RIGHT_RECEIVE = 1;
constexpr mach_port_right_t MACH_PORT_RIGHT_SEND_ONCE = 2;
constexpr mach_port_right_t MACH_PORT_RIGHT_PORT_SET = 3;
constexpr mach_port_right_t MACH_PORT_RIGHT_DEAD_NAME = 4;

// What a name denotes, as a bit set.
constexpr mach_port_type_t MACH_PORT_TYPE_NONE = 0;
constexpr mach_port_type_t MACH_PORT_TYPE_SEND = 1u << (MACH_PORT_RIGHT_SEND + 16);
constexpr mach_port_type_t MACH_PORT_TYPE_RECEIVE = 1u << (MACH_PORT_RIGHT_RECEIVE + 16);
constexpr mach_port_type_t MACH_PORT_TYPE_SEND_ONCE = 1u << (MACH_PORT_RIGHT_SEND_ONCE + 16);
constexpr mach_port_type_t MACH_PORT_TYPE_PORT_SET = 1u << (MACH_PORT_RIGHT_PORT_SET + 16);
constexpr mach_port_type_t MACH_PORT_TYPE_DEAD_NAME = 1u << (MACH_PORT_RIGHT_DEAD_NAME + 16);

// How a right travels in a message (and what the receiver then holds).
constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_RECEIVE = 16;
constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND = 17;
constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
constexpr mach_msg_type_name_t MACH_MSG_TYPE_COPY_SEND = 19;
constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND = 20;
constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;
constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_RECEIVE = MACH_MSG_TYPE_MOVE_RECEIVE;
constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_SEND = MACH_MSG_TYPE_MOVE_SEND;
constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_SEND_ONCE = MACH_MSG_TYPE_MOVE_SEND_ONCE;

// Notifications.
constexpr mach_msg_id_t MACH_NOTIFY_NO_SENDERS = 70;  // the last send right went away
constexpr mach_msg_id_t MACH_NOTIFY_SEND_ONCE = 71;   // a send-once right went away unused

// Further results of the port calls.
constexpr kern_return_t KERN_INVALID_NAME = 15;
constexpr kern_return_t KERN_INVALID_TASK = 16;
constexpr kern_return_t KERN_INVALID_RIGHT = 17;
constexpr kern_return_t KERN_INVALID_VALUE = 18;
constexpr kern_return_t KERN_UREFS_OVERFLOW = 19;
constexpr kern_return_t KERN_INVALID_CAPABILITY = 20;
constexpr kern_return_t KERN_RIGHT_EXISTS = 21;

// How many names the space holds, and how many messages a port queues by
// default and at most.
constexpr unsigned kMachPortSpaceSize = 1024;
constexpr unsigned MACH_PORT_QLIMIT_DEFAULT = 5;
constexpr unsigned MACH_PORT_QLIMIT_MAX = 16;

// A new receive right, port set or dead name. KERN_NO_SPACE when the table is
// full; KERN_INVALID_VALUE for another right.
kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t *name);

// Adds or removes user references of one right of a name. Removing the
// receive right destroys the port: its queue is dropped (with the rights the
// messages carried) and send and send-once rights to it become dead names.
// Removing the last send reference may send a no-senders notification.
kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right, mach_port_delta_t delta);

// Releases one user reference of a send right, a send-once right (which
// sends a send-once notification to its port) or a dead name.
kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name);

// The user references a name holds for a right (0 when it lacks the right).
kern_return_t mach_port_get_refs(task_t task, mach_port_name_t name, mach_port_right_t right, mach_port_urefs_t *refs);

kern_return_t mach_port_type(task_t task, mach_port_name_t name, mach_port_type_t *type);

// Gives the holder of a receive right a send right under the same name
// (MACH_MSG_TYPE_MAKE_SEND), or one more reference of a send right it holds
// (MACH_MSG_TYPE_COPY_SEND). `name` and `poly` must be the same.
kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly);

// Moves a receive right into a port set, or out of any set when `after` is
// MACH_PORT_NULL.
kern_return_t mach_port_move_member(task_t task, mach_port_name_t member, mach_port_name_t after);

// Arms the no-senders notification of a port: once the make-send count is at
// least `sync` and no send right is left, a message with id
// MACH_NOTIFY_NO_SENDERS goes to `notify` through a send-once right
// (`notifyPoly` MACH_MSG_TYPE_MAKE_SEND_ONCE on a receive right, or
// MACH_MSG_TYPE_MOVE_SEND_ONCE of a send-once name). A request armed before
// is returned as a send-once name in `*previous` (else MACH_PORT_NULL).
kern_return_t mach_port_request_notification(task_t task, mach_port_name_t name, mach_msg_id_t variant,
                                             mach_port_mscount_t sync, mach_port_t notify,
                                             mach_msg_type_name_t notifyPoly, mach_port_t *previous);

// Sets the queue limit of a port (1 to MACH_PORT_QLIMIT_MAX).
kern_return_t mach_port_set_qlimit(task_t task, mach_port_name_t name, unsigned limit);

}  // namespace platform::mach
