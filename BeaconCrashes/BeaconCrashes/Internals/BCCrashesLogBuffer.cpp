// Runs partly on the crash path: bc_save_log_buffer (and what it calls, in
// the "crash path" section below) runs in a signal handler or on the
// exception server while other threads may still run. It allocates nothing,
// takes no lock, logs nothing and loops on short writes and EINTR. The files
// it writes are opened through the folder's descriptor, prepared at setup,
// with O_NOFOLLOW, O_NONBLOCK and mode 0600, and written only when fstat
// shows a regular file with no other hard link (setup takes such a file back
// with a copy; for one linked since, the crash-time write removes our name
// and makes a fresh file under it, so the other name keeps its file).
//
// How a slot stays readable without a lock: its archived bytes and token are
// one immutable block published through an atomic pointer. A replacement
// makes the slot's sequence odd, swaps the pointer, makes it even again, and
// keeps the replaced block as "retired" until the slot's next replacement,
// so a crash-time reader that picked up the old pointer still reads live
// memory. A slot whose sequence is odd is written as empty at crash time.
#include "BCCrashesLogBuffer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BCAbstractLog.h"
#include "BCAppleErrorLog.h"
#include "BCChannelGroupProtocol.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitProtocol.h"
#include "BCCrashesUtil.h"
#include "BCEncrypter.h"
#include "BCErrorAttachmentLog.h"
#include "BCFlags.h"
#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char *kLogTag = "BeaconCrashes";
constexpr const char *kSdkLogTag = "Beacon";
constexpr const char *kBufferExtension = "bccrasheslogbuffer";
constexpr const char *kTokenExtension = "targettoken";
// Far above any log the SDK prepares; a larger file is not ours.
constexpr size_t kMaxBufferFileSize = 4 * 1024 * 1024;
constexpr size_t kMaxTokenFileSize = 64 * 1024;

// One slot's content, never changed once published.
struct Block {
    std::vector<uint8_t> buffer;
    std::string targetToken;
};

// The folder of the slots' files, never changed once published: its path
// (for diagnostics) and a descriptor the crash path opens the files through,
// so that nothing put in the folder's place since is followed.
struct Directory {
    std::string path;
    int fd = -1;
    ~Directory() {
        if (fd >= 0) close(fd);
    }
};

struct SlotState {
    std::atomic<uint64_t> sequence{0};
    std::atomic<const Block *> block{nullptr};
    // Under the buffer's lock.
    const Block *retired = nullptr;
    std::string internalId;
    double timestamp = 0;
};

static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<const Block *>::is_always_lock_free);
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// Static storage for the whole process, never destroyed: the crash path may
// run while exit runs the static destructors.
SlotState *slotStates() {
    static auto *slots = new SlotState[BCCrashesLogBuffer::kSlotCount];
    return slots;
}
std::atomic<const Directory *> gDirectory{nullptr};
const Directory *gRetiredDirectory = nullptr;  // under the lock
std::atomic<bool> gLogBufferSaved{false};

std::recursive_mutex &bufferMutex() {
    static auto *m = new std::recursive_mutex;
    return *m;
}

// Publishes `block` (null: free) in the slot. Under the lock.
void replaceBlock(SlotState &slot, const Block *block) {
    slot.sequence.fetch_add(1, std::memory_order_acq_rel);
    const Block *old = slot.block.exchange(block, std::memory_order_acq_rel);
    slot.sequence.fetch_add(1, std::memory_order_release);
    delete slot.retired;
    slot.retired = old;
}

std::string slotFileName(size_t index, const char *extension) {
    return platform::format("%@.%@", std::to_string(index), std::string(extension));
}

std::string slotPath(const Directory *directory, size_t index, const char *extension) {
    if (!directory) return {};
    return directory->path + "/" + slotFileName(index, extension);
}

// --- The crash path. ---

// Opens the folder's file for writing, never through a link put in its
// place, private. Not truncated on opening: a file with another hard link
// is somebody else's too and is left as it is; our name is removed and a
// fresh file made under it (its old contents are being replaced anyway).
// -1 when there is no regular file of ours to write.
int openWholeFile(int directoryFd, const char *name) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd;
        do {
            fd = openat(directoryFd, name,
                        O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (attempt > 0 ? O_EXCL : 0), 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return -1;
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && ftruncate(fd, 0) == 0) return fd;
        close(fd);
        if (attempt > 0 || !S_ISREG(st.st_mode) || st.st_nlink <= 1 || unlinkat(directoryFd, name, 0) != 0) break;
    }
    return -1;
}

