// A bounded single-producer, single-consumer queue: a rowset's prefetch thread
// pushes result chunks and the caller's thread pops them. One slot always
// stays free, so a queue of n slots holds n - 1 elements.
//
// The fast paths (a free slot to push into, an element to pop) take no lock.
// A side that must wait sets its flag under its mutex and waits at most
// 100 ms; the other side tests the flag without the mutex and signals. The
// waiting side checks the queue again after setting its flag (all atomics are
// sequentially consistent), so a signal that came too early cannot leave it
// asleep while there is work. Every wait ends within 100 ms to recheck the
// cancel predicate, so a cancel ends any wait within 100 ms.
//
// A producer that hands over many small elements in a burst may push them
// quietly and wake the consumer once for the lot (WakeConsumer), provided it
// does so before anything that may block it: a sleeping consumer otherwise
// waits for the next wake, or for its 100 ms recheck.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>

namespace kelvoapi {

template <typename T>
class ConcurrentQueue {
public:
    explicit ConcurrentQueue(size_t size, std::function<bool()> cancel = {})
        : m_size(size), m_mask(size - 1), m_cancel(std::move(cancel)) {
        if (size < 2 || (size & (size - 1)) != 0) {
            throw std::invalid_argument("size must be greater than 1 and a power of 2");
        }
        if (size >= (size_t{1} << 61)) {
            throw std::invalid_argument("size too large");
        }
        m_buffer = static_cast<T*>(std::malloc(size * sizeof(T)));
        if (m_buffer == nullptr) {
            throw std::bad_alloc();
        }
        for (size_t i = 0; i < size; ++i) {
            new (&m_buffer[i]) T();
        }
        if (!m_cancel) {
            m_cancel = [] { return false; };
        }
    }

    ConcurrentQueue(const ConcurrentQueue&) = delete;
    ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

    // Elements still queued are destroyed with their slots; the owner
    // normally empties the queue first.
    ~ConcurrentQueue() {
        for (size_t i = 0; i < m_size; ++i) {
            m_buffer[i].~T();
        }
        std::free(m_buffer);
    }

    bool TryPop(T& out) {
        const size_t head = m_head.load();
        if (head == m_tail.load()) {
            return false;
        }
        out = std::move(m_buffer[head]);
        m_buffer[head] = T();
        m_head.store((head + 1) & m_mask);
        if (m_full.load()) {
            Wake(m_mutexFull, m_cvFull, m_full);
        }
        return true;
    }

    // Returns false without storing when cancelled; the item then stays with
    // the caller.
    bool Push(T&& item) {
        if (!PushQuietly(std::move(item))) {
            return false;
        }
        WakeConsumer();
        return true;
    }

    // As Push, but a sleeping consumer is not woken (except before a wait
    // for room, which only the consumer can make).
    bool PushQuietly(T&& item) {
        if (m_cancel()) {
            return false;
        }
        while (IsFull()) {
            WakeConsumer();
            {
                std::unique_lock<std::mutex> lock(m_mutexFull);
                m_full.store(true);
                m_cvFull.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(100),
                                    [this] { return !IsFull(); });
            }
            if (m_cancel()) {
                return false;
            }
        }
        const size_t tail = m_tail.load();
        m_buffer[tail] = std::move(item);
        m_tail.store((tail + 1) & m_mask);
        return true;
    }

    // Wakes a consumer that sleeps while elements are queued.
    void WakeConsumer() {
        if (m_empty.load() && m_head.load() != m_tail.load()) {
            Wake(m_mutexEmpty, m_cvEmpty, m_empty);
        }
    }

    // The elements queued; exact on the producer's side.
    size_t Size() const { return (m_tail.load() - m_head.load()) & m_mask; }

    // Waits for an element; false once the cancel predicate holds.
    bool Pop(T& out) {
        if (TryPop(out)) {
            return true;
        }
        for (;;) {
            if (m_cancel()) {
                return false;
            }
            if (SpinWhileEmpty()) {
                if (TryPop(out)) {
                    return true;
                }
                continue;
            }
            {
                std::unique_lock<std::mutex> lock(m_mutexEmpty);
                m_empty.store(true);
                m_cvEmpty.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(100),
                                     [this] { return m_head.load() != m_tail.load(); });
            }
            if (TryPop(out)) {
                return true;
            }
        }
    }

private:
    // Clears the waiter's flag under its mutex and signals after unlocking,
    // so the woken side does not run straight into the held mutex.
    static void Wake(std::mutex& mutex, std::condition_variable& cv, std::atomic<bool>& waiting) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            waiting.store(false);
        }
        cv.notify_one();
    }

    // A producer that keeps up hands over an element every few microseconds;
    // yielding for that long is far cheaper than a sleep and a wake-up per
    // element. True when an element arrived meanwhile.
    bool SpinWhileEmpty() const {
        for (int round = 0; round < spin_rounds; ++round) {
            if (m_head.load() != m_tail.load()) {
                return true;
            }
            std::this_thread::yield();
        }
        return false;
    }

    bool IsFull() const { return ((m_tail.load() + 1) & m_mask) == m_head.load(); }

    static constexpr int spin_rounds = 8;

    const size_t m_size;
    const size_t m_mask;
    T* m_buffer = nullptr;
    std::function<bool()> m_cancel;
    std::atomic<size_t> m_head{0};
    std::atomic<size_t> m_tail{0};
    std::atomic<bool> m_full{false};
    std::mutex m_mutexFull;
    std::condition_variable m_cvFull;
    std::atomic<bool> m_empty{true};
    std::mutex m_mutexEmpty;
    std::condition_variable m_cvEmpty;
};

}  // namespace kelvoapi
