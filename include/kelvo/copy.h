/* kelvo: copy functions of the C interface: the KLVCPY binary copy format
 * codecs and data chunks.
 *
 * A copy stream is a 19-byte header ("KLVCPY" and 13 zero bytes) and then the
 * cells of each row in column order. A cell of a nullable column starts with a
 * marker byte, 0 when a value follows and 1 for NULL; a NOT NULL column's cell
 * is the value alone. Values are little-endian; a variable-length value is a
 * 32-bit length and the bytes. */
#ifndef KELVO_COPY_H
#define KELVO_COPY_H

#include "kelvo/common.h"
#include "kelvo/values.h"

KELVO_EXTERN_C_BEGIN

/* Every writer returns the size of the cell and writes the whole cell only
 * when `space` is at least that size; otherwise it writes nothing. A null
 * destination with a space of 0 asks for the size. A null destination is never
 * written to. */
KELVO_API size_t kelvo_write_header(uint8_t* destination, size_t space);
KELVO_API size_t kelvo_write_null(uint8_t* destination, size_t space);
KELVO_API size_t kelvo_write_int8(uint8_t* destination, size_t space, int8_t value);
KELVO_API size_t kelvo_write_int8_not_null(uint8_t* destination, size_t space, int8_t value);
KELVO_API size_t kelvo_write_int16(uint8_t* destination, size_t space, int16_t value);
KELVO_API size_t kelvo_write_int16_not_null(uint8_t* destination, size_t space, int16_t value);
KELVO_API size_t kelvo_write_int32(uint8_t* destination, size_t space, int32_t value);
KELVO_API size_t kelvo_write_int32_not_null(uint8_t* destination, size_t space, int32_t value);
KELVO_API size_t kelvo_write_int64(uint8_t* destination, size_t space, int64_t value);
KELVO_API size_t kelvo_write_int64_not_null(uint8_t* destination, size_t space, int64_t value);
KELVO_API size_t kelvo_write_data128(uint8_t* destination, size_t space, kelvo_data128_t value);
KELVO_API size_t kelvo_write_data128_not_null(uint8_t* destination, size_t space, kelvo_data128_t value);
/* The value may be null when its length is 0. A length above 4294967295 does
 * not fit the 32-bit length field, and a null value with a non-zero length is
 * no value: both write nothing and return 0, since this interface has no
 * error channel. */
KELVO_API size_t kelvo_write_varbinary(uint8_t* destination, size_t space, const uint8_t* value, size_t length);
KELVO_API size_t kelvo_write_varbinary_not_null(uint8_t* destination, size_t space, const uint8_t* value,
                                                size_t length);

/* Readers of bare field values of binary results, at any alignment. */
KELVO_API int8_t kelvo_read_int8(const uint8_t* source);
KELVO_API int16_t kelvo_read_int16(const uint8_t* source);
KELVO_API int32_t kelvo_read_int32(const uint8_t* source);
KELVO_API int64_t kelvo_read_int64(const uint8_t* source);
KELVO_API kelvo_data128_t kelvo_read_data128(const uint8_t* source);
/* The field's bytes begin at `source`; their count is the field's size. */
KELVO_API const uint8_t* kelvo_read_varbinary(const uint8_t* source);

/* A growable buffer of rows in the copy format, 16 MiB at creation, whose
 * first 19 bytes hold the header. It records only its capacity; the writer
 * keeps count of the bytes filled. */
typedef struct kelvo_data_chunk_t kelvo_data_chunk_t;

/* Null when memory runs out. */
KELVO_API kelvo_data_chunk_t* kelvo_create_data_chunk(void);
/* Reallocates to exactly `size` bytes, keeping the bytes below the smaller of
 * the two sizes; earlier data pointers go stale. A size of 0 leaves an empty
 * chunk whose data pointer is null. Out of memory gives SQLSTATE 53200 with
 * the chunk unchanged; a null chunk is refused with code 22 of the generic
 * category. */
KELVO_API kelvo_error_t* kelvo_resize_data_chunk(kelvo_data_chunk_t* data_chunk, size_t size);
/* Null is ignored. */
KELVO_API void kelvo_destroy_data_chunk(kelvo_data_chunk_t* data_chunk);
/* 19, for any argument. */
KELVO_API size_t kelvo_get_chunk_header_size(const kelvo_data_chunk_t* data_chunk);
KELVO_API uint8_t* kelvo_get_chunk_data(const kelvo_data_chunk_t* data_chunk);
/* The capacity, not the number of bytes written. */
KELVO_API size_t kelvo_get_chunk_data_size(const kelvo_data_chunk_t* data_chunk);

KELVO_EXTERN_C_END

#endif
