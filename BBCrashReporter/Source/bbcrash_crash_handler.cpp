// bbcrash_write_report, signal_handler_callback and mach_exception_callback
// are crash-path code: no allocation, no locks, no logging; open (with
// O_NOFOLLOW), fstat, ftruncate, unlink, write, close, sigaction, raw futex
// waits and a raw exit only, every wait bounded.
#include "bbcrash_crash_handler.h"

#include "BBCrashHostInfo.h"
#include "bbcrash_async.h"
#include "bbcrash_async_capture.h"
#include "bbcrash_mach_exception.h"
#include "platform/dyld/dyld.h"
#include "platform/mach/signal_translation.h"
#include "platform/mach/thread_syscall.h"
#include "platform/mach/thread_ucontext.h"
#include "platform/foundation/Format.h"
#include "platform/syslog/SystemLog.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <mutex>

namespace {

namespace sys = platform::mach::detail;

// The thread writing a crash report (0: none), and the host signal it
// crashed with.
std::atomic<uint32_t> crashingThread{0};
std::atomic<int> crashingSignal{0};
// Mach mode: the faulting thread whose report the server wrote (0: none).
std::atomic<uint32_t> reportedThread{0};

enum class CrashTurn { First, Nested, Later };

CrashTurn takeCrashTurn(int hostSigno) {
    const auto self = static_cast<uint32_t>(sys::rawGettid());
    uint32_t expected = 0;
    if (crashingThread.compare_exchange_strong(expected, self)) {
        crashingSignal.store(hostSigno);
        return CrashTurn::First;
    }
    return expected == self ? CrashTurn::Nested : CrashTurn::Later;
}

// A later crasher: wait, bounded, for the first crash to end the
// process. The wait is a raw futex wait, so the writer can still suspend
// this thread (its rendezvous signal interrupts the wait).
void waitForTheFirstCrash() {
    struct timespec deadline {};
    sys::rawClockMonotonic(&deadline);
    deadline.tv_sec += BBCRASH_SECOND_CRASH_WAIT_MS / 1000;
    for (;;) {
        const uint32_t owner = crashingThread.load();
        if (owner == 0) {
            return;
        }
        long rc = sys::rawFutexWait(reinterpret_cast<const uint32_t *>(&crashingThread), owner, &deadline);
        if (rc == -ETIMEDOUT) {
            return;
        }
    }
}

// A crash on the thread that is writing the report: die of the first
// signal at once.
[[noreturn]] void dieOfTheFirstSignal() { sys::rawDieOfSignal(crashingSignal.load()); }

// Opens the report's file, empty: private to the user, and never through a
// symbolic link planted at its path. A file there with another hard link is
// someone else's too: it is not truncated or written; its name goes (the
// other link keeps the file whole) and a fresh file is made in its place.
int openReport(const char *path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (attempt > 0 ? O_EXCL : 0), 0600);
        if (fd < 0) {
            return -1;
        }
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && ftruncate(fd, 0) == 0) {
            return fd;
        }
        close(fd);
        if (attempt > 0 || unlink(path) != 0) {
            return -1;
        }
    }
    return -1;
}

bbcrash_async_image_list *sharedImageList = nullptr;

void imageAdded(const platform::dyld::mach_header *header, intptr_t) {
    const char *path = platform::dyld::dyld_image_path(header);
    if (path == nullptr) {
        platform::SystemLog::write(platform::format("[BBCrashReporter] %s: dladdr(%p, ...) failed",
                                                    "image_add_callback", static_cast<const void *>(header)));
        return;
    }
    bbcrash_nasync_image_list_append(sharedImageList, reinterpret_cast<uintptr_t>(header), path);
}

void imageRemoved(const platform::dyld::mach_header *header, intptr_t) {
    bbcrash_nasync_image_list_remove(sharedImageList, reinterpret_cast<uintptr_t>(header));
}

}  // namespace

