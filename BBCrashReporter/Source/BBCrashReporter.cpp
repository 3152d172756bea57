#include "BBCrashReporter.h"

#include "BBCrashHostInfo.h"
#include "BBCrashMachExceptionPort.h"
#include "BBCrashSignalHandler.h"
#include "bbcrash_async_capture.h"
#include "bbcrash_crash_handler.h"
#include "bbcrash_error_object.h"
#include "bbcrash_thread_stack.h"
#include "platform/dyld/dyld.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"
#include "platform/mach/thread_list.h"
#include "platform/syslog/SystemLog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *kDataDirectoryName = "io.bbcrash.crashreporter.data";
constexpr const char *kReportFileName = "live_report.bbcrash";
constexpr const char *kPreviousReportFileName = "previous_report.bbcrash";
constexpr const char *kQueuedDirectoryName = "queued_reports";
constexpr int kSIGTRAP = 5;  // macOS numbering, as the report carries it
constexpr int kTRAP_TRACE = 2;

// Process-wide: whether some reporter was enabled (set once, under the lock,
// whatever happens afterwards) and whether an uncaught exception was taken.
std::mutex enableMutex;
bool enabledOnce = false;
// The report folder whose live report enabling claimed (empty: none). This
// process's crash handler writes that folder's live name: the pending
// report there is the claimed file, and the live one is never read.
std::filesystem::path claimedDirectory;
std::atomic<int> exceptionTaken{0};

void log(const std::string &line) { platform::SystemLog::write(line); }

std::string processName() {
    const char *name = program_invocation_short_name;
    return name != nullptr ? name : "";
}

std::string identifierOf(const std::shared_ptr<platform::Bundle> &bundle) {
    std::optional<std::string> identifier = bundle != nullptr ? bundle->bundleIdentifier() : std::nullopt;
    if (identifier && !identifier->empty()) {
        return *identifier;
    }
    std::string name = processName();
    if (name.empty()) {
        throw BBCrashReporterException("Can not determine process identifier or process name");
    }
    log(platform::format("[BBCrashReporter] Warning -- bundle identifier, using process name %s", name.c_str()));
    return name;
}

std::string versionOf(const std::shared_ptr<platform::Bundle> &bundle) {
    std::optional<std::string> version = bundle != nullptr ? bundle->buildVersion() : std::nullopt;
    if (!version) {
        log("[BBCrashReporter] Warning -- bundle version unavailable");
        return "";
    }
    return *version;
}

