#include "BBCrashReport.h"

#include "bbcrash.pb-c.h"
#include "bbcrash_error_object.h"
#include "bbcrash_log_writer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Text.h"
#include "platform/mach/machine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

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
        bbcrash_populate_error(error, kInvalidReport,
                               bundle != nullptr ? bundle->localizedStringForKey(text, text) : text, nullptr);
    }
    return false;
}

bool failPlain(platform::ErrorPtr *error, const std::string &text) {
    bbcrash_populate_error(error, kInvalidReport, text, nullptr);
    return false;
}

// An enum field as the 32 bits that came off the wire. The unpacker stores any
// value a damaged file holds, and reading one outside the generated enum's
// range through that type is undefined, so the bits are copied out instead.
template <typename Enum>
uint32_t wireEnum(const Enum &field) {
    static_assert(sizeof(Enum) == sizeof(uint32_t));
    uint32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
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
        static_cast<BBCrashReportProcessorTypeEncoding>(wireEnum(p->encoding)), p->type, p->subtype);
}

std::shared_ptr<const BBCrashReportProcessorInfo> processorFromArchitecture(uint32_t architecture,
                                                                            platform::ErrorPtr *error) {
    using namespace platform::mach;
    static const uint64_t kPairs[][2] = {
        {CPU_TYPE_X86, CPU_SUBTYPE_X86_ALL},            // X86_32
        {CPU_TYPE_X86_64, CPU_SUBTYPE_X86_64_ALL},      // X86_64
        {CPU_TYPE_ARM, CPU_SUBTYPE_ARM_V6},             // ARMV6
        {CPU_TYPE_POWERPC, CPU_SUBTYPE_POWERPC_ALL},    // PPC
        {CPU_TYPE_POWERPC64, CPU_SUBTYPE_POWERPC_ALL},  // PPC64
        {CPU_TYPE_ARM, CPU_SUBTYPE_ARM_V7},             // ARMV7
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

// Report text as a view of the message; absent when missing or not valid
// UTF-8.
std::optional<std::string_view> textView(const char *bytes) {
    if (bytes == nullptr) {
        return std::nullopt;
    }
    std::string_view view(bytes);
    if (!platform::text::isValidUTF8(view)) {
        return std::nullopt;
    }
    return view;
}

// The symbols of every stack of a report and their names, in one block
// (names in a few large chunks that never move), made before the frames
// that point into it.
class SymbolBlock {
public:
    explicit SymbolBlock(size_t capacity) { symbols_.reserve(capacity); }

    // A symbol with a copy of `name`; null when the block is full (it was
    // made for the report's symbol count, so it never is) or memory ran out.
    const BBCrashReportSymbolInfo *add(std::optional<std::string_view> name, uint64_t start, uint64_t end) {
        if (symbols_.size() == symbols_.capacity()) {
            return nullptr;
        }
        if (name && name->empty()) {
            name = std::string_view();
        } else if (name) {
            name = keep(*name);
            if (name->data() == nullptr) {
                return nullptr;
            }
        }
        symbols_.emplace_back(name, start, end);
        return &symbols_.back();
    }

private:
    static constexpr size_t kChunk = 16 * 1024;

    std::string_view keep(std::string_view name) {
        if (name.size() > left_) {
            const size_t size = std::max(name.size(), kChunk);
            auto *bytes = new (std::nothrow) char[size];
            if (bytes == nullptr) {
                return {};
            }
            chunks_.emplace_back(bytes);
            next_ = bytes;
            left_ = size;
        }
        std::memcpy(next_, name.data(), name.size());
        std::string_view kept(next_, name.size());
        next_ += name.size();
        left_ -= name.size();
        return kept;
    }

    std::vector<BBCrashReportSymbolInfo> symbols_;
    std::vector<std::unique_ptr<char[]>> chunks_;
    char *next_ = nullptr;
    size_t left_ = 0;
};

// Every frame of a report, threads' and exception's, lives in one block and
// every symbol in another, each frame and symbol pointer sharing its block's
// ownership: a few allocations per report rather than some per frame. Both
// blocks are made for the report's counts and never grow, so the pointers
// into them hold.
struct FrameBlocks {
    FrameBlocks(size_t frameCount, size_t symbolCount)
        : symbols(std::make_shared<SymbolBlock>(symbolCount)),
          frames(std::make_shared<std::vector<BBCrashReportStackFrameInfo>>()) {
        frames->reserve(frameCount);
    }

    std::shared_ptr<SymbolBlock> symbols;
    std::shared_ptr<std::vector<BBCrashReportStackFrameInfo>> frames;
};

// The symbols among the first `count` frames of a stack.
size_t symbolCount(Bbcrash__CrashReport__Thread__StackFrame **frames, size_t count) {
    size_t symbols = 0;
    for (size_t i = 0; i < count; ++i) {
        if (frames[i] != nullptr && frames[i]->symbol != nullptr) {
            ++symbols;
        }
    }
    return symbols;
}

// The first `count` frames of a stack, made in `blocks`.
bool stackFrames(Bbcrash__CrashReport__Thread__StackFrame **frames, size_t count, bool strip, FrameBlocks &blocks,
                 FrameList *out, platform::ErrorPtr *error) {
    count = std::min(count, kMaxStackFrames);
    for (size_t i = 0; i < count; ++i) {
        if (frames[i] == nullptr) {
            return failLocalized(error, "Crash report is missing stack frame information");
        }
    }
    auto &block = *blocks.frames;
    if (block.capacity() - block.size() < count) {
        return failPlain(error, "Could not read the crash report's frames");
    }
    out->reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const auto *frame = frames[i];
        std::shared_ptr<const BBCrashReportSymbolInfo> symbol;
        if (frame->symbol != nullptr) {
            const auto *s = frame->symbol;
            const auto *info =
                blocks.symbols->add(textView(s->name), s->start_address, s->has_end_address ? s->end_address : 0);
            if (info == nullptr) {
                return failPlain(error, "Could not read the crash report's frames");
            }
            symbol = std::shared_ptr<const BBCrashReportSymbolInfo>(blocks.symbols, info);
        }
        const uint64_t pc = strip ? (frame->pc & kARM64EAddressMask) : frame->pc;
        block.emplace_back(pc, std::move(symbol));
        out->emplace_back(blocks.frames, &block.back());
    }
    return true;
}

std::optional<platform::Date> secondsSince1970(uint64_t seconds) {
    return platform::Date::fromTimeIntervalSince1970(static_cast<double>(seconds));
}

}  // namespace

