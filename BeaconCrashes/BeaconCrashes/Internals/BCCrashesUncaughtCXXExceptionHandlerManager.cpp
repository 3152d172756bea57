#include "BCCrashesUncaughtCXXExceptionHandlerManager.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "bc_cxx_throw.h"
#include "platform/appkit/NSExceptionBox.h"

namespace {

// Guards the handler list, the installed flag and the previous handler. A
// spin lock, as the terminate handler may run while anything else is held.
std::atomic_flag spinLock = ATOMIC_FLAG_INIT;
// Never destroyed: an uncaught exception may end the process while static
// destructors run.
std::vector<BCCrashesCXXExceptionHandler> &handlers() {
    static auto *list = new std::vector<BCCrashesCXXExceptionHandler>;
    return *list;
}
std::atomic<bool> installed{false};
std::terminate_handler previousTerminateHandler = nullptr;

class SpinLockGuard {
public:
    SpinLockGuard() { lock(); }
    ~SpinLockGuard() {
        if (held_) unlock();
    }
    void release() {
        unlock();
        held_ = false;
    }

private:
    static void lock() {
        while (spinLock.test_and_set(std::memory_order_acquire)) {}
    }
    static void unlock() { spinLock.clear(std::memory_order_release); }
    bool held_ = true;
};

// The thrown object an exception_ptr refers to: libstdc++'s exception_ptr is
// that one pointer.
const void *thrownObject(const std::exception_ptr &exception) {
    static_assert(sizeof(std::exception_ptr) == sizeof(void *));
    const void *object = nullptr;
    std::memcpy(&object, &exception, sizeof object);
    return object;
}

[[noreturn]] void bc_cxx_terminate_handler() {
    std::exception_ptr current = std::current_exception();
    SpinLockGuard lock;
    const std::terminate_handler previous = previousTerminateHandler;
    if (current) {
        BCCrashesCXXExceptionInfo info{};
        info.exceptionObject = &current;
        const std::type_info *type = abi::__cxa_current_exception_type();
        info.typeName = type ? type->name() : nullptr;

        // The thread's record only when it is this exception's: one that
        // came from another thread (std::future::get rethrows it) or that
        // bypassed the throw entry point would get an older throw's frames.
        uint64_t local[kBCCrashesCXXThrowRecordCapacity] = {};
        const uint64_t *addresses = local;
        uint32_t count = 0;
        const BCCrashesCXXThrowRecord *record = bc_cxx_throw_record_for_current_thread();
        if (record && record->exceptionObject == thrownObject(current)) {
            addresses = record->returnAddresses;
            count = std::min(record->addressCount, kBCCrashesCXXThrowRecordCapacity);
        } else {
            void *frames[kBCCrashesCXXThrowRecordCapacity];
            const int n = backtrace(frames, static_cast<int>(kBCCrashesCXXThrowRecordCapacity));
            for (int i = 0; i < n; ++i) local[i] = reinterpret_cast<uintptr_t>(frames[i]);
            count = n > 0 ? static_cast<uint32_t>(n) : 0;
        }
        // Without the entry point's own entry; an empty backtrace stays empty.
        info.frameCount = count > 0 ? count - 1 : 0;
        info.frameAddresses = addresses + 1;

        bool raised = false;
        try {
            std::rethrow_exception(current);
        } catch (const std::exception &e) {
            info.messageText = e.what();
        } catch (const std::exception *e) {
            info.messageText = e ? e->what() : nullptr;
        } catch (const std::string &s) {
            info.messageText = s.c_str();
        } catch (const std::string *s) {
            info.messageText = s ? s->c_str() : nullptr;
        } catch (const char *s) {
            info.messageText = s;
        } catch (const platform::appkit::NSExceptionBox &) {
            // A raised exception of the application object: the runtime's
            // terminate handler reports it.
            raised = true;
        } catch (...) {}
        if (!raised) {
            for (BCCrashesCXXExceptionHandler handler : handlers()) {
                try {
                    handler(&info);
                } catch (...) {}
            }
        }
    }
    lock.release();
    if (previous) {
        try {
            previous();
        } catch (...) {}
    }
    std::abort();
}

}  // namespace

void BCCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(BCCrashesCXXExceptionHandler handler) {
    bc_cxx_throw_prepare();
    SpinLockGuard lock;
    if (!installed.load()) {
        previousTerminateHandler = std::set_terminate(bc_cxx_terminate_handler);
        installed.store(true);
        bc_cxx_throw_set_recording(true);
    }
    handlers().push_back(handler);
}

void BCCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(BCCrashesCXXExceptionHandler handler) {
    SpinLockGuard lock;
    auto &list = handlers();
    auto it = std::find(list.begin(), list.end(), handler);
    if (it != list.end()) list.erase(it);
    if (!installed.load() || !list.empty()) return;
    std::terminate_handler replaced = std::set_terminate(previousTerminateHandler);
    if (replaced == bc_cxx_terminate_handler) {
        installed.store(false);
        bc_cxx_throw_set_recording(false);
        previousTerminateHandler = nullptr;
    } else {
        // Another component installed its own meanwhile: it stays in force.
        std::set_terminate(replaced);
    }
}

unsigned long BCCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() {
    SpinLockGuard lock;
    return handlers().size();
}
