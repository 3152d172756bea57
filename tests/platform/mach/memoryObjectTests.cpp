// Memory entries and mappings: a copy of task memory that never faults.
#include "platform/mach/memory_object.h"
#include "platform/mach/vm_allocate.h"
#include "platform/mach/vm_page.h"
#include "platform/mach/vm_read.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/mman.h>

using namespace platform::mach;

namespace {

// The permissions /proc/self/maps shows for the mapping holding `address`.
std::string permissionsAt(uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream in(line);
        std::string range, perms;
        in >> range >> perms;
        uintptr_t start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        uintptr_t end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        if (address >= start && address < end) return perms;
    }
    return "";
}

TEST(MemoryObjectTests, EntryCoversTheReadableRunAndMappingCopiesIt) {
    const size_t page = vm_page_size();
    auto *p =
        static_cast<uint8_t *>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(p, MAP_FAILED);
    std::memset(p, 0x5A, 2 * page);
    munmap(p + 2 * page, page);
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);

    mach_vm_size_t size = 3 * page;
    memory_object_entry_t entry{};
    ASSERT_EQ(mach_make_memory_entry_64(mach_task_self(), &size, start, VM_PROT_READ, &entry, MACH_PORT_NULL),
              KERN_SUCCESS);
    EXPECT_EQ(size, 2 * page);
    EXPECT_EQ(
        mach_make_memory_entry_64(mach_task_self(), &size, start, VM_PROT_READ | VM_PROT_WRITE, &entry, MACH_PORT_NULL),
        KERN_PROTECTION_FAILURE);

    mach_vm_address_t local = 0;
    ASSERT_EQ(mach_vm_map(mach_task_self(), &local, 2 * page, 0, VM_FLAGS_ANYWHERE, entry, 0, true, VM_PROT_READ,
                          VM_PROT_READ, VM_INHERIT_COPY),
              KERN_SUCCESS);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(local)[2 * page - 1], 0x5A);
    // A copy: later changes to the source do not show through.
    p[0] = 1;
    EXPECT_EQ(reinterpret_cast<uint8_t *>(local)[0], 0x5A);
    // And the copy is read-only.
    EXPECT_EQ(permissionsAt(local), "r--p");
    // Mapping more than the entry names is refused.
    mach_vm_address_t other = 0;
    EXPECT_EQ(mach_vm_map(mach_task_self(), &other, 3 * page, 0, VM_FLAGS_ANYWHERE, entry, 0, true, VM_PROT_READ,
                          VM_PROT_READ, VM_INHERIT_COPY),
              KERN_INVALID_ARGUMENT);
    mach_memory_entry_release(&entry);
    mach_vm_deallocate(mach_task_self(), local, 2 * page);

    // Nothing readable at the start: no entry.
    size = page;
    EXPECT_EQ(
        mach_make_memory_entry_64(mach_task_self(), &size, start + 2 * page, VM_PROT_READ, &entry, MACH_PORT_NULL),
        KERN_INVALID_ADDRESS);
    munmap(p, 2 * page);
}

}  // namespace
