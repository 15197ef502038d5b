// The scan threads' road into an external stream: the batches a COPY queued,
// piece by piece, until the stream is closed or dropped.
#include "kelvod/loading/stream_row_source.h"

#include <chrono>

#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

namespace {

constexpr auto kStreamPollInterval = std::chrono::milliseconds(100);

}  // namespace

bool StreamRowSource::Next(RowPiece& piece) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_ended)
            return false;
        if (m_batch && m_next < m_batch->pieces.size()) {
            piece = std::move(m_batch->pieces[m_next++]);
            return true;
        }
        m_batch.reset();
        m_next = 0;
        try {
            m_throwIfStopped();
            auto popped = m_stream.Pop(m_batch, kStreamPollInterval);
            if (popped == ExternalStream::PopResult::Timeout)
                continue;
            if (popped == ExternalStream::PopResult::Ended) {
                m_ended = true;
                return false;
            }
            if (popped == ExternalStream::PopResult::Dropped) {
                throw SqlError("55000", "The external stream \"" + m_stream.DisplayName() +
                                            "\" was dropped before it was closed.");
            }
        } catch (...) {
            // The other scan threads end quietly; this one's error ends the statement.
            m_ended = true;
            throw;
        }
    }
}

}  // namespace kelvod
