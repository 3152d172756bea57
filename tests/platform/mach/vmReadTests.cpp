// Checked reads and page allocation of the Mach memory stand-in.
#include "platform/mach/vm_allocate.h"
#include "platform/mach/vm_hold.h"
#include "platform/mach/vm_page.h"
#include "platform/mach/vm_read.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <sys/mman.h>
#include <unistd.h>

using namespace platform::mach;

namespace {

// Three pages: readable, PROT_NONE, unmapped.
struct Layout {
    uint8_t *base;
    size_t page;
    Layout() {
        page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        base =
            static_cast<uint8_t *>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        for (size_t i = 0; i < page; ++i) base[i] = static_cast<uint8_t>(i);
        mprotect(base + page, page, PROT_NONE);
        munmap(base + 2 * page, page);
    }
    ~Layout() { munmap(base, 2 * page); }
    uintptr_t at(size_t offset) const { return reinterpret_cast<uintptr_t>(base + offset); }
};

TEST(VmReadTests, ReadsAndTellsUnmappedFromProtectedAndWrapping) {
    Layout l;
    uint8_t buffer[64] = {};
    mach_vm_size_t out = 99;
    ASSERT_EQ(mach_vm_read_overwrite(mach_task_self(), l.at(10), 20, reinterpret_cast<uintptr_t>(buffer), &out),
              KERN_SUCCESS);
    EXPECT_EQ(out, 20u);
    EXPECT_EQ(buffer[0], 10);
    EXPECT_EQ(buffer[19], 29);

    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), l.at(l.page), 4, reinterpret_cast<uintptr_t>(buffer), &out),
              KERN_PROTECTION_FAILURE);
    EXPECT_EQ(
        mach_vm_read_overwrite(mach_task_self(), l.at(2 * l.page + 8), 4, reinterpret_cast<uintptr_t>(buffer), &out),
        KERN_INVALID_ADDRESS);
    // Straddling into the protected page: the readable part is reported.
    EXPECT_EQ(
        mach_vm_read_overwrite(mach_task_self(), l.at(l.page - 16), 32, reinterpret_cast<uintptr_t>(buffer), &out),
        KERN_PROTECTION_FAILURE);
    EXPECT_EQ(out, 16u);
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), UINT64_MAX - 4, 8, reinterpret_cast<uintptr_t>(buffer), &out),
              KERN_INVALID_ARGUMENT);
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), 0, 8, reinterpret_cast<uintptr_t>(buffer), &out),
              KERN_INVALID_ADDRESS);
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self() + 1, l.at(0), 4, reinterpret_cast<uintptr_t>(buffer), &out),
              KERN_INVALID_ARGUMENT);
}

TEST(VmReadTests, ReadableLengthStopsAtTheFirstBadPage) {
    Layout l;
    EXPECT_EQ(vm_readable_length(mach_task_self(), l.at(100), 3 * l.page), l.page - 100);
    EXPECT_EQ(vm_readable_length(mach_task_self(), l.at(100), 50), 50u);
    EXPECT_EQ(vm_readable_length(mach_task_self(), l.at(l.page), 10), 0u);
    EXPECT_EQ(vm_readable_length(mach_task_self(), UINT64_MAX - 10, 100), 0u);
}

TEST(VmReadTests, AllocateProtectDeallocate) {
    mach_vm_address_t address = 0;
    ASSERT_EQ(mach_vm_allocate(mach_task_self(), &address, 10, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
    EXPECT_EQ(address & vm_page_mask(), 0u);
    auto *p = reinterpret_cast<uint8_t *>(address);
    EXPECT_EQ(p[0], 0);
    p[vm_page_size() - 1] = 7;
    ASSERT_EQ(mach_vm_protect(mach_task_self(), address, vm_page_size(), VM_PROT_NONE), KERN_SUCCESS);
    uint8_t byte;
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), address, 1, reinterpret_cast<uintptr_t>(&byte), nullptr),
              KERN_PROTECTION_FAILURE);
    ASSERT_EQ(mach_vm_deallocate(mach_task_self(), address, 10), KERN_SUCCESS);
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), address, 1, reinterpret_cast<uintptr_t>(&byte), nullptr),
              KERN_INVALID_ADDRESS);
    EXPECT_EQ(mach_vm_allocate(mach_task_self(), &address, 0, VM_FLAGS_ANYWHERE), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(mach_vm_allocate(mach_task_self(), &address, UINT64_MAX, VM_FLAGS_ANYWHERE), KERN_INVALID_ARGUMENT);
}

}  // namespace

