#include "BCErrorLogFormatter.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "BBCrashReport.h"
#include "bbcrash_async_macho.h"
#include "BCAppleErrorLog.h"
#include "BCBinary.h"
#include "BCErrorReport.h"
#include "BCException.h"
#include "BCLogger.h"
#include "BCStackFrame.h"
#include "BCThread.h"
#include "BCWrapperException.h"
#include "platform/dyld/loader.h"
#include "platform/foundation/Path.h"
#include "platform/foundation/Text.h"
#include "platform/mach/machine.h"

namespace {

constexpr const char *kLogTag = "BeaconCrashes";
constexpr const char *kUnknown = "???";

// Paths are compared ignoring ASCII case only, as tolower does in the C
// locale the process runs in; folded byte by byte, without copies.
char foldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldCase(a[i]) != foldCase(b[i])) return false;
    }
    return true;
}

bool hasPrefixIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool hasSuffixIgnoringCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && equalsIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

// `needle` is lower case.
bool containsIgnoringCase(std::string_view text, std::string_view needle) {
    if (needle.empty()) return true;
    for (size_t at = 0; at + needle.size() <= text.size(); ++at) {
        if (foldCase(text[at]) == needle[0] && equalsIgnoringCase(text.substr(at, needle.size()), needle)) {
            return true;
        }
    }
    return false;
}

// Appends "0x" and the value in lower-case hex, zero-padded to `width`
// digits; the digits' count.
size_t appendHex(char *out, uint64_t value, int width) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xf];
        value >>= 4;
    } while (value != 0);
    size_t at = 0;
    out[at++] = '0';
    out[at++] = 'x';
    for (int pad = width - n; pad > 0; --pad) out[at++] = '0';
    while (n > 0) out[at++] = digits[--n];
    return at;
}

// formatAddress into `out` (at least 20 bytes); its length.
size_t writeAddress(char *out, uint64_t address, bool is64bit) { return appendHex(out, address, is64bit ? 16 : 8); }

void appendHex(std::string &out, uint64_t value) {
    char text[20];
    out.append(text, appendHex(text, value, 0));
}

void appendDecimal(std::string &out, long long value) {
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

// Each image's base address and size, in report order.
struct ImageRange {
    uint64_t base;
    uint64_t size;
};

std::vector<ImageRange> imageRanges(const BBCrashReport &report) {
    std::vector<ImageRange> ranges;
    ranges.reserve(report.images().size());
    for (const auto &image : report.images()) ranges.push_back({image->imageBaseAddress(), image->imageSize()});
    return ranges;
}

// The first image, in report order, that holds `address` (as imageForAddress
// finds it); its index, or the count of images when none does.
size_t imageIndexForAddress(const std::vector<ImageRange> &ranges, uint64_t address) {
    for (size_t i = 0; i < ranges.size(); ++i) {
        // No wrap: base + size may pass the end of the address space.
        if (address >= ranges[i].base && address - ranges[i].base < ranges[i].size) return i;
    }
    return ranges.size();
}

// What each of the report's images is to the crashed process, in report
// order: classified once per image rather than once per frame.
std::vector<BCImageKind> imageKinds(const BBCrashReport &report) {
    const std::optional<std::string> processPath =
        report.hasProcessInfo() ? report.processInfo()->processPath() : std::nullopt;
    std::vector<BCImageKind> kinds;
    kinds.reserve(report.images().size());
    for (const auto &image : report.images()) {
        kinds.push_back(BCErrorLogFormatter::imageTypeForImagePath(image->imageName(), processPath));
    }
    return kinds;
}

BBCrashReportOperatingSystem operatingSystem(const BBCrashReport &report) {
    return report.systemInfo() ? report.systemInfo()->operatingSystem() : BBCrashReportOperatingSystemUnknown;
}

// Appends the frame's code: its symbol and the offset into it for an image
// outside the application, else the image's base and the offset into it.
// `image` is null when no image holds the frame.
void appendFrameCode(std::string &out, const BBCrashReportStackFrameInfo &frame,
                     const BBCrashReportBinaryImageInfo *image, BCImageKind kind, BBCrashReportOperatingSystem os) {
    const uint64_t pc = frame.instructionPointer();
    uint64_t base = 0;
    uint64_t offset = 0;
    if (image != nullptr) {
        base = image->imageBaseAddress();
        offset = pc - base;
    } else if (pc != 0) {
        BCLogWarning(kLogTag, "Cannot find image for 0x%llx", pc);
    }
    const auto &symbol = frame.symbolInfo();
    if (kind == BCImageKindOther && symbol) {
        if (!symbol->symbolName()) {
            out += "(null)";
        } else {
            std::string_view name = *symbol->symbolName();
            if (name.size() >= 2 && name[0] == '_') {
                switch (os) {
                case BBCrashReportOperatingSystemMacOSX:
                case BBCrashReportOperatingSystemiPhoneOS:
                case BBCrashReportOperatingSystemiPhoneSimulator:
                case BBCrashReportOperatingSystemAppleTVOS: name.remove_prefix(1); break;
                case BBCrashReportOperatingSystemUnknown:
                    BCLogWarning(kLogTag, "Symbol \"%@\" prefix rules are unknown for this OS!", *symbol->symbolName());
                    break;
                default: break;
                }
            }
            out += name;
        }
        out += " + ";
        appendDecimal(out, static_cast<long long>(pc - symbol->startAddress()));
        return;
    }
    appendHex(out, base);
    out += " + ";
    appendDecimal(out, static_cast<long long>(offset));
}

// The image's UUID as 32 lower-case hex digits, as the report writes it;
// absent without a whole LC_UUID command.
std::optional<std::string> imageUUIDText(bbcrash_async_macho *image) {
    void *command = bbcrash_async_macho_find_command(image, platform::dyld::LC_UUID);
    if (command == nullptr ||
        !bbcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<uintptr_t>(command), 0,
                                                    sizeof(platform::dyld::uuid_command))) {
        return std::nullopt;
    }
    platform::dyld::uuid_command uuid;
    std::memcpy(&uuid, command, sizeof uuid);
    if (image->byteorder->swap32(uuid.cmdsize) < sizeof uuid) return std::nullopt;
    char text[33];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", uuid.uuid[i]);
    return std::string(text);
}

