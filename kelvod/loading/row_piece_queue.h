// The bounded queue between a session that receives the rows of a COPY and the
// engine's scan threads that decode them, bounded in bytes so that a client
// faster than the engine waits in its socket instead of in the server's memory.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "kelvod/loading/load_feed.h"

namespace kelvod {

class RowPieceQueue : public RowSource {
public:
    explicit RowPieceQueue(uint64_t maxBytes) : m_maxBytes(maxBytes) {}

    // Waits for room (an empty queue takes any piece); false once the reading
    // statement has ended, which then has its own error to tell.
    bool Push(RowPiece&& piece);
    // No more pieces come: Next answers the end once the queue is drained.
    void Close();
    // The receiving side failed: Next fails, so that the statement ends.
    void Abort();
    // The reading statement has ended: Push no longer waits.
    void ReaderEnded();
    bool Next(RowPiece& piece) override;
    // The statement is failing: Push no longer waits and Next answers the end.
    void Abandon() override;

private:
    const uint64_t m_maxBytes;
    std::mutex m_mutex;
    std::condition_variable m_room;
    std::condition_variable m_ready;
    std::deque<RowPiece> m_pieces;
    uint64_t m_bytes = 0;
    bool m_closed = false;
    bool m_aborted = false;
    bool m_readerEnded = false;
};

}  // namespace kelvod
