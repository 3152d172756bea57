#pragma once
// Alternate signal stacks for every thread, so that a stack overflow on any
// thread reaches the crash handler with a stack to run on, and the signals a
// crash report needs unblocked on every thread.
//
// The program defines pthread_create (bbcrash_thread_stack.cpp): the
// executable exports it, so every thread the process starts, also those a
// shared library starts, comes through it. It hands the thread to the C
// library's pthread_create (or to the next interposer, a sanitizer's). Every
// new thread first unblocks the fault signals (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE), enabled or not: blocking them never helps a program. Once
// bbcrash_thread_stack_enable ran, it also gets an alternate stack of
// BBCrashSignalHandler::kAlternateStackSize bytes with a guard page below it,
// unless it already has one (a sanitizer's), and all the crash signals
// unblocked (below). The stack is freed when the thread ends, however it ends
// (return, pthread_exit, cancellation): a thread-specific value's destructor
// does it. A thread that sets a stack of its own keeps it. The loading
// thread unblocks the fault signals at load, before main, so the threads it
// starts inherit that too.
//
// None of this is crash-path code; it runs as threads start and end.

// From now on, every new thread gets an alternate stack and the crash signals
// unblocked; the calling thread gets the signals unblocked at once, and the
// rendezvous signal its handler (a stray one then does no harm). Called
// when the engine is enabled; false when the thread-specific key cannot be
// made (new threads then run without a stack, and without the unblocking).
bool bbcrash_thread_stack_enable();

// Unblocks, in the calling thread, the signals a crash report relies on
// receiving: the fault signals (a fault whose signal is blocked kills the
// process without running any handler) and the rendezvous signal that
// suspends a thread for the report (a thread blocking it is written without
// its state, after the suspension's wait). A mask inherited from whoever
// started the process would otherwise keep them blocked. Other signals keep
// the thread's mask.
void bbcrash_thread_unblock_crash_signals();

// Gives the calling thread an alternate stack, freed when it ends, unless it
// has one. True when it has one afterwards.
bool bbcrash_thread_stack_install();
