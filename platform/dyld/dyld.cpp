#include "platform/dyld/dyld.h"

#include "platform/dyld/ElfImageHeader.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
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
    // What the complete header is built from (dlpi_name is path).
    dl_phdr_info info;
    std::string symbolFile;
    bool executable = false;
    // The early header of an image listed at start in the background mode;
    // kept while the image is listed, as a reader may still hold it.
    std::unique_ptr<ElfImageHeader> early;
    // The complete header; null until built.
    std::unique_ptr<ElfImageHeader> header;
    // No complete header is to come (built, or could not be).
    bool settled = false;

    const ElfImageHeader &current() const { return header ? *header : *early; }
};

struct Found {
    dl_phdr_info info;
    std::string name;
};

// One lock for the list and the callbacks: recursive, so that a callback may
// ask the list about images. The list and its companions are never
// destroyed: the background builder may still be at work while the process
// exits.
std::recursive_mutex &lock() {
    static auto *m = new std::recursive_mutex;
    return *m;
}

std::vector<std::unique_ptr<Image>> &images() {
    static auto *list = new std::vector<std::unique_ptr<Image>>;
    return *list;
}

std::vector<dyld_image_callback> &addCallbacks() {
    static auto *list = new std::vector<dyld_image_callback>;
    return *list;
}

std::vector<dyld_image_callback> &removeCallbacks() {
    static auto *list = new std::vector<dyld_image_callback>;
    return *list;
}

// Registrations that take early headers, and their complete replacements.
std::vector<dyld_image_callback> &earlyAddCallbacks() {
    static auto *list = new std::vector<dyld_image_callback>;
    return *list;
}

std::vector<dyld_image_callback> &earlyRemoveCallbacks() {
    static auto *list = new std::vector<dyld_image_callback>;
    return *list;
}

// The background builder: its thread while someone may still join it, and
// the test hook that holds it.
struct Builder {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool joinable = false;
    pthread_t thread{};
};

Builder &builder() {
    static auto *value = new Builder;
    return *value;
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

std::unique_ptr<Image> makeImage(const Found &found, bool first, bool complete) {
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
    image->info = found.info;
    image->info.dlpi_name = image->path.c_str();
    image->symbolFile = symbolFile;
    image->executable = executable;
    if (complete) {
        image->header = std::make_unique<ElfImageHeader>(image->info, symbolFile, executable);
        image->settled = true;
        if (!image->header->valid()) {
            return nullptr;
        }
    } else {
        image->early = std::make_unique<ElfImageHeader>(image->info, symbolFile, executable, false);
        if (!image->early->valid()) {
            return nullptr;
        }
    }
    return image;
}

bool sameObject(const Image &image, const Found &found) {
    return image.key == found.info.dlpi_phdr && image.bias == found.info.dlpi_addr && image.loaderName == found.name;
}

void notify(const std::vector<dyld_image_callback> &callbacks, const ElfImageHeader &header) {
    // Copy: a callback may register another one.
    std::vector<dyld_image_callback> copy = callbacks;
    for (auto callback : copy) {
        if (callback != nullptr) {
            callback(header.header(), header.slide());
        }
    }
}

void notifyAdded(const Image &image) {
    notify(addCallbacks(), image.current());
    notify(earlyAddCallbacks(), image.current());
}

void notifyRemoved(const Image &image) {
    notify(removeCallbacks(), image.current());
    notify(earlyRemoveCallbacks(), image.current());
}

// Builds the complete header of an image listed with an early one, then
// tells the early registrations: the complete header is added before the
// early one is removed, so the image is never missing from their lists.
void settle(Image &image) {
    if (image.settled) {
        return;
    }
    image.settled = true;
    auto complete = std::make_unique<ElfImageHeader>(image.info, image.symbolFile, image.executable);
    if (!complete->valid()) {
        return;
    }
    image.header = std::move(complete);
    notify(earlyAddCallbacks(), *image.header);
    notify(earlyRemoveCallbacks(), *image.early);
}

// Every listed image has its complete header (built here if the background
// builder has not come to it yet).
void settleAllLocked() {
    // Index-based: a callback may change the list.
    for (size_t i = 0; i < images().size(); ++i) {
        settle(*images()[i]);
    }
}

// Adds what is loaded and not listed, removes what is listed and gone.
void rescanLocked(bool complete = true) {
    std::vector<Found> found;
    dl_iterate_phdr(collect, &found);
    auto &list = images();

    for (size_t i = 0; i < list.size();) {
        const Image &image = *list[i];
        bool present =
            std::any_of(found.begin(), found.end(), [&image](const Found &f) { return sameObject(image, f); });
        if (present) {
            ++i;
            continue;
        }
        // The callbacks still see it listed, as they would under dyld.
        notifyRemoved(*list[i]);
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (size_t i = 0; i < found.size(); ++i) {
        const Found &object = found[i];
        bool listed =
            std::any_of(list.begin(), list.end(), [&object](const auto &image) { return sameObject(*image, object); });
        if (listed) {
            continue;
        }
        std::unique_ptr<Image> image = makeImage(found[i], i == 0, complete);
        if (!image) {
            continue;
        }
        list.push_back(std::move(image));
        notifyAdded(*list.back());
    }
}

// Builds the complete headers one image at a time, taking the lock for each
// so that the list stays usable meanwhile.
void *buildInBackground(void *) {
    pthread_setname_np(pthread_self(), "dyld.headers");
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(builder().mutex);
            builder().changed.wait(guard, [] { return !builder().held; });
        }
        std::lock_guard<std::recursive_mutex> guard(lock());
        auto &list = images();
        auto next = std::find_if(list.begin(), list.end(), [](const auto &image) { return !image->settled; });
        if (next == list.end()) {
            break;
        }
        settle(**next);
    }
    // Nobody joined it: nobody will.
    std::lock_guard<std::mutex> guard(builder().mutex);
    if (builder().joinable) {
        builder().joinable = false;
        pthread_detach(pthread_self());
    }
    return nullptr;
}