// The NUL-terminated name at `pointer` inside the image's
// "__TEXT,__objc_methname" section, read through the engine's checked reads.
// The section must hold a NUL past the name's first byte, so a NUL at
// `pointer` followed by another is the empty name.
std::optional<std::string> selectorInImage(bbcrash_async_macho *image, uint64_t pointer) {
    bbcrash_async_mobject section;
    if (bbcrash_async_macho_map_section(image, "__TEXT", "__objc_methname", &section) != BBCRASH_ESUCCESS) {
        return std::nullopt;
    }
    std::optional<std::string> selector;
    const uint64_t start = bbcrash_async_mobject_base_address(&section);
    const uint64_t size = bbcrash_async_mobject_length(&section);
    if (pointer >= start && pointer - start < size) {
        const uint64_t left = size - (pointer - start);
        const auto *text = static_cast<const char *>(bbcrash_async_mobject_remap(&section, pointer, 0, left));
        if (text != nullptr && left > 1 && std::memchr(text + 1, 0, left - 1) != nullptr) {
            selector = std::string(text, strnlen(text, left));
        }
    }
    bbcrash_async_mobject_free(&section);
    // Text that isn't UTF-8 is no selector.
    if (selector && !platform::text::isValidUTF8(*selector)) return std::nullopt;
    return selector;
}

// The fields of the log that its error report is made of: the id, the
// process, the times, the signal, the exception's name and reason.
void addReportFields(const std::shared_ptr<BCAppleErrorLog> &log, const BBCrashReport &report) {
    log->errorId = BCErrorLogFormatter::errorIdForCrashReport(report);
    BCErrorLogFormatter::addProcessInfoAndApplicationPathTo(log, report);
    log->appLaunchTimestamp = BCErrorLogFormatter::getAppLaunchTimeFromReport(report);
    log->setTimestamp(BCErrorLogFormatter::errorTimeForCrashReport(report));
    char address[32];
    const auto &signal = report.signalInfo();
    std::snprintf(address, sizeof address, "0x%" PRIx64, signal ? signal->address() : 0);
    if (signal) {
        // A name or code the report could not read (not UTF-8) is unknown
        // rather than absent: a log without them is not valid and would
        // never be sent.
        log->osExceptionType = signal->name().value_or(kUnknown);
        log->osExceptionCode = signal->code().value_or(kUnknown);
    }
    log->osExceptionAddress = std::string(address);
    log->exceptionReason = BCErrorLogFormatter::extractExceptionReasonFromReport(report);
    if (report.hasExceptionInfo()) log->exceptionType = report.exceptionInfo()->exceptionName();
}

}  // namespace

