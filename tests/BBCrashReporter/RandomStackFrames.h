#pragma once
// Stacks of C++ shapes for the random-stack walks, built -O2 without frame
// pointers so that only call-frame information unwinds them. A plan lists
// shapes from the outermost down; its bottom calls the probe, or faults and
// the fault's handler calls the probe and escapes back to the plan's start.
#include <cstddef>
#include <cstdint>

extern "C" {

typedef void (*random_stack_probe)(void *ctx);

enum random_stack_shape : uint8_t {
    RANDOM_STACK_STACK_ARGS,    // arguments on the stack under a cleanup (DW_CFA_GNU_args_size)
    RANDOM_STACK_STD_SORT,      // inside std::sort's comparator
    RANDOM_STACK_STD_FUNCTION,  // through a std::function
    RANDOM_STACK_OSTREAM,       // an ostream writing into a custom streambuf (libstdc++)
    RANDOM_STACK_QSORT,         // qsort_r's comparator (libc)
    RANDOM_STACK_BIG_FRAME,     // a frame too large for a compact encoding
    RANDOM_STACK_ALLOCA,        // a frame addressed through rbp
    RANDOM_STACK_TRY,           // inside a try block
    RANDOM_STACK_SIGNAL,        // a signal handler on the thread's stack
    RANDOM_STACK_ALT_SIGNAL,    // a signal handler on the alternate stack
    RANDOM_STACK_SHAPE_COUNT,
};

struct random_stack_plan {
    const uint8_t *shapes;
    int count;
    int fault;  // the bottom faults instead of calling the probe
    random_stack_probe probe;
    void *ctx;
};

// Installs the signal handlers and the alternate stack the shapes use (call
// once, in the process that runs the plans).
void random_stack_install(void *alternate_stack, size_t size);

// Runs the plan; 1 when it came back through a fault, 0 otherwise.
int random_stack_run(const random_stack_plan *plan);
}
