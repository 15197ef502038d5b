// Fetches the chunks of a streaming engine result on a thread of its own, a few
// ahead of the session thread that encodes and sends them, so that the engine's
// scan overlaps with encoding and with the client's reading. Results of a single
// chunk, most of them, never start the thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

#include "duckdb.h"
#include "kelvod/engine/engine_handles.h"

namespace kelvod {

class ChunkPrefetcher {
public:
    // `ahead`: how many chunks may wait for the session thread (the bound on the memory it holds).
    explicit ChunkPrefetcher(duckdb_result& result, size_t ahead = 3) : m_result(result), m_ahead(ahead) {}
    // Stops fetching; waits for a fetch under way (a cancel or a stopping server interrupts it).
    ~ChunkPrefetcher();
    ChunkPrefetcher(const ChunkPrefetcher&) = delete;
    ChunkPrefetcher& operator=(const ChunkPrefetcher&) = delete;

    // The next chunk, or none once the result ends; after none, duckdb_result_error tells whether it failed.
    DataChunkHandle Next();

private:
    void Fetch();

    duckdb_result& m_result;
    const size_t m_ahead;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<DataChunkHandle> m_ready;
    bool m_ended = false;     // the fetch thread has seen the result's end
    bool m_stopping = false;  // the session thread wants no more chunks
    std::thread m_thread;
};

}  // namespace kelvod
