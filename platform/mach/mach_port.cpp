// Crash path: every call may run in a signal handler (see port_space.h).
#include "platform/mach/mach_port.h"

#include "platform/mach/port_space.h"

namespace platform::mach {

using namespace detail;

namespace {

// Holds the space lock for one call.
class SpaceGuard {
public:
    SpaceGuard() : locked_(lockSpace()) {}
    ~SpaceGuard() {
        if (locked_) unlockSpace();
    }
    SpaceGuard(const SpaceGuard &) = delete;
    SpaceGuard &operator=(const SpaceGuard &) = delete;
    bool locked() const { return locked_; }

private:
    bool locked_;
};

bool isKernelObject(mach_port_name_t name) { return MACH_PORT_VALID(name) && !inNameRange(name); }

kern_return_t destroySet(uint32_t entry) {
    for (uint32_t i = 0; i < kMachPortSpaceSize; ++i) {
        if (gPorts[i].inUse && gPorts[i].alive && gPorts[i].set == entry) gPorts[i].set = kNone;
    }
    freeEntry(entry);
    noteChange();
    return KERN_SUCCESS;
}

kern_return_t modSendRefs(uint32_t entry, mach_port_delta_t delta) {
    Entry &e = gEntries[entry];
    if (e.type & MACH_PORT_TYPE_DEAD_NAME) {
        // Send rights that died are counted as dead-name references.
        if (delta < 0 && static_cast<uint32_t>(-delta) > e.urefs) return KERN_INVALID_VALUE;
        e.urefs += delta;
        if (e.urefs == 0) freeEntry(entry);
        return KERN_SUCCESS;
    }
    if ((e.type & MACH_PORT_TYPE_SEND) == 0) return KERN_INVALID_RIGHT;
    if (delta < 0 && static_cast<uint32_t>(-delta) > e.urefs) return KERN_INVALID_VALUE;
    if (delta > 0 && e.urefs + static_cast<uint32_t>(delta) < e.urefs) return KERN_UREFS_OVERFLOW;
    const uint32_t port = e.port;
    e.urefs += delta;
    if (e.urefs == 0) e.type &= ~MACH_PORT_TYPE_SEND;
    Port &p = gPorts[port];
    p.srights += delta;
    if (delta < 0) {
        // checkNoSenders through a temporary reference.
        ++p.refs;
        ++p.srights;
        releaseSend(port);
    }
    return KERN_SUCCESS;
}

}  // namespace

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t *name) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (name == nullptr) return KERN_INVALID_ARGUMENT;
    if (right != MACH_PORT_RIGHT_RECEIVE && right != MACH_PORT_RIGHT_PORT_SET && right != MACH_PORT_RIGHT_DEAD_NAME) {
        return KERN_INVALID_VALUE;
    }
    SpaceGuard guard;
    if (!guard.locked()) return KERN_OPERATION_TIMED_OUT;
    const uint32_t entry = allocateEntry();
    if (entry == kNone) return KERN_NO_SPACE;
    Entry &e = gEntries[entry];
    if (right == MACH_PORT_RIGHT_RECEIVE) {
        const uint32_t port = allocatePort();
        if (port == kNone) return KERN_NO_SPACE;
        gPorts[port].entry = entry;
        e.port = port;
        e.type = MACH_PORT_TYPE_RECEIVE;
    } else if (right == MACH_PORT_RIGHT_PORT_SET) {
        e.type = MACH_PORT_TYPE_PORT_SET;
    } else {
        e.type = MACH_PORT_TYPE_DEAD_NAME;
        e.urefs = 1;
    }
    *name = nameOf(entry);
    return KERN_SUCCESS;
}

kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right, mach_port_delta_t delta) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (isKernelObject(name)) return KERN_SUCCESS;
    if (!MACH_PORT_VALID(name)) return KERN_INVALID_NAME;
    SpaceGuard guard;
    if (!guard.locked()) return KERN_OPERATION_TIMED_OUT;
    const uint32_t entry = entryOf(name);
    if (entry == kNone) return KERN_INVALID_NAME;
    Entry &e = gEntries[entry];
    switch (right) {
    case MACH_PORT_RIGHT_SEND: return modSendRefs(entry, delta);
    case MACH_PORT_RIGHT_RECEIVE:
        if ((e.type & MACH_PORT_TYPE_RECEIVE) == 0) return KERN_INVALID_RIGHT;
        if (delta == 0) return KERN_SUCCESS;
        if (delta != -1) return KERN_INVALID_VALUE;
        destroyReceive(entry);
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_SEND_ONCE:
        if (e.type & MACH_PORT_TYPE_DEAD_NAME) return modSendRefs(entry, delta);
        if (e.type != MACH_PORT_TYPE_SEND_ONCE) return KERN_INVALID_RIGHT;
        if (delta == 0) return KERN_SUCCESS;
        if (delta != -1) return KERN_INVALID_VALUE;
        {
            const uint32_t port = e.port;
            freeEntry(entry);
            releaseSendOnce(port);
        }
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_PORT_SET:
        if (e.type != MACH_PORT_TYPE_PORT_SET) return KERN_INVALID_RIGHT;
        if (delta == 0) return KERN_SUCCESS;
        if (delta != -1) return KERN_INVALID_VALUE;
        return destroySet(entry);
    case MACH_PORT_RIGHT_DEAD_NAME:
        if (e.type != MACH_PORT_TYPE_DEAD_NAME) return KERN_INVALID_RIGHT;
        return modSendRefs(entry, delta);
    default: return KERN_INVALID_VALUE;
    }
}

kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (isKernelObject(name)) return KERN_SUCCESS;
    if (!MACH_PORT_VALID(name)) return KERN_INVALID_NAME;
    mach_port_type_t type = 0;
    const kern_return_t kr = mach_port_type(task, name, &type);
    if (kr != KERN_SUCCESS) return kr;
    if (type & MACH_PORT_TYPE_SEND_ONCE) return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_SEND_ONCE, -1);
    if (type & MACH_PORT_TYPE_DEAD_NAME) return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_DEAD_NAME, -1);
    if (type & MACH_PORT_TYPE_SEND) return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_SEND, -1);
    return KERN_INVALID_RIGHT;
}

kern_return_t mach_port_get_refs(task_t task, mach_port_name_t name, mach_port_right_t right, mach_port_urefs_t *refs) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (refs == nullptr) return KERN_INVALID_ARGUMENT;
    SpaceGuard guard;
    if (!guard.locked()) return KERN_OPERATION_TIMED_OUT;
    const uint32_t entry = entryOf(name);
    if (entry == kNone) return KERN_INVALID_NAME;
    const Entry &e = gEntries[entry];
    switch (right) {
    case MACH_PORT_RIGHT_SEND: *refs = (e.type & MACH_PORT_TYPE_SEND) ? e.urefs : 0; break;
    case MACH_PORT_RIGHT_RECEIVE: *refs = (e.type & MACH_PORT_TYPE_RECEIVE) ? 1 : 0; break;
    case MACH_PORT_RIGHT_SEND_ONCE: *refs = (e.type & MACH_PORT_TYPE_SEND_ONCE) ? 1 : 0; break;
    case MACH_PORT_RIGHT_PORT_SET: *refs = (e.type & MACH_PORT_TYPE_PORT_SET) ? 1 : 0; break;
    case MACH_PORT_RIGHT_DEAD_NAME: *refs = (e.type & MACH_PORT_TYPE_DEAD_NAME) ? e.urefs : 0; break;
    default: return KERN_INVALID_VALUE;
    }
    return KERN_SUCCESS;
}

kern_return_t mach_port_type(task_t task, mach_port_name_t name, mach_port_type_t *type) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (type == nullptr) return KERN_INVALID_ARGUMENT;
    SpaceGuard guard;
    if (!guard.locked()) return KERN_OPERATION_TIMED_OUT;
    const uint32_t entry = entryOf(name);
    if (entry == kNone) return KERN_INVALID_NAME;
    *type = gEntries[entry].type;
    return KERN_SUCCESS;
}

kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (name != poly) return KERN_INVALID_VALUE;
    if (polyPoly != MACH_MSG_TYPE_MAKE_SEND && polyPoly != MACH_MSG_TYPE_COPY_SEND) return KERN_INVALID_VALUE;
    SpaceGuard guard;
    if (!guard.locked()) return KERN_OPERATION_TIMED_OUT;
    const uint32_t entry = entryOf(name);
    if (entry == kNone) return KERN_INVALID_NAME;
    Entry &e = gEntries[entry];
    const mach_port_type_t needed = polyPoly == MACH_MSG_TYPE_MAKE_SEND ? MACH_PORT_TYPE_RECEIVE : MACH_PORT_TYPE_SEND;
    if ((e.type & needed) == 0) return KERN_INVALID_RIGHT;
    if (e.urefs == UINT32_MAX) return KERN_UREFS_OVERFLOW;
    Port &p = gPorts[e.port];
    if (polyPoly == MACH_MSG_TYPE_MAKE_SEND) ++p.mscount;
    e.type |= MACH_PORT_TYPE_SEND;
    ++e.urefs;
    ++p.srights;
    return KERN_SUCCESS;
}

