// Handing prefetched results back to the prefetch thread (see result_return.h).
#include "api/result_return.h"

#include <utility>

namespace kelvoapi {

ResultReturn::~ResultReturn() { Close(); }

bool ResultReturn::Give(ScopedPGresult& result) noexcept {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open) {
        return false;
    }
    try {
        // A failed reallocation leaves `result` where it was.
        m_given.push_back(std::move(result));
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
    m_freeing.clear();
}

void ResultReturn::Close() noexcept {
    FreeGiven();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    m_given.clear();
}

}  // namespace kelvoapi
