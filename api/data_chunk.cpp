// The data chunk's buffer management (see data_chunk.h).
#include "api/data_chunk.h"

#include <cstdlib>
#include <new>

namespace kelvoapi {

DataChunk::DataChunk() {
    m_data = static_cast<uint8_t*>(std::malloc(initial_size));
    if (m_data == nullptr) {
        throw std::bad_alloc();
    }
    m_size = initial_size;
    kelvobinary_store_header(writable_bytes{m_data, m_size});
}

DataChunk::~DataChunk() { std::free(m_data); }

void DataChunk::Resize(size_t size) {
    if (size == 0) {
        // realloc(p, 0) frees p and may return null, which would read as a
        // failure and leave a freed pointer behind; free it here instead.
        std::free(m_data);
        m_data = nullptr;
        m_size = 0;
        return;
    }
    auto* data = static_cast<uint8_t*>(std::realloc(m_data, size));
    if (data == nullptr) {
        throw std::bad_alloc();
    }
    m_data = data;
    m_size = size;
}

}  // namespace kelvoapi
