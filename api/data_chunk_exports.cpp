// The C entry points of data chunks.
#include <new>

#include "api/data_chunk.h"
#include "error/context_ids.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "kelvo/copy.h"

namespace {

const kelvoapi::DataChunk& AsChunk(const kelvo_data_chunk_t* chunk) {
    return *static_cast<const kelvoapi::DataChunk*>(chunk);
}

}  // namespace

kelvo_data_chunk_t* kelvo_create_data_chunk(void) {
    try {
        return new kelvoapi::DataChunk();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

kelvo_error_t* kelvo_resize_data_chunk(kelvo_data_chunk_t* data_chunk, size_t size) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(data_chunk, "data_chunk", kelvoapi::ContextIds::ResizeDataChunk);
            static_cast<kelvoapi::DataChunk*>(data_chunk)->Resize(size);
        },
        kelvoapi::ContextIds::ResizeDataChunk);
}

void kelvo_destroy_data_chunk(kelvo_data_chunk_t* data_chunk) { delete static_cast<kelvoapi::DataChunk*>(data_chunk); }

size_t kelvo_get_chunk_header_size(const kelvo_data_chunk_t*) { return kelvoapi::DataChunk::m_header_size; }

uint8_t* kelvo_get_chunk_data(const kelvo_data_chunk_t* data_chunk) {
    return data_chunk == nullptr ? nullptr : AsChunk(data_chunk).GetChunkData();
}

size_t kelvo_get_chunk_data_size(const kelvo_data_chunk_t* data_chunk) {
    return data_chunk == nullptr ? 0 : AsChunk(data_chunk).GetChunkDataSize();
}
