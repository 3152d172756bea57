#pragma once
// The crash-time lookup of the symbol for one address, from the symbol
// table, the Objective-C metadata or both. Async-signal-safe.
#include "BBCrashReporterSymbolicationStrategy.h"
#include "bbcrash_async_objc.h"

using bbcrash_async_found_symbol_cb = void (*)(platform::mach::mach_vm_address_t address, const char *name, void *ctx);

// Longest name handed to the callback, NUL excluded.
constexpr size_t BBCRASH_ASYNC_SYMBOL_NAME_MAX = 255;

// 0 with the callback called once; 8 when every requested search failed or
// none was requested.
bbcrash_error_t bbcrash_async_find_symbol(bbcrash_async_macho *image, uint32_t strategy,
                                          bbcrash_async_objc_cache *cache, platform::mach::mach_vm_address_t pc,
                                          bbcrash_async_found_symbol_cb callback, void *ctx);