// Makes every missing folder of the path 0700 (the umask cannot widen that,
// and the chmod undoes whatever it narrowed). Folders that exist keep their
// mode here.
bool createDirectory(const std::filesystem::path &path, platform::ErrorPtr *error) {
    std::filesystem::path partial;
    for (const auto &component : path) {
        partial /= component;
        if (mkdir(partial.c_str(), 0700) == 0) {
            chmod(partial.c_str(), 0700);
            continue;
        }
        // Whatever mkdir said (EEXIST, or EACCES and EROFS above our own
        // folders), a folder that is there will do.
        struct stat st {};
        const int saved = errno;
        if (stat(partial.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            continue;
        }
        if (error != nullptr) {
            *error = platform::Error::posix(saved == EEXIST ? ENOTDIR : saved, path.string());
        }
        return false;
    }
    return true;
}

// Renames the folder's entry `name` to the first free "<name>.notours",
// "<name>.notours1", ...: it is not ours. The new name, or empty with errno
// set.
std::string setAside(int directoryFd, const char *name) {
    return platform::FileManager::setAsideEntry(directoryFd, name, platform::FileManager::kNotOursSuffix).value_or("");
}

// Takes group and other bits away from the folder's entry `name` (never
// follows a symbolic link, never adds a bit).
void tighten(int directoryFd, const char *name, const struct stat &st, mode_t keep) {
    const mode_t mode = st.st_mode & 07777;
    if ((mode & ~keep) != 0) {
        fchmodat(directoryFd, name, mode & keep, AT_SYMLINK_NOFOLLOW);
    }
}

// Folders at most 0700 and files at most 0600 below the folder (at `path`),
// reached through its descriptor without following a link, down to a
// bounded depth. A file with another hard link is someone else's too: it is
// never chmodded or written; our name is taken back with a private copy (its
// path added to `takenBack`), or, when it cannot be copied, the file is set
// aside, with a line, and left as it is.
void tightenEntries(int directoryFd, const std::filesystem::path &path, int depth, std::vector<std::string> &takenBack,
                    std::vector<std::string> &abandoned) {
    const int listFd = dup(directoryFd);
    DIR *dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (dir == nullptr) {
        if (listFd >= 0) {
            close(listFd);
        }
        return;
    }
    while (struct dirent *entry = readdir(dir)) {
        // What an earlier start set aside is somebody else's: left as it is.
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0 ||
            platform::FileManager::isSetAsideName(entry->d_name)) {
            continue;
        }
        struct stat st {};
        if (fstatat(directoryFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISREG(st.st_mode) && platform::FileManager::isAbandonedTemporaryFile(entry->d_name, st)) {
            // A copy that an interrupted start left: it holds nothing read.
            if (unlinkat(directoryFd, entry->d_name, 0) == 0) {
                abandoned.push_back((path / entry->d_name).string());
            }
        } else if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
            // Nothing larger than a report is ours to copy.
            const auto copied =
                platform::FileManager::takeBackHardLinkedEntry(directoryFd, entry->d_name, BBCRASH_REPORT_SIZE_LIMIT);
            if (copied == platform::FileManager::TakeBack::TakenBack) {
                takenBack.push_back((path / entry->d_name).string());
            } else if (copied == platform::FileManager::TakeBack::Failed) {
                const std::string notCopied = std::strerror(errno);
                const std::string aside = setAside(directoryFd, entry->d_name);
                log("[BBCrashReporter] " + (path / entry->d_name).string() +
                    " has another hard link and could not be copied (" + notCopied +
                    "), so it is someone else's file too; " +
                    (aside.empty() ? std::string("left as it is: ") + std::strerror(errno) : "set aside as " + aside));
            }
        } else if (S_ISREG(st.st_mode)) {
            tighten(directoryFd, entry->d_name, st, 0600);
        } else if (S_ISDIR(st.st_mode)) {
            tighten(directoryFd, entry->d_name, st, 0700);
            const int child =
                depth > 0 ? openat(directoryFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
            if (child >= 0) {
                tightenEntries(child, path / entry->d_name, depth - 1, takenBack, abandoned);
                close(child);
            }
        }
    }
    closedir(dir);
}

// The engine's data folder and what earlier runs left in it: folders at most
// 0700, files at most 0600, files with other hard links taken back (one line
// for all of them), temporary files whose writer is gone removed (one line).
// The folder itself is reached by its path (the user's to arrange); nothing
// inside it is followed.
void tightenTree(const std::filesystem::path &root) {
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) {
        fchmod(fd, st.st_mode & 0700);
    }
    std::vector<std::string> takenBack, abandoned;
    tightenEntries(fd, root, 4, takenBack, abandoned);
    close(fd);
    if (!abandoned.empty()) {
        log("[BBCrashReporter] Removed " + std::to_string(abandoned.size()) + " temporary file(s) below " +
            root.string() + " left by interrupted writes (" + platform::text::listed(abandoned, 3) + ")");
    }
    if (!takenBack.empty()) {
        log("[BBCrashReporter] " + std::to_string(takenBack.size()) + " file(s) below " + root.string() +
            " had another hard link, so they were someone else's files too; each is now a private copy of its own "
            "under its name, holding what it held, and the other names keep their files, untouched (" +
            platform::text::listed(takenBack, 3) + ")");
    }
}

