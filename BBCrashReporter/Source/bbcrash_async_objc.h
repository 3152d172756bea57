#pragma once
// Crash-time walk of an image's Objective-C metadata, naming the method that
// an address belongs to. Async-signal-safe: the section mappings and the
// class-data table come from the virtual-memory system.
#include "bbcrash_async_macho.h"

struct bbcrash_async_objc_cache {
    bool got_objc2_info;  // a full ObjC2 walk succeeded: skip the ObjC1 attempt
    bbcrash_async_macho *last_image;
    bool objc_const_mapped;
    bbcrash_async_mobject objc_const;
    bool objc_const_ax_mapped;
    bbcrash_async_mobject objc_const_ax;
    bool classlist_mapped;
    bbcrash_async_mobject classlist;
    bool catlist_mapped;
    bbcrash_async_mobject catlist;
    bool objc_data_mapped;
    bbcrash_async_mobject objc_data;
    bool data_mapped;
    bbcrash_async_mobject data;
    // Class data address -> read-only record address; 1024 slots or none.
    size_t class_rw_data_cache_size;
    uintptr_t *class_rw_data_cache_keys;
    uintptr_t *class_rw_data_cache_values;
};

constexpr size_t BBCRASH_ASYNC_OBJC_CACHE_SLOTS = 1024;

using bbcrash_async_objc_found_method_cb = void (*)(bool is_class_method, bbcrash_async_macho_string *class_name,
                                                    bbcrash_async_macho_string *method_name,
                                                    platform::mach::mach_vm_address_t imp, void *ctx);

bbcrash_error_t bbcrash_async_objc_cache_init(bbcrash_async_objc_cache *cache);
void bbcrash_async_objc_cache_free(bbcrash_async_objc_cache *cache);

// Calls the callback for every method of the image's classes and categories.
bbcrash_error_t bbcrash_async_objc_parse(bbcrash_async_macho *image, bbcrash_async_objc_cache *cache,
                                         bbcrash_async_objc_found_method_cb callback, void *ctx);

// Calls the callback once, for the method whose implementation is the
// nearest at or below `address`; 8 when there is none.
bbcrash_error_t bbcrash_async_objc_find_method(bbcrash_async_macho *image, bbcrash_async_objc_cache *cache,
                                               platform::mach::mach_vm_address_t address,
                                               bbcrash_async_objc_found_method_cb callback, void *ctx);
