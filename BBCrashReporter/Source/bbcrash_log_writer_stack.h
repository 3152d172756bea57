#pragma once
// The report writer's stacks: one thread's stack walked into a bounded list
// of frames (and, for the crashed thread, the registers of its first frame),
// each frame with its symbol when the symbolication strategy asks for one.
// A stack is collected once and then both sized and written from here, so
// the two passes agree and the stack is walked and its symbols looked up
// only once.
//
// Crash-path code: no allocation, no locks, no logging; other threads and
// images are read only through the checked readers.
#include "bbcrash_async_image_list.h"
#include "bbcrash_async_objc.h"
#include "bbcrash_async_thread_state.h"

#include <cstdint>

// Longest frame list written for a thread or an exception.
constexpr uint32_t BBCRASH_WRITER_MAX_FRAMES = 512;

// One collected frame: its program counter and, when found, its symbol.
struct bbcrash_log_writer_frame {
    uint64_t pc;
    bool has_symbol;
    uint64_t symbol_start;
    char symbol_name[256];
};

// The frames (and, for the crashed thread, the registers) of one stack.
struct bbcrash_log_writer_stack {
    uint32_t frame_count;
    bbcrash_log_writer_frame frames[BBCRASH_WRITER_MAX_FRAMES];
    uint32_t register_count;
    const char *register_names[64];
    uint64_t register_values[64];
};

// What symbol lookup needs: the strategy (0: no symbols), the images (null:
// no symbols) and the Objective-C cache of the report being written.
struct bbcrash_log_writer_symbolicator {
    uint32_t strategy;
    bbcrash_async_image_list *image_list;
    bbcrash_async_objc_cache *objc_cache;
};

// Walks the thread whose state is `state` into `stack`: the registers of its
// first frame when `with_registers`, then up to BBCRASH_WRITER_MAX_FRAMES
// frames. A state that could not be read (null) leaves the stack empty.
// Within one hold of task memory the symbol found for a pc is remembered, so
// threads waiting in the same functions cost one lookup per distinct pc.
void bbcrash_log_writer_collect_thread(const bbcrash_log_writer_symbolicator *symbolicator,
                                       const bbcrash_async_thread_state *state, bool with_registers,
                                       bbcrash_log_writer_stack *stack);

// Fills `stack` with the frames of the return addresses `pcs` (at most
// BBCRASH_WRITER_MAX_FRAMES of them) and no registers.
void bbcrash_log_writer_collect_addresses(const bbcrash_log_writer_symbolicator *symbolicator, const uint64_t *pcs,
                                          size_t count, bbcrash_log_writer_stack *stack);
