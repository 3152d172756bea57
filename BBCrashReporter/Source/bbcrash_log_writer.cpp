// bbcrash_log_writer_write, bbcrash_writer_pack and the section writers are
// crash-path code: they allocate nothing, take no lock, log nothing, and read
// other threads and images only through the checked readers. The writer's
// init, set_* and free functions run while the process is healthy.
#include "bbcrash_log_writer.h"

#include "BBCrashProcessInfo.h"
#include "bbcrash_async.h"
#include "bbcrash_async_signal_info.h"
#include "bbcrash_async_symbol.h"
#include "bbcrash_frame_cursor.h"
#include "bbcrash_sysctl.h"
#include "platform/foundation/UUID.h"
#include "platform/mach/thread_list.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

using namespace platform::mach;

namespace {

// Field numbers of bbcrash.proto.
namespace field {
constexpr uint32_t kSystemInfo = 1, kApplicationInfo = 2, kThreads = 3, kBinaryImages = 4, kException = 5,
                   kSignal = 6, kProcessInfo = 7, kMachineInfo = 8, kReportInfo = 9, kCustomData = 10;
}

constexpr uint32_t kOperatingSystemMacOSX = 0;
#if defined(__x86_64__)
constexpr uint32_t kArchitecture = 1;  // X86_64
#else
constexpr uint32_t kArchitecture = 6;  // ARCHITECTURE_UNKNOWN: arm64 has no value of its own
#endif
constexpr uint32_t kTypeEncodingMach = 1;

// ---------------------------------------------------------------------------
// Healthy-time helpers.

bbcrash_log_writer_text copyText(const char *text) {
    if (text == nullptr) {
        return {nullptr, 0};
    }
    return {strdup(text), strlen(text)};
}

bbcrash_log_writer_text copyText(const std::string &text) { return copyText(text.c_str()); }

void freeText(bbcrash_log_writer_text *text) {
    free(text->data);
    *text = {nullptr, 0};
}

// The executable's path as _NSGetExecutablePath gives it: the stored length
// counts the terminating NUL.
bbcrash_log_writer_text executablePath() {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {nullptr, 0};
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    bbcrash_log_writer_text text = copyText(buffer);
    text.length += 1;
    return text;
}

// "major.minor", then ".patch" when the patch is above 0, of the system's
// release.
std::string operatingSystemVersion() {
    long major = 0, minor = 0, patch = 0;
    struct utsname uts {};
    if (uname(&uts) == 0) {
        std::sscanf(uts.release, "%ld.%ld.%ld", &major, &minor, &patch);
    }
    std::string text = std::to_string(major) + "." + std::to_string(minor);
    if (patch > 0) {
        text += "." + std::to_string(patch);
    }
    return text;
}

// ---------------------------------------------------------------------------
// Encoding.

size_t encodeVarint(uint64_t value, uint8_t *out) {
    size_t n = 0;
    do {
        uint8_t byte = value & 0x7f;
        value >>= 7;
        if (value != 0) {
            byte |= 0x80;
        }
        out[n++] = byte;
    } while (value != 0);
    return n;
}

size_t emit(bbcrash_async_file *file, const void *data, size_t length) {
    if (file != nullptr) {
        bbcrash_async_file_write(file, data, length);
    }
    return length;
}

size_t packText(bbcrash_async_file *file, uint32_t fieldId, const bbcrash_log_writer_text &text) {
    bbcrash_writer_bytes bytes{text.length, text.data != nullptr ? text.data : ""};
    if (text.data == nullptr) {
        bytes.len = 0;
    }
    return bbcrash_writer_pack(file, fieldId, BBCRASH_PROTOBUF_TYPE_BYTES, &bytes);
}

size_t packString(bbcrash_async_file *file, uint32_t fieldId, const char *text) {
    return bbcrash_writer_pack(file, fieldId, BBCRASH_PROTOBUF_TYPE_STRING, text);
}

size_t packUInt64(bbcrash_async_file *file, uint32_t fieldId, uint64_t value) {
    return bbcrash_writer_pack(file, fieldId, BBCRASH_PROTOBUF_TYPE_UINT64, &value);
}

size_t packUInt32(bbcrash_async_file *file, uint32_t fieldId, uint32_t value) {
    return bbcrash_writer_pack(file, fieldId, BBCRASH_PROTOBUF_TYPE_UINT32, &value);
}

size_t packEnum(bbcrash_async_file *file, uint32_t fieldId, uint32_t value) {
    return bbcrash_writer_pack(file, fieldId, BBCRASH_PROTOBUF_TYPE_ENUM, &value);
}

size_t packBool(bbcrash_async_file *file, uint32_t fieldId, bool value) {
    return bbcrash_writer_pack(file, fieldId, BBCRASH_PROTOBUF_TYPE_BOOL, &value);
}

// Key and length of an embedded message whose body is `size` bytes.
size_t packMessageHeader(bbcrash_async_file *file, uint32_t fieldId, size_t size) {
    uint32_t length = static_cast<uint32_t>(size);
    return bbcrash_writer_pack(file, fieldId, BBCRASH_PROTOBUF_TYPE_MESSAGE, &length);
}

// An embedded message: its body is sized without a file, then written.
template <typename Body>
size_t packMessage(bbcrash_async_file *file, uint32_t fieldId, Body body) {
    size_t size = body(nullptr);
    size_t header = packMessageHeader(file, fieldId, size);
    if (file != nullptr) {
        body(file);
    }
    return header + size;
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
// Sections.

struct WriteContext {
    bbcrash_log_writer *writer;
    bbcrash_async_image_list *image_list;
    bbcrash_async_objc_cache objc_cache;
    int64_t timestamp;
};

size_t writeProcessor(bbcrash_async_file *file, uint64_t type, uint64_t subtype) {
    return packEnum(file, 1, kTypeEncodingMach) + packUInt64(file, 2, type) + packUInt64(file, 3, subtype);
}

size_t writeReportInfo(bbcrash_async_file *file, const WriteContext &ctx) {
    bbcrash_writer_bytes uuid{sizeof(ctx.writer->uuid), ctx.writer->uuid};
    return packBool(file, 1, ctx.writer->user_requested) +
           bbcrash_writer_pack(file, 2, BBCRASH_PROTOBUF_TYPE_BYTES, &uuid);
}

size_t writeSystemInfo(bbcrash_async_file *file, const WriteContext &ctx) {
    const auto &info = ctx.writer->system_info;
    size_t size = packEnum(file, 1, kOperatingSystemMacOSX);
    size += packText(file, 2, info.version);
    if (info.build.data != nullptr) {
        size += packText(file, 5, info.build);
    }
    size += packEnum(file, 3, kArchitecture);
    size += bbcrash_writer_pack(file, 4, BBCRASH_PROTOBUF_TYPE_INT64, &ctx.timestamp);
    return size;
}

size_t writeMachineInfo(bbcrash_async_file *file, const WriteContext &ctx) {
    const auto &info = ctx.writer->machine_info;
    size_t size = 0;
    if (info.model.data != nullptr) {
        size += packText(file, 1, info.model);
    }
    size += packMessage(file, 2, [&](bbcrash_async_file *f) {
        return writeProcessor(f, static_cast<uint64_t>(info.cpu_type), static_cast<uint64_t>(info.cpu_subtype));
    });
    size += packUInt32(file, 3, info.processor_count);
    size += packUInt32(file, 4, info.logical_processor_count);
    return size;
}

size_t writeApplicationInfo(bbcrash_async_file *file, const WriteContext &ctx) {
    const auto &info = ctx.writer->application_info;
    return packText(file, 1, info.app_identifier) + packText(file, 2, info.app_version) +
           packText(file, 3, info.app_marketing_version);
}

size_t writeProcessInfo(bbcrash_async_file *file, const WriteContext &ctx) {
    const auto &info = ctx.writer->process_info;
    return packText(file, 1, info.process_name) + packUInt32(file, 2, info.process_id) +
           packText(file, 3, info.process_path) + packText(file, 4, info.parent_process_name) +
           packUInt32(file, 5, info.parent_process_id) + packBool(file, 6, info.native) +
           packUInt64(file, 7, info.start_time);
}

void keepSymbol(mach_vm_address_t address, const char *name, void *ctx) {
    auto *frame = static_cast<bbcrash_log_writer_frame *>(ctx);
    size_t i = 0;
    for (; name[i] != '\0' && i < sizeof(frame->symbol_name) - 1; ++i) {
        frame->symbol_name[i] = name[i];
    }
    frame->symbol_name[i] = '\0';
    frame->symbol_start = address;
    frame->has_symbol = true;
}

// Fills `frame` for `pc`, with its symbol when the strategy asks for one.
void collectFrame(WriteContext &ctx, uint64_t pc, bbcrash_log_writer_frame *frame) {
    frame->pc = pc;
    frame->has_symbol = false;
    if (ctx.writer->symbolication_strategy == 0 || ctx.image_list == nullptr) {
        return;
    }
    bbcrash_async_image_list_set_reading(ctx.image_list, true);
    bbcrash_async_macho *image = bbcrash_async_image_containing_address(ctx.image_list, pc);
    if (image != nullptr) {
        bbcrash_async_find_symbol(image, ctx.writer->symbolication_strategy, &ctx.objc_cache, pc, keepSymbol, frame);
    }
    bbcrash_async_image_list_set_reading(ctx.image_list, false);
}

// Walks one thread into the writer's stack scratch: the registers of its
// first frame (for the crashed thread), then up to 512 frames. A state that
// could not be read (null) leaves the stack empty.
void collectThread(WriteContext &ctx, const bbcrash_async_thread_state *state, bool crashed) {
    bbcrash_log_writer_stack &stack = ctx.writer->stack;
    stack.frame_count = 0;
    stack.register_count = 0;
    if (state == nullptr) {
        return;
    }
    bbcrash_async_frame_cursor cursor;
    if (bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), state, ctx.image_list) != BBCRASH_ESUCCESS) {
        return;
    }
    if (bbcrash_async_frame_cursor_next(&cursor) != BBCRASH_FRAME_ESUCCESS) {
        bbcrash_async_frame_cursor_free(&cursor);
        return;
    }
    if (crashed) {
        size_t count = bbcrash_async_frame_cursor_get_regcount(&cursor);
        const size_t capacity = sizeof(stack.register_values) / sizeof(stack.register_values[0]);
        for (bbcrash_regnum_t r = 0; r < count && r < capacity; ++r) {
            const char *name = bbcrash_async_frame_cursor_get_regname(&cursor, r);
            uint64_t value = 0;
            if (bbcrash_async_frame_cursor_get_reg(&cursor, r, &value) != BBCRASH_FRAME_ESUCCESS) {
                value = 0;
            }
            stack.register_names[r] = name != nullptr ? name : "";
            stack.register_values[r] = value;
            stack.register_count = r + 1;
        }
    }
    while (stack.frame_count < BBCRASH_WRITER_MAX_FRAMES) {
        uint64_t pc = 0;
        if (bbcrash_async_frame_cursor_get_reg(&cursor, BBCRASH_REG_IP, &pc) != BBCRASH_FRAME_ESUCCESS) {
            break;
        }
        collectFrame(ctx, pc, &stack.frames[stack.frame_count++]);
        if (stack.frame_count < BBCRASH_WRITER_MAX_FRAMES &&
            bbcrash_async_frame_cursor_next(&cursor) != BBCRASH_FRAME_ESUCCESS) {
            break;
        }
    }
    bbcrash_async_frame_cursor_free(&cursor);
}