// Makes `name` a real folder of the application's folder: made 0700 when
// missing; a link, file or anything else in its place is not ours and is
// renamed "<name>.notours" (the entry itself, never what it points to), with
// a line, before the folder is made.
bool claimFolder(const std::filesystem::path &parent, const char *name, platform::ErrorPtr *error) {
    const int parentFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int code = parentFd >= 0 ? 0 : errno;
    for (int round = 0; parentFd >= 0 && round < 4; ++round) {
        struct stat st {};
        if (fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(st.st_mode)) {
                close(parentFd);
                return true;
            }
            const std::string aside = setAside(parentFd, name);
            if (aside.empty()) {
                code = errno;
                log("[BBCrashReporter] " + (parent / name).string() +
                    " is not a folder of ours and could not be set aside: " + std::strerror(code));
                break;
            }
            log("[BBCrashReporter] " + (parent / name).string() +
                " is not a folder of ours (a link or another file); set aside as " + aside +
                " and a private folder made in its place");
        } else if (errno != ENOENT) {
            code = errno;
            break;
        }
        if (mkdirat(parentFd, name, 0700) == 0) {
            fchmodat(parentFd, name, 0700, AT_SYMLINK_NOFOLLOW);
        } else if (errno != EEXIST) {
            code = errno;
            break;
        }
    }
    if (parentFd >= 0) {
        close(parentFd);
    }
    if (error != nullptr) {
        *error = platform::Error::posix(code != 0 ? code : EEXIST, (parent / name).string());
    }
    return false;
}

// Makes room for a report in the application's folder (the live report or
// the claimed one): whatever is at the name and is not a regular file (a
// link, dangling or not, a folder, a FIFO) is not ours, and the crash path,
// which opens the live name without following a link, could never write
// there, nor a claim rename a report onto a folder: it is set aside, with a
// line. A regular file is a pending report, kept to be read.
void clearReportName(const std::filesystem::path &directory, const char *name) {
    const int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0) {
        return;
    }
    struct stat st {};
    if (fstatat(directoryFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
        const std::string aside = setAside(directoryFd, name);
        const int code = errno;
        log("[BBCrashReporter] " + (directory / name).string() +
            " is not a crash report of ours (a link, a folder or another file); " +
            (aside.empty() ? std::string("left as it is, so no crash can be reported: ") + std::strerror(code)
                           : "set aside as " + aside));
    }
    close(directoryFd);
}

// Takes the report an earlier process left at the live name as this
// process's pending report: renamed through the folder's descriptor (a
// rename never follows a link) to the previous-report name, replacing an
// older report there, which the newer one supersedes. Called before any
// handler is installed, so no crash of this process can be writing it;
// from then on the process reads, stores and purges only the claimed file,
// while its own crash writes only the live name.
void claimPreviousReport(const std::filesystem::path &directory) {
    const int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0) {
        return;
    }
    struct stat st {};
    if (fstatat(directoryFd, kReportFileName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        renameat(directoryFd, kReportFileName, directoryFd, kPreviousReportFileName) != 0) {
        log("[BBCrashReporter] " + (directory / kReportFileName).string() +
            " could not be taken as the last session's report, so it is not read at this launch: " +
            std::strerror(errno));
    }
    close(directoryFd);
}

// A report the writer made: a regular file (not a link, a FIFO or a device:
// opened without following links and without blocking) of at most the
// writer's size limit. Anything else is not ours and is refused before a
// byte is read.
std::optional<platform::Data> readWholeFile(const std::filesystem::path &path, platform::ErrorPtr *error) {
    auto fail = [&](int code) -> std::optional<platform::Data> {
        if (error != nullptr) {
            *error = platform::Error::posix(code, path.string());
        }
        return std::nullopt;
    };
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return fail(errno);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int code = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        return fail(code);
    }
    if (static_cast<uint64_t>(st.st_size) > BBCRASH_REPORT_SIZE_LIMIT) {
        close(fd);
        log("[BBCrashReporter] Refusing " + path.string() + ": " + std::to_string(st.st_size) +
            " bytes, more than the writer ever writes (" + std::to_string(BBCRASH_REPORT_SIZE_LIMIT) + ")");
        return fail(EFBIG);
    }
    platform::Data data;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            int saved = errno;
            close(fd);
            return fail(saved);
        }
        if (n == 0) {
            break;
        }
        // A file that grows while it is read is refused as well.
        if (data.size() + static_cast<size_t>(n) > BBCRASH_REPORT_SIZE_LIMIT) {
            close(fd);
            return fail(EFBIG);
        }
        data.insert(data.end(), buffer, buffer + n);
    }
    close(fd);
    return data;
}