platform::mach::exception_mask_t bbcrash_mach_exception_mask(const BBCrashHostInfoVersion *version) {
    return version == nullptr || version->major < 13 ? BBCRASH_MACH_EXCEPTION_MASK : BBCRASH_MACH_EXCEPTION_MASK_GUARD;
}

bbcrash_crash_handler_ctx *bbcrash_crash_handler_context() {
    static bbcrash_crash_handler_ctx *context = new bbcrash_crash_handler_ctx{};
    return context;
}

bbcrash_async_image_list *bbcrash_shared_image_list() {
    static std::once_flag once;
    std::call_once(once, [] {
        sharedImageList = new bbcrash_async_image_list{};
        bbcrash_nasync_image_list_init(sharedImageList, platform::mach::mach_task_self());
        // Early headers, so the launch does not wait for the symbol tables
        // and compact unwind tables: until their complete headers replace
        // them, a crash unwinds through .eh_frame and frame pointers.
        platform::dyld::dyld_register_funcs_for_images_early(imageAdded, imageRemoved);
    });
    return sharedImageList;
}

bbcrash_error_t bbcrash_write_report(bbcrash_crash_handler_ctx *ctx, platform::mach::thread_t crashed_thread,
                                     const bbcrash_async_thread_state *thread_state,
                                     const bbcrash_log_signal_info *signal_info) {
    const int fd = openReport(ctx->path);
    if (fd < 0) {
        return BBCRASH_EINTERNAL;
    }
    bbcrash_async_file file;
    bbcrash_async_file_init(&file, fd, BBCRASH_REPORT_SIZE_LIMIT);
    bbcrash_error_t result =
        bbcrash_log_writer_write(&ctx->writer, crashed_thread, sharedImageList, &file, signal_info, thread_state);
    bbcrash_log_writer_close(&ctx->writer);
    bool flushed = bbcrash_async_file_flush(&file);
    bool closed = bbcrash_async_file_close(&file);
    if (!flushed || !closed) {
        return BBCRASH_EINTERNAL;
    }
    return result;
}

bool signal_handler_callback(int signo, siginfo_t *info, ucontext_t *uap, void *context,
                             bbcrash_signal_handler_callback *) {
    switch (takeCrashTurn(signo)) {
    case CrashTurn::Nested: dieOfTheFirstSignal();
    case CrashTurn::Later:
        waitForTheFirstCrash();
        for (int monitored : BBCRASH_MONITORED_SIGNALS) {
            sys::restoreDefaultAction(monitored);
        }
        return false;
    case CrashTurn::First: break;
    }
    auto *ctx = static_cast<bbcrash_crash_handler_ctx *>(context);

    bbcrash_async_thread_state state;
    platform::mach::x86_mcontext64_t mcontext;
    platform::mach::mcontext64_from_ucontext(uap, &mcontext);
    bbcrash_async_thread_state_mcontext_init(&state, &mcontext);

    const platform::mach::DarwinSignal darwin =
        platform::mach::darwinSignalFromHost(signo, info != nullptr ? info->si_code : 0);
    bbcrash_log_signal_info signal_info{};
    signal_info.bsd_info.signo = darwin.signo;
    signal_info.bsd_info.code = darwin.code;
    // Only a fault the kernel raised has an address: for a signal that was
    // sent (si_code <= 0: abort, raise, kill) that field holds the sender's
    // pid and uid.
    signal_info.bsd_info.address =
        info != nullptr && info->si_code > 0 ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
    signal_info.mach_info = nullptr;

    const bbcrash_error_t written = bbcrash_write_report(ctx, bbcrash_thread_self(), &state, &signal_info);
    if (written == BBCRASH_ESUCCESS) {
        bbcrash_post_crash_callback handleSignal = ctx->handle_signal.load();
        if (handleSignal != nullptr) {
            handleSignal(info, uap, ctx->handle_signal_context.load());
        }
    }
    // Whatever happened, the process now dies of the signal. Only this
    // signal goes back to its default action: another thread crashing with
    // another signal meanwhile still comes here and waits, instead of
    // ending the process with a signal other than the report's.
    sys::restoreDefaultAction(signo);
    return false;
}

