// The crash-time write of the report. Crash-path code: bbcrash_log_writer_write
// and the section writers allocate nothing, take no lock, log nothing, and
// read other threads and images only through the checked readers. Each
// section is sized by running its writer without a file, then written.
#include "bbcrash_log_writer.h"

#include "bbcrash_async_macho.h"
#include "bbcrash_async_objc.h"
#include "bbcrash_async_signal_info.h"
#include "bbcrash_writer_pack.h"
#include "platform/mach/thread_list.h"
#include "platform/mach/vm_hold.h"

#include <ctime>

using namespace platform::mach;

namespace {

// Field numbers of bbcrash.proto.
namespace field {
constexpr uint32_t kSystemInfo = 1, kApplicationInfo = 2, kThreads = 3, kBinaryImages = 4, kException = 5, kSignal = 6,
                   kProcessInfo = 7, kMachineInfo = 8, kReportInfo = 9, kCustomData = 10;
}

constexpr uint32_t kOperatingSystemMacOSX = 0;
#if defined(__x86_64__)
constexpr uint32_t kArchitecture = 1;  // X86_64
#else
constexpr uint32_t kArchitecture = 6;  // ARCHITECTURE_UNKNOWN: arm64 has no value of its own
#endif
constexpr uint32_t kTypeEncodingMach = 1;

// What every section of one report reads: taken once, before the first
// section, so that sizing and writing agree.
struct WriteContext {
    bbcrash_log_writer *writer;
    bbcrash_async_image_list *image_list;
    bbcrash_async_file *file;
    bbcrash_async_objc_cache objc_cache;
    bbcrash_log_writer_symbolicator symbolicator;
    int64_t timestamp;
    const bbcrash_log_writer_data *custom_data;
    const bbcrash_log_signal_info *signal_info;

    // The threads listed and stopped; the calling thread and its state.
    mach_msg_type_number_t thread_count;
    thread_t self;
    const bbcrash_async_thread_state *current_state;
    thread_t crashed_thread;
    bool held;  // task memory held while writing