// Writes all of `bytes` (possibly none) to a new or emptied file of the
// folder.
void writeWholeFile(int directoryFd, const char *name, const uint8_t *bytes, size_t length) {
    const int fd = openWholeFile(directoryFd, name);
    if (fd < 0) return;
    while (length > 0) {
        const ssize_t written = write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            break;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    close(fd);
}

// "<index>.<extension>" into `out`; false when it won't fit.
bool composeName(char *out, size_t capacity, size_t index, const char *extension) {
    char digits[24];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + index % 10);
        index /= 10;
    } while (index > 0);
    const size_t extensionLength = std::strlen(extension);
    const size_t needed = count + 1 + extensionLength + 1;
    if (needed > capacity) return false;
    char *at = out;
    while (count > 0) *at++ = digits[--count];
    *at++ = '.';
    std::memcpy(at, extension, extensionLength + 1);
    return true;
}

}  // namespace

namespace {

// --- Outside the crash path. ---

int openPrivateFile(int directoryFd, const std::string &name, int flags) {
    int fd;
    do {
        fd = openat(directoryFd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | flags, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Creates the folder's file if missing (mode 0600), or empties it when
// asked; never through a link. A file with another hard link is somebody
// else's too: our name is taken back with a private copy of it, or, when it
// cannot be copied, the file is set aside unchanged and a fresh one made.
void createPrivateFile(int directoryFd, const std::string &name, bool truncate) {
    int fd = openPrivateFile(directoryFd, name, O_CREAT);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink > 1) {
        close(fd);
        fd = -1;
        const auto copied =
            platform::FileManager::takeBackHardLinkedEntry(directoryFd, name, BCUtility::kMaxTakenBackFileSize);
        if (copied != platform::FileManager::TakeBack::Failed) {
            if (copied == platform::FileManager::TakeBack::TakenBack) {
                BCLogAssert(kLogTag,
                            "The log buffer file %@ had other hard links, so it was someone else's file too; it is "
                            "now a private copy of its own, and the other names keep their file, untouched.",
                            name);
            }
            fd = openPrivateFile(directoryFd, name, O_CREAT);
        } else if (auto aside =
                       platform::FileManager::setAsideEntry(directoryFd, name, platform::FileManager::kNotOursSuffix)) {
            BCLogAssert(kLogTag,
                        "The log buffer file %@ has other hard links and couldn't be copied, so it is not ours "
                        "alone; it is set aside as %@, unchanged, and a new one is made.",
                        name, *aside);
            fd = openPrivateFile(directoryFd, name, O_CREAT | O_EXCL);
        } else {
            const int code = errno;
            BCLogError(kLogTag, "The log buffer file %@ has other hard links and couldn't be set aside: errno %d", name,
                       code);
            return;
        }
        // Linked again meanwhile: never emptied through the other name.
        if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_nlink > 1)) {
            close(fd);
            BCLogError(kLogTag, "The log buffer file %@ keeps getting other hard links; it is left as it is.", name);
            return;
        }
    }
    if (fd < 0 || (truncate && ftruncate(fd, 0) != 0)) {
        BCLogError(kLogTag, "Couldn't create the log buffer file %@: errno %d", name, errno);
    }
    if (fd >= 0) close(fd);
}

// The same for a file named by its path component.
void createPrivateFile(const std::string &component, bool truncate) {
    const size_t slash = component.find('/');
    const int directoryFd = BCCrashesUtil::openDirectory(component.substr(0, slash), false);
    if (directoryFd < 0) return;
    createPrivateFile(directoryFd, component.substr(slash + 1), truncate);
    close(directoryFd);
}

// Buffer files whose logs were enqueued and not yet answered by the store,
// under the buffer's lock: a second re-enqueueing skips them.
std::set<std::string> &filesInFlight() {
    static auto *files = new std::set<std::string>;
    return *files;
}

// Renames the file (and its token file) out of the buffer's names; the
// file's new name.
std::optional<std::string> setAside(const std::string &component, const std::string &tokenComponent,
                                    const char *suffix = platform::FileManager::kUnstorableSuffix) {
    std::optional<std::string> result;
    for (const auto &name : {component, tokenComponent}) {
        if (!BCCrashesUtil::fileExists(name)) continue;
        auto aside = BCCrashesUtil::setAside(name, suffix);
        if (name == component) result = aside;
        if (!aside) {
            BCLogError(kLogTag, "Couldn't set aside %@ (errno %d); it is emptied.", name, errno);
            createPrivateFile(name, true);
        }
    }
    return result;
}

}  // namespace

