#include "BBCrashReport.h"

#include "bbcrash.pb-c.h"
#include "bbcrash_error_object.h"
#include "bbcrash_log_writer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Text.h"
#include "platform/mach/machine.h"

#include <algorithm>
#include <cstring>

namespace {

using Report = Bbcrash__CrashReport;
using FrameList = std::vector<std::shared_ptr<const BBCrashReportStackFrameInfo>>;

constexpr int64_t kInvalidReport = 2;
constexpr uint64_t kARM64EAddressMask = 0xFFFFFFFFFull;
constexpr size_t kMaxMachCodes = 256;

// Fails with a code-2 error whose text is looked up as a localizable string
// of the main bundle (the text is its own key and fallback).
bool failLocalized(platform::ErrorPtr *error, const std::string &text) {
    if (error != nullptr) {
        auto bundle = platform::Bundle::mainBundle();
        bbcrash_populate_error(error, kInvalidReport, bundle != nullptr ? bundle->localizedStringForKey(text, text) : text,
                               nullptr);
    }
    return false;
}

bool failPlain(platform::ErrorPtr *error, const std::string &text) {
    bbcrash_populate_error(error, kInvalidReport, text, nullptr);
    return false;
}

// Report text as a string; absent when missing or not valid UTF-8.
std::optional<std::string> text(const char *bytes) {
    if (bytes == nullptr) {
        return std::nullopt;
    }
    std::string_view view(bytes);
    if (!platform::text::isValidUTF8(view)) {
        return std::nullopt;
    }
    return std::string(view);
}

std::shared_ptr<const BBCrashReportProcessorInfo> processor(const Bbcrash__CrashReport__Processor *p,
                                                            platform::ErrorPtr *error) {
    if (p == nullptr) {
        failLocalized(error, "Crash report is missing processor info section");
        return nullptr;
    }
    return std::make_shared<const BBCrashReportProcessorInfo>(
        static_cast<BBCrashReportProcessorTypeEncoding>(p->encoding), p->type, p->subtype);
}

std::shared_ptr<const BBCrashReportProcessorInfo> processorFromArchitecture(uint32_t architecture,
                                                                            platform::ErrorPtr *error) {
    using namespace platform::mach;
    static const uint64_t kPairs[][2] = {
        {CPU_TYPE_X86, CPU_SUBTYPE_X86_ALL},           // X86_32
        {CPU_TYPE_X86_64, CPU_SUBTYPE_X86_64_ALL},     // X86_64
        {CPU_TYPE_ARM, CPU_SUBTYPE_ARM_V6},            // ARMV6
        {CPU_TYPE_POWERPC, CPU_SUBTYPE_POWERPC_ALL},   // PPC
        {CPU_TYPE_POWERPC64, CPU_SUBTYPE_POWERPC_ALL}, // PPC64
        {CPU_TYPE_ARM, CPU_SUBTYPE_ARM_V7},            // ARMV7
    };
    if (architecture > 5) {
        failLocalized(error, "Crash report has an unknown architecture");
        return nullptr;
    }
    return std::make_shared<const BBCrashReportProcessorInfo>(BBCrashReportProcessorTypeEncodingMach,
                                                              kPairs[architecture][0], kPairs[architecture][1]);
}

// What a report may bring into memory. A report is at most 256 KiB, but a
// dense one (100,000 empty threads or frames in that size) would make every
// later step (the error log, its archive for the store, its JSON) hundreds
// of times larger than the file. The writer never writes more threads or
// more frames per stack than its own limits, and a real report holds far
// fewer frames in all than kMaxReportFrames; what lies beyond is dropped.
// The crashed threads' frames are always kept (within the per-stack limit).
constexpr size_t kMaxReportThreads = BBCRASH_WRITER_MAX_THREADS;
constexpr size_t kMaxStackFrames = BBCRASH_WRITER_MAX_FRAMES;
constexpr size_t kMaxReportFrames = 4096;
constexpr size_t kMaxReportImages = 4096;
// Far more than any machine's register set.
constexpr size_t kMaxThreadRegisters = 128;

// The first `count` frames of a stack. A stack's frames live in one block
// and their symbols in another, each frame and symbol pointer sharing its
// block's ownership: two allocations per stack rather than two per frame.
bool stackFrames(Bbcrash__CrashReport__Thread__StackFrame **frames, size_t count, bool strip, FrameList *out,
                 platform::ErrorPtr *error) {
    count = std::min(count, kMaxStackFrames);
    size_t symbolCount = 0;
    for (size_t i = 0; i < count; ++i) {
        if (frames[i] == nullptr) {
            return failLocalized(error, "Crash report is missing stack frame information");
        }
        if (frames[i]->symbol != nullptr) {
            ++symbolCount;
        }
    }
    auto symbols = std::make_shared<std::vector<BBCrashReportSymbolInfo>>();
    symbols->reserve(symbolCount);
    auto block = std::make_shared<std::vector<BBCrashReportStackFrameInfo>>();
    block->reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const auto *frame = frames[i];
        std::shared_ptr<const BBCrashReportSymbolInfo> symbol;
        if (frame->symbol != nullptr) {
            const auto *s = frame->symbol;
            symbols->emplace_back(text(s->name), s->start_address, s->has_end_address ? s->end_address : 0);
            symbol = std::shared_ptr<const BBCrashReportSymbolInfo>(symbols, &symbols->back());
        }
        const uint64_t pc = strip ? (frame->pc & kARM64EAddressMask) : frame->pc;
        block->emplace_back(pc, std::move(symbol));
    }
    out->reserve(count);
    for (const auto &frame : *block) {
        out->emplace_back(block, &frame);
    }
    return true;
}