// The decoded message and the memory it lives in. The unpack allocates one
// block per message, array and string (thousands for a big report) and the
// message is dropped whole once converted, so its memory comes from a few
// large chunks, handed out in order, and goes with them at once rather than
// block by block.
struct BBCrashReport::Decoder {
    Report *message = nullptr;

    explicit Decoder(size_t bodySize) {
        // Most reports unpack into less than this; a dense one takes more
        // chunks, each twice the last.
        nextChunk_ = std::max<size_t>(kMinChunk, bodySize * 4);
        allocator_.alloc = &Decoder::alloc;
        allocator_.free = &Decoder::free;
        allocator_.allocator_data = this;
    }

    ProtobufCAllocator *allocator() { return &allocator_; }

private:
    static constexpr size_t kMinChunk = 16 * 1024;
    static constexpr size_t kAlign = alignof(std::max_align_t);

    static void *alloc(void *data, size_t size) { return static_cast<Decoder *>(data)->allocate(size); }
    // Blocks go with their chunk.
    static void free(void *, void *) {}

    void *allocate(size_t size) {
        if (size > SIZE_MAX - kAlign) {
            return nullptr;
        }
        size = (size + kAlign - 1) & ~(kAlign - 1);
        if (size > left_) {
            const size_t chunk = std::max(size, nextChunk_);
            auto *bytes = new (std::nothrow) std::byte[chunk];
            if (bytes == nullptr) {
                return nullptr;
            }
            chunks_.emplace_back(bytes);
            next_ = bytes;
            left_ = chunk;
            if (nextChunk_ <= SIZE_MAX / 2) {
                nextChunk_ *= 2;
            }
        }
        void *block = next_;
        next_ += size;
        left_ -= size;
        return block;
    }