// A live report's private writer and temporary file, both released on every
// way out.
struct LiveReportFiles {
    std::string path;
    int fd = -1;
    bbcrash_log_writer *writer = nullptr;

    ~LiveReportFiles() {
        if (fd >= 0) {
            close(fd);
        }
        if (writer != nullptr) {
            bbcrash_log_writer_free(writer);
            delete writer;
        }
        if (!path.empty() && unlink(path.c_str()) != 0) {
            log(platform::format("[BBCrashReporter] Failure occured deleting live crash report: %s", strerror(errno)));
        }
    }
};

struct LiveWrite {
    bbcrash_log_writer *writer;
    platform::mach::thread_t thread;
    bbcrash_async_file *file;
    const bbcrash_log_signal_info *info;
};

bbcrash_error_t writeLiveReport(bbcrash_async_thread_state *state, void *context) {
    auto *job = static_cast<LiveWrite *>(context);
    return bbcrash_log_writer_write(job->writer, job->thread, bbcrash_shared_image_list(), job->file, job->info, state);
}

}  // namespace

// ---------------------------------------------------------------------------

std::shared_ptr<BBCrashReporter> BBCrashReporter::sharedReporter() {
    static std::shared_ptr<BBCrashReporter> shared = std::make_shared<BBCrashReporter>();
    return shared;
}

BBCrashReporter::BBCrashReporter() : BBCrashReporter(BBCrashReporterConfig::defaultConfiguration()) {}

BBCrashReporter::BBCrashReporter(std::shared_ptr<const BBCrashReporterConfig> configuration)
    : BBCrashReporter(platform::Bundle::mainBundle(), std::move(configuration)) {}

struct BBCrashReporter::BundleValues {
    std::string identifier;
    std::string version;
    std::optional<std::string> marketingVersion;
};

BBCrashReporter::BBCrashReporter(const std::shared_ptr<platform::Bundle> &bundle,
                                 std::shared_ptr<const BBCrashReporterConfig> configuration)
    : BBCrashReporter(BundleValues{identifierOf(bundle), versionOf(bundle),
                                   bundle != nullptr ? bundle->shortVersionString() : std::nullopt},
                      std::move(configuration)) {}

BBCrashReporter::BBCrashReporter(BundleValues values, std::shared_ptr<const BBCrashReporterConfig> configuration)
    : BBCrashReporter(std::move(values.identifier), std::move(values.version), std::move(values.marketingVersion),
                      std::move(configuration)) {}

BBCrashReporter::BBCrashReporter(std::string applicationIdentifier, std::string applicationVersion,
                                 std::optional<std::string> applicationMarketingVersion,
                                 std::shared_ptr<const BBCrashReporterConfig> configuration)
    : config_(configuration != nullptr ? std::move(configuration) : BBCrashReporterConfig::defaultConfiguration()),
      applicationIdentifier_(std::move(applicationIdentifier)), applicationVersion_(std::move(applicationVersion)),
      applicationMarketingVersion_(std::move(applicationMarketingVersion)) {
    // The image list and its loader callbacks are set up when the reporter
    // is first used, long before any crash.
    bbcrash_shared_image_list();
    crashReportDirectory_ = platform::FileManager::URLForDirectory(platform::FileManager::SearchPathDirectory::Caches) /
                            kDataDirectoryName / platform::text::replaceAll(applicationIdentifier_, "/", "_");
}

std::filesystem::path BBCrashReporter::crashReportPath() const { return crashReportDirectory_ / kReportFileName; }

