#include "platform/mach/signal_translation.h"

#include <csignal>

namespace platform::mach {
namespace {

// macOS signal numbers that differ from the host's (beyond those of the
// header).
constexpr int kDarwinSIGURG = 16;
constexpr int kDarwinSIGSTOP = 17;
constexpr int kDarwinSIGTSTP = 18;
constexpr int kDarwinSIGCONT = 19;
constexpr int kDarwinSIGCHLD = 20;
constexpr int kDarwinSIGIO = 23;
constexpr int kDarwinSIGINFO = 29;
constexpr int kDarwinSIGUSR1 = 30;
constexpr int kDarwinSIGUSR2 = 31;

// macOS sender codes.
constexpr int kDarwinSI_USER = 0x10001;
constexpr int kDarwinSI_QUEUE = 0x10002;
constexpr int kDarwinSI_TIMER = 0x10003;
constexpr int kDarwinSI_ASYNCIO = 0x10004;
constexpr int kDarwinSI_MESGQ = 0x10005;

// macOS fault codes the host numbers differently.
constexpr int kDarwinILL_ILLOPC = 1;
constexpr int kDarwinILL_ILLTRP = 2;
constexpr int kDarwinILL_PRVOPC = 3;
constexpr int kDarwinILL_ILLOPN = 4;
constexpr int kDarwinILL_ILLADR = 5;
constexpr int kDarwinFPE_FLTDIV = 1;
constexpr int kDarwinFPE_FLTOVF = 2;
constexpr int kDarwinFPE_FLTUND = 3;
constexpr int kDarwinFPE_FLTRES = 4;
constexpr int kDarwinFPE_FLTINV = 5;
constexpr int kDarwinFPE_FLTSUB = 6;
constexpr int kDarwinFPE_INTDIV = 7;
constexpr int kDarwinFPE_INTOVF = 8;

int darwinSignalNumber(int signo) {
    switch (signo) {
        case SIGHUP: case SIGINT: case SIGQUIT: case SIGILL: case SIGTRAP: case SIGABRT: case SIGFPE:
        case SIGKILL: case SIGSEGV: case SIGPIPE: case SIGALRM: case SIGTERM: case SIGTTIN: case SIGTTOU:
        case SIGXCPU: case SIGXFSZ: case SIGVTALRM: case SIGPROF: case SIGWINCH:
            return signo;  // same number on both
        case SIGBUS: return kDarwinSIGBUS;
        case SIGSYS: return kDarwinSIGSYS;
        case SIGURG: return kDarwinSIGURG;
        case SIGSTOP: return kDarwinSIGSTOP;
        case SIGTSTP: return kDarwinSIGTSTP;
        case SIGCONT: return kDarwinSIGCONT;
        case SIGCHLD: return kDarwinSIGCHLD;
        case SIGIO: return kDarwinSIGIO;
        case SIGPWR: return kDarwinSIGINFO;
        case SIGUSR1: return kDarwinSIGUSR1;
        case SIGUSR2: return kDarwinSIGUSR2;
        case SIGSTKFLT: return 0;
        default: return signo;  // real-time and unknown numbers: no macOS name
    }
}

// A code the sender chose (zero or negative on the host).
int darwinSenderCode(int code) {
    switch (code) {
        case SI_USER: return kDarwinSI_USER;
        case SI_QUEUE: return kDarwinSI_QUEUE;
        case SI_TIMER: return kDarwinSI_TIMER;
        case SI_MESGQ: return kDarwinSI_MESGQ;
        case SI_ASYNCIO: return kDarwinSI_ASYNCIO;
        default: return 0;  // SI_TKILL (raise, pthread_kill) and codes macOS lacks
    }
}

int darwinIllCode(int code) {
    switch (code) {
        case ILL_ILLOPC: return kDarwinILL_ILLOPC;
        case ILL_ILLOPN: return kDarwinILL_ILLOPN;
        case ILL_ILLADR: return kDarwinILL_ILLADR;
        case ILL_ILLTRP: return kDarwinILL_ILLTRP;
        case ILL_PRVOPC: return kDarwinILL_PRVOPC;
        default: return code;  // ILL_PRVREG, ILL_COPROC, ILL_BADSTK agree
    }
}

int darwinFpeCode(int code) {
    switch (code) {
        case FPE_INTDIV: return kDarwinFPE_INTDIV;
        case FPE_INTOVF: return kDarwinFPE_INTOVF;
        case FPE_FLTDIV: return kDarwinFPE_FLTDIV;
        case FPE_FLTOVF: return kDarwinFPE_FLTOVF;
        case FPE_FLTUND: return kDarwinFPE_FLTUND;
        case FPE_FLTRES: return kDarwinFPE_FLTRES;
        case FPE_FLTINV: return kDarwinFPE_FLTINV;
        case FPE_FLTSUB: return kDarwinFPE_FLTSUB;
        default: return code;
    }
}

}  // namespace

DarwinSignal darwinSignalFromHost(int hostSigno, int hostCode) {
    const int signo = darwinSignalNumber(hostSigno);
    if (hostCode <= 0) return {signo, darwinSenderCode(hostCode)};
    if (hostCode == SI_KERNEL) {
        switch (hostSigno) {
            case SIGTRAP: return {signo, kDarwinTRAP_BRKPT};    // int3
            case SIGSEGV: return {signo, kDarwinSEGV_MAPERR};   // general protection fault
            default: return {signo, 0};
        }
    }
    switch (hostSigno) {
        case SIGILL: return {signo, darwinIllCode(hostCode)};
        case SIGFPE: return {signo, darwinFpeCode(hostCode)};
        default: return {signo, hostCode};  // SEGV, BUS and TRAP codes 1-3 agree
    }
}

}  // namespace platform::mach
