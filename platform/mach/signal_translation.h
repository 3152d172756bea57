#pragma once
// Signal numbers and codes in the numbering of the report format.
//
// Handlers are registered and signals raised with the host's own constants;
// the report, the Mach exception mapping and the error-log formatter speak the
// macOS numbers and si_code values. This is the one place where a host pair
// becomes a macOS pair, and where a macOS pair (from the Mach exception
// mapping) becomes the host pair the process acts on.
#include <csignal>

namespace platform::mach {

// The signals a faulting instruction raises (host numbers): a bad access, a
// bad instruction, an arithmetic fault. Blocking them never helps a program
// (a fault with its signal blocked kills the process without any handler).
inline constexpr int kHostFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

// Whether the host signal is one of kHostFaultSignals. Async-signal-safe.
constexpr bool isHostFaultSignal(int hostSigno) {
    for (int signo : kHostFaultSignals) {
        if (signo == hostSigno) return true;
    }
    return false;
}

struct DarwinSignal {
    int signo;
    int code;
};
struct HostSignal {
    int signo;
    int code;
};

// The macOS signal numbers and codes that code outside the table names (the
// Mach exception mapping), so that the numbering lives here alone.
constexpr int kDarwinSIGILL = 4;
constexpr int kDarwinSIGTRAP = 5;
constexpr int kDarwinSIGABRT = 6;
constexpr int kDarwinSIGEMT = 7;
constexpr int kDarwinSIGFPE = 8;
constexpr int kDarwinSIGKILL = 9;
constexpr int kDarwinSIGBUS = 10;
constexpr int kDarwinSIGSEGV = 11;
constexpr int kDarwinSIGSYS = 12;
constexpr int kDarwinSIGPIPE = 13;
constexpr int kDarwinSEGV_MAPERR = 1;
constexpr int kDarwinBUS_ADRERR = 2;
constexpr int kDarwinTRAP_BRKPT = 1;

// Translates a host (Linux) signal number and si_code into the macOS numbering
// the report, the Mach mapping and the formatter speak. Async-signal-safe.
//
// Signal numbers: the named signals move to their macOS numbers (SIGBUS 7 ->
// 10, SIGUSR1 10 -> 30, SIGPWR -> 29 SIGINFO, its other name); the real-time
// signals (32 and up), which macOS lacks, keep their number, which the report
// names "#n"; SIGSTKFLT, which the kernel never raises, becomes 0.
//
// Codes of the fault signals follow the macOS tables: SIGILL and SIGFPE
// number their codes differently (integer divide by zero is FPE_INTDIV 7,
// ud2's ILL_ILLOPN is 4), int3's SI_KERNEL is TRAP_BRKPT, and a general
// protection fault (SI_KERNEL on SIGSEGV: a non-canonical address) is
// SEGV_MAPERR. Codes of senders: tkill/tgkill/raise give 0, as pthread_kill
// does on macOS; kill, sigqueue, timers, message queues and asynchronous I/O
// give the macOS SI_ values; other sender codes and a SI_KERNEL outside the
// faults give 0. Any other code passes unchanged.
DarwinSignal darwinSignalFromHost(int hostSigno, int hostCode);

// The other way: a macOS signal number and code as the host's. Async-signal-
// safe. Every pair darwinSignalFromHost gives one-to-one comes back as the
// host pair it came from. A macOS signal the host lacks (SIGEMT) gives signal
// 0: there is no host signal to act on. Code 0, which macOS gives both to a
// fault without detail and to pthread_kill, is SI_KERNEL for the fault
// signals (ILL, FPE, SEGV, BUS, TRAP) and SI_TKILL for the others; the macOS
// sender codes give the host's SI_ values; codes of SIGILL and SIGFPE follow
// the host tables; any other code passes unchanged.
HostSignal hostSignalFromDarwin(int darwinSigno, int darwinCode);

}  // namespace platform::mach