std::filesystem::path BBCrashReporter::queuedCrashReportDirectory() const {
    return crashReportDirectory_ / kQueuedDirectoryName;
}

bool BBCrashReporter::populateCrashReportDirectory(platform::ErrorPtr *error) const {
    if (!createDirectory(crashReportDirectory_, error) ||
        !claimFolder(crashReportDirectory_, kQueuedDirectoryName, error)) {
        return false;
    }
    clearReportName(crashReportDirectory_, kReportFileName);
    clearReportName(crashReportDirectory_, kPreviousReportFileName);
    tightenTree(crashReportDirectory_.parent_path());
    return true;
}

std::filesystem::path BBCrashReporter::previousCrashReportPath() const {
    return crashReportDirectory_ / kPreviousReportFileName;
}

std::filesystem::path BBCrashReporter::pendingCrashReportPath() const {
    {
        std::lock_guard<std::mutex> lock(enableMutex);
        if (!claimedDirectory.empty() && claimedDirectory == crashReportDirectory_) {
            return previousCrashReportPath();
        }
    }
    // Not enabled for this folder: no crash of this process writes the live
    // name, and what is there is newer than a report claimed earlier.
    struct stat st {};
    return lstat(crashReportPath().c_str(), &st) == 0 ? crashReportPath() : previousCrashReportPath();
}

