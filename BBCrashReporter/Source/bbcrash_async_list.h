#pragma once
// A list that writers change under a spin lock while readers, including a
// signal handler, walk it without any lock.
//
// Readers bracket every walk with set_reading(true)/set_reading(false) and
// only follow `next` links. A node unlinked while any reader is active keeps
// its `next` link (so a reader standing on it continues into the live list)
// and is parked on a retired chain; retired nodes are reused or freed, and
// their values disposed of, only by a writer that sees no active reader.
// Every shared access is sequentially consistent, so a reader that starts
// after a writer saw the count at 0 can no longer reach a retired node.
#include <atomic>

template <typename V>
class async_list {
public:
    struct node {
        V value{};
        std::atomic<node *> prev{nullptr};
        std::atomic<node *> next{nullptr};
        node *retired_next = nullptr;  // writers only
    };

    // `dispose` runs on a value when its node is finally released (freed or
    // reused); it never runs while a reader could see the value.
    // `attach` runs on a value with its node before the node is linked, so a
    // value can remember the node that holds it.
    explicit async_list(void (*dispose)(V &) = nullptr, void (*attach)(V &, node *) = nullptr)
        : dispose_(dispose), attach_(attach) {}
    ~async_list() { free(); }
    async_list(const async_list &) = delete;
    async_list &operator=(const async_list &) = delete;

    node *append(V value) {
        lock();
        node *n = take_node(value);
        node *tail = tail_;
        if (tail != nullptr) {
            node *expected = nullptr;
            tail->next.compare_exchange_strong(expected, n);
            n->prev.store(tail);
            tail_ = n;
        } else {
            link_only(n);
        }
        unlock();
        return n;
    }

    node *prepend(V value) {
        lock();
        node *n = take_node(value);
        node *oldHead = head_.load();
        if (oldHead != nullptr) {
            n->next.store(oldHead);
            oldHead->prev.store(n);
            head_.compare_exchange_strong(oldHead, n);
        } else {
            link_only(n);
        }
        unlock();
        return n;
    }

    // Unlinks `target` when it is on the list; false when it is not.
    bool remove(node *target) {
        lock();
        node *previous = nullptr;
        node *item = head_.load();
        while (item != nullptr && item != target) {
            previous = item;
            item = item->next.load();
        }
        if (item == nullptr) {
            unlock();
            return false;
        }
        node *successor = item->next.load();
        if (previous == nullptr) {
            head_.exchange(successor);
        } else {
            previous->next.exchange(successor);
        }
        if (successor != nullptr) {
            successor->prev.store(previous);
        } else {
            tail_ = previous;
        }
        if (readers_.load() == 0) {
            reclaim_retired();
            release(item);
        } else {
            // A reader may stand on it: keep `next` as it is and park it.
            item->prev.store(nullptr);
            item->retired_next = retired_;
            retired_ = item;
        }
        unlock();
        return true;
    }

    void set_reading(bool reading) {
        if (reading) {
            readers_.fetch_add(1);
        } else {
            readers_.fetch_sub(1);
        }
    }

    // The head for none, else the node after `current`.
    node *next(node *current) const { return current == nullptr ? head_.load() : current->next.load(); }

    // Frees every node, live and retired (no reader may be active).
    void free() {
        lock();
        node *item = head_.exchange(nullptr);
        tail_ = nullptr;
        while (item != nullptr) {
            node *after = item->next.load();
            release(item);
            item = after;
        }
        while (retired_ != nullptr) {
            node *after = retired_->retired_next;
            release(retired_);
            retired_ = after;
        }
        unlock();
    }

    int reader_count() const { return readers_.load(); }
    bool has_retired() const { return retired_ != nullptr; }

private:
    // Links `n` as the only node of an empty list (lock held).
    void link_only(node *n) {
        tail_ = n;
        node *expected = nullptr;
        head_.compare_exchange_strong(expected, n);
    }

    void lock() {
        while (lock_.test_and_set(std::memory_order_acquire)) {}
    }
    void unlock() { lock_.clear(std::memory_order_release); }

    // A node for a new value: a retired one when no reader is active (the
    // others are freed then), else a new one.
    node *take_node(V value) {
        node *n = nullptr;
        if (retired_ != nullptr && readers_.load() == 0) {
            n = retired_;
            retired_ = n->retired_next;
            dispose_value(n);
            reclaim_retired();
        } else {
            n = new node;
        }
        n->value = value;
        n->prev.store(nullptr);
        n->next.store(nullptr);
        n->retired_next = nullptr;
        if (attach_ != nullptr) {
            attach_(n->value, n);
        }
        // Published by the sequentially consistent store that links it.
        return n;
    }

    void reclaim_retired() {
        while (retired_ != nullptr) {
            node *after = retired_->retired_next;
            release(retired_);
            retired_ = after;
        }
    }

    void dispose_value(node *n) {
        if (dispose_ != nullptr) {
            dispose_(n->value);
        }
        n->value = V{};
    }

    void release(node *n) {
        dispose_value(n);
        delete n;
    }

    std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
    std::atomic<node *> head_{nullptr};
    node *tail_ = nullptr;
    std::atomic<int> readers_{0};
    node *retired_ = nullptr;
    void (*dispose_)(V &);
    void (*attach_)(V &, node *);
};