// A StackFrame as field `fieldId` (Thread.frames is 2, Exception.frames 3).
size_t writeFrame(bbcrash_async_file *file, uint32_t fieldId, const bbcrash_log_writer_frame &frame) {
    return packMessage(file, fieldId, [&](bbcrash_async_file *f) {
        size_t size = packUInt64(f, 3, frame.pc);
        if (frame.has_symbol) {
            size += packMessage(f, 6, [&](bbcrash_async_file *g) {
                return packString(g, 1, frame.symbol_name) + packUInt64(g, 2, frame.symbol_start);
            });
        }
        return size;
    });
}

// One thread from the collected stack.
size_t writeThread(bbcrash_async_file *file, const bbcrash_log_writer_stack &stack, uint32_t number, bool crashed) {
    size_t size = packUInt32(file, 1, number) + packBool(file, 3, crashed);
    for (uint32_t r = 0; r < stack.register_count; ++r) {
        size += packMessage(file, 4, [&](bbcrash_async_file *f) {
            return packString(f, 1, stack.register_names[r]) + packUInt64(f, 2, stack.register_values[r]);
        });
    }
    for (uint32_t i = 0; i < stack.frame_count; ++i) {
        size += writeFrame(file, 2, stack.frames[i]);
    }
    return size;
}

