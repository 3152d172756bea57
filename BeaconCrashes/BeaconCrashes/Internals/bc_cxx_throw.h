#pragma once
// The program's own C++ throw entry point records, for every throw, the
// backtrace of the throwing thread in a record of that thread, before it
// hands the throw on to the C++ runtime's entry point. The terminate handler
// of the uncaught-exception manager reads the record.
#include <cstdint>

constexpr uint32_t kBCCrashesCXXThrowRecordCapacity = 128;

struct BCCrashesCXXThrowRecord {
    // The thrown object of the latest recorded throw on this thread.
    void *exceptionObject;
    // Taken inside the throw entry point, innermost first: entry 0 is the
    // entry point itself, entry 1 the thrower.
    uint64_t returnAddresses[kBCCrashesCXXThrowRecordCapacity];
    uint32_t addressCount;
};

// Once per process: creates the per-thread key, looks up the runtime's entry
// point and has the C library load its unwinder, so that neither happens
// during a throw.
void bc_cxx_throw_prepare();
// Whether throws are recorded (while the manager's terminate handler is
// installed).
void bc_cxx_throw_set_recording(bool recording);
// The calling thread's record; nullptr when it has recorded no throw.
BCCrashesCXXThrowRecord *bc_cxx_throw_record_for_current_thread();
