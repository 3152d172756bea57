#include "bbcrash_async_objc.h"

#include "platform/mach/vm_allocate.h"

using namespace platform::mach;

namespace {

// Longest array of method-list pointers an ObjC1 class may have.
constexpr uint32_t kMaxObjC1MethodLists = 4096;

constexpr uint32_t kRWRealized = 1U << 31;
constexpr uint32_t kRWCopiedRO = 1U << 27;
constexpr uint32_t kObjC1NoMethodArray = 0x4000;
constexpr uint64_t kObjC2PointerMask64 = 0x7ffffffffff8ULL;

struct Walk {
    bbcrash_async_macho *image;
    bbcrash_async_objc_cache *cache;
    bbcrash_async_objc_found_method_cb callback;
    void *ctx;
};

uint64_t pointerSize(const bbcrash_async_macho *image) { return image->m64 ? 8 : 4; }

// A pointer-sized word from a mapping, through the image's byte order.
bbcrash_error_t readWord(bbcrash_async_macho *image, bbcrash_async_mobject *mobj, mach_vm_address_t address,
                         int64_t offset, uint64_t *out) {
    if (image->m64) {
        return bbcrash_async_mobject_read_uint64(mobj, image->byteorder, address, offset, out);
    }
    uint32_t v = 0;
    bbcrash_error_t err = bbcrash_async_mobject_read_uint32(mobj, image->byteorder, address, offset, &v);
    *out = v;
    return err;
}

// A pointer-sized word from local memory, through the image's byte order.
uint64_t wordAt(const bbcrash_async_macho *image, const uint8_t *p) {
    return image->m64 ? bbcrash_async_load64(image->byteorder, p) : bbcrash_async_load32(image->byteorder, p);
}

// Copies `length` bytes at task address `address` from the first mapping
// that holds them all; false when none does.
bool copyFromMapping(bbcrash_async_mobject *mobj, bool mapped, mach_vm_address_t address, void *dest,
                     mach_vm_size_t length) {
    if (!mapped) {
        return false;
    }
    const void *p = bbcrash_async_mobject_remap(mobj, address, 0, length);
    if (p == nullptr) {
        return false;
    }
    bbcrash_async_memcpy(dest, p, length);
    return true;
}

void report(Walk *walk, bool isClassMethod, mach_vm_address_t className, mach_vm_address_t selector,
            mach_vm_address_t imp) {
    bbcrash_async_macho_string classString;
    bbcrash_async_macho_string methodString;
    bbcrash_async_macho_string_init(&classString, walk->image, className);
    bbcrash_async_macho_string_init(&methodString, walk->image, selector);
    walk->callback(isClassMethod, &classString, &methodString, imp, walk->ctx);
    bbcrash_async_macho_string_free(&classString);
    bbcrash_async_macho_string_free(&methodString);
}

// ---- ObjC1 (the fragile runtime's __OBJC segment) ----

bbcrash_error_t walkObjC1MethodList(Walk *walk, mach_vm_address_t list, bool isClassMethod,
                                    mach_vm_address_t className) {
    bbcrash_async_macho *image = walk->image;
    uint32_t count = 0;
    bbcrash_error_t err = bbcrash_async_task_read_uint32(image->task, image->byteorder, list, 4, &count);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t method[3];
        err = bbcrash_async_task_read(image->task, list, 8 + static_cast<int64_t>(i) * 12, method, sizeof(method));
        if (err != BBCRASH_ESUCCESS) {
            return err;
        }
        report(walk, isClassMethod, className, image->byteorder->swap32(method[0]),
               image->byteorder->swap32(method[2]));
    }
    return BBCRASH_ESUCCESS;
}

