#include "BCErrorLogFormatter.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <regex>

#include "BBCrashReport.h"
#include "BCAppleErrorLog.h"
#include "BCBeacon.h"
#include "BCBinary.h"
#include "BCDeviceTracker.h"
#include "BCErrorReport.h"
#include "BCException.h"
#include "BCLoadedImages.h"
#include "BCLogger.h"
#include "BCStackFrame.h"
#include "BCThread.h"
#include "BCWrapperException.h"
#include "BCWrapperExceptionManager.h"
#include "platform/foundation/Path.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char *kLogTag = "BeaconCrashes";
constexpr const char *kUnknown = "???";

constexpr uint64_t kCpuTypeX86 = 7;
constexpr uint64_t kCpuTypeARM = 12;
constexpr uint64_t kCpuTypeX86_64 = 0x01000007;
constexpr uint64_t kCpuTypeARM64 = 0x0100000C;

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// --- Reading a Mach-O image in this process's memory. ---
//
// Only tests put images here, but the bytes are treated as untrusted all the
// same: every read stays inside the load commands the header declares.

constexpr uint32_t kMagic32 = 0xfeedface;
constexpr uint32_t kMagic64 = 0xfeedfacf;
constexpr uint32_t kLoadCommandSegment = 0x1;
constexpr uint32_t kLoadCommandSegment64 = 0x19;
constexpr uint32_t kLoadCommandUUID = 27;

uint32_t word32(const uint8_t *at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

uint64_t word64(const uint8_t *at) {
    uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

struct LoadCommand {
    const uint8_t *bytes;
    uint32_t cmd;
    uint32_t size;
};

// The image's load commands, walked within sizeofcmds; a command shorter
// than its own 8-byte head, or one that runs past the end, ends the walk.
std::vector<LoadCommand> loadCommands(const void *header) {
    std::vector<LoadCommand> commands;
    const auto *base = static_cast<const uint8_t *>(header);
    const uint32_t magic = word32(base);
    if (magic != kMagic32 && magic != kMagic64) return commands;
    const uint32_t ncmds = word32(base + 16);
    const uint32_t sizeofcmds = word32(base + 20);
    const uint8_t *at = base + (magic == kMagic64 ? 32 : 28);
    uint64_t left = sizeofcmds;
    for (uint32_t i = 0; i < ncmds && left >= 8; ++i) {
        const uint32_t cmd = word32(at);
        const uint32_t size = word32(at + 4);
        if (size < 8 || size > left) break;
        commands.push_back({at, cmd, size});
        at += size;
        left -= size;
    }
    return commands;
}

// The 16 UUID bytes as 32 lower-case hex digits; absent without LC_UUID.
std::optional<std::string> imageUUIDText(const void *header) {
    for (const auto &command : loadCommands(header)) {
        if (command.cmd != kLoadCommandUUID) continue;
        if (command.size < 24) return std::nullopt;
        char text[33];
        for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02X", command.bytes[8 + i]);
        return lowercase(text);
    }
    return std::nullopt;
}

bool nameIs(const uint8_t *field, const char *name) {
    char copy[17] = {};
    std::memcpy(copy, field, 16);
    return std::strcmp(copy, name) == 0;
}

struct Section {
    uint64_t address = 0;  // unslid
    uint64_t size = 0;
};

// The section's link-time address and size, as getsectdatafromheader(_64)
// answers them; zero when there is none.
Section findSection(const void *header, const char *segmentName, const char *sectionName) {
    const bool is64 = word32(static_cast<const uint8_t *>(header)) == kMagic64;
    const uint32_t wanted = is64 ? kLoadCommandSegment64 : kLoadCommandSegment;
    const uint32_t segmentSize = is64 ? 72 : 56;
    const uint32_t sectionSize = is64 ? 80 : 68;
    for (const auto &command : loadCommands(header)) {
        if (command.cmd != wanted || command.size < segmentSize || !nameIs(command.bytes + 8, segmentName)) continue;
        const uint32_t nsects = word32(command.bytes + (is64 ? 64 : 48));
        const uint64_t room = (command.size - segmentSize) / sectionSize;
        for (uint64_t i = 0; i < std::min<uint64_t>(nsects, room); ++i) {
            const uint8_t *section = command.bytes + segmentSize + i * sectionSize;
            if (!nameIs(section, sectionName)) continue;
            if (is64) return {word64(section + 32), word64(section + 40)};
            return {word32(section + 32), word32(section + 36)};
        }
    }
    return {};
}

}  // namespace

std::shared_ptr<BCAppleErrorLog> BCErrorLogFormatter::errorLogFromCrashReport(const BBCrashReport &report) {
    auto log = std::make_shared<BCAppleErrorLog>();
    log->errorId = errorIdForCrashReport(report);
    addProcessInfoAndApplicationPathTo(log, report);
    const ThreadPtr crashedThread = findCrashedThreadInReport(report);
    log->errorThreadId = crashedThread ? crashedThread->threadNumber() : 0;
    log->fatal = true;
    log->appLaunchTimestamp = getAppLaunchTimeFromReport(report);
    log->setTimestamp(adjustedCrashTime(getCrashTimeFromReport(report)));

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

    char address[32];
    const auto &signal = report.signalInfo();
    std::snprintf(address, sizeof address, "0x%" PRIx64, signal ? signal->address() : 0);
    if (signal) {
        log->osExceptionType = signal->name();
        log->osExceptionCode = signal->code();
    }
    log->osExceptionAddress = std::string(address);

    log->exceptionReason = extractExceptionReasonFromReport(report);
    if (report.hasExceptionInfo()) log->exceptionType = report.exceptionInfo()->exceptionName();
    log->selectorRegisterValue = selectorRegisterValueFromReport(report, crashedThread, cpuType);
    log->threads = extractThreadsFromReport(report, crashedThread, is64bit);
    log->registers = extractRegistersFromCrashedThread(crashedThread, is64bit);
    log->binaries = extractBinaryImagesFromReport(report, is64bit);
    log->setDevice(BCDeviceTracker::sharedInstance()->deviceForTimestamp(log->timestamp()));
    if (auto uuid = uuidRefToString(report.uuidRef())) {
        if (auto wrapper = BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*uuid)) {
            log->exception = wrapper->modelException;
        }
    }
    return log;
}

