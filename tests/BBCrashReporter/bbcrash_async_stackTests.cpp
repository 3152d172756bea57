// Stack use of the crash-time lookup, measured on a painted stack: it must
// leave most of the 64 KiB alternate signal stack free.
#include "MachOTestImage.h"
#include "bbcrash_async_symbol.h"
#include "platform/dyld/dyld.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#if PLOTWICK_MACHO_FIXTURES

using platform::mach::mach_task_self;
using platform::mach::mach_vm_address_t;

namespace {

constexpr size_t kStackSize = 64 * 1024;
constexpr uint8_t kPaint = 0xA5;

struct Job {
    bbcrash_async_macho *objcImage;
    mach_vm_address_t objcAddress;
    bbcrash_async_macho *elfImage;
    mach_vm_address_t elfAddress;
    bbcrash_error_t results[2];
    char names[2][BBCRASH_ASYNC_SYMBOL_NAME_MAX + 1];
};

void keepName(mach_vm_address_t, const char *name, void *ctx) {
    char *out = static_cast<char *>(ctx);
    size_t i = 0;
    for (; name[i] != '\0' && i < BBCRASH_ASYNC_SYMBOL_NAME_MAX; ++i) out[i] = name[i];
    out[i] = '\0';
}

void *runLookups(void *arg) {
    auto *job = static_cast<Job *>(arg);
    bbcrash_async_objc_cache cache;
    bbcrash_async_objc_cache_init(&cache);
    job->results[0] = bbcrash_async_find_symbol(job->objcImage, BBCrashReporterSymbolicationStrategyAll, &cache,
                                                job->objcAddress, keepName, job->names[0]);
    job->results[1] = bbcrash_async_find_symbol(job->elfImage, BBCrashReporterSymbolicationStrategyAll, &cache,
                                                job->elfAddress, keepName, job->names[1]);
    bbcrash_async_objc_cache_free(&cache);
    return nullptr;
}

TEST(CrashPathStackTests, SymbolLookupsUseLessThanAQuarterOfTheAlternateStack) {
    testsupport::MachOTestImage loaded(std::string(PLOTWICK_FIXTURE_DIR) + "/libfixture-x86_64.dylib");
    ASSERT_TRUE(loaded.loaded()) << loaded.error();
    loaded.realizeObjCClasses();
    bbcrash_async_macho objc;
    ASSERT_EQ(bbcrash_async_macho_init(&objc, mach_task_self(), "fixture", loaded.headerAddress()), BBCRASH_ESUCCESS);

    const auto *exeHeader = platform::dyld::_dyld_get_image_header(0);
    bbcrash_async_macho elf;
    ASSERT_EQ(bbcrash_async_macho_init_with_base(&elf, mach_task_self(), "self", reinterpret_cast<uintptr_t>(exeHeader),
                                                 platform::dyld::dyld_image_base(exeHeader)),
              BBCRASH_ESUCCESS);

    Job job{};
    job.objcImage = &objc;
    job.objcAddress = loaded.section("__TEXT", "__text").address + loaded.section("__TEXT", "__text").size - 1;
    job.elfImage = &elf;
    job.elfAddress = reinterpret_cast<uintptr_t>(&runLookups) + 4;

    void *stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(stack, MAP_FAILED);
    std::memset(stack, kPaint, kStackSize);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kStackSize);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, runLookups, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);

    size_t untouched = 0;
    const auto *bytes = static_cast<const uint8_t *>(stack);
    while (untouched < kStackSize && bytes[untouched] == kPaint) ++untouched;
    munmap(stack, kStackSize);
    const size_t used = kStackSize - untouched;

    EXPECT_EQ(job.results[0], BBCRASH_ESUCCESS);
    EXPECT_EQ(std::string(job.names[0]), "+[PWRoot extraMake]");
    EXPECT_EQ(job.results[1], BBCRASH_ESUCCESS);
    EXPECT_EQ(std::string(job.names[1]), "__ZN12_GLOBAL__N_110runLookupsEPv");
    // The thread's own start-up (TLS, libc) is included in the figure.
    EXPECT_LT(used, kStackSize / 4) << used << " bytes";
    std::printf("crash-time lookup stack use: %zu bytes\n", used);
    RecordProperty("stack_bytes", static_cast<int>(used));
    bbcrash_async_macho_free(&objc);
    bbcrash_async_macho_free(&elf);
}

}  // namespace

#endif