bbcrash_error_t walkObjC1Class(Walk *walk, mach_vm_address_t cls, bool isClassMethod) {
    bbcrash_async_macho *image = walk->image;
    uint32_t fields[10];
    bbcrash_error_t err = bbcrash_async_task_read(image->task, cls, 0, fields, sizeof(fields));
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    const uint32_t name = image->byteorder->swap32(fields[2]);
    const uint32_t info = image->byteorder->swap32(fields[4]);
    const uint32_t methodLists = image->byteorder->swap32(fields[7]);
    if (info & kObjC1NoMethodArray) {
        if (methodLists != 0) {
            return walkObjC1MethodList(walk, methodLists, isClassMethod, name);
        }
        return BBCRASH_ESUCCESS;
    }
    if (methodLists == 0) {
        return BBCRASH_ESUCCESS;
    }
    for (uint32_t i = 0; i < kMaxObjC1MethodLists; ++i) {
        uint32_t list = 0;
        err = bbcrash_async_task_read_uint32(image->task, image->byteorder, methodLists, static_cast<int64_t>(i) * 4,
                                             &list);
        if (err != BBCRASH_ESUCCESS) {
            return err;
        }
        if (list == 0 || list == 0xffffffffU) {
            return BBCRASH_ESUCCESS;
        }
        err = walkObjC1MethodList(walk, list, isClassMethod, name);
        if (err != BBCRASH_ESUCCESS) {
            return err;
        }
    }
    // No terminator within the bound: the array is not sound.
    return BBCRASH_EINVALID_DATA;
}

bbcrash_error_t walkObjC1Modules(Walk *walk) {
    bbcrash_async_macho *image = walk->image;
    bbcrash_async_mobject modules;
    bbcrash_error_t err = bbcrash_async_macho_map_section(image, "__OBJC", "__module_info", &modules);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    const uint64_t count = modules.length / 16;
    if (count == 0) {
        bbcrash_async_mobject_free(&modules);
        return BBCRASH_ESUCCESS;
    }
    for (uint64_t m = 0; m < count && err == BBCRASH_ESUCCESS; ++m) {
        uint32_t symtab = 0;
        err = bbcrash_async_mobject_read_uint32(&modules, image->byteorder, modules.task_address,
                                                static_cast<int64_t>(m * 16 + 12), &symtab);
        if (err != BBCRASH_ESUCCESS || symtab == 0) {
            continue;
        }
        uint8_t head[12];
        err = bbcrash_async_task_read(image->task, symtab, 0, head, sizeof(head));
        if (err != BBCRASH_ESUCCESS) {
            break;
        }
        const uint16_t classCount = bbcrash_async_load16(image->byteorder, head + 8);
        for (uint32_t c = 0; c < classCount && err == BBCRASH_ESUCCESS; ++c) {
            uint32_t cls = 0;
            err = bbcrash_async_task_read_uint32(image->task, image->byteorder, symtab,
                                                 12 + static_cast<int64_t>(c) * 4, &cls);
            if (err != BBCRASH_ESUCCESS) {
                break;
            }
            err = walkObjC1Class(walk, cls, false);
            if (err != BBCRASH_ESUCCESS) {
                break;
            }
            uint32_t isa = 0;
            err = bbcrash_async_task_read_uint32(image->task, image->byteorder, cls, 0, &isa);
            if (err != BBCRASH_ESUCCESS) {
                break;
            }
            if (isa & 1) {
                isa &= ~7U;
            }
            err = walkObjC1Class(walk, isa, true);
        }
    }
    bbcrash_async_mobject_free(&modules);
    return err;
}

// ---- ObjC2 ----

void releaseMapping(bool *mapped, bbcrash_async_mobject *mobj) {
    if (*mapped) {
        bbcrash_async_mobject_free(mobj);
        *mapped = false;
    }
}

void releaseMappings(bbcrash_async_objc_cache *cache) {
    releaseMapping(&cache->objc_const_mapped, &cache->objc_const);
    releaseMapping(&cache->objc_const_ax_mapped, &cache->objc_const_ax);
    releaseMapping(&cache->classlist_mapped, &cache->classlist);
    releaseMapping(&cache->catlist_mapped, &cache->catlist);
    releaseMapping(&cache->objc_data_mapped, &cache->objc_data);
    releaseMapping(&cache->data_mapped, &cache->data);
    cache->last_image = nullptr;
}

