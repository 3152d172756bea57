// The lock-free list: removal under a reader, reuse, and concurrent writers
// with readers (also built with ThreadSanitizer).
#include "bbcrash_async_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using IntList = async_list<int>;

std::vector<int> values(IntList &list) {
    std::vector<int> out;
    list.set_reading(true);
    for (IntList::node *n = list.next(nullptr); n != nullptr; n = list.next(n)) {
        out.push_back(n->value);
    }
    list.set_reading(false);
    return out;
}

TEST(AsyncListTests, AppendPrependRemoveKeepOrder) {
    IntList list;
    IntList::node *two = list.append(2);
    list.append(3);
    list.prepend(1);
    EXPECT_EQ(values(list), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(list.remove(two));
    EXPECT_FALSE(list.remove(two));
    EXPECT_EQ(values(list), (std::vector<int>{1, 3}));
    list.append(4);
    EXPECT_EQ(values(list), (std::vector<int>{1, 3, 4}));
}

TEST(AsyncListTests, NodeRemovedUnderAReaderStaysOnItsWayAndIsReusedAfterwards) {
    std::vector<int> disposed;
    static std::vector<int> *sink;
    sink = &disposed;
    async_list<int> list([](int &v) { sink->push_back(v); });
    list.append(1);
    IntList::node *middle = list.append(2);
    list.append(3);

    list.set_reading(true);
    IntList::node *standing = list.next(list.next(nullptr));
    ASSERT_EQ(standing, middle);
    EXPECT_TRUE(list.remove(middle));
    // Still readable, and its next still leads into the live list, not into
    // a free list.
    EXPECT_EQ(standing->value, 2);
    ASSERT_NE(list.next(standing), nullptr);
    EXPECT_EQ(list.next(standing)->value, 3);
    EXPECT_EQ(list.next(list.next(standing)), nullptr);
    // Appending while the reader is active must not recycle the node.
    IntList::node *fresh = list.append(4);
    EXPECT_NE(fresh, middle);
    EXPECT_EQ(standing->value, 2);
    EXPECT_TRUE(disposed.empty());
    list.set_reading(false);

    // No reader: the retired node is reused and its old value disposed.
    IntList::node *reused = list.append(5);
    EXPECT_EQ(reused, middle);
    EXPECT_EQ(disposed, std::vector<int>{2});
    EXPECT_EQ(values(list), (std::vector<int>{1, 3, 4, 5}));
}

TEST(AsyncListTests, ConcurrentWritersAndReadersSeeOnlyLiveOrRetiredValues) {
    async_list<int> list;
    for (int i = 0; i < 8; ++i) {
        list.append(1000 + i);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> walks{0};
    std::atomic<bool> badValue{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                list.set_reading(true);
                int steps = 0;
                for (IntList::node *n = list.next(nullptr); n != nullptr && steps < 100000; n = list.next(n), ++steps) {
                    int v = n->value;
                    // Values are only ever >= 1000; 0 would be a disposed or
                    // recycled node seen by a reader.
                    if (v < 1000) badValue.store(true);
                }
                list.set_reading(false);
                walks.fetch_add(1);
            }
        });
    }
    std::thread writer([&] {
        std::vector<IntList::node *> mine;
        for (int i = 0; i < 4000; ++i) {
            mine.push_back(i % 2 ? list.append(2000 + i) : list.prepend(2000 + i));
            if (mine.size() > 16) {
                list.remove(mine.front());
                mine.erase(mine.begin());
            }
        }
        for (auto *n : mine) list.remove(n);
    });
    writer.join();
    // Let the readers finish at least one more walk each.
    long seen = walks.load();
    while (walks.load() < seen + 3) {
        std::this_thread::yield();
    }
    stop.store(true);
    for (auto &t : readers) t.join();
    EXPECT_FALSE(badValue.load());
    EXPECT_EQ(values(list).size(), 8u);
}

}  // namespace