void bc_save_log_buffer(siginfo_t *, ucontext_t *, void *) {
    gLogBufferSaved.store(true, std::memory_order_release);
    const Directory *directory = gDirectory.load(std::memory_order_acquire);
    if (!directory || directory->fd < 0) return;
    SlotState *slots = slotStates();
    char name[64];
    for (size_t i = 0; i < BCCrashesLogBuffer::kSlotCount; ++i) {
        SlotState &slot = slots[i];
        const Block *block = nullptr;
        // A slot being replaced right now is written as empty.
        if ((slot.sequence.load(std::memory_order_acquire) & 1) == 0) {
            block = slot.block.load(std::memory_order_acquire);
        }
        if (composeName(name, sizeof name, i, kBufferExtension)) {
            writeWholeFile(directory->fd, name, block ? block->buffer.data() : nullptr,
                           block ? block->buffer.size() : 0);
        }
        if (block && !block->targetToken.empty() && composeName(name, sizeof name, i, kTokenExtension)) {
            writeWholeFile(directory->fd, name, reinterpret_cast<const uint8_t *>(block->targetToken.data()),
                           block->targetToken.size());
        }
    }
}

// --- Outside the crash path. ---

void BCCrashesLogBuffer::setupLogBuffer(const std::shared_ptr<platform::dispatch::Queue> &queue,
                                        const std::shared_ptr<platform::dispatch::Group> &group) {
    std::lock_guard<std::recursive_mutex> lock(bufferMutex());
    const std::string directoryComponent = BCCrashesUtil::logBufferDir();
    // Opened here, not only on the folder's first use in the process: the
    // SDK folder may have moved since. The crash path writes through this
    // descriptor.
    const int directoryFd = BCCrashesUtil::openDirectory(directoryComponent);
    if (directoryFd >= 0) BCCrashesUtil::tightenDirectory(directoryFd);
    // One block makes every file: a block per file would have the global
    // queue start a worker thread for each at launch. It has a descriptor
    // of its own.
    auto create = [fd = directoryFd >= 0 ? dup(directoryFd) : -1] {
        if (fd < 0) return;
        for (size_t i = 0; i < kSlotCount; ++i) createPrivateFile(fd, slotFileName(i, kBufferExtension), false);
        close(fd);
    };
    if (queue && group) {
        group->async(queue, std::move(create));
    } else {
        create();
    }
    for (size_t i = 0; i < kSlotCount; ++i) {
        SlotState &slot = slotStates()[i];
        replaceBlock(slot, nullptr);
        slot.internalId.clear();
        slot.timestamp = 0;
    }
    const Directory *directory =
        directoryFd >= 0 ? new Directory{(BCUtility::beaconDirectoryURL() / directoryComponent).string(), directoryFd}
                         : nullptr;
    const Directory *old = gDirectory.exchange(directory, std::memory_order_acq_rel);
    delete gRetiredDirectory;
    gRetiredDirectory = old;
}