// Maps a section from the first data segment that has it; only an absent
// section moves on to the next segment.
bbcrash_error_t mapDataSection(bbcrash_async_macho *image, const char *sectname, bbcrash_async_mobject *mobj,
                               bool *mapped) {
    static const char *const segments[] = {"__DATA", "__DATA_CONST", "__DATA_DIRTY"};
    bbcrash_error_t err = BBCRASH_ENOTFOUND;
    for (const char *segment : segments) {
        err = bbcrash_async_macho_map_section(image, segment, sectname, mobj);
        if (err != BBCRASH_ENOTFOUND) {
            break;
        }
    }
    *mapped = err == BBCRASH_ESUCCESS;
    return err;
}

bbcrash_error_t setUpCache(bbcrash_async_macho *image, bbcrash_async_objc_cache *cache) {
    if (cache->last_image == image) {
        return BBCRASH_ESUCCESS;
    }
    releaseMappings(cache);
    bbcrash_error_t err = mapDataSection(image, "__objc_const", &cache->objc_const, &cache->objc_const_mapped);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    cache->objc_const_ax_mapped =
        bbcrash_async_macho_map_section(image, "__DATA", "__objc_const_ax", &cache->objc_const_ax) == BBCRASH_ESUCCESS;
    err = mapDataSection(image, "__objc_classlist", &cache->classlist, &cache->classlist_mapped);
    if (err == BBCRASH_ESUCCESS) {
        err = mapDataSection(image, "__objc_catlist", &cache->catlist, &cache->catlist_mapped);
    }
    if (err == BBCRASH_ESUCCESS) {
        err = bbcrash_async_macho_map_section(image, "__DATA", "__objc_data", &cache->objc_data);
        cache->objc_data_mapped = err == BBCRASH_ESUCCESS;
    }
    if (err != BBCRASH_ESUCCESS) {
        releaseMappings(cache);
        return err;
    }
    cache->data_mapped = bbcrash_async_macho_map_section(image, "__DATA", "__data", &cache->data) == BBCRASH_ESUCCESS;
    cache->last_image = image;
    return BBCRASH_ESUCCESS;
}

bool lookUpClassData(bbcrash_async_objc_cache *cache, uint64_t data, uint64_t *ro) {
    if (cache->class_rw_data_cache_size == 0) {
        return false;
    }
    size_t slot = static_cast<size_t>((data >> 2) % cache->class_rw_data_cache_size);
    if (cache->class_rw_data_cache_keys[slot] != data) {
        return false;
    }
    *ro = cache->class_rw_data_cache_values[slot];
    return true;
}

void offerClassData(bbcrash_async_objc_cache *cache, uint64_t data, uint64_t ro) {
    if (cache->class_rw_data_cache_size == 0) {
        vm_address_t table = 0;
        const vm_size_t bytes = BBCRASH_ASYNC_OBJC_CACHE_SLOTS * 2 * sizeof(uintptr_t);
        if (vm_allocate(mach_task_self(), &table, bytes, VM_FLAGS_ANYWHERE) != KERN_SUCCESS) {
            return;
        }
        cache->class_rw_data_cache_keys = reinterpret_cast<uintptr_t *>(table);
        cache->class_rw_data_cache_values = cache->class_rw_data_cache_keys + BBCRASH_ASYNC_OBJC_CACHE_SLOTS;
        cache->class_rw_data_cache_size = BBCRASH_ASYNC_OBJC_CACHE_SLOTS;
    }
    size_t slot = static_cast<size_t>((data >> 2) % cache->class_rw_data_cache_size);
    // The first key of a slot stays.
    if (cache->class_rw_data_cache_keys[slot] == 0) {
        cache->class_rw_data_cache_keys[slot] = static_cast<uintptr_t>(data);
        cache->class_rw_data_cache_values[slot] = static_cast<uintptr_t>(ro);
    }
}

