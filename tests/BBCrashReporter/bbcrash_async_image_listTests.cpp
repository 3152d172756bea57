// The image list over the live images of this process (ELF images presented
// through the dynamic loader layer's headers), and its reader rules.
#include "bbcrash_async_image_list.h"
#include "bbcrash_async_symbol.h"
#include "platform/dyld/dyld.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>
#include <unistd.h>

using platform::mach::mach_task_self;
using platform::mach::mach_vm_address_t;

// A function of the test binary itself, with a name the test knows.
extern "C" __attribute__((noinline, used)) int plotwick_known_function(int x) {
    asm volatile("" ::: "memory");
    return x * 7 + 1;
}

namespace {

bbcrash_async_image_list *sharedList() {
    static bbcrash_async_image_list list = [] {
        bbcrash_async_image_list l{};
        bbcrash_nasync_image_list_init(&l, mach_task_self());
        return l;
    }();
    return &list;
}

void addImage(const platform::dyld::mach_header *mh, intptr_t) {
    bbcrash_nasync_image_list_append(sharedList(), reinterpret_cast<uintptr_t>(mh),
                                     platform::dyld::dyld_image_path(mh));
}

bbcrash_async_image_list *liveList() {
    static bool registered = [] {
        platform::dyld::_dyld_register_func_for_add_image(addImage);
        return true;
    }();
    (void)registered;
    return sharedList();
}

struct Found {
    mach_vm_address_t address = 0;
    std::string name;
};

void record(mach_vm_address_t address, const char *name, void *ctx) {
    static_cast<Found *>(ctx)->address = address;
    static_cast<Found *>(ctx)->name = name;
}

// Looks an address up the way the report writer does.
bool lookUp(uintptr_t pc, Found *found, std::string *imagePath = nullptr) {
    bbcrash_async_image_list *list = liveList();
    bbcrash_async_image_list_set_reading(list, true);
    bbcrash_async_macho *image = bbcrash_async_image_containing_address(list, pc);
    bool ok = false;
    if (image != nullptr) {
        if (imagePath != nullptr) *imagePath = image->name;
        bbcrash_async_objc_cache cache;
        bbcrash_async_objc_cache_init(&cache);
        ok = bbcrash_async_find_symbol(image, BBCrashReporterSymbolicationStrategyAll, &cache, pc, record, found) ==
             BBCRASH_ESUCCESS;
        bbcrash_async_objc_cache_free(&cache);
    }
    bbcrash_async_image_list_set_reading(list, false);
    return ok;
}

TEST(ImageListLiveTests, EveryLoadedImageIsListedWithItsRealBase) {
    bbcrash_async_image_list *list = liveList();
    bbcrash_async_image_list_set_reading(list, true);
    uint32_t count = 0;
    for (bbcrash_async_macho *image = bbcrash_async_image_list_next(list, nullptr); image != nullptr;
         image = bbcrash_async_image_list_next(list, image)) {
        ++count;
        EXPECT_EQ(image->image_base,
                  platform::dyld::dyld_image_base(reinterpret_cast<const void *>(image->header_addr)));
        EXPECT_NE(image->image_base, image->header_addr);
        EXPECT_TRUE(bbcrash_async_macho_contains_address(image, image->image_base));
        EXPECT_FALSE(bbcrash_async_macho_contains_address(image, image->header_addr));
    }
    bbcrash_async_image_list_set_reading(list, false);
    EXPECT_EQ(count, platform::dyld::_dyld_image_count());
}

TEST(ImageListLiveTests, NearestSymbolsOfKnownFunctions) {
    Found found;
    std::string path;
    const uintptr_t own = reinterpret_cast<uintptr_t>(&plotwick_known_function);
    ASSERT_TRUE(lookUp(own + 3, &found, &path));
    EXPECT_EQ(found.name, "_plotwick_known_function");
    EXPECT_EQ(found.address, own);
    EXPECT_EQ(path, platform::dyld::_dyld_get_image_name(0));

    // libc's functions come from .dynsym; an alias at the same address may
    // be the one reported, so check the name resolves to the same function.
    for (void *fn :
         {reinterpret_cast<void *>(&getpid), reinterpret_cast<void *>(&write), reinterpret_cast<void *>(&dlsym)}) {
        Found libc;
        ASSERT_TRUE(lookUp(reinterpret_cast<uintptr_t>(fn) + 1, &libc));
        ASSERT_GT(libc.name.size(), 1u);
        EXPECT_EQ(libc.name[0], '_');
        EXPECT_EQ(libc.address, reinterpret_cast<uintptr_t>(fn)) << libc.name;
        Dl_info info{};
        ASSERT_NE(dladdr(fn, &info), 0);
        EXPECT_EQ(dlsym(RTLD_DEFAULT, libc.name.c_str() + 1) != nullptr ||
                      reinterpret_cast<uintptr_t>(info.dli_saddr) == libc.address,
                  true)
            << libc.name;
    }
    // An address in no image.
    EXPECT_FALSE(lookUp(8, &found));
}

TEST(ImageListLiveTests, RemovedImageStaysReadableForAReaderAndIsReusedAfter) {
    bbcrash_async_image_list list{};
    bbcrash_nasync_image_list_init(&list, mach_task_self());
    const auto *a = platform::dyld::_dyld_get_image_header(0);
    const auto *b = platform::dyld::_dyld_get_image_header(1);
    bbcrash_nasync_image_list_append(&list, reinterpret_cast<uintptr_t>(a), "a");
    bbcrash_nasync_image_list_append(&list, reinterpret_cast<uintptr_t>(b), "b");
    // A header that cannot be read is not added.
    bbcrash_nasync_image_list_append(&list, 16, "nothing");

    bbcrash_async_image_list_set_reading(&list, true);
    bbcrash_async_macho *first = bbcrash_async_image_list_next(&list, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->name, "a");
    void *node = first->list_node;
    bbcrash_nasync_image_list_remove(&list, reinterpret_cast<uintptr_t>(a));
    // The reader's record is intact and leads on to the next image.
    EXPECT_STREQ(first->name, "a");
    bbcrash_async_macho *second = bbcrash_async_image_list_next(&list, first);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second->name, "b");
    EXPECT_EQ(bbcrash_async_image_list_next(&list, second), nullptr);
    bbcrash_async_image_list_set_reading(&list, false);

    bbcrash_nasync_image_list_append(&list, reinterpret_cast<uintptr_t>(a), "a again");
    bbcrash_async_image_list_set_reading(&list, true);
    bbcrash_async_macho *head = bbcrash_async_image_list_next(&list, nullptr);
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(head->name, "b");
    bbcrash_async_macho *again = bbcrash_async_image_list_next(&list, head);
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(again->name, "a again");
    EXPECT_EQ(again->list_node, node);
    bbcrash_async_image_list_set_reading(&list, false);
    bbcrash_nasync_image_list_free(&list);
}

}  // namespace