bool BBCrashReporter::hasPendingCrashReport() const {
    // Only a regular file can be a report: a link there is not followed.
    struct stat st {};
    return lstat(pendingCrashReportPath().c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<platform::Data> BBCrashReporter::loadPendingCrashReportData(platform::ErrorPtr *error) const {
    return readWholeFile(pendingCrashReportPath(), error);
}

bool BBCrashReporter::purgePendingCrashReport(platform::ErrorPtr *error) const {
    const std::filesystem::path path = pendingCrashReportPath();
    if (unlink(path.c_str()) != 0) {
        if (error != nullptr) {
            *error = platform::Error::posix(errno, path.string());
        }
        return false;
    }
    return true;
}

uint32_t BBCrashReporter::mapToAsyncSymbolicationStrategy(uint32_t strategy) {
    return strategy == BBCrashReporterSymbolicationStrategyNone ? BBCrashReporterSymbolicationStrategyNone
                                                                : (strategy & BBCrashReporterSymbolicationStrategyAll);
}

void BBCrashReporter::setCrashCallbacks(const BBCrashReporterCallbacks *callbacks) {
    if (enabled_) {
        throw BBCrashReporterException("The crash reporter has alread been enabled");
    }
    if (callbacks != nullptr && callbacks->version != 0) {
        throw BBCrashReporterException("Unsupported crash callbacks version");
    }
    bbcrash_crash_handler_ctx *ctx = bbcrash_crash_handler_context();
    ctx->handle_signal_context.store(callbacks != nullptr ? callbacks->context : nullptr);
    ctx->handle_signal.store(callbacks != nullptr ? callbacks->handleSignal : nullptr);
}

void BBCrashReporter::setCustomData(std::optional<platform::Data> data) {
    std::lock_guard<std::mutex> lock(customDataMutex_);
    customData_ = std::move(data);
    bbcrash_crash_handler_ctx *ctx = bbcrash_crash_handler_context();
    if (customData_) {
        bbcrash_log_writer_set_custom_data(&ctx->writer, customData_->data(), customData_->size());
    } else {
        bbcrash_log_writer_set_custom_data(&ctx->writer, nullptr, 0);
    }
}

std::optional<platform::Data> BBCrashReporter::customData() const {
    std::lock_guard<std::mutex> lock(customDataMutex_);
    return customData_;
}

bool BBCrashReporter::enableCrashReporter(platform::ErrorPtr *error) {
    // 1. Once per process, whatever happens afterwards.
    {
        std::lock_guard<std::mutex> lock(enableMutex);
        if (enabledOnce) {
            bbcrash_populate_error(error, BBCrashReporterErrorAlreadyEnabled,
                                   "A BBCrashReporter instance has already been enabled", nullptr);
            return false;
        }
        enabledOnce = true;
    }

    // 2. Directories, and the last session's report claimed before any
    // handler can write a report of this process.
    if (!populateCrashReportDirectory(error)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(enableMutex);
        claimedDirectory = crashReportDirectory_;
    }
    claimPreviousReport(crashReportDirectory_);

    // 3. The path, whole or not at all: a cut path would truncate some
    // other file at crash time.
    bbcrash_crash_handler_ctx *ctx = bbcrash_crash_handler_context();
    const std::string path = crashReportPath().string();
    if (path.size() + 1 > sizeof(ctx->path)) {
        bbcrash_populate_posix_error(error, ENAMETOOLONG, "Crash report path is too long");
        return false;
    }
    std::memcpy(ctx->path, path.c_str(), path.size() + 1);

    // 4. The writer. Custom data published from now on is never freed: a
    // crash may be reading it.
    bbcrash_log_writer_init(&ctx->writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                            applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                            mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), false);
    ctx->writer.shared = true;
    if (auto data = customData()) {
        bbcrash_log_writer_set_custom_data(&ctx->writer, data->data(), data->size());
    }

    // 5 and 6. The handlers.
    const uint32_t type = config_->signalHandlerType();
    if (type == BBCrashReporterSignalHandlerTypeBSD || type == BBCrashReporterSignalHandlerTypeMach) {
        auto handler = BBCrashSignalHandler::sharedHandler();
        if (handler == nullptr) {
            bbcrash_populate_posix_error(error, ENOMEM, "Could not initialize alternative signal stack");
            return false;
        }
        // Threads started from now on get an alternate stack of their own,
        // so that a stack overflow on any of them is reported too.
        if (!bbcrash_thread_stack_enable()) {
            log("[BBCrashReporter] Warning -- new threads get no alternate signal stack");
        }
        for (int signo : BBCRASH_MONITORED_SIGNALS) {
            if (type == BBCrashReporterSignalHandlerTypeMach && signo != SIGABRT) {
                continue;
            }
            if (!handler->registerHandlerForSignal(signo, signal_handler_callback, ctx, error)) {
                return false;
            }
        }
    }

    // 7. Mach mode: the exception server, and the ports it replaced for the
    // crash path to offer exceptions to first.
    if (type == BBCrashReporterSignalHandlerTypeMach) {
        machServer_ = enableMachExceptionServer(&previousMachPorts_, mach_exception_callback, ctx, error);
        if (machServer_ == nullptr) {
            return false;
        }
        if (previousMachPorts_ != nullptr) {
            ctx->port_set = previousMachPorts_->asyncSafeRepresentation();
        } else {
            ctx->port_set = {};
        }
    }

    // 8. Uncaught exceptions.
    if (config_->shouldRegisterUncaughtExceptionHandler()) {
        platform::appkit::NSSetUncaughtExceptionHandler(bbcrash_uncaught_exception_handler);
    }

    enabled_ = true;
    return true;
}

std::shared_ptr<BBCrashMachExceptionServer> BBCrashReporter::enableMachExceptionServer(
    std::shared_ptr<BBCrashMachExceptionPortSet> *previousPortSet, bbcrash_mach_exception_callback_t callback,
    void *context, platform::ErrorPtr *error) {
    auto host = BBCrashHostInfo::currentHostInfo();
    const BBCrashHostInfoVersion version = host != nullptr ? host->darwinVersion() : BBCrashHostInfoVersion{};
    const platform::mach::exception_mask_t mask = bbcrash_mach_exception_mask(host != nullptr ? &version : nullptr);
    platform::ErrorPtr underlying;
    auto server = BBCrashMachExceptionServer::make(callback, context, &underlying);
    if (server == nullptr) {
        bbcrash_populate_error(error, BBCrashReporterErrorOperatingSystem,
                               "Failed to instantiate the Mach exception server.", underlying);
        return nullptr;
    }
    auto port = server->exceptionPortWithMask(mask, &underlying);
    if (port == nullptr) {
        bbcrash_populate_error(error, BBCrashReporterErrorOperatingSystem,
                               "Failed to instantiate the Mach exception port.", underlying);
        return nullptr;
    }
    if (!port->registerForTask(platform::mach::mach_task_self(), previousPortSet, &underlying)) {
        bbcrash_populate_error(error, BBCrashReporterErrorOperatingSystem,
                               "Failed to set the target task's mach exception ports.", underlying);
        return nullptr;
    }
    return server;
}

std::optional<platform::Data> BBCrashReporter::generateLiveReport(platform::ErrorPtr *error) {
    return generateLiveReportWithThread(platform::mach::mach_thread_self(), error);
}

std::optional<platform::Data> BBCrashReporter::generateLiveReportWithThread(platform::mach::thread_t thread,
                                                                            platform::ErrorPtr *error) {
    const uint64_t returnAddress = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    // Not a crash: there is time to complete the image headers (symbols,
    // compact unwind tables) the background build has not reached yet.
    platform::dyld::dyld_complete_headers();
    LiveReportFiles files;

    // 1. The temporary file.
    std::string templatePath = (platform::FileManager::temporaryDirectory() / "live_crash_report.XXXXXX").string();
    std::vector<char> name(templatePath.begin(), templatePath.end());
    name.push_back('\0');
    files.fd = mkstemp(name.data());
    if (files.fd < 0) {
        bbcrash_populate_posix_error(error, errno, "Failed to create temporary path");
        return std::nullopt;
    }
    files.path = name.data();

    // 2. A writer of its own.
    files.writer = new bbcrash_log_writer{};
    bbcrash_log_writer_init(files.writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                            applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                            mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), true);
    bbcrash_async_file file;
    bbcrash_async_file_init(&file, files.fd, BBCRASH_REPORT_SIZE_LIMIT);
    files.fd = -1;  // the async file closes it
    if (auto data = customData()) {
        bbcrash_log_writer_set_custom_data(files.writer, data->data(), data->size());
    }

    // 3 and 4. A trace trap at the caller.
    bbcrash_log_signal_info info{};
    info.bsd_info = {kSIGTRAP, kTRAP_TRACE, returnAddress};
    LiveWrite job{files.writer, thread, &file, &info};
    bbcrash_error_t result;
    if (thread == platform::mach::mach_thread_self()) {
        result = bbcrash_capture_current_thread(writeLiveReport, &job);
    } else {
        result = bbcrash_log_writer_write(files.writer, thread, bbcrash_shared_image_list(), &file, &info, nullptr);
    }

    // 5 and 6.
    bbcrash_log_writer_close(files.writer);
    const bool closed = bbcrash_async_file_close(&file);
    if (result == BBCRASH_ESUCCESS && !closed) {
        result = BBCRASH_OUTPUT_ERR;
    }
    if (result != BBCRASH_ESUCCESS) {
        log(platform::format("[BBCrashReporter] Write failed with error %s", bbcrash_error_text(result)));
        bbcrash_populate_error(error, BBCrashReporterErrorUnknown, "Failed to write the crash report to disk", nullptr);
        return std::nullopt;
    }
    auto data = readWholeFile(files.path, nullptr);
    if (!data) {
        bbcrash_populate_error(error, BBCrashReporterErrorUnknown, "Unable to open live crash report for reading",
                               nullptr);
        return std::nullopt;
    }
    // 7. The destructor frees the writer and deletes the file.
    return data;
}

void bbcrash_uncaught_exception_handler(const platform::appkit::Exception &exception) {
    int expected = 0;
    if (!exceptionTaken.compare_exchange_strong(expected, 1)) {
        return;
    }
    std::vector<uint64_t> addresses = exception.callStackReturnAddresses();
    const std::optional<std::string> &reason = exception.reason();
    bbcrash_log_writer_set_exception(&bbcrash_crash_handler_context()->writer, exception.name().c_str(),
                                     reason ? reason->c_str() : nullptr, addresses.data(), addresses.size());
    abort();
}