// The name and method-list addresses of the class at `cls` (task address),
// whose bytes are `clsBytes`.
bbcrash_error_t readClassData(Walk *walk, const uint8_t *clsBytes, uint64_t *name, uint64_t *methods) {
    bbcrash_async_macho *image = walk->image;
    bbcrash_async_objc_cache *cache = walk->cache;
    const uint64_t ps = pointerSize(image);
    uint64_t data = wordAt(image, clsBytes + 4 * ps);
    data = image->m64 ? (data & kObjC2PointerMask64) : (data & ~7ULL);

    uint8_t ro[72];
    const mach_vm_size_t roSize = image->m64 ? 72 : 40;
    uint64_t roAddress = 0;
    if (lookUpClassData(cache, data, &roAddress)) {
        if (!copyFromMapping(&cache->objc_const, cache->objc_const_mapped, roAddress, ro, roSize) &&
            bbcrash_async_task_read(image->task, roAddress, 0, ro, roSize) != BBCRASH_ESUCCESS) {
            return BBCRASH_EINVALID_DATA;
        }
    } else {
        uint8_t rw[16];
        const mach_vm_size_t rwSize = image->m64 ? 16 : 12;
        if (bbcrash_async_task_read(image->task, data, 0, rw, rwSize) != BBCRASH_ESUCCESS) {
            return BBCRASH_EINVALID_DATA;
        }
        const uint32_t flags = bbcrash_async_load32(image->byteorder, rw);
        if (!(flags & kRWRealized)) {
            return BBCRASH_ENOTFOUND;
        }
        roAddress = wordAt(image, rw + 8);
        if (roAddress & 1) {
            // An extension record whose first word is the read-only pointer.
            uint8_t word[8];
            if (bbcrash_async_task_read(image->task, roAddress & ~1ULL, 0, word, ps) != BBCRASH_ESUCCESS) {
                return BBCRASH_EINVALID_DATA;
            }
            roAddress = wordAt(image, word);
        }
        if (!(flags & kRWCopiedRO) && bbcrash_async_macho_contains_address(image, roAddress)) {
            if (!copyFromMapping(&cache->objc_const, cache->objc_const_mapped, roAddress, ro, roSize)) {
                return BBCRASH_EINVALID_DATA;
            }
        } else if (bbcrash_async_task_read(image->task, roAddress, 0, ro, roSize) != BBCRASH_ESUCCESS) {
            return BBCRASH_EINVALID_DATA;
        }
        offerClassData(cache, data, roAddress);
    }
    *name = wordAt(image, ro + (image->m64 ? 24 : 16));
    *methods = wordAt(image, ro + (image->m64 ? 32 : 20));
    return BBCRASH_ESUCCESS;
}

bbcrash_error_t walkMethodList(Walk *walk, uint64_t list, bool isClassMethod, uint64_t className) {
    bbcrash_async_macho *image = walk->image;
    bbcrash_async_objc_cache *cache = walk->cache;
    bbcrash_async_mobject *mapping = nullptr;
    if (cache->objc_const_mapped && bbcrash_async_mobject_remap(&cache->objc_const, list, 0, 8) != nullptr) {
        mapping = &cache->objc_const;
    } else if (cache->objc_const_ax_mapped &&
               bbcrash_async_mobject_remap(&cache->objc_const_ax, list, 0, 8) != nullptr) {
        mapping = &cache->objc_const_ax;
    } else {
        return BBCRASH_EINVALID_DATA;
    }
    const uint8_t *head = static_cast<const uint8_t *>(bbcrash_async_mobject_remap(mapping, list, 0, 8));
    const uint64_t entsize = bbcrash_async_load32(image->byteorder, head) & ~3U;
    const uint64_t count = bbcrash_async_load32(image->byteorder, head + 4);
    // An entry must hold at least the name, types and implementation words;
    // a smaller size (0 included) cannot describe a method.
    const uint64_t minimum = 3 * pointerSize(image);
    if (entsize < minimum || (count != 0 && entsize > UINT64_MAX / count)) {
        return BBCRASH_EINVALID_DATA;
    }
    const uint8_t *entries =
        static_cast<const uint8_t *>(bbcrash_async_mobject_remap(mapping, list, 8, count * entsize));
    if (entries == nullptr) {
        return BBCRASH_EINVALID_DATA;
    }
    const uint64_t ps = pointerSize(image);
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t *entry = entries + i * entsize;
        report(walk, isClassMethod, className, wordAt(image, entry), wordAt(image, entry + 2 * ps));
    }
    return BBCRASH_ESUCCESS;
}

