// Crash-path code: static tables, nothing allocated.
#include "bbcrash_async_signal_info.h"

#include <cstddef>

namespace {

// Indexed by the macOS signal number.
const char *const kSignalNames[] = {
    nullptr,   "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGEMT",
    "SIGFPE",  "SIGKILL", "SIGBUS",    "SIGSEGV", "SIGSYS",   "SIGPIPE", "SIGALRM", "SIGTERM",
    "SIGURG",  "SIGSTOP", "SIGTSTP",   "SIGCONT", "SIGCHLD",  "SIGTTIN", "SIGTTOU", "SIGIO",
    "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGINFO", "SIGUSR1", "SIGUSR2",
};

const char *const kIllCodes[] = {"ILL_NOOP",   "ILL_ILLOPC", "ILL_ILLTRP", "ILL_PRVOPC", "ILL_ILLOPN",
                                 "ILL_ILLADR", "ILL_PRVREG", "ILL_COPROC", "ILL_BADSTK"};
const char *const kFpeCodes[] = {"FPE_NOOP",   "FPE_FLTDIV", "FPE_FLTOVF", "FPE_FLTUND", "FPE_FLTRES",
                                 "FPE_FLTINV", "FPE_FLTSUB", "FPE_INTDIV", "FPE_INTOVF"};
const char *const kSegvCodes[] = {"SEGV_NOOP", "SEGV_MAPERR", "SEGV_ACCERR"};
const char *const kBusCodes[] = {"BUS_NOOP", "BUS_ADRALN", "BUS_ADRERR", "BUS_OBJERR"};
const char *const kTrapCodes[] = {"#0", "TRAP_BRKPT", "TRAP_TRACE"};
const char *const kAbrtCodes[] = {"#0"};

// macOS signal numbers of the signals that have code names.
enum : int { kSIGILL = 4, kSIGTRAP = 5, kSIGABRT = 6, kSIGFPE = 8, kSIGBUS = 10, kSIGSEGV = 11 };

template <size_t N>
const char *pick(const char *const (&table)[N], int index) {
    return index >= 0 && static_cast<size_t>(index) < N ? table[index] : nullptr;
}

}  // namespace

const char *bbcrash_async_signal_signame(int signo) { return pick(kSignalNames, signo); }

const char *bbcrash_async_signal_sigcode(int signo, int code) {
    switch (signo) {
    case kSIGILL: return pick(kIllCodes, code);
    case kSIGTRAP: return pick(kTrapCodes, code);
    case kSIGABRT: return pick(kAbrtCodes, code);
    case kSIGFPE: return pick(kFpeCodes, code);
    case kSIGBUS: return pick(kBusCodes, code);
    case kSIGSEGV: return pick(kSegvCodes, code);
    default: return nullptr;
    }
}
