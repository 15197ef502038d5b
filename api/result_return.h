// The way back for the results that a rowset's prefetch thread read: the
// thread that is done with a chunk hands its result back here, and the
// prefetch thread frees it before it reads the next one. Freeing on the
// thread that allocated keeps the allocator's arena and the freed blocks
// with that thread: a result freed on the caller's thread locks the prefetch
// thread's arena and pulls its cache lines across cores, once per chunk.
#pragma once

#include <mutex>
#include <vector>

#include "postgres/libpq/scoped_result.h"

namespace kelvoapi {

class ResultReturn {
public:
    ResultReturn() = default;
    ResultReturn(const ResultReturn&) = delete;
    ResultReturn& operator=(const ResultReturn&) = delete;
    // Frees what was handed back and never freed.
    ~ResultReturn();

    // Takes `result` for the prefetch thread to free; false once closed (or
    // out of memory), and `result` stays the caller's. Any thread.
    bool Give(ScopedPGresult& result) noexcept;
    // Frees every result handed back so far, on the calling thread: the
    // prefetch thread, between reads.
    void FreeGiven() noexcept;
    // Frees what was handed back and refuses what comes later: the prefetch
    // thread has stopped reading.
    void Close() noexcept;

private:
    std::mutex m_mutex;
    std::vector<ScopedPGresult> m_given;
    // Swapped with m_given under the mutex and freed outside it, so that a
    // caller handing back never waits for a free; only FreeGiven and Close
    // touch it, and never at once.
    std::vector<ScopedPGresult> m_freeing;
    bool m_open = true;
};

}  // namespace kelvoapi
