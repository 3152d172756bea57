#include "platform/dyld/dyld.h"

#include "platform/dyld/ElfImageHeader.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/auxv.h>
#include <vector>

namespace platform::dyld {

namespace {

struct Image {
    // Identity of the loaded object: its program headers, load bias and the
    // loader's name for it. The headers' address alone is not enough: an
    // object unloaded behind our back (libc's own dlclose of an NSS or
    // gconv module) can be followed by another one at the same address.
    const void *key;
    uintptr_t bias;
    std::string loaderName;
    std::string path;
    std::unique_ptr<ElfImageHeader> header;
};

struct Found {
    dl_phdr_info info;
    std::string name;
};

// One lock for the list and the callbacks: recursive, so that a callback may
// ask the list about images.
std::recursive_mutex &lock() {
    static std::recursive_mutex m;
    return m;
}

std::vector<std::unique_ptr<Image>> &images() {
    static std::vector<std::unique_ptr<Image>> list;
    return list;
}

std::vector<dyld_image_callback> &addCallbacks() {
    static std::vector<dyld_image_callback> list;
    return list;
}

std::vector<dyld_image_callback> &removeCallbacks() {
    static std::vector<dyld_image_callback> list;
    return list;
}

bool &started() {
    static bool value = false;
    return value;
}

std::string executablePath() {
    char *resolved = realpath("/proc/self/exe", nullptr);
    if (resolved == nullptr) {
        return "/proc/self/exe";
    }
    std::string path(resolved);
    free(resolved);
    return path;
}

int collect(dl_phdr_info *info, size_t, void *context) {
    auto *found = static_cast<std::vector<Found> *>(context);
    found->push_back({*info, info->dlpi_name != nullptr ? info->dlpi_name : ""});
    return 0;
}

// The first byte of the object (where its ELF header is mapped).
uintptr_t objectStart(const dl_phdr_info &info) {
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        if (info.dlpi_phdr[i].p_type == PT_LOAD) {
            return info.dlpi_addr + (info.dlpi_phdr[i].p_vaddr & ~uintptr_t(4095));
        }
    }
    return 0;
}

std::unique_ptr<Image> makeImage(const Found &found, bool first) {
    const uintptr_t vdso = getauxval(AT_SYSINFO_EHDR);
    auto image = std::make_unique<Image>();
    image->key = found.info.dlpi_phdr;
    image->bias = found.info.dlpi_addr;
    image->loaderName = found.name;
    std::string symbolFile;
    bool executable = false;
    if (vdso != 0 && objectStart(found.info) == vdso) {
        image->path = found.name.empty() ? "linux-vdso.so.1" : found.name;
    } else if (first && found.name.empty()) {
        image->path = executablePath();
        symbolFile = "/proc/self/exe";
        executable = true;
    } else {
        image->path = found.name;
        symbolFile = found.name;
    }
    dl_phdr_info info = found.info;
    info.dlpi_name = image->path.c_str();
    image->header = std::make_unique<ElfImageHeader>(info, symbolFile, executable);
    if (!image->header->valid()) {
        return nullptr;
    }
    return image;
}

bool sameObject(const Image &image, const Found &found) {
    return image.key == found.info.dlpi_phdr && image.bias == found.info.dlpi_addr && image.loaderName == found.name;
}

void notify(const std::vector<dyld_image_callback> &callbacks, const Image &image) {
    // Copy: a callback may register another one.
    std::vector<dyld_image_callback> copy = callbacks;
    for (auto callback : copy) {
        if (callback != nullptr) {
            callback(image.header->header(), image.header->slide());
        }
    }
}

// Adds what is loaded and not listed, removes what is listed and gone.
void rescanLocked() {
    std::vector<Found> found;
    dl_iterate_phdr(collect, &found);
    auto &list = images();

    for (size_t i = 0; i < list.size();) {
        const Image &image = *list[i];
        bool present = std::any_of(found.begin(), found.end(), [&image](const Found &f) { return sameObject(image, f); });
        if (present) {
            ++i;
            continue;
        }
        // The callbacks still see it listed, as they would under dyld.
        notify(removeCallbacks(), *list[i]);
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (size_t i = 0; i < found.size(); ++i) {
        const Found &object = found[i];
        bool listed =
            std::any_of(list.begin(), list.end(), [&object](const auto &image) { return sameObject(*image, object); });
        if (listed) {
            continue;
        }
        std::unique_ptr<Image> image = makeImage(found[i], i == 0);
        if (!image) {
            continue;
        }
        list.push_back(std::move(image));
        notify(addCallbacks(), *list.back());
    }
}

void ensureStarted() {
    if (!started()) {
        started() = true;
        rescanLocked();
    }
}

const Image *findByHeader(const void *header) {
    for (const auto &image : images()) {
        if (image->header->header() == header) {
            return image.get();
        }
    }
    return nullptr;
}

}  // namespace

void _dyld_register_func_for_add_image(dyld_image_callback callback) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureStarted();
    addCallbacks().push_back(callback);
    if (callback == nullptr) {
        return;
    }
    // Index-based: a callback may cause images to be listed.
    for (size_t i = 0; i < images().size(); ++i) {
        callback(images()[i]->header->header(), images()[i]->header->slide());
    }
}

void _dyld_register_func_for_remove_image(dyld_image_callback callback) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureStarted();
    removeCallbacks().push_back(callback);
}

uint32_t _dyld_image_count() {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureStarted();
    return static_cast<uint32_t>(images().size());
}

const mach_header *_dyld_get_image_header(uint32_t index) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureStarted();
    return index < images().size() ? images()[index]->header->header() : nullptr;
}

intptr_t _dyld_get_image_vmaddr_slide(uint32_t index) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureStarted();
    return index < images().size() ? images()[index]->header->slide() : 0;
}

const char *_dyld_get_image_name(uint32_t index) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureStarted();
    return index < images().size() ? images()[index]->path.c_str() : nullptr;
}

uintptr_t dyld_image_base(const void *header) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureStarted();
    const Image *image = findByHeader(header);
    return image != nullptr ? image->header->base() : 0;
}

const char *dyld_image_path(const void *header) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureStarted();
    const Image *image = findByHeader(header);
    return image != nullptr ? image->path.c_str() : nullptr;
}

void *dlopen(const char *path, int mode) {
    void *handle = ::dlopen(path, mode);
    if (handle != nullptr) {
        dyld_rescan();
    }
    return handle;
}

int dlclose(void *handle) {
    int result = ::dlclose(handle);
    dyld_rescan();
    return result;
}

void dyld_rescan() {
    std::lock_guard<std::recursive_mutex> guard(lock());
    if (!started()) {
        ensureStarted();
        return;
    }
    rescanLocked();
}

}  // namespace platform::dyld