bbcrash_error_t walkClassMethods(Walk *walk, const uint8_t *clsBytes, bool isClassMethod) {
    uint64_t name = 0, methods = 0;
    bbcrash_error_t err = readClassData(walk, clsBytes, &name, &methods);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    if (methods == 0) {
        return BBCRASH_ESUCCESS;
    }
    return walkMethodList(walk, methods, isClassMethod, name);
}

// The class bytes at `cls`, from __objc_data or else __data.
bool readClassFromSections(Walk *walk, uint64_t cls, uint8_t *out) {
    const mach_vm_size_t size = walk->image->m64 ? 40 : 20;
    return copyFromMapping(&walk->cache->objc_data, walk->cache->objc_data_mapped, cls, out, size) ||
           copyFromMapping(&walk->cache->data, walk->cache->data_mapped, cls, out, size);
}

bbcrash_error_t walkClassList(Walk *walk) {
    bbcrash_async_macho *image = walk->image;
    bbcrash_async_objc_cache *cache = walk->cache;
    const uint64_t ps = pointerSize(image);
    const uint64_t count = cache->classlist.length / ps;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t cls = 0;
        bbcrash_error_t err =
            readWord(image, &cache->classlist, cache->classlist.task_address, static_cast<int64_t>(i * ps), &cls);
        if (err != BBCRASH_ESUCCESS) {
            return err;
        }
        uint8_t clsBytes[40];
        if (!readClassFromSections(walk, cls, clsBytes)) {
            return BBCRASH_EINVALID_DATA;
        }
        err = walkClassMethods(walk, clsBytes, false);
        if (err == BBCRASH_ENOTFOUND) {
            continue;
        }
        if (err != BBCRASH_ESUCCESS) {
            return err;
        }
        uint64_t isa = wordAt(image, clsBytes);
        uint64_t meta = image->m64 ? (isa & kObjC2PointerMask64) : ((isa & 1) ? (isa & ~7ULL) : isa);
        uint8_t metaBytes[40];
        if (!readClassFromSections(walk, meta, metaBytes)) {
            return BBCRASH_EINVALID_DATA;
        }
        err = walkClassMethods(walk, metaBytes, true);
        if (err != BBCRASH_ESUCCESS && err != BBCRASH_ENOTFOUND) {
            return err;
        }
    }
    return BBCRASH_ESUCCESS;
}

bbcrash_error_t walkCategory(Walk *walk, uint64_t category) {
    bbcrash_async_macho *image = walk->image;
    bbcrash_async_objc_cache *cache = walk->cache;
    const uint64_t ps = pointerSize(image);
    uint8_t cat[48];
    if (!copyFromMapping(&cache->objc_const, cache->objc_const_mapped, category, cat, 6 * ps)) {
        return BBCRASH_EINVALID_DATA;
    }
    const uint64_t cls = wordAt(image, cat + ps);
    uint8_t clsBytes[40];
    if (!readClassFromSections(walk, cls, clsBytes) &&
        bbcrash_async_task_read(image->task, cls, 0, clsBytes, image->m64 ? 40 : 20) != BBCRASH_ESUCCESS) {
        return BBCRASH_EINVALID_DATA;
    }
    uint64_t className = 0, classMethods = 0;
    bbcrash_error_t err = readClassData(walk, clsBytes, &className, &classMethods);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    const uint64_t instanceList = wordAt(image, cat + 2 * ps);
    const uint64_t classList = wordAt(image, cat + 3 * ps);
    if (instanceList != 0) {
        err = walkMethodList(walk, instanceList, false, className);
        if (err != BBCRASH_ESUCCESS) {
            return err;
        }
    }
    if (classList != 0) {
        err = walkMethodList(walk, classList, true, className);
    }
    return err;
}

