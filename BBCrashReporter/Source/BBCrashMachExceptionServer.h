#pragma once
// The engine's Mach exception server: a detached thread that receives
// exception requests on its own port, hands each to a callback and replies
// with the callback's result; the faulting thread stays parked until then.
// The callback runs on the server thread (crash-path rules apply to it).
#include <memory>

#include "platform/foundation/Error.h"
#include "platform/mach/exception_types.h"
#include "platform/mach/mach_port.h"

class BBCrashMachExceptionPort;
struct bbcrash_exception_server_context;

// Called per exception request: task, faulting thread, exception type, the
// 64-bit codes and their count (never more than the request holds), and the
// context given at start. Returns a kernel result for the reply.
using bbcrash_mach_exception_callback_t = platform::mach::kern_return_t (*)(
    platform::mach::task_t task, platform::mach::thread_t thread, platform::mach::exception_type_t exception_type,
    platform::mach::mach_exception_data_t codes, platform::mach::mach_msg_type_number_t code_count, void *context);

class BBCrashMachExceptionServer {
public:
    // Sets up the ports and starts the server thread; null with code 1 and
    // the reason on failure.
    static std::shared_ptr<BBCrashMachExceptionServer> make(bbcrash_mach_exception_callback_t callback, void *context,
                                                            std::shared_ptr<const platform::Error> *error);
    // Stops the thread (a bounded handshake) and releases the ports.
    ~BBCrashMachExceptionServer();
    BBCrashMachExceptionServer(const BBCrashMachExceptionServer &) = delete;
    BBCrashMachExceptionServer &operator=(const BBCrashMachExceptionServer &) = delete;

    platform::mach::thread_t serverThread() const;

    // A new send right to the server's port; MACH_PORT_NULL with code 1
    // "Failed to insert Mach send right" on failure. The caller owns it.
    platform::mach::mach_port_t copySendRightForServerAndReturningError(
        std::shared_ptr<const platform::Error> *error) const;

    // A port object for a new send right with the mask, behaviour
    // EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES and the machine's thread
    // state flavour; null when no send right could be made.
    std::shared_ptr<BBCrashMachExceptionPort> exceptionPortWithMask(
        platform::mach::exception_mask_t mask, std::shared_ptr<const platform::Error> *error) const;

private:
    explicit BBCrashMachExceptionServer(bbcrash_exception_server_context *context) : serverContext_(context) {}
    bbcrash_exception_server_context *serverContext_;
};