// Waits for the builder thread to end, unless it has ended or this is it.
void joinBuilder() {
    pthread_t thread;
    {
        std::lock_guard<std::mutex> guard(builder().mutex);
        if (!builder().joinable || pthread_equal(builder().thread, pthread_self())) {
            return;
        }
        builder().joinable = false;
        thread = builder().thread;
    }
    pthread_join(thread, nullptr);
}

// Lists what is loaded at the first use. In the background mode the images
// get early headers at once and a thread builds the complete ones.
void ensureStarted(bool background = false) {
    if (started()) {
        return;
    }
    started() = true;
    rescanLocked(!background);
    if (background) {
        // A fork never finds the lock held by the builder.
        // The child gets the lock free (made anew: the thread that took it
        // has another id there) and no builder thread to join.
        static std::once_flag atFork;
        std::call_once(atFork, [] {
            pthread_atfork([] { lock().lock(); }, [] { lock().unlock(); },
                           [] {
                               new (&lock()) std::recursive_mutex;
                               new (&builder()) Builder;
                           });
        });
        std::lock_guard<std::mutex> guard(builder().mutex);
        builder().joinable = pthread_create(&builder().thread, nullptr, buildInBackground, nullptr) == 0;
    }
}

// Listed, with every image's complete header.
void ensureComplete() {
    ensureStarted();
    settleAllLocked();
}

// Either header of a listed image.
const Image *findByHeader(const void *header) {
    for (const auto &image : images()) {
        if ((image->header && image->header->header() == header) ||
            (image->early && image->early->header() == header)) {
            return image.get();
        }
    }
    return nullptr;
}

}  // namespace

void _dyld_register_func_for_add_image(dyld_image_callback callback) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureComplete();
    addCallbacks().push_back(callback);
    if (callback == nullptr) {
        return;
    }
    // Index-based: a callback may cause images to be listed.
    for (size_t i = 0; i < images().size(); ++i) {
        callback(images()[i]->current().header(), images()[i]->current().slide());
    }
}

void _dyld_register_func_for_remove_image(dyld_image_callback callback) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureComplete();
    removeCallbacks().push_back(callback);
}

void dyld_register_funcs_for_images_early(dyld_image_callback add, dyld_image_callback remove) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureStarted(true);
    earlyAddCallbacks().push_back(add);
    earlyRemoveCallbacks().push_back(remove);
    if (add == nullptr) {
        return;
    }
    for (size_t i = 0; i < images().size(); ++i) {
        add(images()[i]->current().header(), images()[i]->current().slide());
    }
}

void dyld_complete_headers() {
    {
        std::lock_guard<std::recursive_mutex> guard(lock());
        ensureComplete();
    }
    // Outside the lock, which the builder takes to find it has nothing left.
    joinBuilder();
}

void dyld_hold_background_headers(bool held) {
    {
        std::lock_guard<std::mutex> guard(builder().mutex);
        builder().held = held;
    }
    builder().changed.notify_all();
}

uint32_t _dyld_image_count() {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureComplete();
    return static_cast<uint32_t>(images().size());
}

const mach_header *_dyld_get_image_header(uint32_t index) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureComplete();
    return index < images().size() ? images()[index]->current().header() : nullptr;
}

intptr_t _dyld_get_image_vmaddr_slide(uint32_t index) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureComplete();
    return index < images().size() ? images()[index]->current().slide() : 0;
}

const char *_dyld_get_image_name(uint32_t index) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureComplete();
    return index < images().size() ? images()[index]->path.c_str() : nullptr;
}

uintptr_t dyld_image_base(const void *header) {
    std::lock_guard<std::recursive_mutex> guard(lock());
    ensureStarted();
    const Image *image = findByHeader(header);
    return image != nullptr ? image->current().base() : 0;
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