bbcrash_error_t walkCategoryList(Walk *walk) {
    bbcrash_async_macho *image = walk->image;
    bbcrash_async_objc_cache *cache = walk->cache;
    const uint64_t ps = pointerSize(image);
    const uint64_t count = cache->catlist.length / ps;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t category = 0;
        bbcrash_error_t err =
            readWord(image, &cache->catlist, cache->catlist.task_address, static_cast<int64_t>(i * ps), &category);
        if (err != BBCRASH_ESUCCESS) {
            return err;
        }
        err = walkCategory(walk, category);
        if (err != BBCRASH_ESUCCESS && err != BBCRASH_ENOTFOUND) {
            return err;
        }
    }
    return BBCRASH_ESUCCESS;
}

struct NearestSearch {
    mach_vm_address_t target;
    mach_vm_address_t best;
    bool found;
    bool reported;
    bbcrash_async_objc_found_method_cb callback;
    void *ctx;
};

void keepNearest(bool, bbcrash_async_macho_string *, bbcrash_async_macho_string *, mach_vm_address_t imp, void *ctx) {
    auto *search = static_cast<NearestSearch *>(ctx);
    if (imp <= search->target && (!search->found || imp > search->best)) {
        search->best = imp;
        search->found = true;
    }
}

void reportNearest(bool isClassMethod, bbcrash_async_macho_string *className, bbcrash_async_macho_string *methodName,
                   mach_vm_address_t imp, void *ctx) {
    auto *search = static_cast<NearestSearch *>(ctx);
    if (!search->reported && imp == search->best) {
        search->reported = true;
        search->callback(isClassMethod, className, methodName, imp, search->ctx);
    }
}

}  // namespace

bbcrash_error_t bbcrash_async_objc_cache_init(bbcrash_async_objc_cache *cache) {
    bbcrash_async_memset(cache, 0, sizeof(*cache));
    return BBCRASH_ESUCCESS;
}

void bbcrash_async_objc_cache_free(bbcrash_async_objc_cache *cache) {
    releaseMappings(cache);
    if (cache->class_rw_data_cache_size != 0) {
        vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(cache->class_rw_data_cache_keys),
                      BBCRASH_ASYNC_OBJC_CACHE_SLOTS * 2 * sizeof(uintptr_t));
    }
    cache->class_rw_data_cache_size = 0;
    cache->class_rw_data_cache_keys = nullptr;
    cache->class_rw_data_cache_values = nullptr;
}

bbcrash_error_t bbcrash_async_objc_parse(bbcrash_async_macho *image, bbcrash_async_objc_cache *cache,
                                         bbcrash_async_objc_found_method_cb callback, void *ctx) {
    if (cache == nullptr) {
        return BBCRASH_EACCESS;
    }
    Walk walk{image, cache, callback, ctx};
    if (!cache->got_objc2_info) {
        bbcrash_error_t err = walkObjC1Modules(&walk);
        if (err != BBCRASH_ENOTFOUND) {
            return err;
        }
    }
    bbcrash_error_t err = setUpCache(image, cache);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    err = walkClassList(&walk);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    err = walkCategoryList(&walk);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    cache->got_objc2_info = true;
    return BBCRASH_ESUCCESS;
}

bbcrash_error_t bbcrash_async_objc_find_method(bbcrash_async_macho *image, bbcrash_async_objc_cache *cache,
                                               mach_vm_address_t address, bbcrash_async_objc_found_method_cb callback,
                                               void *ctx) {
    NearestSearch search{address, 0, false, false, callback, ctx};
    bbcrash_error_t err = bbcrash_async_objc_parse(image, cache, keepNearest, &search);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    if (!search.found) {
        return BBCRASH_ENOTFOUND;
    }
    return bbcrash_async_objc_parse(image, cache, reportNearest, &search);
}