std::shared_ptr<BCAppleErrorLog> BCErrorLogFormatter::errorLogFromCrashReport(
    const BBCrashReport &report, const std::shared_ptr<BCDevice> &device,
    const std::shared_ptr<BCWrapperException> &wrapperException, const LoadedImages &loadedImages) {
    auto log = std::make_shared<BCAppleErrorLog>();
    addReportFields(log, report);
    const ThreadPtr crashedThread = findCrashedThreadInReport(report);
    log->errorThreadId = crashedThread ? crashedThread->threadNumber() : 0;
    log->fatal = true;

    uint64_t cpuType = 0;
    uint64_t cpuSubtype = 0;
    if (report.hasMachineInfo() && report.machineInfo()->processorInfo()) {
        cpuType = report.machineInfo()->processorInfo()->type();
        cpuSubtype = report.machineInfo()->processorInfo()->subtype();
    }
    for (const auto &image : report.images()) {
        const auto &codeType = image->codeType();
        if (codeType && codeType->typeEncoding() == BBCrashReportProcessorTypeEncodingMach) {
            cpuType = codeType->type();
            cpuSubtype = codeType->subtype();
            break;
        }
    }
    const bool is64bit = isCodeType64bit(cpuType);
    log->primaryArchitectureId = cpuType;
    log->architectureVariantId = cpuSubtype;

    log->selectorRegisterValue = selectorRegisterValueFromReport(report, crashedThread, cpuType, loadedImages);
    log->threads = extractThreadsFromReport(report, crashedThread, is64bit);
    log->registers = extractRegistersFromCrashedThread(crashedThread, is64bit);
    log->binaries = extractBinaryImagesFromReport(report, is64bit);
    log->setDevice(device);
    if (wrapperException) log->exception = wrapperException->modelException;
    return log;
}

std::shared_ptr<BCErrorReport> BCErrorLogFormatter::errorReportFromCrashReport(
    const std::shared_ptr<BBCrashReport> &report, const std::shared_ptr<BCDevice> &device,
    const platform::UUID &installId) {
    if (!report) return nullptr;
    auto log = std::make_shared<BCAppleErrorLog>();
    addReportFields(log, *report);
    return errorReportFromLog(*log, installId, device);
}

std::shared_ptr<BCErrorReport> BCErrorLogFormatter::errorReportFromLog(const BCAppleErrorLog &log,
                                                                       const platform::UUID &installId,
                                                                       const std::shared_ptr<BCDevice> &device) {
    return std::make_shared<BCErrorReport>(log.errorId, installId.UUIDString(), log.osExceptionType, log.exceptionType,
                                           log.exceptionReason, log.appLaunchTimestamp, log.timestamp(), device,
                                           static_cast<uint64_t>(log.processId.value_or(0)));
}

platform::Date BCErrorLogFormatter::errorTimeForCrashReport(const BBCrashReport &report) {
    return adjustedCrashTime(getCrashTimeFromReport(report));
}

std::string BCErrorLogFormatter::errorIdForCrashReport(const BBCrashReport &report) {
    if (auto text = uuidRefToString(report.uuidRef())) return *text;
    return platform::UUID::random().UUIDString();
}

std::shared_ptr<BCAppleErrorLog> BCErrorLogFormatter::addProcessInfoAndApplicationPathTo(
    const std::shared_ptr<BCAppleErrorLog> &log, const BBCrashReport &report) {
    log->processId = 0;
    log->processName = kUnknown;
    log->parentProcessName = kUnknown;
    log->parentProcessId.reset();
    log->applicationPath = kUnknown;
    if (report.hasProcessInfo()) {
        const auto &info = *report.processInfo();
        log->processId = info.processID();
        if (info.processName()) log->processName = info.processName();
        if (info.processPath()) log->applicationPath = anonymizedPathFromPath(*info.processPath());
        if (info.parentProcessName()) log->parentProcessName = info.parentProcessName();
        log->parentProcessId = info.parentProcessID();
    }
    return log;
}

std::optional<platform::Date> BCErrorLogFormatter::getAppLaunchTimeFromReport(const BBCrashReport &report) {
    if (report.hasProcessInfo()) return report.processInfo()->processStartTime();
    return getCrashTimeFromReport(report);
}

