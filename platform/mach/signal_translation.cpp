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

constexpr int kDarwinSIGHUP = 1;
constexpr int kDarwinSIGINT = 2;
constexpr int kDarwinSIGQUIT = 3;
constexpr int kDarwinSIGALRM = 14;
constexpr int kDarwinSIGTERM = 15;
constexpr int kDarwinSIGTTIN = 21;
constexpr int kDarwinSIGTTOU = 22;
constexpr int kDarwinSIGXCPU = 24;
constexpr int kDarwinSIGXFSZ = 25;
constexpr int kDarwinSIGVTALRM = 26;
constexpr int kDarwinSIGPROF = 27;
constexpr int kDarwinSIGWINCH = 28;
// The first number past macOS's named signals: from here on a number is a
// host real-time signal that kept its number on the way out.
constexpr int kDarwinNSIG = 32;

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

// The tables below are laid out by hand, several cases to a line.
// clang-format off
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

int hostSignalNumber(int signo) {
    switch (signo) {
        case kDarwinSIGHUP: return SIGHUP;
        case kDarwinSIGINT: return SIGINT;
        case kDarwinSIGQUIT: return SIGQUIT;
        case kDarwinSIGILL: return SIGILL;
        case kDarwinSIGTRAP: return SIGTRAP;
        case kDarwinSIGABRT: return SIGABRT;
        case kDarwinSIGEMT: return 0;  // no host counterpart
        case kDarwinSIGFPE: return SIGFPE;
        case kDarwinSIGKILL: return SIGKILL;
        case kDarwinSIGBUS: return SIGBUS;
        case kDarwinSIGSEGV: return SIGSEGV;
        case kDarwinSIGSYS: return SIGSYS;
        case kDarwinSIGPIPE: return SIGPIPE;
        case kDarwinSIGALRM: return SIGALRM;
        case kDarwinSIGTERM: return SIGTERM;
        case kDarwinSIGURG: return SIGURG;
        case kDarwinSIGSTOP: return SIGSTOP;
        case kDarwinSIGTSTP: return SIGTSTP;
        case kDarwinSIGCONT: return SIGCONT;
        case kDarwinSIGCHLD: return SIGCHLD;
        case kDarwinSIGTTIN: return SIGTTIN;
        case kDarwinSIGTTOU: return SIGTTOU;
        case kDarwinSIGIO: return SIGIO;
        case kDarwinSIGXCPU: return SIGXCPU;
        case kDarwinSIGXFSZ: return SIGXFSZ;
        case kDarwinSIGVTALRM: return SIGVTALRM;
        case kDarwinSIGPROF: return SIGPROF;
        case kDarwinSIGWINCH: return SIGWINCH;
        case kDarwinSIGINFO: return SIGPWR;
        case kDarwinSIGUSR1: return SIGUSR1;
        case kDarwinSIGUSR2: return SIGUSR2;
        default:
            // A host real-time signal that kept its number; anything else
            // has no host signal.
            return signo >= kDarwinNSIG && signo < NSIG ? signo : 0;
    }
}

int hostSenderCode(int code) {
    switch (code) {
        case kDarwinSI_USER: return SI_USER;
        case kDarwinSI_QUEUE: return SI_QUEUE;
        case kDarwinSI_TIMER: return SI_TIMER;
        case kDarwinSI_MESGQ: return SI_MESGQ;
        case kDarwinSI_ASYNCIO: return SI_ASYNCIO;
        default: return code;
    }
}

int hostIllCode(int code) {
    switch (code) {
        case kDarwinILL_ILLOPC: return ILL_ILLOPC;
        case kDarwinILL_ILLOPN: return ILL_ILLOPN;
        case kDarwinILL_ILLADR: return ILL_ILLADR;
        case kDarwinILL_ILLTRP: return ILL_ILLTRP;
        case kDarwinILL_PRVOPC: return ILL_PRVOPC;
        default: return code;
    }
}

int hostFpeCode(int code) {
    switch (code) {
        case kDarwinFPE_INTDIV: return FPE_INTDIV;
        case kDarwinFPE_INTOVF: return FPE_INTOVF;
        case kDarwinFPE_FLTDIV: return FPE_FLTDIV;
        case kDarwinFPE_FLTOVF: return FPE_FLTOVF;
        case kDarwinFPE_FLTUND: return FPE_FLTUND;
        case kDarwinFPE_FLTRES: return FPE_FLTRES;
        case kDarwinFPE_FLTINV: return FPE_FLTINV;
        case kDarwinFPE_FLTSUB: return FPE_FLTSUB;
        default: return code;
    }
}

// clang-format on

// The signals a fault without detail stands for: the faults and a trap.
bool isFaultSignal(int hostSigno) { return isHostFaultSignal(hostSigno) || hostSigno == SIGTRAP; }

}  // namespace

HostSignal hostSignalFromDarwin(int darwinSigno, int darwinCode) {
    const int signo = hostSignalNumber(darwinSigno);
    if (darwinCode == 0) return {signo, isFaultSignal(signo) ? SI_KERNEL : SI_TKILL};
    if (darwinCode >= kDarwinSI_USER && darwinCode <= kDarwinSI_MESGQ) return {signo, hostSenderCode(darwinCode)};
    switch (signo) {
    case SIGILL: return {signo, hostIllCode(darwinCode)};
    case SIGFPE: return {signo, hostFpeCode(darwinCode)};
    default: return {signo, darwinCode};  // SEGV, BUS and TRAP codes 1-3 agree
    }
}

DarwinSignal darwinSignalFromHost(int hostSigno, int hostCode) {
    const int signo = darwinSignalNumber(hostSigno);
    if (hostCode <= 0) return {signo, darwinSenderCode(hostCode)};
    if (hostCode == SI_KERNEL) {
        switch (hostSigno) {
        case SIGTRAP: return {signo, kDarwinTRAP_BRKPT};   // int3
        case SIGSEGV: return {signo, kDarwinSEGV_MAPERR};  // general protection fault
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
