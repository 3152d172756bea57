// The report writer: its buffered file at the limit and on a full disk, and
// whole reports of this process read back by the reader and by protoc.
#include "BBCrashReport.h"
#include "bbcrash_async_capture.h"
#include "bbcrash_async_signal_info.h"
#include "bbcrash_async_symbol.h"
#include "bbcrash_crash_handler.h"
#include "platform/dyld/dyld.h"
#include "platform/mach/thread_list.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint8_t> readFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(bbcrash_log_writerTests, FileRefusesPastItsLimitAndStaysRefused) {
    testsupport::TemporaryDirectory dir("bbcrash-file");
    auto path = dir.path() / "out";
    bbcrash_async_file file;
    bbcrash_async_file_init(&file, open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644), 10);
    EXPECT_TRUE(bbcrash_async_file_fits(&file, 10));
    EXPECT_TRUE(bbcrash_async_file_write(&file, "12345678", 8));
    EXPECT_FALSE(bbcrash_async_file_write(&file, "abc", 3));
    // A smaller write after a refusal is refused too: the body is already
    // incomplete.
    EXPECT_FALSE(bbcrash_async_file_write(&file, "a", 1));
    EXPECT_FALSE(bbcrash_async_file_close(&file));
    EXPECT_EQ(readFile(path), (std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8'}));
}

TEST(bbcrash_log_writerTests, LargeWritesGoStraightToTheDescriptor) {
    testsupport::TemporaryDirectory dir("bbcrash-file");
    auto path = dir.path() / "out";
    bbcrash_async_file file;
    bbcrash_async_file_init(&file, open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644), 0);
    std::vector<uint8_t> big(1000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    EXPECT_TRUE(bbcrash_async_file_write(&file, "head", 4));
    EXPECT_TRUE(bbcrash_async_file_write(&file, big.data(), big.size()));
    EXPECT_EQ(file.buflen, 0u);
    EXPECT_TRUE(bbcrash_async_file_write(&file, "tail", 4));
    EXPECT_TRUE(bbcrash_async_file_close(&file));
    auto content = readFile(path);
    ASSERT_EQ(content.size(), 1008u);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), content.begin() + 4));
    EXPECT_EQ(std::string(content.end() - 4, content.end()), "tail");
}

TEST(bbcrash_log_writerTests, AWriteErrorIsStickyAndReportedByFlushAndClose) {
    bbcrash_async_file file;
    int fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    bbcrash_async_file_init(&file, fd, 0);
    EXPECT_TRUE(bbcrash_async_file_write(&file, "buffered", 8));
    EXPECT_FALSE(bbcrash_async_file_flush(&file));
    EXPECT_EQ(file.error, ENOSPC);
    EXPECT_FALSE(bbcrash_async_file_write(&file, "x", 1));
    EXPECT_FALSE(bbcrash_async_file_close(&file));
}

TEST(bbcrash_log_writerTests, SignalAndCodeNames) {
    EXPECT_STREQ(bbcrash_async_signal_signame(6), "SIGABRT");
    EXPECT_STREQ(bbcrash_async_signal_signame(7), "SIGEMT");
    EXPECT_STREQ(bbcrash_async_signal_signame(31), "SIGUSR2");
    EXPECT_EQ(bbcrash_async_signal_signame(99), nullptr);
    EXPECT_EQ(bbcrash_async_signal_signame(0), nullptr);
    EXPECT_STREQ(bbcrash_async_signal_sigcode(11, 1), "SEGV_MAPERR");
    EXPECT_EQ(bbcrash_async_signal_sigcode(11, 7), nullptr);
    EXPECT_STREQ(bbcrash_async_signal_sigcode(8, 7), "FPE_INTDIV");
    EXPECT_STREQ(bbcrash_async_signal_sigcode(4, 8), "ILL_BADSTK");
    EXPECT_STREQ(bbcrash_async_signal_sigcode(5, 0), "#0");
    EXPECT_STREQ(bbcrash_async_signal_sigcode(6, 0), "#0");
    EXPECT_EQ(bbcrash_async_signal_sigcode(6, 1), nullptr);
    EXPECT_EQ(bbcrash_async_signal_sigcode(10, -1), nullptr);
}

