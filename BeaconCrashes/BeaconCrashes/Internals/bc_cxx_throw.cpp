// The program's definition of the C++ runtime's throw entry point. Every
// throw of the process, also those inside libstdc++ (the executable exports
// this symbol, so the runtime's own calls bind to it), passes through here.
//
// This file must not include <cxxabi.h>: its declaration of __cxa_throw
// differs from the one the compiler makes for a throw expression, which
// takes the type information as `void *`, as the definition below does. Raised exceptions of the
// application object are handed on without recording, as the runtime
// records their stacks itself.
#include "bc_cxx_throw.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <typeinfo>

#include "platform/appkit/NSExceptionBox.h"

namespace {

using CxaThrow = void (*)(void *, void *, void (*)(void *));

pthread_once_t prepareOnce = PTHREAD_ONCE_INIT;
pthread_key_t recordKey;
std::atomic<bool> keyCreated{false};
std::atomic<CxaThrow> runtimeThrow{nullptr};
std::atomic<bool> recording{false};

void prepare() {
    if (pthread_key_create(&recordKey, free) == 0) keyCreated.store(true);
    // The runtime's entry point: the next definition after this program's.
    runtimeThrow.store(reinterpret_cast<CxaThrow>(dlsym(RTLD_NEXT, "__cxa_throw")));
    // glibc loads the unwinder that backtrace() uses on its first call.
    void *warmUp[2];
    backtrace(warmUp, 2);
}

// The calling thread's record, made on its first throw, now holding the
// thrown object; nullptr when there is none and none can be made (the throw
// then goes on unrecorded).
BCCrashesCXXThrowRecord *recordFor(void *thrown) {
    if (!keyCreated.load()) return nullptr;
    auto *entry = static_cast<BCCrashesCXXThrowRecord *>(pthread_getspecific(recordKey));
    if (!entry) {
        entry = static_cast<BCCrashesCXXThrowRecord *>(calloc(1, sizeof(BCCrashesCXXThrowRecord)));
        if (!entry) return nullptr;
        if (pthread_setspecific(recordKey, entry) != 0) {
            free(entry);
            return nullptr;
        }
    }
    entry->exceptionObject = thrown;
    entry->addressCount = 0;
    return entry;
}

}  // namespace

void bc_cxx_throw_prepare() { pthread_once(&prepareOnce, prepare); }

void bc_cxx_throw_set_recording(bool on) { recording.store(on); }

BCCrashesCXXThrowRecord *bc_cxx_throw_record_for_current_thread() {
    if (!keyCreated.load()) return nullptr;
    return static_cast<BCCrashesCXXThrowRecord *>(pthread_getspecific(recordKey));
}

extern "C" [[noreturn]] void __cxa_throw(void *thrownException, void *tinfo, void (*dest)(void *)) {
    bc_cxx_throw_prepare();
    const auto *type = static_cast<const std::type_info *>(tinfo);
    const bool raised = type && *type == typeid(platform::appkit::NSExceptionBox);
    if (!raised && recording.load()) {
        if (BCCrashesCXXThrowRecord *entry = recordFor(thrownException)) {
            // Called here, not in a helper, so that entry 0 is this function
            // and entry 1 the thrower. An interposed backtrace() (the address
            // sanitizer's) adds entries of its own before them: the record
            // starts one entry before the thrower's return address.
            void *addresses[kBCCrashesCXXThrowRecordCapacity];
            const int count = backtrace(addresses, static_cast<int>(kBCCrashesCXXThrowRecordCapacity));
            const void *thrower = __builtin_return_address(0);
            int first = 0;
            for (int i = 1; i < count && i < 4; ++i) {
                if (addresses[i] == thrower) {
                    first = i - 1;
                    break;
                }
            }
            uint32_t kept = 0;
            for (int i = first; i < count; ++i)
                entry->returnAddresses[kept++] = reinterpret_cast<uintptr_t>(addresses[i]);
            entry->addressCount = kept;
        }
    }
    CxaThrow next = runtimeThrow.load();
    if (!next) abort();
    next(thrownException, tinfo, dest);
    __builtin_unreachable();
}
