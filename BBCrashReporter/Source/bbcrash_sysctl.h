#pragma once
// System values by their sysctl names, answered from /proc, /sys and uname.
// Known names: "kern.osrelease", "kern.osversion", "hw.model", "hw.machine",
// "hw.cputype", "hw.cpusubtype", "hw.physicalcpu_max", "hw.logicalcpu_max",
// "sysctl.proc_native". Not async-signal-safe (they allocate).
#include <cstdint>

// A malloc'd NUL-terminated value, or null with errno set (ENOENT for an
// unknown name or one whose value is not text).
char *bbcrash_sysctl_string(const char *name);

// True and the value when the name has a 4-byte integer value.
bool bbcrash_sysctl_int(const char *name, int32_t *result);