std::optional<platform::Date> BCErrorLogFormatter::getCrashTimeFromReport(const BBCrashReport &report) {
    if (!report.systemInfo()) return std::nullopt;
    return report.systemInfo()->timestamp();
}

platform::Date BCErrorLogFormatter::adjustedCrashTime(const std::optional<platform::Date> &crashTime) {
    const double seconds = crashTime ? crashTime->timeIntervalSince1970() : 0.0;
    // Whole seconds tested on the double itself: a cast to 32 bits would be
    // undefined from 2038 on.
    if (std::floor(seconds) == seconds) return platform::Date::fromTimeIntervalSince1970(seconds + 0.999);
    return *crashTime;
}

BCErrorLogFormatter::ThreadPtr BCErrorLogFormatter::findCrashedThreadInReport(const BBCrashReport &report) {
    for (const auto &thread : report.threads()) {
        if (thread->crashed()) return thread;
    }
    return nullptr;
}

std::vector<std::shared_ptr<BCThread>> BCErrorLogFormatter::extractThreadsFromReport(const BBCrashReport &report,
                                                                                     const ThreadPtr &crashedThread,
                                                                                     bool is64bit) {
    // Every frame of the log, the exception's and the threads', is made in
    // one block, each frame pointer sharing the block's ownership.
    const auto &info = report.exceptionInfo();
    const bool exceptionFrames = info && info->stackFrames() && !info->stackFrames()->empty();
    size_t frameCount = exceptionFrames ? info->stackFrames()->size() : 0;
    for (const auto &reportThread : report.threads()) frameCount += reportThread->stackFrames().size();
    auto block = std::make_shared<std::vector<BCStackFrame>>(frameCount);
    size_t next = 0;
    char address[24];

    std::shared_ptr<BCException> exception;
    if (exceptionFrames) {
        exception = std::make_shared<BCException>();
        exception->frames.emplace();
        exception->frames->reserve(info->stackFrames()->size());
        for (const auto &frame : *info->stackFrames()) {
            BCStackFrame &stackFrame = (*block)[next++];
            stackFrame.address.emplace(address, writeAddress(address, frame->instructionPointer(), is64bit));
            exception->frames->emplace_back(block, &stackFrame);
        }
        exception->message = info->exceptionReason();
        exception->type = info->exceptionName();
        if (!exception->type && report.signalInfo()) exception->type = report.signalInfo()->name();
    }

    const std::vector<BCImageKind> kinds = imageKinds(report);
    const BBCrashReportOperatingSystem os = operatingSystem(report);
    const auto &images = report.images();
    const std::vector<ImageRange> ranges = imageRanges(report);
    // Every frame's code is laid out in this one buffer, then copied out at
    // its size.
    std::string code;
    code.reserve(256);
    std::vector<std::shared_ptr<BCThread>> threads;
    threads.reserve(report.threads().size());
    for (const auto &reportThread : report.threads()) {
        auto thread = std::make_shared<BCThread>();
        thread->threadId = reportThread->threadNumber();
        if (crashedThread && exception && reportThread->threadNumber() == crashedThread->threadNumber()) {
            thread->exception = exception;
        }
        const auto &reportFrames = reportThread->stackFrames();
        thread->frames->reserve(reportFrames.size());
        for (const auto &reportFrame : reportFrames) {
            const auto &frame = *reportFrame;
            BCStackFrame &stackFrame = (*block)[next++];
            const uint64_t pc = frame.instructionPointer();
            stackFrame.address.emplace(address, writeAddress(address, pc, is64bit));
            const size_t index = imageIndexForAddress(ranges, pc);
            const bool found = index < images.size();
            code.clear();
            appendFrameCode(code, frame, found ? images[index].get() : nullptr, found ? kinds[index] : BCImageKindOther,
                            os);
            stackFrame.code.emplace(code);
            thread->frames->emplace_back(block, &stackFrame);
        }
        threads.push_back(std::move(thread));
    }
    return threads;
}

std::string BCErrorLogFormatter::formatStackFrame(const BBCrashReportStackFrameInfo &frame,
                                                  const BBCrashReport &report) {
    const auto image = report.imageForAddress(frame.instructionPointer());
    const std::optional<std::string> processPath =
        report.hasProcessInfo() ? report.processInfo()->processPath() : std::nullopt;
    const BCImageKind kind = imageTypeForImagePath(image ? image->imageName() : std::nullopt, processPath);
    std::string code;
    appendFrameCode(code, frame, image.get(), kind, operatingSystem(report));
    return code;
}

