// The report writer's stack collection. Crash-path code: it allocates
// nothing, takes no lock, logs nothing, and reads other threads and images
// only through the checked readers; its symbol cache is static memory that
// only the thread holding the task touches.
#include "bbcrash_log_writer_stack.h"

#include "bbcrash_async_symbol.h"
#include "bbcrash_frame_cursor.h"
#include "platform/mach/thread_list.h"
#include "platform/mach/vm_hold.h"

using namespace platform::mach;

namespace {

void keepSymbol(mach_vm_address_t address, const char *name, void *ctx) {
    auto *frame = static_cast<bbcrash_log_writer_frame *>(ctx);
    size_t i = 0;
    for (; name[i] != '\0' && i < sizeof(frame->symbol_name) - 1; ++i) {
        frame->symbol_name[i] = name[i];
    }
    frame->symbol_name[i] = '\0';
    frame->symbol_start = address;
    frame->has_symbol = true;
}

// Symbols already looked up in the current hold of task memory, by exact
// pc: with every other thread stopped, no image comes or goes and no table
// changes, so the same pc gets the same answer, and threads waiting in the
// same functions (or recursing through one) are looked up once. Static
// memory, direct-mapped; only the thread holding the task touches it, and an
// entry of an earlier hold is never used.
struct SymbolCacheEntry {
    uint64_t generation;  // 0: empty
    const bbcrash_async_image_list *image_list;
    uint32_t strategy;
    bbcrash_log_writer_frame frame;
};
constexpr size_t kSymbolCacheSize = 64;
SymbolCacheEntry g_symbolCache[kSymbolCacheSize];

SymbolCacheEntry *symbolCacheSlot(uint64_t pc) { return &g_symbolCache[((pc >> 2) ^ (pc >> 11)) % kSymbolCacheSize]; }

void copyFrame(const bbcrash_log_writer_frame &from, bbcrash_log_writer_frame *to) {
    to->pc = from.pc;
    to->has_symbol = from.has_symbol;
    if (from.has_symbol) {
        to->symbol_start = from.symbol_start;
        size_t i = 0;
        for (; from.symbol_name[i] != '\0'; ++i) {
            to->symbol_name[i] = from.symbol_name[i];
        }
        to->symbol_name[i] = '\0';
    }
}

// Fills `frame` for `pc`, with its symbol when the strategy asks for one.
void collectFrame(const bbcrash_log_writer_symbolicator *symbolicator, uint64_t pc, bbcrash_log_writer_frame *frame) {
    frame->pc = pc;
    frame->has_symbol = false;
    const uint32_t strategy = symbolicator->strategy;
    bbcrash_async_image_list *const imageList = symbolicator->image_list;
    if (strategy == 0 || imageList == nullptr) {
        return;
    }
    const uint64_t generation = task_memory_hold_generation();
    SymbolCacheEntry *slot = symbolCacheSlot(pc);
    if (generation != 0 && slot->generation == generation && slot->frame.pc == pc && slot->image_list == imageList &&
        slot->strategy == strategy) {
        copyFrame(slot->frame, frame);
        return;
    }
    bbcrash_async_image_list_set_reading(imageList, true);
    bbcrash_async_macho *image = bbcrash_async_image_containing_address(imageList, pc);
    if (image != nullptr) {
        bbcrash_async_find_symbol(image, strategy, symbolicator->objc_cache, pc, keepSymbol, frame);
    }
    bbcrash_async_image_list_set_reading(imageList, false);
    if (generation != 0) {
        slot->generation = generation;
        slot->image_list = imageList;
        slot->strategy = strategy;
        copyFrame(*frame, &slot->frame);
    }
}

}  // namespace

void bbcrash_log_writer_collect_thread(const bbcrash_log_writer_symbolicator *symbolicator,
                                       const bbcrash_async_thread_state *state, bool with_registers,
                                       bbcrash_log_writer_stack *stack) {
    stack->frame_count = 0;
    stack->register_count = 0;
    if (state == nullptr) {
        return;
    }
    bbcrash_async_frame_cursor cursor;
    if (bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), state, symbolicator->image_list) !=
        BBCRASH_ESUCCESS) {
        return;
    }
    if (bbcrash_async_frame_cursor_next(&cursor) != BBCRASH_FRAME_ESUCCESS) {
        bbcrash_async_frame_cursor_free(&cursor);
        return;
    }
    if (with_registers) {
        size_t count = bbcrash_async_frame_cursor_get_regcount(&cursor);
        const size_t capacity = sizeof(stack->register_values) / sizeof(stack->register_values[0]);
        for (bbcrash_regnum_t r = 0; r < count && r < capacity; ++r) {
            const char *name = bbcrash_async_frame_cursor_get_regname(&cursor, r);
            uint64_t value = 0;
            if (bbcrash_async_frame_cursor_get_reg(&cursor, r, &value) != BBCRASH_FRAME_ESUCCESS) {
                value = 0;
            }
            stack->register_names[r] = name != nullptr ? name : "";
            stack->register_values[r] = value;
            stack->register_count = r + 1;
        }
    }
    while (stack->frame_count < BBCRASH_WRITER_MAX_FRAMES) {
        uint64_t pc = 0;
        if (bbcrash_async_frame_cursor_get_reg(&cursor, BBCRASH_REG_IP, &pc) != BBCRASH_FRAME_ESUCCESS) {
            break;
        }
        collectFrame(symbolicator, pc, &stack->frames[stack->frame_count++]);
        if (stack->frame_count < BBCRASH_WRITER_MAX_FRAMES &&
            bbcrash_async_frame_cursor_next(&cursor) != BBCRASH_FRAME_ESUCCESS) {
            break;
        }
    }
    bbcrash_async_frame_cursor_free(&cursor);
}

void bbcrash_log_writer_collect_addresses(const bbcrash_log_writer_symbolicator *symbolicator, const uint64_t *pcs,
                                          size_t count, bbcrash_log_writer_stack *stack) {
    stack->register_count = 0;
    stack->frame_count = count < BBCRASH_WRITER_MAX_FRAMES ? static_cast<uint32_t>(count) : BBCRASH_WRITER_MAX_FRAMES;
    for (uint32_t i = 0; i < stack->frame_count; ++i) {
        collectFrame(symbolicator, pcs[i], &stack->frames[i]);
    }
}
