// The pieces of an external stream's batches, for the scan threads of the
// INSERT BULK that reads the stream. One thread at a time waits for the next
// batch; while it waits it looks for a cancel, a client that hung up or a
// server that stops.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "kelvod/loading/external_stream.h"
#include "kelvod/loading/load_feed.h"

namespace kelvod {

class StreamRowSource : public RowSource {
public:
    // `throwIfStopped` ends the reading with its error when the statement must stop.
    StreamRowSource(ExternalStream& stream, std::function<void()> throwIfStopped)
        : m_stream(stream), m_throwIfStopped(std::move(throwIfStopped)) {}
    bool Next(RowPiece& piece) override;

private:
    ExternalStream& m_stream;
    std::function<void()> m_throwIfStopped;
    std::mutex m_mutex;
    std::unique_ptr<StreamBatch> m_batch;
    size_t m_next = 0;
    bool m_ended = false;
};

}  // namespace kelvod