std::map<std::string, std::string> BCErrorLogFormatter::extractRegistersFromCrashedThread(const ThreadPtr &thread,
                                                                                          bool is64bit) {
    std::map<std::string, std::string> registers;
    if (!thread) return registers;
    for (const auto &reg : thread->registers()) {
        if (!reg->registerName()) continue;
        registers[*reg->registerName()] = formatAddress(reg->registerValue(), is64bit);
    }
    return registers;
}

std::optional<std::string> BCErrorLogFormatter::extractExceptionReasonFromReport(const BBCrashReport &report) {
    if (!report.hasExceptionInfo()) return std::nullopt;
    return report.exceptionInfo()->exceptionReason();
}

std::optional<std::string> BCErrorLogFormatter::selectorRegisterValueFromReport(const BBCrashReport &report,
                                                                                const ThreadPtr &crashedThread,
                                                                                uint64_t codeType,
                                                                                const LoadedImages &loadedImages) {
    std::vector<const char *> names;
    switch (codeType) {
    case platform::mach::CPU_TYPE_X86: names = {"ecx"}; break;
    case platform::mach::CPU_TYPE_ARM: names = {"r1", "r2"}; break;
    case platform::mach::CPU_TYPE_X86_64: names = {"rsi", "rdx"}; break;
    case platform::mach::CPU_TYPE_ARM64: names = {"x1"}; break;
    default: return std::nullopt;
    }
    if (!crashedThread) return std::nullopt;
    for (const char *name : names) {
        if (auto selector = selectorForRegisterWithName(name, crashedThread, report, loadedImages)) {
            return selector;
        }
    }
    return std::nullopt;
}

std::optional<std::string> BCErrorLogFormatter::selectorForRegisterWithName(const std::string &registerName,
                                                                            const ThreadPtr &thread,
                                                                            const BBCrashReport &report,
                                                                            const LoadedImages &loadedImages) {
    if (!thread) return std::nullopt;
    const auto &registers = thread->registers();
    const auto reg = std::find_if(registers.begin(), registers.end(),
                                  [&](const auto &r) { return r->registerName() == registerName; });
    if (reg == registers.end() || (*reg)->registerValue() == 0) return std::nullopt;
    const uint64_t value = (*reg)->registerValue();
    const auto image = report.imageForAddress(value);
    if (!image || !image->imageName()) return std::nullopt;

    for (const auto &loaded : loadedImages) {
        if (!loaded.header || !loaded.name || *image->imageName() != loaded.name) continue;
        const auto header = reinterpret_cast<uintptr_t>(loaded.header);
        bbcrash_async_macho macho;
        if (bbcrash_async_macho_init(&macho, platform::mach::mach_task_self(), loaded.name, header) !=
            BBCRASH_ESUCCESS) {
            continue;
        }
        const bool same = imageUUIDText(&macho) == image->imageUUID();
        // The register's offset into the report's image, at the same offset
        // from the loaded image's start.
        auto selector = same ? selectorInImage(&macho, header + (value - image->imageBaseAddress())) : std::nullopt;
        bbcrash_async_macho_free(&macho);
        if (same) return selector;
    }
    return std::nullopt;
}

std::vector<std::shared_ptr<BCBinary>> BCErrorLogFormatter::extractBinaryImagesFromReport(const BBCrashReport &report,
                                                                                          bool is64bit) {
    // Sorted once, so that whether an image holds any of them is a binary
    // search.
    std::vector<uint64_t> addresses = addressesFromReport(report);
    std::sort(addresses.begin(), addresses.end());
    const std::vector<BCImageKind> kinds = imageKinds(report);
    // The images' indexes, by base address (report order among equal ones).
    const auto &images = report.images();
    std::vector<size_t> order(images.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return images[a]->imageBaseAddress() < images[b]->imageBaseAddress(); });

    std::vector<std::shared_ptr<BCBinary>> binaries;
    for (const size_t index : order) {
        const auto &image = images[index];
        const uint64_t base = image->imageBaseAddress();
        const uint64_t extent = std::max<uint64_t>(image->imageSize(), 1) - 1;
        // An image that would reach past the end of the address space ends
        // at its last address.
        const uint64_t end = base > UINT64_MAX - extent ? UINT64_MAX : base + extent;
        const auto first = std::lower_bound(addresses.begin(), addresses.end(), base);
        const bool referenced = first != addresses.end() && *first <= end;
        if (!referenced && kinds[index] == BCImageKindOther) continue;

        auto binary = std::make_shared<BCBinary>();
        binary->binaryId = image->hasImageUUID() ? *image->imageUUID() : kUnknown;
        binary->startAddress = formatAddress(base, is64bit);
        binary->endAddress = formatAddress(end, is64bit);
        const std::string name = image->imageName().value_or("");
        binary->path = anonymizedPathFromPath(name);
        const std::string last = platform::path::lastPathComponent(name);
        binary->name = last.empty() ? kUnknown : last;
        binary->primaryArchitectureId = image->codeType() ? image->codeType()->type() : 0;
        binary->architectureVariantId = image->codeType() ? image->codeType()->subtype() : 0;
        binaries.push_back(std::move(binary));
    }
    return binaries;
}