void BCCrashesLogBuffer::didPrepareLog(const std::shared_ptr<BCAbstractLog> &log, const std::string &internalId,
                                       bool serviceEnabled, BCEncrypter &encrypter) {
    if (!log || !serviceEnabled) return;
    if (dynamic_cast<const BCAppleErrorLog *>(log.get()) || dynamic_cast<const BCErrorAttachmentLog *>(log.get())) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(bufferMutex());
    auto archive = BCUtility::archiveKeyedData(platform::Value(std::static_pointer_cast<platform::Object>(log)));
    if (!archive || archive->empty()) return;
    auto block = std::make_unique<Block>();
    block->buffer = std::move(*archive);
    if (auto tokens = log->transmissionTargetTokens(); tokens && !tokens->empty()) {
        block->targetToken = encrypter.encryptString(*tokens->begin()).value_or("");
    }
    BCLogVerbose(kLogTag, "Storing a log to Crashes Buffer: (sid: %@, type: %@)", log->sid(), log->type());

    SlotState *slots = slotStates();
    double oldestTimestamp = std::numeric_limits<double>::max();
    size_t oldest = 0;
    const double now = platform::Date::now().timeIntervalSince1970();
    for (size_t i = 0; i < kSlotCount; ++i) {
        const Block *current = slots[i].block.load(std::memory_order_acquire);
        if (!current || current->buffer.empty()) {
            replaceBlock(slots[i], block.release());
            slots[i].internalId = internalId;
            slots[i].timestamp = now;
            BCLogVerbose(kLogTag, "Found an empty buffer position.");
            return;
        }
        if (slots[i].timestamp < oldestTimestamp) {
            oldestTimestamp = slots[i].timestamp;
            oldest = i;
            BCLogVerbose(kLogTag, "Remembering index %ld for oldest timestamp %f.", static_cast<long>(i),
                         oldestTimestamp);
        }
    }
    BCLogVerbose(kLogTag, "Reached end of buffer. Next step is overwriting the oldest one.");
    replaceBlock(slots[oldest], block.release());
    slots[oldest].internalId = internalId;
    slots[oldest].timestamp = now;
    BCLogVerbose(kLogTag, "Overwrote buffered log at index %ld.", static_cast<long>(oldest));
}

void BCCrashesLogBuffer::didCompleteEnqueueingLog(const std::shared_ptr<BCAbstractLog> &log,
                                                  const std::string &internalId) {
    std::lock_guard<std::recursive_mutex> lock(bufferMutex());
    const Directory *directory = gDirectory.load(std::memory_order_acquire);
    SlotState *slots = slotStates();
    for (size_t i = 0; i < kSlotCount; ++i) {
        SlotState &slot = slots[i];
        if (slot.internalId.empty() || slot.internalId != internalId) continue;
        BCLogVerbose(kLogTag, "Deleting a log from buffer with id %@", internalId);
        replaceBlock(slot, nullptr);
        slot.internalId.clear();
        slot.timestamp = 0;
        if (gLogBufferSaved.load(std::memory_order_acquire)) {
            const std::string path = slotPath(directory, i, kBufferExtension);
            if (directory && directory->fd >= 0) unlinkat(directory->fd, slotFileName(i, kBufferExtension).c_str(), 0);
            BCLogVerbose(kLogTag, "Deleted a log from Crashes Buffer (sid: %@, type: %@)",
                         log ? log->sid() : std::nullopt, log ? log->type() : std::nullopt);
            BCLogVerbose(kLogTag, "Deleted crash buffer file: %@.", path);
        }
    }
}

