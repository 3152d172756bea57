#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/mach/thread_list.h"

using namespace platform::mach;

namespace {

std::set<thread_t> threadsInProc() {
    std::set<thread_t> tids;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
        tids.insert(static_cast<thread_t>(std::stoul(entry.path().filename().string())));
    }
    return tids;
}

// Threads that report their ids and wait until released.
class WaitingThreads {
public:
    explicit WaitingThreads(int count) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                std::unique_lock lock(mutex_);
                tids_.push_back(static_cast<thread_t>(syscall(SYS_gettid)));
                changed_.notify_all();
                changed_.wait(lock, [this] { return released_; });
            });
        }
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return tids_.size() == static_cast<size_t>(count); });
    }
    ~WaitingThreads() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
        for (auto &t : threads_) t.join();
    }
    std::vector<thread_t> tids() {
        std::lock_guard lock(mutex_);
        return tids_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    std::vector<thread_t> tids_;
    std::vector<std::thread> threads_;
};

}  // namespace

TEST(ThreadList, ListsEveryThreadOfTheTask) {
    // More threads than one getdents64 buffer holds entries.
    WaitingThreads waiting(60);
    ASSERT_EQ(waiting.tids().size(), 60u);

    thread_t threads[256];
    mach_msg_type_number_t count = 0;
    ASSERT_EQ(task_threads(mach_task_self(), threads, 256, &count), KERN_SUCCESS);
    const std::set<thread_t> listed(threads, threads + count);
    EXPECT_EQ(listed.size(), count);  // no thread twice
    EXPECT_EQ(listed, threadsInProc());
    EXPECT_TRUE(listed.count(mach_thread_self()));
    for (thread_t tid : waiting.tids()) EXPECT_TRUE(listed.count(tid)) << tid;
    EXPECT_GE(count, 61u);
}

TEST(ThreadList, TooSmallAListKeepsWhatFitsAndSaysSo) {
    WaitingThreads waiting(4);
    thread_t threads[3] = {0, 0, 0};
    mach_msg_type_number_t count = 99;
    EXPECT_EQ(task_threads(mach_task_self(), threads, 3, &count), KERN_RESOURCE_SHORTAGE);
    EXPECT_EQ(count, 3u);
    const std::set<thread_t> all = threadsInProc();
    for (thread_t tid : threads) EXPECT_TRUE(all.count(tid)) << tid;

    EXPECT_EQ(task_threads(mach_task_self(), nullptr, 0, &count), KERN_RESOURCE_SHORTAGE);
    EXPECT_EQ(count, 0u);
}

TEST(ThreadList, RefusesOtherTasksAndMissingArguments) {
    thread_t threads[4];
    mach_msg_type_number_t count = 0;
    EXPECT_EQ(task_threads(mach_task_self() + 1, threads, 4, &count), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(task_threads(mach_task_self(), threads, 4, nullptr), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(task_threads(mach_task_self(), nullptr, 4, &count), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(mach_thread_self(), static_cast<thread_t>(syscall(SYS_gettid)));
}
