// The C entry points of inserter buffers. The per-cell calls are the hot
// path of every load: an inline null test, the cell store, nothing else.
#include <memory>

#include "api/inserter.h"
#include "api/inserter_buffer.h"
#include "error/context_ids.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "infra/date_time.h"
#include "kelvo/inserter.h"

namespace {
namespace ids = kelvoapi::ContextIds;
using kelvoapi::InserterBuffer;

template <typename Body>
kelvo_error_t* WithBuffer(kelvo_inserter_buffer_t* buffer, kelvoapi::ContextId id, Body&& body) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(buffer, "buffer", id);
            body(*static_cast<InserterBuffer*>(buffer));
        },
        id);
}

// The checked add inside the frame, out of line and cold: the quick path in
// front of it then needs no frame, no saved registers and no call, and the
// slow paths stay out of its cache lines.
template <typename Add>
__attribute__((cold, noinline)) kelvo_error_t* CheckedAdd(kelvo_inserter_buffer_t* buffer, kelvoapi::ContextId id,
                                                          Add add) {
    return WithBuffer(buffer, id, add);
}

__attribute__((cold, noinline)) kelvo_error_t* SendFullChunk(InserterBuffer& buffer, kelvoapi::ContextId id) {
    return kelvoapi::WrapErrorThrowingBlock([&] { buffer.SendFullChunk(); }, id);
}

// A cell: the quick add when it takes the cell, else the checked add, which
// refuses it, reports a null argument or grows the chunk.
template <typename Quick, typename Add>
inline kelvo_error_t* AddCell(kelvo_inserter_buffer_t* buffer, kelvoapi::ContextId id, Quick quick, Add add) {
    if (__builtin_expect(buffer != nullptr, 1)) {
        InserterBuffer& b = *static_cast<InserterBuffer*>(buffer);
        switch (quick(b)) {
            case InserterBuffer::Quick::Added:
                return nullptr;
            case InserterBuffer::Quick::AddedChunkFull:
                return SendFullChunk(b, id);
            case InserterBuffer::Quick::NotTaken:
                break;
        }
    }
    return CheckedAdd(buffer, id, add);
}
}  // namespace

kelvo_error_t* kelvo_create_inserter_buffer(kelvo_inserter_t* inserter,
                                            const kelvo_table_definition_t* table_definition, const char* select_list,
                                            kelvo_inserter_buffer_t** buffer) {
    constexpr kelvoapi::ContextId id = ids::CreateInserterBuffer;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(buffer, "buffer", id);
            *buffer = nullptr;
            kelvoapi::ThrowIfNull(inserter, "inserter", id);
            kelvoapi::ThrowIfNull(table_definition, "table_definition", id);
            kelvoapi::ThrowIfNull(select_list, "select_list", id);
            // The buffer shares the inserter, so closing the inserter first
            // leaves it a closed inserter to refuse, not freed memory.
            *buffer = new kelvoapi::InserterBuffer(std::shared_ptr<kelvoapi::ChunkSink>(inserter->m_inner),
                                                   *static_cast<const kelvoapi::TableDefinition*>(table_definition),
                                                   select_list);
        },
        id);
}

kelvo_error_t* kelvo_inserter_buffer_add_null(kelvo_inserter_buffer_t* buffer) {
    return AddCell(
        buffer, ids::InserterBufferAddNull, [](InserterBuffer& b) { return b.quickAddNull(); },
        [](InserterBuffer& b) { b.addNull(); });
}

kelvo_error_t* kelvo_inserter_buffer_add_bool(kelvo_inserter_buffer_t* buffer, bool value) {
    return AddCell(
        buffer, ids::InserterBufferAddBool, [value](InserterBuffer& b) { return b.quickAddBool(value); },
        [value](InserterBuffer& b) { b.addBool(value); });
}

kelvo_error_t* kelvo_inserter_buffer_add_int16(kelvo_inserter_buffer_t* buffer, int16_t value) {
    return AddCell(
        buffer, ids::InserterBufferAddInt16, [value](InserterBuffer& b) { return b.quickAddInt16(value); },
        [value](InserterBuffer& b) { b.addInt16(value); });
}

kelvo_error_t* kelvo_inserter_buffer_add_int32(kelvo_inserter_buffer_t* buffer, int32_t value) {
    return AddCell(
        buffer, ids::InserterBufferAddInt32, [value](InserterBuffer& b) { return b.quickAddInt32(value); },
        [value](InserterBuffer& b) { b.addInt32(value); });
}

kelvo_error_t* kelvo_inserter_buffer_add_int64(kelvo_inserter_buffer_t* buffer, int64_t value) {
    return AddCell(
        buffer, ids::InserterBufferAddInt64, [value](InserterBuffer& b) { return b.quickAddInt64(value); },
        [value](InserterBuffer& b) { b.addInt64(value); });
}

kelvo_error_t* kelvo_inserter_buffer_add_double(kelvo_inserter_buffer_t* buffer, double value) {
    return AddCell(
        buffer, ids::InserterBufferAddDouble, [value](InserterBuffer& b) { return b.quickAddDouble(value); },
        [value](InserterBuffer& b) { b.addDouble(value); });
}

kelvo_error_t* kelvo_inserter_buffer_add_binary(kelvo_inserter_buffer_t* buffer, const uint8_t* value, size_t size) {
    // Static: the lambda below reads it without capturing it.
    static constexpr kelvoapi::ContextId id = ids::InserterBufferAddBinary;
    return AddCell(
        buffer, id, [value, size](InserterBuffer& b) { return b.quickAddBinary(value, size); },
        [value, size](InserterBuffer& b) {
            if (size != 0) {
                kelvoapi::ThrowIfNull(value, "value", id);
            }
            b.addBinary(value, size);
        });
}

kelvo_error_t* kelvo_inserter_buffer_add_date(kelvo_inserter_buffer_t* buffer, int32_t year, int16_t month,
                                              int16_t day) {
    const auto julianDay = static_cast<int32_t>(kelvoapi::encode_date(kelvoapi::date_components{year, month, day}));
    return AddCell(
        buffer, ids::InserterBufferAddDate, [julianDay](InserterBuffer& b) { return b.quickAddDate(julianDay); },
        [julianDay](InserterBuffer& b) { b.addDate(julianDay); });
}

kelvo_error_t* kelvo_inserter_buffer_add_raw(kelvo_inserter_buffer_t* buffer, const uint8_t* value, size_t size) {
    static constexpr kelvoapi::ContextId id = ids::InserterBufferAddRaw;
    return AddCell(
        buffer, id, [value, size](InserterBuffer& b) { return b.quickAddRaw(value, size); },
        [value, size](InserterBuffer& b) {
            if (size != 0) {
                kelvoapi::ThrowIfNull(value, "value", id);
            }
            b.addRaw(value, size);
        });
}

kelvo_error_t* kelvo_inserter_buffer_flush(kelvo_inserter_buffer_t* buffer) {
    return WithBuffer(buffer, ids::InserterBufferFlush, [](kelvoapi::InserterBuffer& b) { b.flush(); });
}

void kelvo_inserter_buffer_destroy(kelvo_inserter_buffer_t* buffer) {
    delete static_cast<kelvoapi::InserterBuffer*>(buffer);
}