// The scheduler state letter of a thread of this process ('R', 'S', ...).
char schedulerState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

// Threads that wait until released, so the report has more than one. The
// constructor returns once every one is asleep in its wait: nothing wakes
// them before the destructor (each reports its start on a condition only
// the constructor waits on), so all are parked at the same instruction.
class Sleepers {
public:
    explicit Sleepers(int count, bool blockRendezvous = false) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this, blockRendezvous] {
                if (blockRendezvous) {
                    sigset_t set;
                    sigemptyset(&set);
                    sigaddset(&set, platform::mach::thread_rendezvous_signal());
                    pthread_sigmask(SIG_BLOCK, &set, nullptr);
                }
                std::unique_lock<std::mutex> lock(mutex_);
                tids_.push_back(gettid());
                started_.notify_one();
                release_.wait(lock, [this] { return done_; });
            });
        }
        std::unique_lock<std::mutex> lock(mutex_);
        started_.wait(lock, [this, count] { return tids_.size() == static_cast<size_t>(count); });
        lock.unlock();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (pid_t tid : tids_) {
            while (schedulerState(tid) != 'S' && std::chrono::steady_clock::now() < deadline) {
                sched_yield();
            }
        }
    }
    ~Sleepers() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        release_.notify_all();
        for (auto &t : threads_) t.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable started_;
    std::condition_variable release_;
    std::vector<pid_t> tids_;
    bool done_ = false;
    std::vector<std::thread> threads_;
};

struct WriteJob {
    bbcrash_log_writer *writer;
    bbcrash_async_file *file;
    const bbcrash_log_signal_info *info;
    bbcrash_error_t result;
};

bbcrash_error_t writeWithState(bbcrash_async_thread_state *state, void *context) {
    auto *job = static_cast<WriteJob *>(context);
    job->result = bbcrash_log_writer_write(job->writer, platform::mach::mach_thread_self(), bbcrash_shared_image_list(),
                                           job->file, job->info, state);
    return job->result;
}

__attribute__((noinline)) void markerFunction() { __asm__ volatile(""); }

class WrittenReport : public ::testing::Test {
protected:
    void SetUp() override {
        writer_ = new bbcrash_log_writer{};
        ASSERT_EQ(bbcrash_log_writer_init(writer_, "io.plotwick/test", "42", nullptr, 1, false), BBCRASH_ESUCCESS);
    }
    void TearDown() override {
        bbcrash_log_writer_free(writer_);
        delete writer_;
    }

    // Writes a report of the calling thread with `limit` and reads it back.
    std::shared_ptr<BBCrashReport> write(size_t limit, const bbcrash_log_signal_info &info,
                                         bbcrash_error_t *result = nullptr) {
        // The shared list with complete headers (symbols), as a live report has.
        platform::dyld::dyld_complete_headers();
        bbcrash_async_file file;
        bbcrash_async_file_init(&file, open(path().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644), limit);
        WriteJob job{writer_, &file, &info, BBCRASH_EUNKNOWN};
        bbcrash_capture_current_thread(writeWithState, &job);
        bool closed = bbcrash_async_file_close(&file);
        if (result != nullptr) {
            *result = closed ? job.result : BBCRASH_EINTERNAL;
        } else {
            EXPECT_TRUE(closed);
            EXPECT_EQ(job.result, BBCRASH_ESUCCESS);
        }
        platform::ErrorPtr error;
        auto report = BBCrashReport::make(readFile(path()), &error);
        if (result == nullptr) {
            EXPECT_NE(report, nullptr) << (error ? error->localizedDescription() : "");
        }
        return report;
    }

    std::filesystem::path path() const { return dir_.path() / "live_report.bbcrash"; }

    testsupport::TemporaryDirectory dir_{"bbcrash-writer"};
    bbcrash_log_writer *writer_ = nullptr;
};

