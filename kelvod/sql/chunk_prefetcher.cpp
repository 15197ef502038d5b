// The fetch thread of a streaming result.
#include "kelvod/sql/chunk_prefetcher.h"

namespace kelvod {

ChunkPrefetcher::~ChunkPrefetcher() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

DataChunkHandle ChunkPrefetcher::Next() {
    if (!m_thread.joinable()) {
        DataChunkHandle chunk(duckdb_fetch_chunk(m_result));
        // A full chunk says that more may follow: from here on the engine fetches ahead.
        if (chunk && duckdb_data_chunk_get_size(chunk.Get()) >= duckdb_vector_size())
            m_thread = std::thread([this] { Fetch(); });
        return chunk;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_ready.empty() || m_ended; });
    if (m_ready.empty())
        return {};
    DataChunkHandle chunk = std::move(m_ready.front());
    m_ready.pop_front();
    lock.unlock();
    m_changed.notify_all();
    return chunk;
}

void ChunkPrefetcher::Fetch() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || m_ready.size() < m_ahead; });
            if (m_stopping)
                return;
        }
        DataChunkHandle chunk(duckdb_fetch_chunk(m_result));
        bool ended = !chunk;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (ended) {
                m_ended = true;
            } else {
                m_ready.push_back(std::move(chunk));
            }
        }
        m_changed.notify_all();
        if (ended)
            return;
    }
}

}  // namespace kelvod