kern_return_t mach_port_move_member(task_t task, mach_port_name_t member, mach_port_name_t after) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    SpaceGuard guard;
    if (!guard.locked()) return KERN_OPERATION_TIMED_OUT;
    const uint32_t entry = entryOf(member);
    if (entry == kNone) return KERN_INVALID_NAME;
    if ((gEntries[entry].type & MACH_PORT_TYPE_RECEIVE) == 0) return KERN_INVALID_RIGHT;
    uint32_t set = kNone;
    if (after != MACH_PORT_NULL) {
        set = entryOf(after);
        if (set == kNone) return KERN_INVALID_NAME;
        if (gEntries[set].type != MACH_PORT_TYPE_PORT_SET) return KERN_INVALID_RIGHT;
    }
    gPorts[gEntries[entry].port].set = set;
    noteChange();
    return KERN_SUCCESS;
}

kern_return_t mach_port_request_notification(task_t task, mach_port_name_t name, mach_msg_id_t variant,
                                             mach_port_mscount_t sync, mach_port_t notify,
                                             mach_msg_type_name_t notifyPoly, mach_port_t *previous) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (previous == nullptr) return KERN_INVALID_ARGUMENT;
    if (variant != MACH_NOTIFY_NO_SENDERS) return KERN_INVALID_VALUE;
    SpaceGuard guard;
    if (!guard.locked()) return KERN_OPERATION_TIMED_OUT;
    const uint32_t entry = entryOf(name);
    if (entry == kNone) return KERN_INVALID_NAME;
    if ((gEntries[entry].type & MACH_PORT_TYPE_RECEIVE) == 0) return KERN_INVALID_RIGHT;

    uint32_t notifyPort = kNone;
    uint32_t notifyEntry = kNone;
    if (notify != MACH_PORT_NULL) {
        notifyEntry = entryOf(notify);
        if (notifyEntry == kNone) return KERN_INVALID_CAPABILITY;
        const Entry &n = gEntries[notifyEntry];
        if (notifyPoly == MACH_MSG_TYPE_MAKE_SEND_ONCE && (n.type & MACH_PORT_TYPE_RECEIVE)) {
            notifyPort = n.port;
        } else if (notifyPoly == MACH_MSG_TYPE_MOVE_SEND_ONCE && n.type == MACH_PORT_TYPE_SEND_ONCE) {
            notifyPort = n.port;
        } else {
            return KERN_INVALID_CAPABILITY;
        }
    }
    // The previous request's right comes back to the caller under a name.
    *previous = MACH_PORT_NULL;
    Port &p = gPorts[gEntries[entry].port];
    if (p.nsNotify != kNone) {
        const uint32_t slot = allocateEntry();
        if (slot == kNone) return KERN_NO_SPACE;
        gEntries[slot].type = MACH_PORT_TYPE_SEND_ONCE;
        gEntries[slot].port = p.nsNotify;
        *previous = nameOf(slot);
        p.nsNotify = kNone;
    }
    if (notifyPort != kNone) {
        if (notifyPoly == MACH_MSG_TYPE_MAKE_SEND_ONCE) {
            ++gPorts[notifyPort].sorights;
            ++gPorts[notifyPort].refs;
        } else {
            freeEntry(notifyEntry);  // the name's right moves into the request
        }
        p.nsNotify = notifyPort;
        p.nsSync = sync;
        // Armed with no senders left: it fires at once.
        if (p.srights == 0 && p.mscount >= sync) {
            ++p.refs;
            ++p.srights;
            releaseSend(gEntries[entry].port);
        }
    }
    return KERN_SUCCESS;
}

kern_return_t mach_port_set_qlimit(task_t task, mach_port_name_t name, unsigned limit) {
    if (task != mach_task_self()) return KERN_INVALID_TASK;
    if (limit == 0 || limit > MACH_PORT_QLIMIT_MAX) return KERN_INVALID_VALUE;
    SpaceGuard guard;
    if (!guard.locked()) return KERN_OPERATION_TIMED_OUT;
    const uint32_t entry = entryOf(name);
    if (entry == kNone) return KERN_INVALID_NAME;
    if ((gEntries[entry].type & MACH_PORT_TYPE_RECEIVE) == 0) return KERN_INVALID_RIGHT;
    gPorts[gEntries[entry].port].qlimit = limit;
    noteChange();
    return KERN_SUCCESS;
}

}  // namespace platform::mach