TEST_F(WrittenReport, ReadsBackEverySection) {
    Sleepers sleepers(3);
    const char custom[] = "custom\0data";
    bbcrash_log_writer_set_custom_data(writer_, custom, sizeof(custom));
    std::vector<uint64_t> addresses(600, reinterpret_cast<uintptr_t>(&markerFunction) + 1);
    ASSERT_TRUE(
        bbcrash_log_writer_set_exception(writer_, "NSRangeException", nullptr, addresses.data(), addresses.size()));
    EXPECT_FALSE(bbcrash_log_writer_set_exception(writer_, "Second", "ignored", nullptr, 0));

    const int64_t codes[] = {1, 0x10};
    bbcrash_log_mach_signal_info mach{1, codes, 2};
    bbcrash_log_signal_info info{{11, 1, 0x10}, &mach};
    auto report = write(0, info);
    ASSERT_NE(report, nullptr);

    EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), "io.plotwick/test");
    EXPECT_EQ(report->applicationInfo()->applicationVersion(), "42");
    EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), "");  // written empty
    EXPECT_EQ(report->systemInfo()->operatingSystem(), BBCrashReportOperatingSystemMacOSX);
    EXPECT_EQ(report->systemInfo()->architecture(), BBCrashReportArchitectureX86_64);
    ASSERT_TRUE(report->systemInfo()->timestamp().has_value());
    EXPECT_NEAR(report->systemInfo()->timestamp()->timeIntervalSinceDate(platform::Date::now()), 0, 600);
    ASSERT_TRUE(report->hasMachineInfo());
    EXPECT_EQ(report->machineInfo()->processorInfo()->type(), 0x01000007u);
    EXPECT_GT(report->machineInfo()->logicalProcessorCount(), 0u);

    ASSERT_TRUE(report->hasProcessInfo());
    EXPECT_EQ(report->processInfo()->processID(), static_cast<uint32_t>(getpid()));
    EXPECT_EQ(report->processInfo()->parentProcessID(), static_cast<uint32_t>(getppid()));
    // The written path counts its NUL, so it reads back with one.
    auto exe = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(report->processInfo()->processPath(), exe);
    EXPECT_TRUE(report->processInfo()->processName().has_value());

    EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
    EXPECT_EQ(report->signalInfo()->code(), "SEGV_MAPERR");
    EXPECT_EQ(report->signalInfo()->address(), 0x10u);
    ASSERT_NE(report->machExceptionInfo(), nullptr);
    EXPECT_EQ(report->machExceptionInfo()->codes(), (std::vector<uint64_t>{1, 0x10}));

    ASSERT_TRUE(report->uuidRef().has_value());
    EXPECT_EQ(std::memcmp(report->uuidRef()->bytes().data(), writer_->uuid, 16), 0);
    ASSERT_TRUE(report->customData().has_value());
    EXPECT_EQ(*report->customData(), platform::Data(custom, custom + sizeof(custom)));

    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "NSRangeException");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "");
    ASSERT_TRUE(report->exceptionInfo()->stackFrames().has_value());
    EXPECT_EQ(report->exceptionInfo()->stackFrames()->size(), 512u);
    auto symbol = report->exceptionInfo()->stackFrames()->front()->symbolInfo();
    ASSERT_NE(symbol, nullptr);
    EXPECT_NE(symbol->symbolName()->find("markerFunction"), std::string::npos);
    EXPECT_EQ(symbol->startAddress(), reinterpret_cast<uintptr_t>(&markerFunction));

    // This thread and the three sleepers, numbered in order; only this one
    // crashed and has registers, and "rip" is its frame 0.
    ASSERT_GE(report->threads().size(), 4u);
    int crashed = 0;
    for (size_t i = 0; i < report->threads().size(); ++i) {
        const auto &thread = report->threads()[i];
        EXPECT_EQ(thread->threadNumber(), static_cast<int64_t>(i));
        EXPECT_FALSE(thread->stackFrames().empty());
        if (thread->crashed()) {
            ++crashed;
            ASSERT_EQ(thread->registers().size(), 21u);
            EXPECT_EQ(thread->registers()[0]->registerName(), "rip");
            EXPECT_EQ(thread->registers()[0]->registerValue(), thread->stackFrames()[0]->instructionPointer());
        } else {
            EXPECT_TRUE(thread->registers().empty());
        }
    }
    EXPECT_EQ(crashed, 1);

    // Images: this executable with its build id as UUID.
    bool sawExe = false;
    for (const auto &image : report->images()) {
        if (image->imageName() == exe) {
            sawExe = true;
            EXPECT_TRUE(image->hasImageUUID());
            EXPECT_EQ(image->codeType()->type(), 0x01000007u);
        }
    }
    EXPECT_TRUE(sawExe);

    // An independent decoder accepts the body.
    int status = -1;
    testsupport::runCommand("tail -c +9 " + path().string() + " | protoc --decode_raw > /dev/null", &status);
    EXPECT_EQ(status, 0);
}