std::shared_ptr<BCChannelUnitProtocol> BCCrashesLogBuffer::processLogBufferAfterCrash(
    BCChannelGroupProtocol &channelGroup, BCEncrypter &encrypter) {
    auto unit = channelGroup.addChannelUnitWithConfiguration(BCChannelUnitConfiguration("CrashesBuffer", 2, 1, 50, 1));
    const std::string directory = BCCrashesUtil::logBufferDir();
    // In name order, so that a run does the same whatever the folder's order.
    auto entries =
        BCCrashesUtil::contentsOfDirectory(directory).value_or(std::vector<platform::FileManager::DirectoryEntry>{});
    const std::string suffix = std::string(".") + kBufferExtension;
    for (const auto &entry : entries) {
        if (!platform::text::hasSuffix(entry.name, suffix) || entry.name.size() == suffix.size()) continue;
        const std::string component = directory + "/" + entry.name;
        const std::string tokenComponent = platform::text::replaceAll(component, kBufferExtension, kTokenExtension);
        {
            std::lock_guard<std::recursive_mutex> lock(bufferMutex());
            if (filesInFlight().count(component)) continue;
        }
        platform::ErrorPtr error;
        auto data = BCCrashesUtil::readRegularFile(component, kMaxBufferFileSize, &error);
        if (!data) {
            BCLogError(kLogTag, "Couldn't read the log buffer file %@: %@", entry.name,
                       error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt);
            setAside(component, tokenComponent);
            continue;
        }
        if (data->empty()) continue;
        auto log = std::dynamic_pointer_cast<BCAbstractLog>(BCUtility::unarchiveKeyedData(*data, &error).object());
        if (!log) {
            // Set aside, not deleted, so that it is said once and kept.
            if (auto aside = setAside(component, tokenComponent, platform::FileManager::kCorruptSuffix)) {
                BCLogError(kLogTag, "The log buffer file %@ holds no log (%@); it is set aside as %@.", entry.name,
                           error ? error->localizedDescription() : std::string("another object"), *aside);
            }
            continue;
        }
        auto tokenData = BCCrashesUtil::fileExists(tokenComponent)
                             ? BCCrashesUtil::readRegularFile(tokenComponent, kMaxTokenFileSize)
                             : std::nullopt;
        if (tokenData && !tokenData->empty()) {
            const std::string text(tokenData->begin(), tokenData->end());
            if (auto token = encrypter.decryptString(text)) {
                log->addTransmissionTargetToken(*token);
            } else {
                BCLogError(kSdkLogTag, "Failed to decrypt the target token.");
            }
        }
        BCLogDebug(kLogTag, "Re-enqueueing buffered log, type: %@.", log->type());
        if (!unit) continue;
        {
            std::lock_guard<std::recursive_mutex> lock(bufferMutex());
            filesInFlight().insert(component);
        }
        // The file is emptied only once the store has the log: a launch that
        // ends first, or a save that fails, leaves it for the next launch.
        const std::string name = entry.name;
        unit->enqueueItem(log, BCFlagsNormal, [component, tokenComponent, name](BCEnqueueResult result) {
            std::lock_guard<std::recursive_mutex> lock(bufferMutex());
            filesInFlight().erase(component);
            switch (result) {
            case BCEnqueueResult::Saved:
            case BCEnqueueResult::Discarded:
                BCCrashesUtil::deleteFile(tokenComponent);
                createPrivateFile(component, true);
                break;
            case BCEnqueueResult::Failed:
            case BCEnqueueResult::Refused:
                BCLogError(kLogTag, "The buffered log %@ couldn't be stored; it is kept for a later launch.", name);
                break;
            case BCEnqueueResult::Unstorable:
                BCLogError(kLogTag, "The buffered log %@ can never be stored; it is set aside.", name);
                setAside(component, tokenComponent);
                break;
            }
        });
    }
    return unit;
}

void BCCrashesLogBuffer::emptyLogBufferFiles() {
    const std::string directory = BCCrashesUtil::logBufferDir();
    auto entries = BCCrashesUtil::contentsOfDirectory(directory);
    if (!entries) {
        BCLogError(kLogTag, "Couldn't get files in the directory \"%@\"", directory);
        return;
    }
    const std::string suffix = std::string(".") + kBufferExtension;
    for (const auto &entry : *entries) {
        if (!entry.isRegularFile || !platform::text::hasSuffix(entry.name, suffix) || entry.size == 0) continue;
        createPrivateFile(directory + "/" + entry.name, true);
    }
}

bool BCCrashesLogBuffer::logBufferSaved() { return gLogBufferSaved.load(std::memory_order_acquire); }

std::vector<BCCrashesLogBuffer::Slot> BCCrashesLogBuffer::slots() {
    std::lock_guard<std::recursive_mutex> lock(bufferMutex());
    const Directory *directory = gDirectory.load(std::memory_order_acquire);
    std::vector<Slot> result(kSlotCount);
    for (size_t i = 0; i < kSlotCount; ++i) {
        const SlotState &state = slotStates()[i];
        if (const Block *block = state.block.load(std::memory_order_acquire)) {
            result[i].buffer = block->buffer;
            result[i].targetToken = block->targetToken;
        }
        result[i].internalId = state.internalId;
        result[i].timestamp = state.timestamp;
        result[i].bufferPath = slotPath(directory, i, kBufferExtension);
        result[i].targetTokenPath = slotPath(directory, i, kTokenExtension);
    }
    return result;
}
