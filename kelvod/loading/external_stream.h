// Bounded external streams: one session COPYs rows into a stream while another
// runs the INSERT BULK that reads them into a table. Each COPY becomes one
// batch of row pieces as received (decoded by the INSERT BULK's scan threads);
// a stream holds a few batches and a bounded number of bytes at most, and a
// COPY that finds it full is told to slow down (53400) instead of being buffered.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "duckdb.h"
#include "kelvod/loading/klvcpy_decoder.h"

namespace kelvod {

// How many COPY batches, and how many of their bytes, a stream holds before
// writers are told to wait.
constexpr size_t kStreamBatchBound = 4;
constexpr uint64_t kStreamByteBound = 32ull << 20;
// How many streams the server keeps at once, so that their queues stay bounded in sum.
constexpr size_t kMaxStreams = 256;

// The rows of one COPY, in pieces as the COPY's session cut them.
struct StreamBatch {
    void Add(RowPiece&& piece) {
        bytes += piece.bytes.size();
        pieces.push_back(std::move(piece));
    }
    std::vector<RowPiece> pieces;
    uint64_t bytes = 0;
};

class ExternalStream {
public:
    ExternalStream(std::string displayName, std::vector<CopyColumn> columns, int32_t owner)
        : m_displayName(std::move(displayName)), m_columns(std::move(columns)), m_owner(owner) {}
    const std::string& DisplayName() const { return m_displayName; }
    const std::vector<CopyColumn>& Columns() const { return m_columns; }
    int32_t Owner() const { return m_owner; }

    enum class PushResult { Queued, Full, Closed, Abandoned };
    // Never waits: a full stream answers Full and keeps nothing.
    PushResult Push(std::unique_ptr<StreamBatch>& batch);
    // What a Push would answer, for refusing a COPY before its data is sent: a
    // full stream is given up to `wait` to make room, which a reader that keeps
    // up does long before the client's own pause after a refusal would end.
    PushResult Admission(std::chrono::milliseconds wait) const;

    enum class PopResult { Batch, Timeout, Ended, Dropped };
    // Waits up to `wait` for a batch. Ended: closed and drained; Dropped: dropped before it was closed.
    PopResult Pop(std::unique_ptr<StreamBatch>& out, std::chrono::milliseconds wait);

    // One reader at a time; false when another reader holds the stream.
    bool AttachReader();
    // A reader that stops before the end abandons the stream: later COPYs fail at once.
    void DetachReader(bool finished);
    void Close();
    void Drop();

private:
    PushResult AdmissionLocked() const;
    const std::string m_displayName;
    const std::vector<CopyColumn> m_columns;
    const int32_t m_owner;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<std::unique_ptr<StreamBatch>> m_batches;
    uint64_t m_bytes = 0;
    bool m_closed = false;
    bool m_dropped = false;
    bool m_reading = false;
    bool m_abandoned = false;
};

// The streams of one server, by database alias (case-folded), schema and name.
class StreamRegistry {
public:
    using Key = std::tuple<std::string, std::string, std::string>;
    static Key MakeKey(const std::string& database, const std::string& schema, const std::string& name);
    enum class AddResult { Added, Exists, TooMany };
    AddResult Add(const Key& key, std::shared_ptr<ExternalStream> stream);
    std::shared_ptr<ExternalStream> Find(const Key& key) const;
    // Removes and drops the stream; false when there was none.
    bool Remove(const Key& key);
    // The (schema, name) of every stream of one database alias.
    std::vector<std::pair<std::string, std::string>> NamesIn(const std::string& database) const;
    // A session that ends takes the streams it created with it, so that no reader waits for them.
    void RemoveOwnedBy(int32_t owner);

private:
    mutable std::mutex m_mutex;
    std::map<Key, std::shared_ptr<ExternalStream>> m_streams;
};

}  // namespace kelvod