// The writer remembers, for the length of one report, the unwind entries and
// symbols it found for each pc. Threads parked at the same place repeat the
// same pcs, so most of their frames come from what it remembered: each must
// read back as a lookup of its own, made outside any report, names it, and
// every parked thread must unwind exactly as the others do.
TEST_F(WrittenReport, RepeatedPcsGetTheSymbolsAndFramesOfAFreshLookup) {
    Sleepers sleepers(6);
    // More distinct pcs than the writer remembers at once, in functions of
    // this program and of the C library, each twice.
    const uintptr_t functions[] = {
        reinterpret_cast<uintptr_t>(&markerFunction), reinterpret_cast<uintptr_t>(&writeWithState),
        reinterpret_cast<uintptr_t>(&strlen),         reinterpret_cast<uintptr_t>(&memcpy),
        reinterpret_cast<uintptr_t>(&qsort),          reinterpret_cast<uintptr_t>(&getpid),
        reinterpret_cast<uintptr_t>(&open),           reinterpret_cast<uintptr_t>(&close),
        reinterpret_cast<uintptr_t>(&pthread_self),   reinterpret_cast<uintptr_t>(&sigaction)};
    std::vector<uint64_t> addresses;
    for (int round = 0; round < 2; ++round) {
        for (uintptr_t function : functions) {
            for (uintptr_t offset = 1; offset <= 16; ++offset) {
                addresses.push_back(function + offset);
            }
        }
    }
    ASSERT_TRUE(bbcrash_log_writer_set_exception(writer_, "Repeat", "r", addresses.data(), addresses.size()));
    bbcrash_log_signal_info info{{11, 1, 0}, nullptr};
    auto report = write(0, info);
    ASSERT_NE(report, nullptr);

    bbcrash_async_image_list *images = bbcrash_shared_image_list();
    bbcrash_async_objc_cache objc;
    ASSERT_EQ(bbcrash_async_objc_cache_init(&objc), BBCRASH_ESUCCESS);
    struct Found {
        bool found = false;
        uint64_t start = 0;
        std::string name;
    };
    auto lookUp = [&](uint64_t pc) {
        Found found;
        bbcrash_async_image_list_set_reading(images, true);
        if (bbcrash_async_macho *image = bbcrash_async_image_containing_address(images, pc); image != nullptr) {
            bbcrash_async_find_symbol(
                image, writer_->symbolication_strategy, &objc, pc,
                [](platform::mach::mach_vm_address_t address, const char *name, void *ctx) {
                    auto *f = static_cast<Found *>(ctx);
                    f->found = true;
                    f->start = address;
                    f->name = std::string(name).substr(0, 255);
                },
                &found);
        }
        bbcrash_async_image_list_set_reading(images, false);
        return found;
    };
    size_t checked = 0;
    auto check = [&](const BBCrashReportStackFrameInfo &frame) {
        const Found fresh = lookUp(frame.instructionPointer());
        auto symbol = frame.symbolInfo();
        ASSERT_EQ(symbol != nullptr, fresh.found) << std::hex << frame.instructionPointer();
        if (symbol != nullptr) {
            EXPECT_EQ(symbol->startAddress(), fresh.start);
            if (symbol->symbolName().has_value()) {
                EXPECT_EQ(*symbol->symbolName(), fresh.name);
            }
        }
        ++checked;
    };

    std::vector<std::vector<uint64_t>> parked;
    for (const auto &thread : report->threads()) {
        std::vector<uint64_t> pcs;
        for (const auto &frame : thread->stackFrames()) {
            check(*frame);
            pcs.push_back(frame->instructionPointer());
        }
        if (!thread->crashed()) {
            parked.push_back(pcs);
        }
    }
    ASSERT_TRUE(report->exceptionInfo()->stackFrames().has_value());
    ASSERT_EQ(report->exceptionInfo()->stackFrames()->size(), addresses.size());
    for (size_t i = 0; i < addresses.size(); ++i) {
        const auto &frame = (*report->exceptionInfo()->stackFrames())[i];
        EXPECT_EQ(frame->instructionPointer(), addresses[i]);
        check(*frame);
    }
    bbcrash_async_objc_cache_free(&objc);
    EXPECT_GT(checked, addresses.size() + 6 * 4);

    // The six sleepers are the only other threads; their stacks are deep
    // enough to have been unwound through the C library and end in the same
    // frames, those of the thread's start. (Their innermost frames may
    // differ: a sleeper can be caught on its way into or out of the wait.)
    ASSERT_EQ(parked.size(), 6u);
    constexpr size_t kOutermost = 4;
    for (const auto &pcs : parked) {
        ASSERT_GE(pcs.size(), kOutermost);
        EXPECT_TRUE(std::equal(pcs.end() - kOutermost, pcs.end(), parked.front().end() - kOutermost));
    }
}

