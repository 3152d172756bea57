#pragma once
// Code for the live DWARF walks, built with -O2 -fomit-frame-pointer so that
// only its call-frame information can unwind it: a sort whose comparator
// calls a probe (or faults), and a caller of a function that never returns.
#include <cstddef>

extern "C" {

typedef void (*dwarf_live_probe)(void *ctx);

// Sorts a small array with qsort; the first comparison calls probe(ctx).
// With `fault` set, that comparison stores through a null pointer instead.
long dwarf_live_sort_outer(dwarf_live_probe probe, void *ctx, int fault);
// Where the last dwarf_live_sort_outer call returns to.
extern void *dwarf_live_outer_return;

// Calls dwarf_live_never_returns(probe, ctx), which calls the probe forever,
// as its very last instruction; the probe must leave by longjmp.
void dwarf_live_noreturn_caller(dwarf_live_probe probe, void *ctx);
// Placed right after dwarf_live_noreturn_caller.
long dwarf_live_after_noreturn_caller(long x);

// Stores through a null pointer on the very first instruction after it grows
// its frame: looked up at pc - 1, the fault would get the row before.
long dwarf_live_fault_after_adjust(long x);
// The address of that store.
extern const char dwarf_live_adjust_fault[];
}