size_t writeImage(bbcrash_async_file *file, bbcrash_async_macho *image) {
    size_t size = packUInt64(file, 2, image->text_size);
    size += packUInt64(file, 1, image->image_base);
    size += packString(file, 3, image->name != nullptr ? image->name : "");
    const auto *uuid = static_cast<const platform::dyld::uuid_command *>(
        bbcrash_async_macho_find_command(image, platform::dyld::LC_UUID));
    if (uuid != nullptr) {
        bbcrash_writer_bytes bytes{sizeof(uuid->uuid), uuid->uuid};
        size += bbcrash_writer_pack(file, 4, BBCRASH_PROTOBUF_TYPE_BYTES, &bytes);
    }
    auto type = static_cast<int32_t>(image->byteorder->swap32(static_cast<uint32_t>(image->header.cputype)));
    auto subtype = static_cast<int32_t>(image->byteorder->swap32(static_cast<uint32_t>(image->header.cpusubtype)));
    size += packMessage(file, 5, [&](bbcrash_async_file *f) {
        return writeProcessor(f, static_cast<uint64_t>(static_cast<int64_t>(type)),
                              static_cast<uint64_t>(static_cast<int64_t>(subtype)));
    });
    return size;
}

size_t writeSignal(bbcrash_async_file *file, const bbcrash_log_signal_info *info) {
    char nameBuffer[16];
    char codeBuffer[16];
    const char *name = bbcrash_async_signal_signame(info->bsd_info.signo);
    const char *code = bbcrash_async_signal_sigcode(info->bsd_info.signo, info->bsd_info.code);
    size_t size = packString(file, 1, name != nullptr ? name : numberedName(info->bsd_info.signo, nameBuffer));
    size += packString(file, 2, code != nullptr ? code : numberedName(info->bsd_info.code, codeBuffer));
    size += packUInt64(file, 3, info->bsd_info.address);
    if (info->mach_info != nullptr) {
        const bbcrash_log_mach_signal_info *mach = info->mach_info;
        size += packMessage(file, 4, [&](bbcrash_async_file *f) {
            size_t s = packUInt64(f, 1, mach->type);
            for (size_t i = 0; i < mach->code_count; ++i) {
                s += packUInt64(f, 2, static_cast<uint64_t>(mach->code[i]));
            }
            return s;
        });
    }
    return size;
}