std::optional<platform::Date> secondsSince1970(uint64_t seconds) {
    return platform::Date::fromTimeIntervalSince1970(static_cast<double>(seconds));
}

}  // namespace

struct BBCrashReport::Decoder {
    Report *message = nullptr;
    ~Decoder() {
        if (message != nullptr) {
            protobuf_c_message_free_unpacked(&message->base, nullptr);
        }
    }
};

BBCrashReport::~BBCrashReport() = default;

std::shared_ptr<BBCrashReport> BBCrashReport::make(const platform::Data &data, platform::ErrorPtr *error) {
    if (data.size() <= 8) {
        failLocalized(error, "Could not decode truncated crash log");
        return nullptr;
    }
    if (std::memcmp(data.data(), "bbcrash", 7) != 0) {
        failLocalized(error, "Could not decode invalid crash log header");
        return nullptr;
    }
    if (data[7] != 1) {
        if (error != nullptr) {
            auto bundle = platform::Bundle::mainBundle();
            std::string key = "Could not decode unsupported crash report version: %d";
            std::string format = bundle != nullptr ? bundle->localizedStringForKey(key, key) : key;
            std::string number = std::to_string(data[7]);
            auto at = format.find("%d");
            if (at != std::string::npos) {
                format.replace(at, 2, number);
            }
            failPlain(error, format);
        }
        return nullptr;
    }
    auto *message = reinterpret_cast<Report *>(
        protobuf_c_message_unpack(&bbcrash__crash_report__descriptor, nullptr, data.size() - 8, data.data() + 8));
    if (message == nullptr) {
        failLocalized(error, "An unknown error occured decoding the crash report");
        return nullptr;
    }
    std::shared_ptr<BBCrashReport> report(new BBCrashReport());
    report->decoder_ = std::make_unique<Decoder>();
    report->decoder_->message = message;
    if (!report->convert(error)) {
        return nullptr;
    }
    // Everything the report keeps was copied out of the message: it goes
    // now rather than with the report.
    report->decoder_.reset();
    return report;
}

