// A shared library that starts a thread of its own, as libraries do (a
// resolver, an audio or I/O worker): the crash tests overflow that thread's
// stack, which the program's code never created.
#include <pthread.h>

namespace {

void *runBody(void *body) {
    reinterpret_cast<void (*)()>(body)();
    return nullptr;
}

}  // namespace

// Runs `body` on a thread this library starts, and waits for it.
extern "C" int bbcrash_library_run_on_thread(void (*body)()) {
    pthread_t thread;
    const int result = pthread_create(&thread, nullptr, runBody, reinterpret_cast<void *>(body));
    if (result != 0) return result;
    return pthread_join(thread, nullptr);
}
