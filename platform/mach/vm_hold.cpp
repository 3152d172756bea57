#include "platform/mach/vm_hold.h"

#include "platform/mach/vm_page.h"

#include <atomic>
#include <pthread.h>

namespace platform::mach {

namespace {

// Proven-readable runs of whole pages. Only the holding thread reads or
// changes them, so plain fields suffice; the owner word is the only shared
// state.
constexpr unsigned kRanges = 16;
struct Range {
    mach_vm_address_t start;
    mach_vm_address_t end;  // exclusive; start == end: empty
};
Range g_ranges[kRanges];
unsigned g_nextSlot;
unsigned g_depth;
uint64_t g_generation;  // of the current or last outermost hold
std::atomic<uintptr_t> g_owner{0};

uintptr_t self() { return static_cast<uintptr_t>(pthread_self()); }

void clearRanges() {
    for (auto &range : g_ranges) {
        range = {0, 0};
    }
    g_nextSlot = 0;
}

}  // namespace

bool task_memory_hold_begin() {
    const uintptr_t me = self();
    uintptr_t expected = 0;
    if (g_owner.load(std::memory_order_acquire) == me) {
        ++g_depth;
        return true;
    }
    if (!g_owner.compare_exchange_strong(expected, me, std::memory_order_acq_rel)) {
        return false;
    }
    clearRanges();
    ++g_generation;
    g_depth = 1;
    return true;
}

void task_memory_hold_end() {
    if (!task_memory_held()) {
        return;
    }
    if (--g_depth == 0) {
        clearRanges();
        g_owner.store(0, std::memory_order_release);
    }
}

bool task_memory_held() { return g_owner.load(std::memory_order_acquire) == self(); }

uint64_t task_memory_hold_generation() { return task_memory_held() ? g_generation : 0; }

bool task_memory_known_readable(mach_vm_address_t address, mach_vm_size_t size) {
    mach_vm_address_t end = 0;
    if (!task_memory_held() || __builtin_add_overflow(address, size, &end)) {
        return false;
    }
    for (const auto &range : g_ranges) {
        if (range.start <= address && end <= range.end && range.start < range.end) {
            return true;
        }
    }
    return false;
}

void task_memory_note_readable(mach_vm_address_t address, mach_vm_size_t size) {
    const mach_vm_address_t mask = vm_page_mask();
    mach_vm_address_t last = 0;
    if (!task_memory_held() || size == 0 || __builtin_add_overflow(address, size - 1, &last)) {
        return;
    }
    const mach_vm_address_t start = address & ~mask;
    mach_vm_address_t end = (last | mask) + 1;  // 0 at the very top: leave that page out
    if (end == 0) {
        end = last & ~mask;
        if (end <= start) {
            return;
        }
    }
    // Grow a run that overlaps or touches the new one, else take a slot.
    for (auto &range : g_ranges) {
        if (range.start < range.end && start <= range.end && range.start <= end) {
            range.start = start < range.start ? start : range.start;
            range.end = end > range.end ? end : range.end;
            return;
        }
    }
    g_ranges[g_nextSlot] = {start, end};
    g_nextSlot = (g_nextSlot + 1) % kRanges;
}

void task_memory_forget(mach_vm_address_t address, mach_vm_size_t size) {
    mach_vm_address_t end = 0;
    if (!task_memory_held()) {
        return;
    }
    if (__builtin_add_overflow(address, size, &end)) {
        end = ~mach_vm_address_t(0);
    }
    for (auto &range : g_ranges) {
        if (range.start < end && address < range.end) {
            range = {0, 0};
        }
    }
}

}  // namespace platform::mach
