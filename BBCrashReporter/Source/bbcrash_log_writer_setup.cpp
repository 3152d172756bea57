// The report writer's set-up, run while the process is healthy: it
// allocates, reads /proc and asks the system, so that the crash-time write
// only copies what is here.
#include "bbcrash_log_writer_setup.h"

#include "BBCrashProcessInfo.h"
#include "bbcrash_sysctl.h"
#include "platform/foundation/UUID.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

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

}  // namespace

bbcrash_error_t bbcrash_log_writer_init(bbcrash_log_writer *writer, const char *app_identifier, const char *app_version,
                                        const char *app_marketing_version, uint32_t symbolication_strategy,
                                        bool user_requested) {
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