    // With a limited file, the room kept for what must follow: the signal
    // section always, and the crashed thread until it is written.
    bool limited;
    size_t signal_body;
    size_t signal_reserve;
    size_t crashed_reserve;
};

// ---------------------------------------------------------------------------
// Encoding helpers.

size_t packText(bbcrash_async_file *file, uint32_t fieldId, const bbcrash_log_writer_text &text) {
    if (text.data == nullptr) {
        return bbcrash_writer_pack_bytes(file, fieldId, 0, "");
    }
    return bbcrash_writer_pack_bytes(file, fieldId, text.length, text.data);
}

// Writes one top-level section whose body is `size` bytes.
template <typename Body>
void writeSection(bbcrash_async_file *file, uint32_t fieldId, size_t size, Body body) {
    bbcrash_writer_pack_message_header(file, fieldId, size);
    body(file);
}

// The size of a top-level section, key and length included; its body's in
// *bodySize.
template <typename Body>
size_t sectionSize(uint32_t fieldId, Body body, size_t *bodySize) {
    *bodySize = body(nullptr);
    return bbcrash_writer_pack_message_header(nullptr, fieldId, *bodySize) + *bodySize;
}

// "#" followed by the number in decimal, into `out` (at least 13 bytes).
const char *numberedName(int value, char *out) {
    char digits[12];
    size_t n = 0;
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t o = 0;
    out[o++] = '#';
    if (value < 0) {
        out[o++] = '-';
    }
    while (n > 0) {
        out[o++] = digits[--n];
    }
    out[o] = '\0';
    return out;
}

// ---------------------------------------------------------------------------
// Section bodies: each writes into `file` (nowhere when null) and returns its
// size.

size_t writeProcessor(bbcrash_async_file *file, uint64_t type, uint64_t subtype) {
    return bbcrash_writer_pack_enum(file, 1, kTypeEncodingMach) + bbcrash_writer_pack_uint64(file, 2, type) +
           bbcrash_writer_pack_uint64(file, 3, subtype);
}

size_t writeReportInfo(bbcrash_async_file *file, const WriteContext &ctx) {
    return bbcrash_writer_pack_bool(file, 1, ctx.writer->user_requested) +
           bbcrash_writer_pack_bytes(file, 2, sizeof(ctx.writer->uuid), ctx.writer->uuid);
}

size_t writeSystemInfo(bbcrash_async_file *file, const WriteContext &ctx) {
    const auto &info = ctx.writer->system_info;
    size_t size = bbcrash_writer_pack_enum(file, 1, kOperatingSystemMacOSX);
    size += packText(file, 2, info.version);
    if (info.build.data != nullptr) {
        size += packText(file, 5, info.build);
    }
    size += bbcrash_writer_pack_enum(file, 3, kArchitecture);
    size += bbcrash_writer_pack_int64(file, 4, ctx.timestamp);
    return size;
}

size_t writeMachineInfo(bbcrash_async_file *file, const WriteContext &ctx) {
    const auto &info = ctx.writer->machine_info;
    size_t size = 0;
    if (info.model.data != nullptr) {
        size += packText(file, 1, info.model);
    }
    size += bbcrash_writer_pack_message(file, 2, [&](bbcrash_async_file *f) {
        return writeProcessor(f, static_cast<uint64_t>(info.cpu_type), static_cast<uint64_t>(info.cpu_subtype));
    });
    size += bbcrash_writer_pack_uint32(file, 3, info.processor_count);
    size += bbcrash_writer_pack_uint32(file, 4, info.logical_processor_count);
    return size;
}

size_t writeApplicationInfo(bbcrash_async_file *file, const WriteContext &ctx) {
    const auto &info = ctx.writer->application_info;
    return packText(file, 1, info.app_identifier) + packText(file, 2, info.app_version) +
           packText(file, 3, info.app_marketing_version);
}

size_t writeProcessInfo(bbcrash_async_file *file, const WriteContext &ctx) {
    const auto &info = ctx.writer->process_info;
    return packText(file, 1, info.process_name) + bbcrash_writer_pack_uint32(file, 2, info.process_id) +
           packText(file, 3, info.process_path) + packText(file, 4, info.parent_process_name) +
           bbcrash_writer_pack_uint32(file, 5, info.parent_process_id) +
           bbcrash_writer_pack_bool(file, 6, info.native) + bbcrash_writer_pack_uint64(file, 7, info.start_time);
}

// A StackFrame as field `fieldId` (Thread.frames is 2, Exception.frames 3).
// Both nested sizes are worked out once and the name measured once (its
// bytes go out as the string field's), rather than once per nesting level.
size_t writeFrame(bbcrash_async_file *file, uint32_t fieldId, const bbcrash_log_writer_frame &frame) {
    size_t nameLength = 0;
    size_t symbolBody = 0;
    size_t body = bbcrash_writer_pack_uint64(nullptr, 3, frame.pc);
    if (frame.has_symbol) {
        while (frame.symbol_name[nameLength] != '\0') {
            ++nameLength;
        }
        symbolBody = bbcrash_writer_pack_bytes(nullptr, 1, nameLength, frame.symbol_name) +
                     bbcrash_writer_pack_uint64(nullptr, 2, frame.symbol_start);
        body += bbcrash_writer_pack_message_header(nullptr, 6, symbolBody) + symbolBody;
    }
    const size_t header = bbcrash_writer_pack_message_header(file, fieldId, body);
    if (file != nullptr) {
        bbcrash_writer_pack_uint64(file, 3, frame.pc);
        if (frame.has_symbol) {
            bbcrash_writer_pack_message_header(file, 6, symbolBody);
            bbcrash_writer_pack_bytes(file, 1, nameLength, frame.symbol_name);
            bbcrash_writer_pack_uint64(file, 2, frame.symbol_start);
        }
    }
    return header + body;
}

// A Thread from a collected stack.
size_t writeThread(bbcrash_async_file *file, const bbcrash_log_writer_stack &stack, uint32_t number, bool crashed) {
    size_t size = bbcrash_writer_pack_uint32(file, 1, number) + bbcrash_writer_pack_bool(file, 3, crashed);
    for (uint32_t r = 0; r < stack.register_count; ++r) {
        size += bbcrash_writer_pack_message(file, 4, [&](bbcrash_async_file *f) {
            return bbcrash_writer_pack_string(f, 1, stack.register_names[r]) +
                   bbcrash_writer_pack_uint64(f, 2, stack.register_values[r]);
        });
    }
    for (uint32_t i = 0; i < stack.frame_count; ++i) {
        size += writeFrame(file, 2, stack.frames[i]);
    }
    return size;
}

size_t writeImage(bbcrash_async_file *file, bbcrash_async_macho *image) {
    size_t size = bbcrash_writer_pack_uint64(file, 2, image->text_size);
    size += bbcrash_writer_pack_uint64(file, 1, image->image_base);
    size += bbcrash_writer_pack_string(file, 3, image->name != nullptr ? image->name : "");
    const auto *uuid = static_cast<const platform::dyld::uuid_command *>(
        bbcrash_async_macho_find_command(image, platform::dyld::LC_UUID));
    if (uuid != nullptr) {
        size += bbcrash_writer_pack_bytes(file, 4, sizeof(uuid->uuid), uuid->uuid);
    }
    auto type = static_cast<int32_t>(image->byteorder->swap32(static_cast<uint32_t>(image->header.cputype)));
    auto subtype = static_cast<int32_t>(image->byteorder->swap32(static_cast<uint32_t>(image->header.cpusubtype)));
    size += bbcrash_writer_pack_message(file, 5, [&](bbcrash_async_file *f) {
        return writeProcessor(f, static_cast<uint64_t>(static_cast<int64_t>(type)),
                              static_cast<uint64_t>(static_cast<int64_t>(subtype)));
    });
    return size;
}

// An Exception: name, reason and the first `frameCount` frames of `stack`.
size_t writeExceptionBody(bbcrash_async_file *file, const WriteContext &ctx, const bbcrash_log_writer_stack &stack,
                          size_t frameCount) {
    const auto &exception = ctx.writer->uncaught_exception;
    size_t size =
        bbcrash_writer_pack_string(file, 1, exception.name) + bbcrash_writer_pack_string(file, 2, exception.reason);
    for (size_t i = 0; i < frameCount; ++i) {
        size += writeFrame(file, 3, stack.frames[i]);
    }
    return size;
}

size_t writeSignalBody(bbcrash_async_file *file, const bbcrash_log_signal_info *info) {
    char nameBuffer[16];
    char codeBuffer[16];
    const char *name = bbcrash_async_signal_signame(info->bsd_info.signo);
    const char *code = bbcrash_async_signal_sigcode(info->bsd_info.signo, info->bsd_info.code);
    size_t size =
        bbcrash_writer_pack_string(file, 1, name != nullptr ? name : numberedName(info->bsd_info.signo, nameBuffer));
    size += bbcrash_writer_pack_string(file, 2, code != nullptr ? code : numberedName(info->bsd_info.code, codeBuffer));
    size += bbcrash_writer_pack_uint64(file, 3, info->bsd_info.address);
    if (info->mach_info != nullptr) {
        const bbcrash_log_mach_signal_info *mach = info->mach_info;
        size += bbcrash_writer_pack_message(file, 4, [&](bbcrash_async_file *f) {
            size_t s = bbcrash_writer_pack_uint64(f, 1, mach->type);
            for (size_t i = 0; i < mach->code_count; ++i) {
                s += bbcrash_writer_pack_uint64(f, 2, static_cast<uint64_t>(mach->code[i]));
            }
            return s;
        });
    }
    return size;
}

// ---------------------------------------------------------------------------
// The report, section by section.

// Lists the task's threads and stops every one but the caller. With nothing
// else running, nothing can unmap what the walks prove readable, so the
// reads may skip their per-page checks: the task memory is held. A thread
// that could not be stopped (or was not listed) keeps every read checked.
void stopOtherThreads(WriteContext &ctx) {
    bbcrash_log_writer *writer = ctx.writer;
    ctx.thread_count = 0;
    kern_return_t kr = task_threads(mach_task_self(), writer->threads, BBCRASH_WRITER_MAX_THREADS, &ctx.thread_count);
    if (kr != KERN_SUCCESS && kr != KERN_RESOURCE_SHORTAGE) {
        ctx.thread_count = 0;
    }
    ctx.self = mach_thread_self();
    bool everyOtherThreadStopped = kr == KERN_SUCCESS;
    for (mach_msg_type_number_t i = 0; i < ctx.thread_count; ++i) {
        writer->suspended[i] = writer->threads[i] != ctx.self && thread_suspend(writer->threads[i]) == KERN_SUCCESS;
        if (writer->threads[i] != ctx.self && !writer->suspended[i]) {
            everyOtherThreadStopped = false;
        }
    }
    ctx.held = everyOtherThreadStopped && task_memory_hold_begin();
}

void resumeOtherThreads(WriteContext &ctx) {
    bbcrash_log_writer *writer = ctx.writer;
    if (ctx.held) {
        task_memory_hold_end();
    }
    for (mach_msg_type_number_t i = 0; i < ctx.thread_count; ++i) {
        if (writer->suspended[i]) {
            thread_resume(writer->threads[i]);
            writer->suspended[i] = false;
        }
    }
}

void writeHeader(WriteContext &ctx) {
    bbcrash_async_file_write(ctx.file, "bbcrash", 7);
    const uint8_t version = 1;
    bbcrash_async_file_write(ctx.file, &version, 1);
}

// A section that is always written, whatever the limit.
void writeFixedSection(WriteContext &ctx, uint32_t fieldId,
                       size_t (*body)(bbcrash_async_file *, const WriteContext &)) {
    const size_t size = body(nullptr, ctx);
    writeSection(ctx.file, fieldId, size, [&](bbcrash_async_file *f) { return body(f, ctx); });
}

// Whether listed thread `i` is written: the calling thread only with its
// state.
bool isWritten(const WriteContext &ctx, mach_msg_type_number_t i) {
    return ctx.writer->threads[i] != ctx.self || ctx.current_state != nullptr;
}

// The state of listed thread `i`, read into `state` (the calling thread's is
// given), or null when it cannot be read.
const bbcrash_async_thread_state *stateOf(const WriteContext &ctx, mach_msg_type_number_t i,
                                          bbcrash_async_thread_state *state) {
    if (ctx.writer->threads[i] == ctx.self) {
        return ctx.current_state;
    }
    return bbcrash_async_thread_state_mach_thread_init(state, ctx.writer->threads[i]) == BBCRASH_ESUCCESS ? state
                                                                                                          : nullptr;
}

// Walks the crashed thread, when it is written, into its own scratch before
// any thread is written; with a limited file its section's size (with the
// widest thread number, whatever number it gets) is then kept back for it.
void collectCrashedThread(WriteContext &ctx) {
    bbcrash_log_writer *writer = ctx.writer;
    for (mach_msg_type_number_t i = 0; i < ctx.thread_count; ++i) {
        if (writer->threads[i] != ctx.crashed_thread || !isWritten(ctx, i)) {
            continue;
        }
        bbcrash_async_thread_state state;
        bbcrash_log_writer_collect_thread(&ctx.symbolicator, stateOf(ctx, i, &state), true, &writer->crashed_stack);
        if (ctx.limited) {
            size_t body = 0;
            ctx.crashed_reserve = sectionSize(
                field::kThreads,
                [&](bbcrash_async_file *f) { return writeThread(f, writer->crashed_stack, UINT32_MAX, true); }, &body);
        }
        return;
    }
}

// Every written thread, numbered in the order written; a thread that would
// not fit with the room kept after it is left out whole.
void writeThreads(WriteContext &ctx) {
    bbcrash_log_writer *writer = ctx.writer;
    uint32_t threadNumber = 0;
    for (mach_msg_type_number_t i = 0; i < ctx.thread_count; ++i) {
        if (!isWritten(ctx, i)) {
            continue;
        }
        const bool crashed = writer->threads[i] == ctx.crashed_thread;
        const bbcrash_log_writer_stack *stack = &writer->crashed_stack;
        if (!crashed) {
            bbcrash_async_thread_state state;
            bbcrash_log_writer_collect_thread(&ctx.symbolicator, stateOf(ctx, i, &state), false, &writer->stack);
            stack = &writer->stack;
        }
        auto body = [&](bbcrash_async_file *f) { return writeThread(f, *stack, threadNumber, crashed); };
        size_t bodySize = 0;
        const size_t total = sectionSize(field::kThreads, body, &bodySize);
        const size_t keep = ctx.signal_reserve + (crashed ? 0 : ctx.crashed_reserve);
        if (ctx.limited && !bbcrash_async_file_fits(ctx.file, total + keep)) {
            continue;
        }
        writeSection(ctx.file, field::kThreads, bodySize, body);
        if (crashed) {
            ctx.crashed_reserve = 0;
        }
        ++threadNumber;
    }
}

// Every loaded image that fits.
void writeImages(WriteContext &ctx) {
    if (ctx.image_list == nullptr) {
        return;
    }
    bbcrash_async_image_list_set_reading(ctx.image_list, true);
    for (bbcrash_async_macho *image = bbcrash_async_image_list_next(ctx.image_list, nullptr); image != nullptr;
         image = bbcrash_async_image_list_next(ctx.image_list, image)) {
        auto body = [&](bbcrash_async_file *f) { return writeImage(f, image); };
        size_t bodySize = 0;
        const size_t total = sectionSize(field::kBinaryImages, body, &bodySize);
        if (ctx.limited && !bbcrash_async_file_fits(ctx.file, total + ctx.signal_reserve)) {
            continue;
        }
        writeSection(ctx.file, field::kBinaryImages, bodySize, body);
    }
    bbcrash_async_image_list_set_reading(ctx.image_list, false);
}

// The uncaught exception, when there is one, with as many of its frames as
// fit: halved until the section fits, down to none.
void writeException(WriteContext &ctx) {
    const auto &exception = ctx.writer->uncaught_exception;
    if (!exception.has_exception.load()) {
        return;
    }
    bbcrash_log_writer_stack &stack = ctx.writer->stack;
    bbcrash_log_writer_collect_addresses(&ctx.symbolicator, exception.callstack, exception.callstack_count, &stack);
    size_t frameCount = stack.frame_count;
    auto body = [&](bbcrash_async_file *f) { return writeExceptionBody(f, ctx, stack, frameCount); };
    size_t bodySize = 0;
    size_t total = sectionSize(field::kException, body, &bodySize);
    if (ctx.limited) {
        while (!bbcrash_async_file_fits(ctx.file, total + ctx.signal_reserve) && frameCount > 0) {
            frameCount = frameCount > 1 ? frameCount / 2 : 0;
            total = sectionSize(field::kException, body, &bodySize);
        }
    }
    if (!ctx.limited || bbcrash_async_file_fits(ctx.file, total + ctx.signal_reserve)) {
        writeSection(ctx.file, field::kException, bodySize, body);
    }
}

// The signal, always written (its room was kept).
void writeSignal(WriteContext &ctx) {
    writeSection(ctx.file, field::kSignal, ctx.signal_body,
                 [&](bbcrash_async_file *f) { return writeSignalBody(f, ctx.signal_info); });
}

// The custom data, when there is some and it fits.
void writeCustomData(WriteContext &ctx) {
    const bbcrash_log_writer_data *data = ctx.custom_data;
    if (data == nullptr) {
        return;
    }
    if (!ctx.limited || bbcrash_async_file_fits(ctx.file, bbcrash_writer_pack_bytes(nullptr, field::kCustomData,
                                                                                    data->length, data->bytes))) {
        bbcrash_writer_pack_bytes(ctx.file, field::kCustomData, data->length, data->bytes);
    }
}

}  // namespace

