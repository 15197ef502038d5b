// A data chunk: the growable buffer in which rows are encoded in the copy
// format before an inserter sends them. Callers get one from
// kelvo_create_data_chunk; the inserter buffer owns one of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/kelvobinary.h"
#include "kelvo/copy.h"

struct kelvo_data_chunk_t {};

namespace kelvoapi {

class DataChunk : public kelvo_data_chunk_t {
public:
    static constexpr size_t m_header_size = kelvobinary_header_size;
    static constexpr size_t initial_size = size_t{16} * 1024 * 1024;

    // A 16 MiB buffer that begins with the copy-format header; the rest is
    // left uninitialised. Throws std::bad_alloc.
    DataChunk();
    ~DataChunk();
    DataChunk(const DataChunk&) = delete;
    DataChunk& operator=(const DataChunk&) = delete;

    // Reallocates to exactly `size` bytes, keeping the bytes below the smaller
    // size. Throws std::bad_alloc with the buffer and size unchanged. A size of
    // 0 frees the buffer and leaves the data pointer null.
    void Resize(size_t size);

    uint8_t* GetChunkData() const { return m_data; }
    // The capacity; the writer keeps the count of bytes filled.
    size_t GetChunkDataSize() const { return m_size; }

private:
    // Owned, from malloc/realloc, so that a resize can grow in place.
    uint8_t* m_data = nullptr;
    size_t m_size = 0;
};

}  // namespace kelvoapi
