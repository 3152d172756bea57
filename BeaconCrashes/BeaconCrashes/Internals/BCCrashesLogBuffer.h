#pragma once
// The crash-time log buffer: a copy of every log the channels prepare, kept
// in 60 process-wide slots until its unit has handled it, written to one
// file per slot when the process crashes, and re-enqueued on a unit of its
// own ("CrashesBuffer") at the next start.
//
// The crash service drives it: setup when the service is made, the two
// channel callbacks, re-enqueueing when it starts, emptying when it is
// disabled, and bc_save_log_buffer registered as the engine's post-crash
// callback.
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ucontext.h>

#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"

class BCAbstractLog;
class BCChannelGroupProtocol;
class BCChannelUnitProtocol;
class BCEncrypter;

class BCCrashesLogBuffer {
public:
    static constexpr size_t kSlotCount = 60;

    // What a slot holds now, for tests and diagnostics.
    struct Slot {
        std::vector<uint8_t> buffer;  // the keyed archive; empty: free
        std::string targetToken;      // encrypted, empty when none
        std::string internalId;
        double timestamp = 0;
        std::string bufferPath;
        std::string targetTokenPath;
    };

    // Frees every slot, points them at the files of the SDK directory's
    // "crasheslogbuffer", and creates missing files (empty) on the queue
    // within the group; existing files keep their content.
    static void setupLogBuffer(const std::shared_ptr<platform::dispatch::Queue> &queue,
                               const std::shared_ptr<platform::dispatch::Group> &group);
    // channel:didPrepareLog:internalId:flags: — buffers the log unless the
    // service is disabled or it is a crash or attachment log.
    static void didPrepareLog(const std::shared_ptr<BCAbstractLog> &log, const std::string &internalId,
                              bool serviceEnabled, BCEncrypter &encrypter);
    // channel:didCompleteEnqueueingLog:internalId: — frees every slot of the
    // id, and deletes its file once the buffer was saved at crash time.
    static void didCompleteEnqueueingLog(const std::shared_ptr<BCAbstractLog> &log, const std::string &internalId);
    // Adds a "CrashesBuffer" unit to the group and enqueues every buffered
    // log found on disk on it; a file is emptied (and its token file
    // deleted) once the store has saved its log, kept when the save fails,
    // and set aside as "<name>.unstorable" when the log can never be stored.
    // A file whose log is still on its way is not enqueued again. Files that
    // are not regular or are far too large are set aside unread. Answers the
    // unit.
    static std::shared_ptr<BCChannelUnitProtocol> processLogBufferAfterCrash(BCChannelGroupProtocol &channelGroup,
                                                                             BCEncrypter &encrypter);
    // Empties every non-empty buffer file; the slots and token files stay.
    static void emptyLogBufferFiles();

    // Whether bc_save_log_buffer has run in this process.
    static bool logBufferSaved();
    static std::vector<Slot> slots();
};

// The engine's post-crash callback: writes every slot to its files. Runs on
// the crash path: no allocation, no lock, no logging.
void bc_save_log_buffer(siginfo_t *info, ucontext_t *uap, void *context);