std::vector<uint64_t> BCErrorLogFormatter::addressesFromReport(const BBCrashReport &report) {
    std::vector<uint64_t> addresses;
    const auto &info = report.exceptionInfo();
    if (info && info->stackFrames()) {
        for (const auto &frame : *info->stackFrames()) addresses.push_back(frame->instructionPointer());
    }
    for (const auto &thread : report.threads()) {
        for (const auto &frame : thread->stackFrames()) addresses.push_back(frame->instructionPointer());
        for (const auto &reg : thread->registers()) addresses.push_back(reg->registerValue());
    }
    return addresses;
}

bool BCErrorLogFormatter::isBinaryWithStart(uint64_t start, uint64_t end, const std::vector<uint64_t> &addresses) {
    return std::any_of(addresses.begin(), addresses.end(),
                       [&](uint64_t address) { return address >= start && address <= end; });
}

BCImageKind BCErrorLogFormatter::imageTypeForImagePath(const std::optional<std::string> &imagePath,
                                                       const std::optional<std::string> &processPath) {
    if (!imagePath || !processPath) return BCImageKindOther;
    // Standardizing only drops and joins whole components: a standardized
    // path holds ".app/" only when the path itself does.
    if (!containsIgnoringCase(*imagePath, ".app/")) return BCImageKindOther;
    const std::string standardized = platform::path::standardizingPath(*imagePath);
    const std::string_view process = *processPath;
    if (!containsIgnoringCase(standardized, ".app/")) return BCImageKindOther;
    if (containsIgnoringCase(standardized, "frameworks/libswift") && hasSuffixIgnoringCase(standardized, ".dylib")) {
        return BCImageKindOther;
    }
    // An empty process path is no prefix of anything.
    if (equalsIgnoringCase(standardized, process) || (!process.empty() && hasPrefixIgnoringCase(*imagePath, process))) {
        return BCImageKindMainExecutable;
    }
    return BCImageKindInAppBundle;
}

std::string BCErrorLogFormatter::anonymizedPathFromPath(const std::string &path) {
    if (!path.empty() && platform::text::hasPrefix(path, "/Users/")) {
        // Every "/Users/<name>/" (a name of at least one character, no
        // slash), left to right, becomes "/Users/USER/".
        constexpr std::string_view kUsers = "/Users/";
        std::string out;
        out.reserve(path.size());
        size_t copied = 0;
        size_t from = 0;
        for (size_t at; (at = path.find(kUsers, from)) != std::string::npos;) {
            const size_t name = at + kUsers.size();
            const size_t slash = path.find('/', name);
            if (slash == std::string::npos) break;
            if (slash == name) {
                from = at + 1;
                continue;
            }
            out.append(path, copied, at - copied);
            out += "/Users/USER/";
            copied = from = slash + 1;
        }
        out.append(path, copied, std::string::npos);
        return out;
    }
    if (!path.empty() && !platform::text::contains(path, "Users")) return path;
    return "";
}

bool BCErrorLogFormatter::isCodeType64bit(uint64_t codeType) {
    using namespace platform::mach;
    return codeType == uint64_t(CPU_TYPE_X86_64) || codeType == uint64_t(CPU_TYPE_ARM64);
}

std::optional<std::string> BCErrorLogFormatter::uuidRefToString(const std::optional<platform::UUID> &uuid) {
    if (!uuid) return std::nullopt;
    return uuid->UUIDString();
}

std::string BCErrorLogFormatter::formatAddress(uint64_t address, bool is64bit) {
    char text[24];
    return std::string(text, writeAddress(text, address, is64bit));
}