bool BBCrashReport::convert(platform::ErrorPtr *error) {
    const Report *r = decoder_->message;

    // 1. Identity.
    if (r->report_info != nullptr && r->report_info->has_uuid) {
        const auto &uuid = r->report_info->uuid;
        if (uuid.len != 16) {
            return failPlain(error, "Report UUID value is not a standard 16 bytes");
        }
        platform::UUID::Bytes bytes{};
        std::memcpy(bytes.data(), uuid.data, 16);
        uuid_ = platform::UUID(bytes);
    }

    // 2. Machine.
    if (r->machine_info != nullptr) {
        const auto *m = r->machine_info;
        std::shared_ptr<const BBCrashReportProcessorInfo> cpu;
        if (m->processor != nullptr) {
            cpu = processor(m->processor, error);
            if (cpu == nullptr) {
                return false;
            }
        }
        machineInfo_ = std::make_shared<const BBCrashReportMachineInfo>(text(m->model), cpu, m->processor_count,
                                                                        m->logical_processor_count);
    }

    // 3. System.
    {
        const auto *s = r->system_info;
        if (s == nullptr) {
            return failLocalized(error, "Crash report is missing System Information section");
        }
        if (s->os_version == nullptr) {
            return failLocalized(error, "Crash report is missing System Information OS version field");
        }
        std::shared_ptr<const BBCrashReportProcessorInfo> cpu =
            machineInfo_ != nullptr ? machineInfo_->processorInfo() : nullptr;
        if (cpu == nullptr) {
            cpu = processorFromArchitecture(static_cast<uint32_t>(s->architecture), error);
            if (cpu == nullptr) {
                return false;
            }
        }
        std::optional<platform::Date> timestamp;
        if (s->timestamp != 0) {
            timestamp = platform::Date::fromTimeIntervalSince1970(static_cast<double>(s->timestamp));
        }
        systemInfo_ = std::make_shared<const BBCrashReportSystemInfo>(
            static_cast<BBCrashReportOperatingSystem>(s->operating_system), text(s->os_version), text(s->os_build),
            static_cast<BBCrashReportArchitecture>(s->architecture), cpu, timestamp);
    }

    // 4. Application.
    {
        const auto *a = r->application_info;
        if (a == nullptr) {
            return failLocalized(error, "Crash report is missing Application Information section");
        }
        if (a->identifier == nullptr) {
            return failLocalized(error, "Crash report is missing Application Information app identifier field");
        }
        if (a->version == nullptr) {
            return failLocalized(error, "Crash report is missing Application Information app version field");
        }
        applicationInfo_ = std::make_shared<const BBCrashReportApplicationInfo>(text(a->identifier), text(a->version),
                                                                                text(a->marketing_version));
    }

    // 5. Process.
    if (r->process_info != nullptr) {
        const auto *p = r->process_info;
        std::optional<platform::Date> start;
        if (p->has_start_time) {
            start = secondsSince1970(p->start_time);
        }
        processInfo_ = std::make_shared<const BBCrashReportProcessInfo>(
            text(p->process_name), p->process_id, text(p->process_path), start, text(p->parent_process_name),
            p->parent_process_id, p->native != 0);
    }

    // 6. Signal, then its Mach exception.
    {
        const auto *s = r->signal;
        if (s == nullptr) {
            return failLocalized(error, "Crash report is missing Signal Information section");
        }
        if (s->name == nullptr) {
            return failLocalized(error, "Crash report is missing signal name field");
        }
        if (s->code == nullptr) {
            return failLocalized(error, "Crash report is missing signal code field");
        }
        signalInfo_ = std::make_shared<const BBCrashReportSignalInfo>(text(s->name), text(s->code), s->address);
        if (s->mach_exception != nullptr) {
            const auto *m = s->mach_exception;
            if (m->n_codes >= kMaxMachCodes) {
                return failLocalized(error, "Crash report includes too many Mach Exception codes");
            }
            machExceptionInfo_ = std::make_shared<const BBCrashReportMachExceptionInfo>(
                m->type, std::vector<uint64_t>(m->codes, m->codes + m->n_codes));
        }
    }

    // Frames of an arm64e report carry pointer-authentication bits.
    const bool strip = machineInfo_ != nullptr && machineInfo_->processorInfo() != nullptr &&
                       machineInfo_->processorInfo()->type() == uint64_t(platform::mach::CPU_TYPE_ARM64) &&
                       machineInfo_->processorInfo()->subtype() == uint64_t(platform::mach::CPU_SUBTYPE_ARM64E);

    // 7. Threads, within the limits above: the (first) crashed thread is
    // always kept, and its frames come out of the frame budget first.
    size_t crashedIndex = r->n_threads;
    for (size_t i = 0; i < r->n_threads && crashedIndex == r->n_threads; ++i) {
        if (r->threads[i] != nullptr && r->threads[i]->crashed != 0) {
            crashedIndex = i;
        }
    }
    size_t frameBudget = kMaxReportFrames;
    if (crashedIndex < r->n_threads) {
        frameBudget -= std::min(r->threads[crashedIndex]->n_frames, kMaxStackFrames);
    }
    threads_.reserve(std::min(r->n_threads, kMaxReportThreads));
    for (size_t i = 0; i < r->n_threads; ++i) {
        const auto *t = r->threads[i];
        if (t == nullptr) {
            return failLocalized(error, "Crash report is missing thread state information");
        }
        const bool kept = i == crashedIndex;
        // Room is left for the crashed thread when it comes later.
        const size_t room = kMaxReportThreads - (crashedIndex > i && crashedIndex < r->n_threads ? 1 : 0);
        if (!kept && threads_.size() >= room) {
            continue;
        }
        size_t frameCount = std::min(t->n_frames, kMaxStackFrames);
        if (!kept) {
            frameCount = std::min(frameCount, frameBudget);
            frameBudget -= frameCount;
        }
        FrameList frames;
        if (!stackFrames(t->frames, frameCount, strip, &frames, error)) {
            return false;
        }
        std::vector<std::shared_ptr<const BBCrashReportRegisterInfo>> registers;
        const size_t registerCount = std::min(t->n_registers, kMaxThreadRegisters);
        registers.reserve(registerCount);
        for (size_t k = 0; k < registerCount; ++k) {
            const auto *reg = t->registers[k];
            if (reg == nullptr || reg->name == nullptr) {
                return failPlain(error, "Missing register name in register value");
            }
            registers.push_back(std::make_shared<const BBCrashReportRegisterInfo>(text(reg->name), reg->value));
        }
        threads_.push_back(std::make_shared<const BBCrashReportThreadInfo>(t->thread_number, std::move(frames),
                                                                           t->crashed != 0, std::move(registers)));
    }

    // 8. Images.
    images_.reserve(std::min(r->n_binary_images, kMaxReportImages));
    for (size_t i = 0; i < r->n_binary_images && i < kMaxReportImages; ++i) {
        const auto *image = r->binary_images[i];
        if (image == nullptr) {
            return failLocalized(error, "Crash report is missing binary image information");
        }
        if (image->name == nullptr) {
            return failPlain(error, "Missing image name in image record");
        }
        std::shared_ptr<const BBCrashReportProcessorInfo> codeType;
        if (image->code_type != nullptr) {
            codeType = processor(image->code_type, error);
        }
        std::optional<std::vector<uint8_t>> uuid;
        if (image->has_uuid) {
            uuid.emplace(image->uuid.data, image->uuid.data + image->uuid.len);
        }
        images_.push_back(std::make_shared<const BBCrashReportBinaryImageInfo>(
            codeType, image->base_address, image->size, text(image->name), uuid));
    }

    // 9. Exception.
    if (r->exception != nullptr) {
        const auto *e = r->exception;
        if (e->name == nullptr) {
            return failLocalized(error, "Crash report is missing exception name field");
        }
        if (e->reason == nullptr) {
            return failLocalized(error, "Crash report is missing exception reason field");
        }
        std::optional<FrameList> frames;
        if (e->n_frames > 0) {
            frames.emplace();
            if (!stackFrames(e->frames, e->n_frames, strip, &*frames, error)) {
                return false;
            }
        }
        exceptionInfo_ = std::make_shared<const BBCrashReportExceptionInfo>(text(e->name), text(e->reason),
                                                                            std::move(frames));
    }

    // 10. Custom data.
    if (r->has_custom_data) {
        customData_.emplace(r->custom_data.data, r->custom_data.data + r->custom_data.len);
    }
    return true;
}

std::shared_ptr<const BBCrashReportBinaryImageInfo> BBCrashReport::imageForAddress(uint64_t address) const {
    for (const auto &image : images_) {
        // No wrap: base + size may pass the end of the address space.
        if (address >= image->imageBaseAddress() && address - image->imageBaseAddress() < image->imageSize()) {
            return image;
        }
    }
    return nullptr;
}
