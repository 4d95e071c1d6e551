#pragma once

#include "media/StageOutcome.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace lento {

// A queue between two threads that holds at most `maxItems` items and at most `maxBytes` bytes
// of them (as each item's `bytes()` counts), so that a fast producer waits for its consumer
// instead of filling memory: a count alone lets four 8K pictures take 400 MB. An item larger
// than `maxBytes` still passes once the queue is empty. Closing wakes both sides: a closed queue
// takes nothing more and hands out what it still holds. The producer closes it with the outcome
// it ended with, which the consumer reads once the queue is empty: only a queue closed as
// succeeded holds the whole stream. The consumer aborts it to stop the producer.
template <typename T> class BoundedQueue {
public:
    explicit BoundedQueue(size_t maxItems, size_t maxBytes = SIZE_MAX)
        : m_maxItems(maxItems), m_maxBytes(maxBytes) {}

    // False when the queue was closed before the item could be taken.
    bool push(T item) {
        const size_t bytes = item.bytes();
        std::unique_lock lock(m_mutex);
        m_notFull.wait(lock, [&] { return m_closed || hasRoomFor(bytes); });
        if (m_closed) {
            return false;
        }
        m_items.push_back(std::move(item));
        m_bytes += bytes;
        m_notEmpty.notify_one();
        return true;
    }

    // Waits for the front item and returns it, still in the queue, for the caller to look at
    // before popping it; null once the queue is closed and empty.
    const T* front() {
        std::unique_lock lock(m_mutex);
        m_notEmpty.wait(lock, [&] { return m_closed || !m_items.empty(); });
        return m_items.empty() ? nullptr : &m_items.front();
    }

    // The front item without waiting, still in the queue; null while the queue is empty. For a
    // consumer that must not block (the main thread), which pops it after looking.
    const T* peek() {
        std::lock_guard lock(m_mutex);
        return m_items.empty() ? nullptr : &m_items.front();
    }

    // Closed with nothing left to hand out.
    bool drained() const {
        std::lock_guard lock(m_mutex);
        return m_closed && m_items.empty();
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
        m_bytes -= item.bytes();
        m_notFull.notify_one();
        return item;
    }

    // Ends the stream as `ending` says.
    void close(StageOutcome ending = StageOutcome::succeeded()) {
        std::lock_guard lock(m_mutex);
        if (!m_closed) {
            m_ending = std::move(ending);
        }
        m_closed = true;
        m_notEmpty.notify_all();
        m_notFull.notify_all();
    }

    // How the producer ended the stream, once the queue is closed and `front` or `pop` has found
    // it empty; stopped for a queue aborted before its producer closed it.
    StageOutcome ending() const {
        std::lock_guard lock(m_mutex);
        return m_ending;
    }

    // Closes the queue, dropping what it holds: the producer's next push fails.
    void abort() {
        std::lock_guard lock(m_mutex);
        if (!m_closed) {
            m_ending = StageOutcome::stopped();
        }
        m_closed = true;
        m_items.clear();
        m_bytes = 0;
        m_notEmpty.notify_all();
        m_notFull.notify_all();
    }

private:
    bool hasRoomFor(size_t bytes) const {
        return m_items.empty() || (m_items.size() < m_maxItems && m_bytes + bytes <= m_maxBytes);
    }

    const size_t m_maxItems;
    const size_t m_maxBytes;
    mutable std::mutex m_mutex;
    std::condition_variable m_notEmpty;
    std::condition_variable m_notFull;
    std::deque<T> m_items;
    size_t m_bytes = 0;
    bool m_closed = false;
    StageOutcome m_ending;
};

} // namespace lento
