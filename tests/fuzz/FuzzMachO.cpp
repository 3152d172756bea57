// The Mach-O image reader on arbitrary bytes: the image record, symbol
// lookup by address, and the Objective-C metadata walk, with the task held
// so that memory objects read the input itself.
#include "GuardedInput.h"
#include "bbcrash_async_macho.h"
#include "bbcrash_async_objc.h"
#include "bbcrash_async_symbol.h"
#include "platform/mach/vm_hold.h"

#include <cstring>

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

// Whether every segment and section the image declares is at most `limit`
// bytes. The readers map what the header declares; a declared size of
// terabytes over this process's own large mappings (the sanitizers' shadow)
// would make one run probe and walk all of it.
bool sizesWithin(bbcrash_async_macho *image, uint64_t limit) {
    for (void *cmd = bbcrash_async_macho_next_command(image, nullptr); cmd != nullptr;
         cmd = bbcrash_async_macho_next_command(image, cmd)) {
        uint32_t type = 0, cmdsize = 0, nsects = 0;
        std::memcpy(&type, cmd, 4);
        std::memcpy(&cmdsize, static_cast<uint8_t *>(cmd) + 4, 4);
        const bool is64 = type == 0x19;
        if (type != 0x1 && !is64) continue;
        const uint8_t *p = static_cast<const uint8_t *>(cmd);
        const size_t header = is64 ? 72 : 56, entry = is64 ? 80 : 68;
        if (cmdsize < header) return false;
        uint64_t vmsize = 0;
        if (is64) {
            std::memcpy(&vmsize, p + 32, 8);
            std::memcpy(&nsects, p + 64, 4);
        } else {
            uint32_t v = 0;
            std::memcpy(&v, p + 28, 4);
            vmsize = v;
            std::memcpy(&nsects, p + 48, 4);
        }
        if (image->byteorder != bbcrash_async_byteorder_native()) {
            vmsize = is64 ? __builtin_bswap64(vmsize) : __builtin_bswap32(uint32_t(vmsize));
            nsects = __builtin_bswap32(nsects);
        }
        if (vmsize > limit || nsects > (cmdsize - header) / entry) return false;
        for (uint32_t i = 0; i < nsects; i++) {
            uint64_t sectsize = 0;
            if (is64) {
                std::memcpy(&sectsize, p + header + i * entry + 40, 8);
            } else {
                uint32_t v = 0;
                std::memcpy(&v, p + header + i * entry + 36, 4);
                sectsize = v;
            }
            if (image->byteorder != bbcrash_async_byteorder_native()) {
                sectsize = is64 ? __builtin_bswap64(sectsize) : __builtin_bswap32(uint32_t(sectsize));
            }
            if (sectsize > limit) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 28 || size > (1u << 20)) return 0;
    GuardedInput input(data, size);
    if (!input.valid() || !task_memory_hold_begin()) return 0;
    bbcrash_async_macho image;
    const bool initialised =
        bbcrash_async_macho_init(&image, mach_task_self(), "fuzz", input.address()) == BBCRASH_ESUCCESS;
    if (initialised && sizesWithin(&image, 16u << 20)) {
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
    }
    if (initialised) {
        bbcrash_async_macho_free(&image);
    }
    task_memory_hold_end();
    return 0;
}