namespace {

// Ends the calling thread's hold however the test leaves.
struct Hold {
    bool held = task_memory_hold_begin();
    ~Hold() {
        if (held) task_memory_hold_end();
    }
};

}  // namespace

// Under a hold, pages proved readable are read again without the kernel:
// the reads still give the bytes, still refuse what is not readable, and
// forget what this layer unmaps or protects.
TEST(VmReadTests, HeldTaskRemembersReadablePagesAndForgetsWhatChanges) {
    mach_vm_address_t address = 0;
    ASSERT_EQ(mach_vm_allocate(mach_task_self(), &address, 2 * vm_page_size(), VM_FLAGS_ANYWHERE), KERN_SUCCESS);
    auto *p = reinterpret_cast<uint8_t *>(address);
    p[5] = 0x55;
    Hold hold;
    ASSERT_TRUE(hold.held);
    ASSERT_TRUE(task_memory_held());
    EXPECT_FALSE(task_memory_known_readable(address, 8));
    uint8_t buffer[8] = {};
    ASSERT_EQ(mach_vm_read_overwrite(mach_task_self(), address, 8, reinterpret_cast<uintptr_t>(buffer), nullptr),
              KERN_SUCCESS);
    EXPECT_TRUE(task_memory_known_readable(address + 100, 8));  // the whole page is proved
    EXPECT_FALSE(task_memory_known_readable(address + vm_page_size(), 8));
    p[5] = 0x66;  // the remembered page is read live, not from a copy
    ASSERT_EQ(mach_vm_read_overwrite(mach_task_self(), address, 8, reinterpret_cast<uintptr_t>(buffer), nullptr),
              KERN_SUCCESS);
    EXPECT_EQ(buffer[5], 0x66);
    EXPECT_EQ(vm_readable_length(mach_task_self(), address, 2 * vm_page_size()), 2 * vm_page_size());
    EXPECT_TRUE(task_memory_known_readable(address, 2 * vm_page_size()));

    ASSERT_EQ(mach_vm_protect(mach_task_self(), address, vm_page_size(), VM_PROT_NONE), KERN_SUCCESS);
    EXPECT_FALSE(task_memory_known_readable(address, 8));
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), address, 8, reinterpret_cast<uintptr_t>(buffer), nullptr),
              KERN_PROTECTION_FAILURE);
    ASSERT_EQ(mach_vm_deallocate(mach_task_self(), address, 2 * vm_page_size()), KERN_SUCCESS);
    EXPECT_EQ(mach_vm_read_overwrite(mach_task_self(), address + vm_page_size(), 8, reinterpret_cast<uintptr_t>(buffer),
                                     nullptr),
              KERN_INVALID_ADDRESS);
}

// A hold belongs to one thread: another cannot take it, and its reads stay
// checked; holds nest, and the last end forgets everything.
TEST(VmReadTests, HoldBelongsToOneThreadAndNests) {
    static uint8_t data[64];
    {
        Hold outer;
        ASSERT_TRUE(outer.held);
        {
            Hold inner;
            EXPECT_TRUE(inner.held);
        }
        EXPECT_TRUE(task_memory_held());
        mach_vm_size_t out = 0;
        ASSERT_EQ(mach_vm_read_overwrite(mach_task_self(), reinterpret_cast<uintptr_t>(data), 8,
                                         reinterpret_cast<uintptr_t>(data + 8), &out),
                  KERN_SUCCESS);
        EXPECT_TRUE(task_memory_known_readable(reinterpret_cast<uintptr_t>(data), 8));
        bool otherHeld = true, otherKnows = true;
        std::thread other([&] {
            otherHeld = task_memory_hold_begin();
            otherKnows = task_memory_known_readable(reinterpret_cast<uintptr_t>(data), 8);
        });
        other.join();
        EXPECT_FALSE(otherHeld);
        EXPECT_FALSE(otherKnows);
    }
    EXPECT_FALSE(task_memory_held());
    Hold again;
    ASSERT_TRUE(again.held);
    EXPECT_FALSE(task_memory_known_readable(reinterpret_cast<uintptr_t>(data), 8));
}
