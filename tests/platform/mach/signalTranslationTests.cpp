#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/mach/signal_translation.h"
#include "thread_test_child.h"

using namespace platform::mach;

namespace {

struct Row {
    int host;
    int darwin;
};

// Every host signal number against the macOS number the report carries, and
// back.
TEST(SignalTranslation, SignalNumbers) {
    const Row rows[] = {
        {SIGHUP, 1},   {SIGINT, 2},          {SIGQUIT, 3},         {SIGILL, 4},    {SIGTRAP, 5},  {SIGABRT, 6},
        {SIGBUS, 10},  {SIGFPE, 8},          {SIGKILL, 9},         {SIGUSR1, 30},  {SIGSEGV, 11}, {SIGUSR2, 31},
        {SIGPIPE, 13}, {SIGALRM, 14},        {SIGTERM, 15},        {SIGSTKFLT, 0}, {SIGCHLD, 20}, {SIGCONT, 19},
        {SIGSTOP, 17}, {SIGTSTP, 18},        {SIGTTIN, 21},        {SIGTTOU, 22},  {SIGURG, 16},  {SIGXCPU, 24},
        {SIGXFSZ, 25}, {SIGVTALRM, 26},      {SIGPROF, 27},        {SIGWINCH, 28}, {SIGIO, 23},   {SIGPWR, 29},
        {SIGSYS, 12},  {SIGRTMIN, SIGRTMIN}, {SIGRTMAX, SIGRTMAX},
    };
    bool seen[65] = {};
    for (const Row &row : rows) {
        EXPECT_EQ(darwinSignalFromHost(row.host, SI_TKILL).signo, row.darwin) << "host signal " << row.host;
        seen[row.host] = true;
        if (row.darwin != 0) {
            EXPECT_EQ(hostSignalFromDarwin(row.darwin, 0).signo, row.host) << "macOS signal " << row.darwin;
        }
    }
    for (int s = 1; s <= 31; ++s) EXPECT_TRUE(seen[s]) << "host signal " << s << " not in the table";
    // macOS numbers the host lacks have no host signal: SIGEMT's 7 is not
    // the host's SIGBUS, nor is a number past every signal one.
    EXPECT_EQ(hostSignalFromDarwin(kDarwinSIGEMT, 0).signo, 0);
    EXPECT_EQ(hostSignalFromDarwin(0, 0).signo, 0);
    EXPECT_EQ(hostSignalFromDarwin(NSIG, 0).signo, 0);
    EXPECT_EQ(hostSignalFromDarwin(-1, 0).signo, 0);
}

struct CodeRow {
    int signo;
    int host;
    int darwin;
};

// The codes of the signals the engine registers, as the kernel gives them.
TEST(SignalTranslation, FaultCodes) {
    const CodeRow rows[] = {
        {SIGILL, ILL_ILLOPC, 1},           {SIGILL, ILL_ILLOPN, 4},      {SIGILL, ILL_ILLADR, 5},
        {SIGILL, ILL_ILLTRP, 2},           {SIGILL, ILL_PRVOPC, 3},      {SIGILL, ILL_PRVREG, 6},
        {SIGILL, ILL_COPROC, 7},           {SIGILL, ILL_BADSTK, 8},      {SIGFPE, FPE_INTDIV, 7},
        {SIGFPE, FPE_INTOVF, 8},           {SIGFPE, FPE_FLTDIV, 1},      {SIGFPE, FPE_FLTOVF, 2},
        {SIGFPE, FPE_FLTUND, 3},           {SIGFPE, FPE_FLTRES, 4},      {SIGFPE, FPE_FLTINV, 5},
        {SIGFPE, FPE_FLTSUB, 6},           {SIGSEGV, SEGV_MAPERR, 1},    {SIGSEGV, SEGV_ACCERR, 2},
        {SIGSEGV, SI_KERNEL, 1},           {SIGBUS, BUS_ADRALN, 1},      {SIGBUS, BUS_ADRERR, 2},
        {SIGBUS, BUS_OBJERR, 3},           {SIGTRAP, TRAP_BRKPT, 1},     {SIGTRAP, TRAP_TRACE, 2},
        {SIGTRAP, SI_KERNEL, 1},           {SIGABRT, SI_TKILL, 0},       {SIGABRT, SI_USER, 0x10001},
        {SIGABRT, SI_QUEUE, 0x10002},      {SIGALRM, SI_TIMER, 0x10003}, {SIGIO, SI_MESGQ, 0x10005},
        {SIGIO, SI_ASYNCIO, 0x10004},      {SIGIO, SI_SIGIO, 0},         {SIGKILL, SI_KERNEL, 0},
        {SIGCHLD, CLD_EXITED, CLD_EXITED},
    };
    for (const CodeRow &row : rows) {
        const DarwinSignal d = darwinSignalFromHost(row.signo, row.host);
        EXPECT_EQ(d.code, row.darwin) << "signal " << row.signo << " code " << row.host;
        // Back again, where the way out is one-to-one: SI_KERNEL shares its
        // macOS code with another code of the signal, and SI_SIGIO has none.
        if (row.host == SI_KERNEL || row.host == SI_SIGIO) continue;
        const HostSignal h = hostSignalFromDarwin(d.signo, d.code);
        EXPECT_EQ(h.signo, row.signo) << "signal " << row.signo << " code " << row.host;
        EXPECT_EQ(h.code, row.host) << "signal " << row.signo << " code " << row.host;
    }
    // The pairs the Mach exception mapping gives: a fault without detail is
    // the kernel's, not a sender's.
    struct MachRow {
        int darwinSigno;
        int darwinCode;
        int hostCode;
    };
    const MachRow mach[] = {
        {kDarwinSIGSEGV, kDarwinSEGV_MAPERR, SEGV_MAPERR},
        {kDarwinSIGBUS, kDarwinBUS_ADRERR, BUS_ADRERR},
        {kDarwinSIGTRAP, kDarwinTRAP_BRKPT, TRAP_BRKPT},
        {kDarwinSIGILL, 0, SI_KERNEL},
        {kDarwinSIGFPE, 0, SI_KERNEL},
        {kDarwinSIGABRT, 0, SI_TKILL},
    };
    for (const MachRow &row : mach) {
        EXPECT_EQ(hostSignalFromDarwin(row.darwinSigno, row.darwinCode).code, row.hostCode)
            << "macOS signal " << row.darwinSigno;
    }
}

// What the kernel really delivers for each kind of fault, through the table.
sigjmp_buf gJump;
volatile sig_atomic_t gSigno, gCode;

void recordAndJump(int signo, siginfo_t *info, void *) {
    gSigno = signo;
    gCode = info->si_code;
    siglongjmp(gJump, 1);
}

std::string faultTranslatesTo(void (*fault)(), int darwinSigno, int darwinCode) {
    for (int s : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT}) {
        struct sigaction action {};
        action.sa_sigaction = recordAndJump;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigaction(s, &action, nullptr);
    }
    if (sigsetjmp(gJump, 1) == 0) {
        fault();
        return "no fault";
    }
    const DarwinSignal d = darwinSignalFromHost(gSigno, gCode);
    if (d.signo != darwinSigno || d.code != darwinCode) {
        return "host " + std::to_string(gSigno) + "/" + std::to_string(gCode) + " gave " + std::to_string(d.signo) +
               "/" + std::to_string(d.code);
    }
    return "";
}

