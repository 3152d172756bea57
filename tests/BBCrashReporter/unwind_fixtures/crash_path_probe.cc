// A crash whose handler walks and symbolicates the crashed stack the way the
// report writer does (the task held, every reader, symbol lookup by symbol
// table and Objective-C metadata), while malloc, calloc, realloc, free and
// pthread_mutex_lock are interposed and counted. Prints the counts taken
// while the handler ran, and what it walked.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LoadedImages.h"
#include "bbcrash_async_objc.h"
#include "bbcrash_async_symbol.h"
#include "bbcrash_frame_compact_unwind.h"
#include "bbcrash_frame_dwarf_unwind.h"
#include "bbcrash_frame_fp_reader.h"
#include "platform/mach/thread_ucontext.h"
#include "platform/mach/vm_hold.h"

using namespace platform::mach;

namespace {

std::atomic<bool> g_armed{false};
std::atomic<int> g_allocations{0};
std::atomic<int> g_locks{0};
int (*g_realMutexLock)(pthread_mutex_t *);

void countAllocation() {
    if (g_armed.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
}

}  // namespace

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t size) {
    countAllocation();
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    countAllocation();
    return __libc_calloc(count, size);
}
void *realloc(void *p, size_t size) {
    countAllocation();
    return __libc_realloc(p, size);
}
void free(void *p) {
    countAllocation();
    __libc_free(p);
}
int pthread_mutex_lock(pthread_mutex_t *mutex) {
    if (g_armed.load(std::memory_order_relaxed)) g_locks.fetch_add(1);
    return g_realMutexLock != nullptr ? g_realMutexLock(mutex) : 0;
}
}

namespace {

struct Counts {
    int frames[4];  // default readers, compact, DWARF, frame pointers
    int symbols;
};
Counts g_counts;
bbcrash_async_objc_cache g_objcCache;

void onSymbol(mach_vm_address_t, const char *, void *) { g_counts.symbols++; }

int walk(const bbcrash_async_thread_state &start, const bbcrash_async_frame_reader *readers, size_t count,
         bool symbolicate) {
    bbcrash_async_image_list *list = unwindtest::loadedImageList();
    bbcrash_async_frame_cursor cursor;
    bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &start, list);
    int frames = 0;
    while (frames < 512 && (readers == nullptr ? bbcrash_async_frame_cursor_next(&cursor)
                                               : bbcrash_async_frame_cursor_next_with_readers(
                                                     &cursor, readers, count)) == BBCRASH_FRAME_ESUCCESS) {
        frames++;
        if (!symbolicate) continue;
        const uint64_t pc = bbcrash_async_thread_state_get_reg(&cursor.frame, BBCRASH_REG_IP);
        bbcrash_async_image_list_set_reading(list, true);
        bbcrash_async_macho *image = bbcrash_async_image_containing_address(list, pc);
        if (image != nullptr) {
            bbcrash_async_find_symbol(image, 3, &g_objcCache, pc, onSymbol, nullptr);
        }
        bbcrash_async_image_list_set_reading(list, false);
    }
    bbcrash_async_frame_cursor_free(&cursor);
    return frames;
}

void onCrash(int, siginfo_t *, void *context) {
    g_armed.store(true);
    task_memory_hold_begin();
    x86_mcontext64_t mctx{};
    mcontext64_from_ucontext(static_cast<ucontext_t *>(context), &mctx);
    bbcrash_async_thread_state start;
    bbcrash_async_thread_state_mcontext_init(&start, &mctx);
    static const bbcrash_async_frame_reader compact[] = {bbcrash_async_frame_read_compact_unwind};
    static const bbcrash_async_frame_reader dwarf[] = {bbcrash::BN::async::bbcrash_async_frame_read_dwarf_unwind};
    static const bbcrash_async_frame_reader fp[] = {bbcrash_async_frame_read_frame_ptr};
    g_counts.frames[0] = walk(start, nullptr, 0, true);
    g_counts.frames[1] = walk(start, compact, 1, false);
    g_counts.frames[2] = walk(start, dwarf, 1, false);
    g_counts.frames[3] = walk(start, fp, 1, false);
    task_memory_hold_end();
    g_armed.store(false);
    std::printf("allocations %d locks %d frames %d %d %d %d symbols %d\n", g_allocations.load(), g_locks.load(),
                g_counts.frames[0], g_counts.frames[1], g_counts.frames[2], g_counts.frames[3], g_counts.symbols);
    std::fflush(stdout);
    _exit(0);
}

int *volatile g_null;

__attribute__((noinline)) int crashInComparator(const void *a, const void *b) {
    *g_null = *static_cast<const int *>(a);
    return *static_cast<const int *>(a) - *static_cast<const int *>(b);
}

__attribute__((noinline)) int sortAndCrash(int n) {
    int values[4] = {n, 3, 2, 1};
    qsort(values, 4, sizeof(int), crashInComparator);
    return values[0];
}

}  // namespace

int main() {
    g_realMutexLock = reinterpret_cast<int (*)(pthread_mutex_t *)>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    unwindtest::loadedImageList();  // built before the crash, as the engine does when it is enabled
    bbcrash_async_objc_cache_init(&g_objcCache);
    static uint8_t alternate[64 * 1024];
    stack_t stack{};
    stack.ss_sp = alternate;
    stack.ss_size = sizeof(alternate);
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_sigaction = onCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(SIGSEGV, &action, nullptr);
    alarm(20);
    return sortAndCrash(4);
}