std::shared_ptr<BCErrorReport> BCErrorLogFormatter::errorReportFromCrashReport(
    const std::shared_ptr<BBCrashReport> &report) {
    if (!report) return nullptr;
    return errorReportFromLog(*errorLogFromCrashReport(*report));
}

std::shared_ptr<BCErrorReport> BCErrorLogFormatter::errorReportFromLog(const BCAppleErrorLog &log) {
    const std::string reporterKey = BCBeacon::installId().UUIDString();
    auto device = BCDeviceTracker::sharedInstance()->deviceForTimestamp(log.timestamp());
    return std::make_shared<BCErrorReport>(log.errorId, reporterKey, log.osExceptionType, log.exceptionType,
                                           log.exceptionReason, log.appLaunchTimestamp, log.timestamp(),
                                           std::move(device), static_cast<uint64_t>(log.processId.value_or(0)));
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
    std::shared_ptr<BCException> exception;
    const auto &info = report.exceptionInfo();
    if (info && info->stackFrames() && !info->stackFrames()->empty()) {
        exception = std::make_shared<BCException>();
        exception->frames.emplace();
        for (const auto &frame : *info->stackFrames()) {
            auto stackFrame = std::make_shared<BCStackFrame>();
            stackFrame->address = formatAddress(frame->instructionPointer(), is64bit);
            exception->frames->push_back(std::move(stackFrame));
        }
        exception->message = info->exceptionReason();
        exception->type = info->exceptionName();
        if (!exception->type && report.signalInfo()) exception->type = report.signalInfo()->name();
    }

    std::vector<std::shared_ptr<BCThread>> threads;
    for (const auto &reportThread : report.threads()) {
        auto thread = std::make_shared<BCThread>();
        thread->threadId = reportThread->threadNumber();
        if (crashedThread && exception && reportThread->threadNumber() == crashedThread->threadNumber()) {
            thread->exception = exception;
        }
        for (const auto &frame : reportThread->stackFrames()) {
            auto stackFrame = std::make_shared<BCStackFrame>();
            stackFrame->address = formatAddress(frame->instructionPointer(), is64bit);
            stackFrame->code = formatStackFrame(*frame, report);
            thread->frames->push_back(std::move(stackFrame));
        }
        threads.push_back(std::move(thread));
    }
    return threads;
}