TEST(SignalTranslation, RealFaults) {
    struct Case {
        const char *name;
        void (*fault)();
        int signo;
        int code;
    };
    static const Case cases[] = {
        {"null",
         [] {
             __asm__ volatile("movl $1, 0" ::: "memory");
         },
         11, 1},
        {"prot_none",
         [] {
             void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
             *static_cast<volatile int *>(page) = 1;
         },
         11, 2},
        {"non-canonical", [] { *reinterpret_cast<volatile int *>(0x8000000000000000ull) = 1; }, 11, 1},
        {"truncated mapping",
         [] {
             char path[] = "/tmp/plotwick-sigbus-XXXXXX";
             const int fd = mkstemp(path);
             unlink(path);
             if (ftruncate(fd, 4096) != 0) return;
             void *map = mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0);
             static_cast<void>(*static_cast<volatile char *>(static_cast<char *>(map) + 4096));
         },
         10, 2},
        {"ud2", [] { __asm__ volatile("ud2"); }, 4, 4},
        {"idiv",
         [] {
             __asm__ volatile("xorl %%ecx, %%ecx; movl $1, %%eax; cltd; idivl %%ecx" ::: "eax", "ecx", "edx");
         },
         8, 7},
        {"int3", [] { __asm__ volatile("int3"); }, 5, 1},
        {"abort", [] { abort(); }, 6, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(threadtest::runInChild([&] { return faultTranslatesTo(c.fault, c.signo, c.code); }), "");
    }
}

}  // namespace
