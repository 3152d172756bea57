// The Mach-O image reader on arbitrary bytes: the image record, symbol
// lookup by address, and the Objective-C metadata walk, with the task held
// so that memory objects read the input itself.
#include "GuardedInput.h"
#include "bbcrash_async_macho.h"
#include "bbcrash_async_objc.h"
#include "bbcrash_async_symbol.h"
#include "platform/mach/vm_hold.h"

#include <algorithm>
#include <cstring>

using namespace platform::mach;

namespace {

void onSymbol(mach_vm_address_t, const char *name, void *) {
    volatile size_t n = 0;
    while (name[n] != '\0') n = n + 1;
}

void onMethod(bool, bbcrash_async_macho_string *className, bbcrash_async_macho_string *methodName, mach_vm_address_t,
              void *) {
    const char *text = nullptr;
    mach_vm_size_t length = 0;
    if (bbcrash_async_macho_string_get_length(className, &length) == BBCRASH_ESUCCESS) {
        bbcrash_async_macho_string_get_pointer(className, &text);
    }
    if (bbcrash_async_macho_string_get_length(methodName, &length) == BBCRASH_ESUCCESS) {
        bbcrash_async_macho_string_get_pointer(methodName, &text);
    }
}

// Whether every segment and section the reader can find is at most `limit`
// bytes (read from the raw input, before the reader runs). The reader maps
// what the header declares; a declared size of terabytes over this process's
// own large mappings (the sanitizers' shadow) would make one run probe and
// walk all of it. The walk is the reader's: commands over all of
// `sizeofcmds` (not just `ncmds` of them), and section headers as far as the
// commands reach, whatever the segment's own `cmdsize` says.
bool sizesWithin(const uint8_t *data, size_t size, uint64_t limit) {
    uint32_t magic = 0;
    std::memcpy(&magic, data, 4);
    const bool swapped = magic == 0xcefaedfe || magic == 0xcffaedfe;
    const bool is64 = magic == 0xfeedfacf || magic == 0xcffaedfe;
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        std::memcpy(&v, data + at, 4);
        return swapped ? __builtin_bswap32(v) : v;
    };
    auto u64 = [&](size_t at) {
        uint64_t v = 0;
        std::memcpy(&v, data + at, 8);
        return swapped ? __builtin_bswap64(v) : v;
    };
    const size_t headerSize = is64 ? 32 : 28;
    const size_t segmentSize = is64 ? 72 : 56, sectionSize = is64 ? 80 : 68;
    if (size < headerSize) return true;  // no commands: the reader refuses the header
    // The commands as the reader maps them: at most to the input's end.
    const size_t end = headerSize + std::min<size_t>(u32(20), size - headerSize);
    for (size_t at = headerSize; end - at >= 8;) {
        const uint32_t type = u32(at), cmdsize = u32(at + 4);
        if (cmdsize < 8 || cmdsize > end - at) break;
        if ((type == 0x1 || type == 0x19) && cmdsize >= segmentSize) {
            const uint64_t vmsize = is64 ? u64(at + 32) : u32(at + 28);
            const uint32_t nsects = u32(at + (is64 ? 64 : 48));
            if (vmsize > limit) return false;
            for (uint64_t i = 0; i < nsects && at + segmentSize + (i + 1) * sectionSize <= end; i++) {
                const size_t sect = at + segmentSize + i * sectionSize;
                if ((is64 ? u64(sect + 40) : u32(sect + 36)) > limit) return false;
            }
        }
        at += cmdsize;
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
        sizesWithin(input.data(), size, 16u << 20) &&
        bbcrash_async_macho_init(&image, mach_task_self(), "fuzz", input.address()) == BBCRASH_ESUCCESS;
    if (initialised) {
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