std::string BCErrorLogFormatter::formatStackFrame(const BBCrashReportStackFrameInfo &frame,
                                                  const BBCrashReport &report) {
    const uint64_t pc = frame.instructionPointer();
    const auto image = report.imageForAddress(pc);
    uint64_t base = 0;
    uint64_t offset = 0;
    if (image) {
        base = image->imageBaseAddress();
        offset = pc - base;
    } else if (pc != 0) {
        BCLogWarning(kLogTag, "Cannot find image for 0x%llx", pc);
    }
    const std::optional<std::string> processPath =
        report.hasProcessInfo() ? report.processInfo()->processPath() : std::nullopt;
    const BCImageKind kind =
        imageTypeForImagePath(image ? image->imageName() : std::nullopt, processPath);
    const auto &symbol = frame.symbolInfo();
    if (kind == BCImageKindOther && symbol) {
        std::string name = symbol->symbolName().value_or("");
        if (name.size() >= 2 && name[0] == '_') {
            const auto os = report.systemInfo() ? report.systemInfo()->operatingSystem()
                                                : BBCrashReportOperatingSystemUnknown;
            switch (os) {
                case BBCrashReportOperatingSystemMacOSX:
                case BBCrashReportOperatingSystemiPhoneOS:
                case BBCrashReportOperatingSystemiPhoneSimulator:
                case BBCrashReportOperatingSystemAppleTVOS:
                    name.erase(0, 1);
                    break;
                case BBCrashReportOperatingSystemUnknown:
                    BCLogWarning(kLogTag, "Symbol \"%@\" prefix rules are unknown for this OS!", name);
                    break;
                default:
                    break;
            }
        }
        return platform::format("%@ + %lld", symbol->symbolName() ? std::optional<std::string>(name) : std::nullopt,
                                static_cast<long long>(pc - symbol->startAddress()));
    }
    return platform::format("0x%llx + %lld", base, static_cast<long long>(offset));
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
                                                                                uint64_t codeType) {
    std::vector<const char *> names;
    switch (codeType) {
        case kCpuTypeX86: names = {"ecx"}; break;
        case kCpuTypeARM: names = {"r1", "r2"}; break;
        case kCpuTypeX86_64: names = {"rsi", "rdx"}; break;
        case kCpuTypeARM64: names = {"x1"}; break;
        default: return std::nullopt;
    }
    if (!crashedThread) return std::nullopt;
    for (const char *name : names) {
        if (auto selector = selectorForRegisterWithName(name, crashedThread, report)) return selector;
    }
    return std::nullopt;
}

