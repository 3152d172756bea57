#include "bbcrash_frame_fp_reader.h"

using namespace platform::mach;

bbcrash_frame_error_t bbcrash_async_frame_read_frame_ptr(task_t task, bbcrash_async_image_list *,
                                                         const bbcrash_async_thread_state *current,
                                                         const bbcrash_async_thread_state *previous,
                                                         bbcrash_async_thread_state *next) {
    if (!bbcrash_async_thread_state_has_reg(current, BBCRASH_REG_FP)) {
        return BBCRASH_FRAME_EBADFRAME;
    }
    const uint64_t fp = bbcrash_async_thread_state_get_reg(current, BBCRASH_REG_FP);
    if (fp == 0) {
        return BBCRASH_FRAME_ENOFRAME;
    }
    if (previous != nullptr && bbcrash_async_thread_state_has_reg(previous, BBCRASH_REG_FP)) {
        const uint64_t prevFp = bbcrash_async_thread_state_get_reg(previous, BBCRASH_REG_FP);
        if (bbcrash_async_thread_state_get_stack_direction(current) == BBCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN) {
            if (prevFp > fp) {
                return BBCRASH_FRAME_EBADFRAME;
            }
        } else if (fp > prevFp) {
            return BBCRASH_FRAME_EBADFRAME;
        }
    }

    const size_t greg = bbcrash_async_thread_state_get_greg_size(current);
    if (greg != 4 && greg != 8) {
        return BBCRASH_FRAME_EINVAL;
    }
    union {
        uint64_t words64[2];
        uint32_t words32[2];
    } saved;
    if (bbcrash_async_task_read(task, fp, 0, &saved, 2 * greg) != BBCRASH_ESUCCESS) {
        return BBCRASH_FRAME_EBADFRAME;
    }
    // The caller's stack pointer is just above the two saved words, which
    // lets a DWARF or compact step follow this one.
    uint64_t callerSp = 0;
    if (__builtin_add_overflow(fp, 2 * uint64_t(greg), &callerSp) || (greg == 4 && callerSp > UINT32_MAX)) {
        return BBCRASH_FRAME_EBADFRAME;
    }
    bbcrash_async_thread_state_copy(next, current);
    bbcrash_async_thread_state_clear_all_regs(next);
    next->interrupted = false;
    if (greg == 4) {
        bbcrash_async_thread_state_set_reg(next, BBCRASH_REG_IP, saved.words32[1]);
        bbcrash_async_thread_state_set_reg(next, BBCRASH_REG_FP, saved.words32[0]);
    } else {
        bbcrash_async_thread_state_set_reg(next, BBCRASH_REG_IP, saved.words64[1]);
        bbcrash_async_thread_state_set_reg(next, BBCRASH_REG_FP, saved.words64[0]);
    }
    bbcrash_async_thread_state_set_reg(next, BBCRASH_REG_SP, callerSp);
    return BBCRASH_FRAME_ESUCCESS;
}