namespace {

struct MachWrite {
    bbcrash_crash_handler_ctx *ctx;
    platform::mach::thread_t thread;
    const bbcrash_log_signal_info *info;
};

bbcrash_error_t writeFromServerThread(bbcrash_async_thread_state *state, void *context) {
    auto *job = static_cast<MachWrite *>(context);
    return bbcrash_write_report(job->ctx, job->thread, state, job->info);
}

}  // namespace

platform::mach::kern_return_t mach_exception_callback(platform::mach::task_t task, platform::mach::thread_t thread,
                                                      platform::mach::exception_type_t exception_type,
                                                      platform::mach::mach_exception_data_t codes,
                                                      platform::mach::mach_msg_type_number_t code_count,
                                                      void *context) {
    using namespace platform::mach;
    auto *ctx = static_cast<bbcrash_crash_handler_ctx *>(context);

    // 1. Whoever handled these exceptions before goes first.
    if (forward_mach_exception(task, thread, exception_type, codes, code_count, &ctx->port_set) == KERN_SUCCESS) {
        return KERN_SUCCESS;
    }

    // 2. The signal it stands for.
    int signo = 0, code = 0;
    uintptr_t address = 0;
    if (!map_mach_exception_to_signal(exception_type, codes, code_count, BBCRASH_MACH_CPU_TYPE_ANY, &signo, &code,
                                      &address)) {
        return KERN_FAILURE;
    }
    if (crashingThread.load() == thread) {
        // A fault inside the crash path of the thread writing a report (its
        // post-crash callback, say): that thread waits for this answer, so
        // waiting for it here would hang. End the process with its signal.
        dieOfTheFirstSignal();
    }
    // The host pair the exception stands for. A macOS signal the host lacks
    // (SIGEMT) has no host signal to end the process with: SIGKILL does.
    HostSignal host = hostSignalFromDarwin(signo, code);
    if (host.signo == 0) {
        host.signo = SIGKILL;
    }
    switch (takeCrashTurn(host.signo)) {
    case CrashTurn::Nested:
        // The server wrote the report of an earlier exception. Its own
        // thread faulting again is on its way to die of that signal: answer
        // at once. Another thread waits: answering it at once would let it
        // die of its own signal first, and the process end with a signal
        // other than the report's.
        if (reportedThread.load() == thread) {
            return KERN_FAILURE;
        }
        [[fallthrough]];
    case CrashTurn::Later: waitForTheFirstCrash(); return KERN_FAILURE;
    case CrashTurn::First: break;
    }

    // 3 and 4. The report, with this thread's own state captured for it.
    bbcrash_log_mach_signal_info mach{static_cast<uint64_t>(exception_type), codes, code_count};
    bbcrash_log_signal_info info{};
    info.bsd_info = {signo, code, address};
    info.mach_info = &mach;
    reportedThread.store(thread);
    MachWrite job{ctx, thread, &info};
    if (bbcrash_capture_current_thread(writeFromServerThread, &job) != BBCRASH_ESUCCESS) {
        return KERN_FAILURE;
    }

    // 5. The post-crash callback, with the mapped signal and an empty
    // context: the faulting thread's own is not at hand here.
    bbcrash_post_crash_callback handleSignal = ctx->handle_signal.load();
    if (handleSignal != nullptr) {
        siginfo_t siginfo;
        bbcrash_async_memset(&siginfo, 0, sizeof(siginfo));
        siginfo.si_signo = host.signo;
        siginfo.si_code = host.code;
        siginfo.si_addr = reinterpret_cast<void *>(address);
        ucontext_t uap;
        bbcrash_async_memset(&uap, 0, sizeof(uap));
        handleSignal(&siginfo, &uap, ctx->handle_signal_context.load());
    }

    // 6. The exception goes on to become its signal.
    return KERN_FAILURE;
}