// ---------------------------------------------------------------------------

bbcrash_error_t bbcrash_log_writer_write(bbcrash_log_writer *writer, thread_t crashed_thread,
                                         bbcrash_async_image_list *image_list, bbcrash_async_file *file,
                                         const bbcrash_log_signal_info *signal_info,
                                         const bbcrash_async_thread_state *current_state) {
    WriteContext ctx{};
    ctx.writer = writer;
    ctx.image_list = image_list;
    ctx.file = file;
    ctx.signal_info = signal_info;
    ctx.current_state = current_state;
    ctx.crashed_thread = crashed_thread;
    stopOtherThreads(ctx);

    // What every section reads, once.
    bbcrash_async_objc_cache_init(&ctx.objc_cache);
    ctx.symbolicator = {writer->symbolication_strategy, image_list, &ctx.objc_cache};
    struct timespec now {};
    ctx.timestamp = clock_gettime(CLOCK_REALTIME, &now) == 0 ? static_cast<int64_t>(now.tv_sec) : 0;
    ctx.custom_data = writer->custom_data.load();
    ctx.limited = file->limit_bytes != 0;

    writeHeader(ctx);
    // The required sections, in the order readers expect them.
    writeFixedSection(ctx, field::kReportInfo, writeReportInfo);
    writeFixedSection(ctx, field::kSystemInfo, writeSystemInfo);
    writeFixedSection(ctx, field::kMachineInfo, writeMachineInfo);
    writeFixedSection(ctx, field::kApplicationInfo, writeApplicationInfo);
    writeFixedSection(ctx, field::kProcessInfo, writeProcessInfo);

    ctx.signal_reserve = sectionSize(
        field::kSignal, [&](bbcrash_async_file *f) { return writeSignalBody(f, signal_info); }, &ctx.signal_body);
    collectCrashedThread(ctx);
    writeThreads(ctx);
    writeImages(ctx);
    writeException(ctx);
    writeSignal(ctx);
    writeCustomData(ctx);

    bbcrash_async_objc_cache_free(&ctx.objc_cache);
    resumeOtherThreads(ctx);
    return file->failed ? BBCRASH_OUTPUT_ERR : BBCRASH_ESUCCESS;
}

bbcrash_error_t bbcrash_log_writer_close(bbcrash_log_writer *) { return BBCRASH_ESUCCESS; }
