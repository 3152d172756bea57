#pragma once
// Task memory held still: a span in which the calling thread vouches that no
// other thread of the task runs (every other thread is suspended, or there is
// none), so that nothing but the caller itself maps or unmaps memory.
//
// While the caller holds the task, the checked reads of vm_read remember the
// pages they proved readable and read them again with a plain copy, without a
// system call, and memory objects may alias task memory instead of copying
// it. This layer's own deallocation and protection changes forget what they
// touch. Other threads are not affected: for them every read stays checked.
// Memory unmapped behind this layer's back by the holder itself (a plain
// munmap) is not seen: the holder must not do that while it holds the task.
//
// Async-signal-safe: no allocation, no locks, no system call.
#include "platform/mach/mach_types.h"

namespace platform::mach {

// Starts (or nests) a hold by the calling thread; false, and nothing held,
// when another thread holds the task.
bool task_memory_hold_begin();
// Ends one level of the calling thread's hold; the last one forgets every
// page it had proved readable.
void task_memory_hold_end();
// True when the calling thread holds the task.
bool task_memory_held();
// The number of the calling thread's current hold (nonzero, different for
// every outermost hold since the process started), 0 when it holds none.
// What a holder caches about task memory is valid while this number stays.
uint64_t task_memory_hold_generation();

// For the checked reads: whether [address, address + size) lies in pages the
// current hold proved readable, and the note that they are.
bool task_memory_known_readable(mach_vm_address_t address, mach_vm_size_t size);
void task_memory_note_readable(mach_vm_address_t address, mach_vm_size_t size);
// Forgets every proof that overlaps the range.
void task_memory_forget(mach_vm_address_t address, mach_vm_size_t size);

}  // namespace platform::mach