TEST_F(WrittenReport, NoSymbolsWithoutAStrategy) {
    writer_->symbolication_strategy = 0;
    bbcrash_log_signal_info info{{6, 0, 0}, nullptr};
    auto report = write(0, info);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->signalInfo()->name(), "SIGABRT");
    EXPECT_EQ(report->signalInfo()->code(), "#0");
    for (const auto &thread : report->threads()) {
        for (const auto &frame : thread->stackFrames()) {
            EXPECT_EQ(frame->symbolInfo(), nullptr);
        }
    }
}

TEST_F(WrittenReport, UnnamedSignalsAndCodesAreNumbered) {
    bbcrash_log_signal_info info{{99, -3, 0}, nullptr};
    auto report = write(0, info);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->signalInfo()->name(), "#99");
    EXPECT_EQ(report->signalInfo()->code(), "#-3");
    bbcrash_log_signal_info segv{{11, 7, 0}, nullptr};
    report = write(0, segv);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->signalInfo()->code(), "#7");
}

TEST_F(WrittenReport, AtTheLimitWholeSectionsAreLeftOutAndTheReportStaysValid) {
    Sleepers sleepers(12);
    std::vector<uint8_t> custom(3000, 0xAB);
    bbcrash_log_writer_set_custom_data(writer_, custom.data(), custom.size());
    bbcrash_log_signal_info info{{11, 2, 0x20}, nullptr};
    auto full = write(0, info);
    ASSERT_NE(full, nullptr);
    const size_t fullSize = std::filesystem::file_size(path());

    const size_t limit = fullSize / 2;
    bbcrash_error_t result = BBCRASH_EUNKNOWN;
    auto cut = write(limit, info, &result);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(result, BBCRASH_ESUCCESS);
    EXPECT_LE(std::filesystem::file_size(path()), limit);
    EXPECT_EQ(cut->signalInfo()->code(), "SEGV_ACCERR");
    EXPECT_LT(cut->threads().size() + cut->images().size(), full->threads().size() + full->images().size());
    // The crashed thread is kept while others go.
    int crashed = 0;
    for (const auto &thread : cut->threads()) crashed += thread->crashed() ? 1 : 0;
    EXPECT_EQ(crashed, 1);

    // A limit below even the fixed sections: the write is refused, never a
    // half-written body reported as success.
    auto tiny = write(64, info, &result);
    EXPECT_EQ(tiny, nullptr);
    EXPECT_NE(result, BBCRASH_ESUCCESS);
}

TEST_F(WrittenReport, AThreadWhoseStateCannotBeReadHasNoFrames) {
    Sleepers deaf(1, /*blockRendezvous=*/true);
    bbcrash_log_signal_info info{{5, 2, 0}, nullptr};
    auto report = write(0, info);
    ASSERT_NE(report, nullptr);
    size_t withoutFrames = 0;
    for (const auto &thread : report->threads()) {
        if (thread->stackFrames().empty()) {
            ++withoutFrames;
            EXPECT_FALSE(thread->crashed());
        }
    }
    EXPECT_GE(withoutFrames, 1u);
}

}  // namespace
