// The queue between a COPY's session and the scan threads of its statement.
#include "kelvod/loading/row_piece_queue.h"

#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

bool RowPieceQueue::Push(RowPiece&& piece) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_room.wait(lock, [&] { return m_readerEnded || m_pieces.empty() || m_bytes + piece.bytes.size() <= m_maxBytes; });
    if (m_readerEnded)
        return false;
    m_bytes += piece.bytes.size();
    m_pieces.push_back(std::move(piece));
    lock.unlock();
    m_ready.notify_one();
    return true;
}

void RowPieceQueue::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_ready.notify_all();
}

void RowPieceQueue::Abort() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_aborted = true;
        m_pieces.clear();
        m_bytes = 0;
    }
    m_ready.notify_all();
}

void RowPieceQueue::ReaderEnded() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_readerEnded = true;
        m_pieces.clear();
        m_bytes = 0;
    }
    m_room.notify_all();
}

void RowPieceQueue::Abandon() {
    ReaderEnded();
    m_ready.notify_all();
}

bool RowPieceQueue::Next(RowPiece& piece) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ready.wait(lock, [&] { return m_aborted || m_readerEnded || m_closed || !m_pieces.empty(); });
    // The session reports its own failure; the statement only has to end.
    if (m_aborted)
        throw SqlError("57014", "The COPY ended before its data was complete.");
    if (m_readerEnded || m_pieces.empty())
        return false;
    piece = std::move(m_pieces.front());
    m_pieces.pop_front();
    m_bytes -= piece.bytes.size();
    lock.unlock();
    m_room.notify_one();
    return true;
}

}  // namespace kelvod
