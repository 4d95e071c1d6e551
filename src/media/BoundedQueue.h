#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace lento {

// A queue between two threads that holds at most `capacity` items, so that a fast producer
// waits for its consumer instead of filling memory. Closing wakes both sides: a closed queue
// takes nothing more and hands out what it still holds.
template <typename T> class BoundedQueue {
public:
    explicit BoundedQueue(size_t capacity) : m_capacity(capacity) {}

    // False when the queue was closed before the item could be taken.
    bool push(T item) {
        std::unique_lock lock(m_mutex);
        m_notFull.wait(lock, [&] { return m_closed || m_items.size() < m_capacity; });
        if (m_closed) {
            return false;
        }
        m_items.push_back(std::move(item));
        m_notEmpty.notify_one();
        return true;
    }

    // Waits for the front item and lets `peek` look at it without taking it; null once the
    // queue is closed and empty.
    const T* front() {
        std::unique_lock lock(m_mutex);
        m_notEmpty.wait(lock, [&] { return m_closed || !m_items.empty(); });
        return m_items.empty() ? nullptr : &m_items.front();
    }

    // Waits for an item; empty once the queue is closed and empty.
    std::optional<T> pop() {
        std::unique_lock lock(m_mutex);
        m_notEmpty.wait(lock, [&] { return m_closed || !m_items.empty(); });
        if (m_items.empty()) {
            return std::nullopt;
        }
        T item = std::move(m_items.front());
        m_items.pop_front();
        m_notFull.notify_one();
        return item;
    }

    void close() {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_notEmpty.notify_all();
        m_notFull.notify_all();
    }

    // Closes the queue and drops what it holds.
    void abort() {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_items.clear();
        m_notEmpty.notify_all();
        m_notFull.notify_all();
    }

private:
    const size_t m_capacity;
    std::mutex m_mutex;
    std::condition_variable m_notEmpty;
    std::condition_variable m_notFull;
    std::deque<T> m_items;
    bool m_closed = false;
};

} // namespace lento
