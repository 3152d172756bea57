// The Mach-O image reader on arbitrary bytes: the image record, symbol
// lookup by address, and the Objective-C metadata walk, with the task held
// so that memory objects read the input itself.
#include "GuardedInput.h"
#include "bbcrash_async_macho.h"
#include "bbcrash_async_objc.h"
#include "bbcrash_async_symbol.h"
#include "platform/mach/vm_hold.h"

using namespace platform::mach;

namespace {

void onSymbol(mach_vm_address_t, const char *name, void *) {
    volatile size_t n = 0;
    while (name[n] != '\0') n = n + 1;
}

void onMethod(bool, bbcrash_async_macho_string *className, bbcrash_async_macho_string *methodName,
              mach_vm_address_t, void *) {
    const char *text = nullptr;
    mach_vm_size_t length = 0;
    if (bbcrash_async_macho_string_get_length(className, &length) == BBCRASH_ESUCCESS) {
        bbcrash_async_macho_string_get_pointer(className, &text);
    }
    if (bbcrash_async_macho_string_get_length(methodName, &length) == BBCRASH_ESUCCESS) {
        bbcrash_async_macho_string_get_pointer(methodName, &text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 28 || size > (1u << 20)) return 0;
    GuardedInput input(data, size);
    if (!input.valid() || !task_memory_hold_begin()) return 0;
    bbcrash_async_macho image;
    if (bbcrash_async_macho_init(&image, mach_task_self(), "fuzz", input.address()) == BBCRASH_ESUCCESS) {
        const mach_vm_address_t base = image.image_base;
        const mach_vm_address_t pcs[] = {base, base + 0x200, base + size / 2, base + size - 1,
                                         base + uint64_t(image.text_size) - 1};
        bbcrash_async_objc_cache cache;
        bbcrash_async_objc_cache_init(&cache);
        for (mach_vm_address_t pc : pcs) {
            bbcrash_async_macho_find_symbol_by_pc(&image, pc, onSymbol, nullptr);
            bbcrash_async_find_symbol(&image, 3, &cache, pc, onSymbol, nullptr);
        }
        bbcrash_async_objc_parse(&image, &cache, onMethod, nullptr);
        bbcrash_async_objc_cache_free(&cache);
        bbcrash_async_macho_free(&image);
    }
    task_memory_hold_end();
    return 0;
}