std::optional<std::string> BCErrorLogFormatter::selectorForRegisterWithName(const std::string &registerName,
                                                                            const ThreadPtr &thread,
                                                                            const BBCrashReport &report) {
    if (!thread) return std::nullopt;
    const auto &registers = thread->registers();
    const auto reg = std::find_if(registers.begin(), registers.end(),
                                  [&](const auto &r) { return r->registerName() == registerName; });
    if (reg == registers.end() || (*reg)->registerValue() == 0) return std::nullopt;
    const uint64_t value = (*reg)->registerValue();
    const auto image = report.imageForAddress(value);
    if (!image || !image->imageName()) return std::nullopt;

    for (const auto &loaded : BCLoadedImages::images()) {
        if (!loaded.header || !loaded.name || *image->imageName() != loaded.name) continue;
        if (imageUUIDText(loaded.header) != image->imageUUID()) continue;

        const Section section = findSection(loaded.header, "__TEXT", "__objc_methname");
        if (section.address == 0) return std::nullopt;
        const uint64_t start = section.address + static_cast<uint64_t>(loaded.slide);
        const uint64_t pointer =
            reinterpret_cast<uintptr_t>(loaded.header) + (value - image->imageBaseAddress());
        if (pointer < start || pointer - start >= section.size) return std::nullopt;
        const uint64_t after = pointer + 1 - start;
        if (after >= section.size) return std::nullopt;
        const auto *text = reinterpret_cast<const char *>(pointer);
        if (std::memchr(text + 1, 0, section.size - after) == nullptr) return std::nullopt;
        std::string selector(text);
        // An empty name is no selector; nor is text that isn't UTF-8.
        if (selector.empty() || !platform::text::isValidUTF8(selector)) return std::nullopt;
        return selector;
    }
    return std::nullopt;
}

std::vector<std::shared_ptr<BCBinary>> BCErrorLogFormatter::extractBinaryImagesFromReport(const BBCrashReport &report,
                                                                                          bool is64bit) {
    const std::vector<uint64_t> addresses = addressesFromReport(report);
    auto images = report.images();
    std::stable_sort(images.begin(), images.end(), [](const auto &a, const auto &b) {
        return a->imageBaseAddress() < b->imageBaseAddress();
    });
    const std::optional<std::string> processPath =
        report.hasProcessInfo() ? report.processInfo()->processPath() : std::nullopt;

    std::vector<std::shared_ptr<BCBinary>> binaries;
    for (const auto &image : images) {
        const uint64_t base = image->imageBaseAddress();
        const uint64_t extent = std::max<uint64_t>(image->imageSize(), 1) - 1;
        // An image that would reach past the end of the address space ends
        // at its last address.
        const uint64_t end = base > UINT64_MAX - extent ? UINT64_MAX : base + extent;
        const bool referenced = isBinaryWithStart(base, end, addresses);
        const BCImageKind kind = imageTypeForImagePath(image->imageName(), processPath);
        if (!referenced && kind == BCImageKindOther) continue;

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
    const std::string standardized = lowercase(platform::path::standardizingPath(*imagePath));
    const std::string image = lowercase(*imagePath);
    const std::string process = lowercase(*processPath);
    if (!platform::text::contains(standardized, ".app/")) return BCImageKindOther;
    if (platform::text::contains(standardized, "frameworks/libswift") &&
        platform::text::hasSuffix(standardized, ".dylib")) {
        return BCImageKindOther;
    }
    // An empty process path is no prefix of anything.
    if (standardized == process || (!process.empty() && platform::text::hasPrefix(image, process))) {
        return BCImageKindMainExecutable;
    }
    return BCImageKindInAppBundle;
}

std::string BCErrorLogFormatter::anonymizedPathFromPath(const std::string &path) {
    if (!path.empty() && platform::text::hasPrefix(path, "/Users/")) {
        static const std::regex kUserFolder("(/Users/[^/]+/)");
        return std::regex_replace(path, kUserFolder, "/Users/USER/");
    }
    if (!path.empty() && !platform::text::contains(path, "Users")) return path;
    return "";
}

bool BCErrorLogFormatter::isCodeType64bit(uint64_t codeType) {
    return codeType == kCpuTypeX86_64 || codeType == kCpuTypeARM64;
}

std::optional<std::string> BCErrorLogFormatter::uuidRefToString(const std::optional<platform::UUID> &uuid) {
    if (!uuid) return std::nullopt;
    return uuid->UUIDString();
}

std::string BCErrorLogFormatter::formatAddress(uint64_t address, bool is64bit) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*" PRIx64, is64bit ? 16 : 8, address);
    return text;
}
