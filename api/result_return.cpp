// Handing prefetched results back to the prefetch thread (see result_return.h).
#include "api/result_return.h"

#include <utility>

#include "postgres/libpq/result_record.h"

namespace kelvoapi {

ResultReturn::~ResultReturn() { Close(); }

bool ResultReturn::Give(PGresult* result) noexcept {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open) {
        return false;
    }
    try {
        m_given.push_back(result);
    } catch (...) {
        return false;
    }
    return true;
}

void ResultReturn::FreeGiven() noexcept {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_given.empty()) {
            return;
        }
        std::swap(m_given, m_freeing);
    }
    for (PGresult* result : m_freeing) {
        PQclear(result);
    }
    m_freeing.clear();
}

void ResultReturn::Close() noexcept {
    FreeGiven();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    for (PGresult* result : m_given) {
        PQclear(result);
    }
    m_given.clear();
}

}  // namespace kelvoapi
