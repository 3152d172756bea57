#pragma once
// The Mach kernel's basic types and return codes, as the crash engine uses
// them. On Linux a task is this process and a thread port is a thread id.
#include <cstdint>

namespace platform::mach {

using kern_return_t = int;
using mach_port_t = uint32_t;
using task_t = mach_port_t;
using thread_t = mach_port_t;
using vm_address_t = uintptr_t;
using vm_size_t = uintptr_t;
using mach_vm_address_t = uint64_t;
using mach_vm_size_t = uint64_t;
using natural_t = uint32_t;
using mach_msg_type_number_t = natural_t;
using thread_state_flavor_t = int;

constexpr kern_return_t KERN_SUCCESS = 0;
constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
constexpr kern_return_t KERN_PROTECTION_FAILURE = 2;
constexpr kern_return_t KERN_NO_SPACE = 3;
constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
constexpr kern_return_t KERN_FAILURE = 5;
constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
constexpr kern_return_t KERN_NOT_RECEIVER = 7;
constexpr kern_return_t KERN_NO_ACCESS = 8;
constexpr kern_return_t KERN_MEMORY_FAILURE = 9;
constexpr kern_return_t KERN_MEMORY_ERROR = 10;
constexpr kern_return_t KERN_NOT_SUPPORTED = 46;
constexpr kern_return_t KERN_OPERATION_TIMED_OUT = 49;

constexpr mach_port_t MACH_PORT_NULL = 0;

// The task port of this process. There is only ever one task here.
constexpr task_t kSelfTask = 1;
inline task_t mach_task_self() { return kSelfTask; }

}  // namespace platform::mach

// Virtual-memory vocabulary: protections, allocation flags, inheritance.
namespace platform::mach {

using vm_prot_t = int;
using vm_inherit_t = unsigned int;

constexpr vm_prot_t VM_PROT_NONE = 0x0;
constexpr vm_prot_t VM_PROT_READ = 0x1;
constexpr vm_prot_t VM_PROT_WRITE = 0x2;
constexpr vm_prot_t VM_PROT_EXECUTE = 0x4;

constexpr int VM_FLAGS_FIXED = 0x0;
constexpr int VM_FLAGS_ANYWHERE = 0x1;
constexpr int VM_FLAGS_OVERWRITE = 0x4000;

constexpr vm_inherit_t VM_INHERIT_COPY = 1;

}  // namespace platform::mach
