#include "bbcrash_async_symbol.h"

using namespace platform::mach;

namespace {

struct LookupResult {
    char name[BBCRASH_ASYNC_SYMBOL_NAME_MAX + 1];
    bool found;
    mach_vm_address_t address;
};

// Appends `text` (up to `length` bytes) at *used, dropping what does not fit.
void appendText(LookupResult *result, size_t *used, const char *text, size_t length) {
    for (size_t i = 0; i < length && *used < BBCRASH_ASYNC_SYMBOL_NAME_MAX; ++i) {
        result->name[(*used)++] = text[i];
    }
    result->name[*used] = '\0';
}

size_t textLength(const char *text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    return n;
}

void storeSymbol(mach_vm_address_t address, const char *name, void *ctx) {
    auto *result = static_cast<LookupResult *>(ctx);
    if (result->found && result->address > address) {
        return;
    }
    size_t used = 0;
    appendText(result, &used, name, textLength(name));
    result->found = true;
    result->address = address;
}

void storeMethod(bool isClassMethod, bbcrash_async_macho_string *className, bbcrash_async_macho_string *methodName,
                 mach_vm_address_t imp, void *ctx) {
    auto *result = static_cast<LookupResult *>(ctx);
    if (result->found && result->address > imp) {
        return;
    }
    const char *classText = nullptr;
    const char *methodText = nullptr;
    mach_vm_size_t classLength = 0, methodLength = 0;
    if (bbcrash_async_macho_string_get_length(className, &classLength) != BBCRASH_ESUCCESS ||
        bbcrash_async_macho_string_get_pointer(className, &classText) != BBCRASH_ESUCCESS ||
        bbcrash_async_macho_string_get_length(methodName, &methodLength) != BBCRASH_ESUCCESS ||
        bbcrash_async_macho_string_get_pointer(methodName, &methodText) != BBCRASH_ESUCCESS) {
        return;
    }
    size_t used = 0;
    appendText(result, &used, isClassMethod ? "+[" : "-[", 2);
    appendText(result, &used, classText, static_cast<size_t>(classLength));
    appendText(result, &used, " ", 1);
    appendText(result, &used, methodText, static_cast<size_t>(methodLength));
    appendText(result, &used, "]", 1);
    result->found = true;
    result->address = imp;
}

}  // namespace

bbcrash_error_t bbcrash_async_find_symbol(bbcrash_async_macho *image, uint32_t strategy,
                                          bbcrash_async_objc_cache *cache, mach_vm_address_t pc,
                                          bbcrash_async_found_symbol_cb callback, void *ctx) {
    LookupResult result;
    result.name[0] = '\0';
    result.found = false;
    result.address = 0;
    bool succeeded = false;
    if (strategy & BBCrashReporterSymbolicationStrategySymbolTable) {
        if (bbcrash_async_macho_find_symbol_by_pc(image, pc, storeSymbol, &result) == BBCRASH_ESUCCESS) {
            succeeded = true;
        }
    }
    if (strategy & BBCrashReporterSymbolicationStrategyObjC) {
        if (bbcrash_async_objc_find_method(image, cache, pc, storeMethod, &result) == BBCRASH_ESUCCESS) {
            succeeded = true;
        }
    }
    if (!succeeded) {
        return BBCRASH_ENOTFOUND;
    }
    if (!result.found) {
        return BBCRASH_EINTERNAL;
    }
    callback(result.address, result.name, ctx);
    return BBCRASH_ESUCCESS;
}
