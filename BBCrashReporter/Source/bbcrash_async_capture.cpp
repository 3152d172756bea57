#include "bbcrash_async_capture.h"

extern "C" bbcrash_error_t bbcrash_capture_deliver(const platform::mach::x86_mcontext64_t *mctx,
                                                   bbcrash_capture_callback_t callback, void *context) {
    bbcrash_async_thread_state state;
    bbcrash_async_thread_state_mcontext_init(&state, mctx);
    return callback(&state, context);
}
