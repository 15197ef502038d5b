// The bounded queue between the sessions that feed a stream and the one that reads it.
#include "kelvod/loading/external_stream.h"

#include <cctype>

namespace kelvod {

ExternalStream::PushResult ExternalStream::AdmissionLocked() const {
    if (m_abandoned || m_dropped)
        return PushResult::Abandoned;
    if (m_closed)
        return PushResult::Closed;
    if (m_batches.size() >= kStreamBatchBound || m_bytes >= kStreamByteBound)
        return PushResult::Full;
    return PushResult::Queued;
}

ExternalStream::PushResult ExternalStream::Admission(std::chrono::milliseconds wait) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Only a reader makes room.
    if (m_reading)
        m_changed.wait_for(lock, wait, [&] { return AdmissionLocked() != PushResult::Full; });
    return AdmissionLocked();
}

ExternalStream::PushResult ExternalStream::Push(std::unique_ptr<StreamBatch>& batch) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PushResult r = AdmissionLocked();
    if (r != PushResult::Queued)
        return r;
    m_bytes += batch->bytes;
    m_batches.push_back(std::move(batch));
    m_changed.notify_all();
    return r;
}

ExternalStream::PopResult ExternalStream::Pop(std::unique_ptr<StreamBatch>& out, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto ready = [&] { return !m_batches.empty() || m_closed || m_dropped; };
    if (!m_changed.wait_for(lock, wait, ready))
        return PopResult::Timeout;
    if (!m_batches.empty()) {
        out = std::move(m_batches.front());
        m_batches.pop_front();
        m_bytes -= out->bytes;
        m_changed.notify_all();
        return PopResult::Batch;
    }
    return m_closed ? PopResult::Ended : PopResult::Dropped;
}

bool ExternalStream::AttachReader() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reading || m_abandoned)
        return false;
    m_reading = true;
    return true;
}

void ExternalStream::DetachReader(bool finished) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reading = false;
    if (!finished) {
        m_abandoned = true;
        m_batches.clear();
        m_bytes = 0;
    }
}

void ExternalStream::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_changed.notify_all();
}

void ExternalStream::Drop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dropped = true;
    m_batches.clear();
    m_bytes = 0;
    m_changed.notify_all();
}

StreamRegistry::Key StreamRegistry::MakeKey(const std::string& database, const std::string& schema,
                                            const std::string& name) {
    // Aliases compare without regard to case, as the engine compares them.
    std::string folded = database;
    for (char& c : folded)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return {folded, schema, name};
}

StreamRegistry::AddResult StreamRegistry::Add(const Key& key, std::shared_ptr<ExternalStream> stream) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_streams.count(key))
        return AddResult::Exists;
    if (m_streams.size() >= kMaxStreams)
        return AddResult::TooMany;
    m_streams.emplace(key, std::move(stream));
    return AddResult::Added;
}

std::shared_ptr<ExternalStream> StreamRegistry::Find(const Key& key) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_streams.find(key);
    return it == m_streams.end() ? nullptr : it->second;
}

bool StreamRegistry::Remove(const Key& key) {
    std::shared_ptr<ExternalStream> stream;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_streams.find(key);
        if (it == m_streams.end())
            return false;
        stream = std::move(it->second);
        m_streams.erase(it);
    }
    stream->Drop();
    return true;
}

std::vector<std::pair<std::string, std::string>> StreamRegistry::NamesIn(const std::string& database) const {
    Key low = MakeKey(database, "", "");
    std::vector<std::pair<std::string, std::string>> names;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [key, stream] : m_streams) {
        if (std::get<0>(key) == std::get<0>(low))
            names.emplace_back(std::get<1>(key), std::get<2>(key));
    }
    return names;
}

void StreamRegistry::RemoveOwnedBy(int32_t owner) {
    std::vector<std::shared_ptr<ExternalStream>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_streams.begin(); it != m_streams.end();) {
            if (it->second->Owner() == owner) {
                dropped.push_back(it->second);
                it = m_streams.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& s : dropped)
        s->Drop();
}

}  // namespace kelvod