    ProtobufCAllocator allocator_{};
    std::vector<std::unique_ptr<std::byte[]>> chunks_;
    std::byte *next_ = nullptr;
    size_t left_ = 0;
    size_t nextChunk_ = 0;
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
    auto decoder = std::make_unique<Decoder>(data.size() - 8);
    auto *message = reinterpret_cast<Report *>(protobuf_c_message_unpack(
        &bbcrash__crash_report__descriptor, decoder->allocator(), data.size() - 8, data.data() + 8));
    if (message == nullptr) {
        failLocalized(error, "An unknown error occured decoding the crash report");
        return nullptr;
    }
    std::shared_ptr<BBCrashReport> report(new BBCrashReport());
    decoder->message = message;
    report->decoder_ = std::move(decoder);
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
            cpu = processorFromArchitecture(wireEnum(s->architecture), error);
            if (cpu == nullptr) {
                return false;
            }
        }
        std::optional<platform::Date> timestamp;
        if (s->timestamp != 0) {
            timestamp = platform::Date::fromTimeIntervalSince1970(static_cast<double>(s->timestamp));
        }
        systemInfo_ = std::make_shared<const BBCrashReportSystemInfo>(
            static_cast<BBCrashReportOperatingSystem>(wireEnum(s->operating_system)), text(s->os_version),
            text(s->os_build), static_cast<BBCrashReportArchitecture>(wireEnum(s->architecture)), cpu, timestamp);
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
    // always kept, and its frames come out of the frame budget first. The
    // threads kept and their frame counts are settled first, so that every
    // frame is made in one block of the right size.
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
    struct KeptThread {
        const Bbcrash__CrashReport__Thread *thread;
        size_t frameCount;
    };
    std::vector<KeptThread> kept;
    kept.reserve(std::min(r->n_threads, kMaxReportThreads));
    size_t frameTotal = 0;
    size_t symbolTotal = 0;
    for (size_t i = 0; i < r->n_threads; ++i) {
        const auto *t = r->threads[i];
        if (t == nullptr) {
            return failLocalized(error, "Crash report is missing thread state information");
        }
        const bool crashed = i == crashedIndex;
        // Room is left for the crashed thread when it comes later.
        const size_t room = kMaxReportThreads - (crashedIndex > i && crashedIndex < r->n_threads ? 1 : 0);
        if (!crashed && kept.size() >= room) {
            continue;
        }
        size_t frameCount = std::min(t->n_frames, kMaxStackFrames);
        if (!crashed) {
            frameCount = std::min(frameCount, frameBudget);
            frameBudget -= frameCount;
        }
        kept.push_back({t, frameCount});
        frameTotal += frameCount;
        symbolTotal += symbolCount(t->frames, frameCount);
    }
    if (r->exception != nullptr) {
        const size_t frameCount = std::min(r->exception->n_frames, kMaxStackFrames);
        frameTotal += frameCount;
        symbolTotal += symbolCount(r->exception->frames, frameCount);
    }
    FrameBlocks blocks(frameTotal, symbolTotal);
    threads_.reserve(kept.size());
    for (const auto &[t, frameCount] : kept) {
        FrameList frames;
        if (!stackFrames(t->frames, frameCount, strip, blocks, &frames, error)) {
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
        images_.push_back(std::make_shared<const BBCrashReportBinaryImageInfo>(codeType, image->base_address,
                                                                               image->size, text(image->name), uuid));
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
            if (!stackFrames(e->frames, e->n_frames, strip, blocks, &*frames, error)) {
                return false;
            }
        }
        exceptionInfo_ =
            std::make_shared<const BBCrashReportExceptionInfo>(text(e->name), text(e->reason), std::move(frames));
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