// Writes one top-level section whose body is `size` bytes.
template <typename Body>
void writeSection(bbcrash_async_file *file, uint32_t fieldId, size_t size, Body body) {
    packMessageHeader(file, fieldId, size);
    body(file);
}

template <typename Body>
size_t sectionSize(uint32_t fieldId, Body body, size_t *bodySize) {
    *bodySize = body(nullptr);
    return packMessageHeader(nullptr, fieldId, *bodySize) + *bodySize;
}

}  // namespace

// ---------------------------------------------------------------------------

size_t bbcrash_writer_pack(bbcrash_async_file *file, uint32_t field_id, int type, const void *value) {
    uint8_t key[10];
    uint8_t payload[10];
    size_t payloadLength = 0;
    const void *data = nullptr;  // bytes that follow the payload (strings, bytes)
    size_t dataLength = 0;
    uint32_t wire = 0;

    switch (type) {
    case BBCRASH_PROTOBUF_TYPE_INT32: {
        int32_t v;
        bbcrash_async_memcpy(&v, value, sizeof(v));
        payloadLength = encodeVarint(static_cast<uint64_t>(static_cast<int64_t>(v)), payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_SINT32: {
        int32_t v;
        bbcrash_async_memcpy(&v, value, sizeof(v));
        uint32_t zigzag = (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
        payloadLength = encodeVarint(zigzag, payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_SFIXED32:
    case BBCRASH_PROTOBUF_TYPE_FIXED32:
    case BBCRASH_PROTOBUF_TYPE_FLOAT:
        wire = 5;
        bbcrash_async_memcpy(payload, value, 4);
        payloadLength = 4;
        break;
    case BBCRASH_PROTOBUF_TYPE_INT64:
    case BBCRASH_PROTOBUF_TYPE_UINT64: {
        uint64_t v;
        bbcrash_async_memcpy(&v, value, sizeof(v));
        payloadLength = encodeVarint(v, payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_SINT64: {
        int64_t v;
        bbcrash_async_memcpy(&v, value, sizeof(v));
        uint64_t zigzag = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
        payloadLength = encodeVarint(zigzag, payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_SFIXED64:
    case BBCRASH_PROTOBUF_TYPE_FIXED64:
    case BBCRASH_PROTOBUF_TYPE_DOUBLE:
        wire = 1;
        bbcrash_async_memcpy(payload, value, 8);
        payloadLength = 8;
        break;
    case BBCRASH_PROTOBUF_TYPE_UINT32:
    case BBCRASH_PROTOBUF_TYPE_ENUM: {
        uint32_t v;
        bbcrash_async_memcpy(&v, value, sizeof(v));
        payloadLength = encodeVarint(v, payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_BOOL:
        bbcrash_async_memcpy(payload, value, 1);
        payloadLength = 1;
        break;
    case BBCRASH_PROTOBUF_TYPE_STRING: {
        wire = 2;
        const char *text = static_cast<const char *>(value);
        while (text[dataLength] != '\0') {
            ++dataLength;
        }
        data = text;
        payloadLength = encodeVarint(dataLength, payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_BYTES: {
        wire = 2;
        const auto *bytes = static_cast<const bbcrash_writer_bytes *>(value);
        data = bytes->data;
        dataLength = bytes->len;
        payloadLength = encodeVarint(static_cast<uint32_t>(bytes->len), payload);
        break;
    }
    case BBCRASH_PROTOBUF_TYPE_MESSAGE: {
        wire = 2;
        uint32_t length;
        bbcrash_async_memcpy(&length, value, sizeof(length));
        payloadLength = encodeVarint(length, payload);
        break;
    }
    default:
        abort();
    }

    size_t keyLength = encodeVarint((static_cast<uint64_t>(field_id) << 3) | wire, key);
    emit(file, key, keyLength);
    emit(file, payload, payloadLength);
    if (dataLength > 0) {
        emit(file, data, dataLength);
    }
    return keyLength + payloadLength + dataLength;
}

bbcrash_error_t bbcrash_log_writer_init(bbcrash_log_writer *writer, const char *app_identifier,
                                        const char *app_version, const char *app_marketing_version,
                                        uint32_t symbolication_strategy, bool user_requested) {
    writer->symbolication_strategy = symbolication_strategy;
    writer->user_requested = user_requested;
    writer->system_info = {};
    writer->machine_info = {};
    writer->application_info = {};
    writer->process_info = {};
    writer->uncaught_exception.has_exception.store(false);
    writer->uncaught_exception.name = nullptr;
    writer->uncaught_exception.reason = nullptr;
    writer->uncaught_exception.callstack = nullptr;
    writer->uncaught_exception.callstack_count = 0;
    writer->custom_data.store(nullptr);
    writer->shared = false;

    auto uuid = platform::UUID::random().bytes();
    std::memcpy(writer->uuid, uuid.data(), sizeof(writer->uuid));

    writer->application_info.app_identifier = copyText(app_identifier);
    writer->application_info.app_version = copyText(app_version);
    writer->application_info.app_marketing_version = copyText(app_marketing_version);

    auto process = BBCrashProcessInfo::currentProcessInfo();
    if (process == nullptr) {
        return BBCRASH_EINVAL;
    }
    auto &pinfo = writer->process_info;
    pinfo.process_id = static_cast<uint32_t>(process->processID());
    if (process->processName()) {
        pinfo.process_name = copyText(*process->processName());
    }
    pinfo.start_time = process->startTime().seconds;
    pinfo.process_path = executablePath();
    pinfo.parent_process_id = static_cast<uint32_t>(process->parentProcessID());
    if (auto parent = BBCrashProcessInfo::make(process->parentProcessID());
        parent != nullptr && parent->processName()) {
        pinfo.parent_process_name = copyText(*parent->processName());
    }

    auto &machine = writer->machine_info;
    if (char *model = bbcrash_sysctl_string("hw.model"); model != nullptr) {
        machine.model = copyText(model);
        free(model);
    }
    int32_t value = 0;
    if (bbcrash_sysctl_int("hw.cputype", &value)) {
        machine.cpu_type = value;
    }
    if (bbcrash_sysctl_int("hw.cpusubtype", &value)) {
        machine.cpu_subtype = value;
    }
    if (bbcrash_sysctl_int("hw.physicalcpu_max", &value)) {
        machine.processor_count = static_cast<uint32_t>(value);
    }
    if (bbcrash_sysctl_int("hw.logicalcpu_max", &value)) {
        machine.logical_processor_count = static_cast<uint32_t>(value);
    }
    pinfo.native = !(bbcrash_sysctl_int("sysctl.proc_native", &value) && value == 0);

    if (char *build = bbcrash_sysctl_string("kern.osversion"); build != nullptr) {
        writer->system_info.build = copyText(build);
        free(build);
    }
    writer->system_info.version = copyText(operatingSystemVersion());
    return BBCRASH_ESUCCESS;
}

bool bbcrash_log_writer_set_exception(bbcrash_log_writer *writer, const char *name, const char *reason,
                                      const uint64_t *callstack, size_t callstack_count) {
    auto &exception = writer->uncaught_exception;
    if (exception.has_exception.load() || exception.name != nullptr) {
        return false;
    }
    exception.name = strdup(name != nullptr ? name : "");
    exception.reason = strdup(reason != nullptr ? reason : "");
    if (callstack_count > 0) {
        exception.callstack = static_cast<uint64_t *>(malloc(callstack_count * sizeof(uint64_t)));
        if (exception.callstack != nullptr) {
            std::memcpy(exception.callstack, callstack, callstack_count * sizeof(uint64_t));
            exception.callstack_count = callstack_count;
        }
    }
    exception.has_exception.store(true);
    return true;
}

void bbcrash_log_writer_set_custom_data(bbcrash_log_writer *writer, const void *bytes, size_t length) {
    bbcrash_log_writer_data *block = nullptr;
    if (bytes != nullptr) {
        block = static_cast<bbcrash_log_writer_data *>(malloc(sizeof(bbcrash_log_writer_data) + length));
        if (block != nullptr) {
            block->length = length;
            std::memcpy(block->bytes, bytes, length);
        }
    }
    bbcrash_log_writer_data *previous = writer->custom_data.exchange(block);
    if (!writer->shared) {
        free(previous);
    }
}

bbcrash_error_t bbcrash_log_writer_write(bbcrash_log_writer *writer, thread_t crashed_thread,
                                         bbcrash_async_image_list *image_list, bbcrash_async_file *file,
                                         const bbcrash_log_signal_info *signal_info,
                                         const bbcrash_async_thread_state *current_state) {
    // 1. Stop every other thread.
    mach_msg_type_number_t threadCount = 0;
    kern_return_t kr = task_threads(mach_task_self(), writer->threads, BBCRASH_WRITER_MAX_THREADS, &threadCount);
    if (kr != KERN_SUCCESS && kr != KERN_RESOURCE_SHORTAGE) {
        threadCount = 0;
    }
    const thread_t self = mach_thread_self();
    for (mach_msg_type_number_t i = 0; i < threadCount; ++i) {
        writer->suspended[i] = writer->threads[i] != self && thread_suspend(writer->threads[i]) == KERN_SUCCESS;
    }

    // 2. Everything both passes of a section must agree on is read once.
    WriteContext ctx{};
    ctx.writer = writer;
    ctx.image_list = image_list;
    bbcrash_async_objc_cache_init(&ctx.objc_cache);
    struct timespec now {};
    ctx.timestamp = clock_gettime(CLOCK_REALTIME, &now) == 0 ? static_cast<int64_t>(now.tv_sec) : 0;
    const bbcrash_log_writer_data *customData = writer->custom_data.load();

    // 3. Header.
    bbcrash_async_file_write(file, "bbcrash", 7);
    const uint8_t version = 1;
    bbcrash_async_file_write(file, &version, 1);

    // 4. The required sections, in the order readers expect them.
    auto fixed = [&](uint32_t fieldId, size_t (*body)(bbcrash_async_file *, const WriteContext &)) {
        size_t size = body(nullptr, ctx);
        writeSection(file, fieldId, size, [&](bbcrash_async_file *f) { return body(f, ctx); });
    };
    fixed(field::kReportInfo, writeReportInfo);
    fixed(field::kSystemInfo, writeSystemInfo);
    fixed(field::kMachineInfo, writeMachineInfo);
    fixed(field::kApplicationInfo, writeApplicationInfo);
    fixed(field::kProcessInfo, writeProcessInfo);

    // Room kept for what must follow: the signal section always, and the
    // crashed thread until it is written.
    size_t signalBody = 0;
    size_t reserve = sectionSize(field::kSignal, [&](bbcrash_async_file *f) { return writeSignal(f, signal_info); },
                                 &signalBody);
    const bool limited = file->limit_bytes != 0;

    // Thread states are read once, before sizing.
    auto stateOf = [&](mach_msg_type_number_t i, bbcrash_async_thread_state *state) -> const bbcrash_async_thread_state * {
        if (writer->threads[i] == self) {
            return current_state;
        }
        return bbcrash_async_thread_state_mach_thread_init(state, writer->threads[i]) == BBCRASH_ESUCCESS ? state
                                                                                                         : nullptr;
    };
    size_t crashedReserve = 0;
    if (limited) {
        for (mach_msg_type_number_t i = 0; i < threadCount; ++i) {
            if (writer->threads[i] == crashed_thread && (writer->threads[i] != self || current_state != nullptr)) {
                bbcrash_async_thread_state state;
                collectThread(ctx, stateOf(i, &state), true);
                size_t body = 0;
                crashedReserve = sectionSize(
                    field::kThreads, [&](bbcrash_async_file *f) { return writeThread(f, writer->stack, 0, true); },
                    &body);
            }
        }
    }

    // f. Threads.
    uint32_t threadNumber = 0;
    for (mach_msg_type_number_t i = 0; i < threadCount; ++i) {
        thread_t thread = writer->threads[i];
        if (thread == self && current_state == nullptr) {
            continue;
        }
        bbcrash_async_thread_state state;
        const bool crashed = thread == crashed_thread;
        collectThread(ctx, stateOf(i, &state), crashed);
        auto body = [&](bbcrash_async_file *f) { return writeThread(f, writer->stack, threadNumber, crashed); };
        size_t bodySize = 0;
        size_t total = sectionSize(field::kThreads, body, &bodySize);
        size_t keep = reserve + (crashed ? 0 : crashedReserve);
        if (limited && !bbcrash_async_file_fits(file, total + keep)) {
            continue;
        }
        writeSection(file, field::kThreads, bodySize, body);
        if (crashed) {
            crashedReserve = 0;
        }
        ++threadNumber;
    }

    // g. Images.
    if (image_list != nullptr) {
        bbcrash_async_image_list_set_reading(image_list, true);
        for (bbcrash_async_macho *image = bbcrash_async_image_list_next(image_list, nullptr); image != nullptr;
             image = bbcrash_async_image_list_next(image_list, image)) {
            auto body = [&](bbcrash_async_file *f) { return writeImage(f, image); };
            size_t bodySize = 0;
            size_t total = sectionSize(field::kBinaryImages, body, &bodySize);
            if (limited && !bbcrash_async_file_fits(file, total + reserve)) {
                continue;
            }
            writeSection(file, field::kBinaryImages, bodySize, body);
        }
        bbcrash_async_image_list_set_reading(image_list, false);
    }

    // h. The uncaught exception, with as many of its frames as fit.
    if (writer->uncaught_exception.has_exception.load()) {
        const auto &exception = writer->uncaught_exception;
        bbcrash_log_writer_stack &stack = writer->stack;
        stack.register_count = 0;
        stack.frame_count = exception.callstack_count < BBCRASH_WRITER_MAX_FRAMES
                                ? static_cast<uint32_t>(exception.callstack_count)
                                : BBCRASH_WRITER_MAX_FRAMES;
        for (uint32_t i = 0; i < stack.frame_count; ++i) {
            collectFrame(ctx, exception.callstack[i], &stack.frames[i]);
        }
        size_t frameCount = stack.frame_count;
        auto body = [&](bbcrash_async_file *f) {
            size_t s = packString(f, 1, exception.name) + packString(f, 2, exception.reason);
            for (size_t i = 0; i < frameCount; ++i) {
                s += writeFrame(f, 3, stack.frames[i]);
            }
            return s;
        };
        size_t bodySize = 0;
        size_t total = sectionSize(field::kException, body, &bodySize);
        if (limited) {
            while (!bbcrash_async_file_fits(file, total + reserve) && frameCount > 0) {
                frameCount = frameCount > 1 ? frameCount / 2 : 0;
                total = sectionSize(field::kException, body, &bodySize);
            }
        }
        if (!limited || bbcrash_async_file_fits(file, total + reserve)) {
            writeSection(file, field::kException, bodySize, body);
        }
    }

    // i. The signal.
    writeSection(file, field::kSignal, signalBody, [&](bbcrash_async_file *f) { return writeSignal(f, signal_info); });

    // j. Custom data, when it fits.
    if (customData != nullptr) {
        bbcrash_writer_bytes bytes{customData->length, customData->bytes};
        if (!limited || bbcrash_async_file_fits(file, bbcrash_writer_pack(nullptr, field::kCustomData,
                                                                            BBCRASH_PROTOBUF_TYPE_BYTES, &bytes))) {
            bbcrash_writer_pack(file, field::kCustomData, BBCRASH_PROTOBUF_TYPE_BYTES, &bytes);
        }
    }

    // 5. Let the other threads go.
    bbcrash_async_objc_cache_free(&ctx.objc_cache);
    for (mach_msg_type_number_t i = 0; i < threadCount; ++i) {
        if (writer->suspended[i]) {
            thread_resume(writer->threads[i]);
            writer->suspended[i] = false;
        }
    }
    return file->failed ? BBCRASH_OUTPUT_ERR : BBCRASH_ESUCCESS;
}

bbcrash_error_t bbcrash_log_writer_close(bbcrash_log_writer *) { return BBCRASH_ESUCCESS; }

void bbcrash_log_writer_free(bbcrash_log_writer *writer) {
    freeText(&writer->system_info.version);
    freeText(&writer->system_info.build);
    freeText(&writer->machine_info.model);
    freeText(&writer->application_info.app_identifier);
    freeText(&writer->application_info.app_version);
    freeText(&writer->application_info.app_marketing_version);
    freeText(&writer->process_info.process_name);
    freeText(&writer->process_info.process_path);
    freeText(&writer->process_info.parent_process_name);
    auto &exception = writer->uncaught_exception;
    exception.has_exception.store(false);
    free(exception.name);
    free(exception.reason);
    free(exception.callstack);
    exception.name = exception.reason = nullptr;
    exception.callstack = nullptr;
    exception.callstack_count = 0;
    free(writer->custom_data.exchange(nullptr));
}
