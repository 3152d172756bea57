#pragma once
// Processor types and subtypes, numbered as Mach numbers them: the values
// that Mach-O headers (platform/dyld/loader.h) and crash reports carry. Every
// part that names a processor type takes it from here.
#include <cstdint>

namespace platform::mach {

using cpu_type_t = int32_t;
using cpu_subtype_t = int32_t;

// Set in the 64-bit variant of a processor type.
constexpr cpu_type_t CPU_ARCH_ABI64 = 0x01000000;

constexpr cpu_type_t CPU_TYPE_X86 = 7;
constexpr cpu_type_t CPU_TYPE_X86_64 = CPU_TYPE_X86 | CPU_ARCH_ABI64;
constexpr cpu_type_t CPU_TYPE_ARM = 12;
constexpr cpu_type_t CPU_TYPE_ARM64 = CPU_TYPE_ARM | CPU_ARCH_ABI64;
constexpr cpu_type_t CPU_TYPE_POWERPC = 18;
constexpr cpu_type_t CPU_TYPE_POWERPC64 = CPU_TYPE_POWERPC | CPU_ARCH_ABI64;

constexpr cpu_subtype_t CPU_SUBTYPE_X86_ALL = 3;
constexpr cpu_subtype_t CPU_SUBTYPE_X86_64_ALL = 3;
constexpr cpu_subtype_t CPU_SUBTYPE_ARM_V6 = 6;
constexpr cpu_subtype_t CPU_SUBTYPE_ARM_V7 = 9;
constexpr cpu_subtype_t CPU_SUBTYPE_ARM64_ALL = 0;
constexpr cpu_subtype_t CPU_SUBTYPE_ARM64E = 2;
constexpr cpu_subtype_t CPU_SUBTYPE_POWERPC_ALL = 0;

}  // namespace platform::mach
