/* kelvo: rowset functions of the C interface: running queries and commands,
 * and reading their results chunk by chunk.
 *
 * A rowset is the result of one statement. While it exists its connection is
 * busy; kelvo_close_rowset frees it again, cancelling what was not read.
 *
 * A null pointer where an object or a place for a result is needed is refused
 * with code 22 of the generic category; the accessors answer a null rowset or
 * chunk as an empty one. */
#ifndef KELVO_ROWSET_H
#define KELVO_ROWSET_H

#include "kelvo/common.h"
#include "kelvo/connection.h"
#include "kelvo/types.h"

KELVO_EXTERN_C_BEGIN

typedef struct kelvo_rowset_t kelvo_rowset_t;
/* Up to 256 rows of a result (or the whole result with chunked mode off). A
 * chunk is independent of its rowset once handed out. */
typedef struct kelvo_rowset_chunk_t kelvo_rowset_chunk_t;

typedef uint32_t kelvo_row_index_t;

/* A field's bytes, owned by its chunk: in the binary format the bare
 * little-endian value (read it with the kelvo_read_ functions), in the text
 * format its text without a terminator. */
typedef struct kelvo_value_t {
    const uint8_t* value;
    size_t size;
} kelvo_value_t;

typedef enum kelvo_rowset_result_format_t {
    KELVO_ROWSET_RESULT_FORMAT_TEXT = 0,
    KELVO_ROWSET_RESULT_FORMAT_KELVO_BINARY = 2
} kelvo_rowset_result_format_t;

/* *rowset is written only on success. */
KELVO_API kelvo_error_t* kelvo_execute_query(kelvo_connection_t* connection, const char* query,
                                             kelvo_rowset_t** rowset);
KELVO_API kelvo_error_t* kelvo_execute_query_params(kelvo_connection_t* connection, const char* query,
                                                    kelvo_rowset_result_format_t result_format,
                                                    kelvo_rowset_t** rowset);
/* *affected_row_count (when not null) receives the count, or -1 when the
 * command has none. */
KELVO_API kelvo_error_t* kelvo_execute_command(kelvo_connection_t* connection, const char* command,
                                               int* affected_row_count);
KELVO_API kelvo_error_t* kelvo_prepare(kelvo_connection_t* connection, const char* statement_name, const char* query);
KELVO_API kelvo_error_t* kelvo_execute_prepared(kelvo_connection_t* connection, const char* statement_name,
                                                kelvo_rowset_result_format_t result_format, kelvo_rowset_t** rowset);

/* Null is ignored. */
KELVO_API void kelvo_close_rowset(kelvo_rowset_t* rowset);
/* The result's columns (every one reported as not nullable); owned by the
 * rowset. */
KELVO_API const kelvo_table_definition_t* kelvo_rowset_get_table_definition(const kelvo_rowset_t* rowset);
/* -1 when the statement reports no count (a SELECT, a CREATE). */
KELVO_API int64_t kelvo_rowset_get_affected_row_count(const kelvo_rowset_t* rowset);
/* The next chunk with at least one row, owned by the caller (free it with
 * kelvo_destroy_rowset_chunk), or null at the end. Only the rows of the
 * text's first statement are handed out; the call that reaches their end
 * returns the first error of the statements after it. */
KELVO_API kelvo_error_t* kelvo_rowset_get_next_chunk(kelvo_rowset_t* rowset, kelvo_rowset_chunk_t** rowset_chunk);
/* True for a COPY TO STDOUT statement whose data has not been read. */
KELVO_API bool kelvo_rowset_has_copy_data(const kelvo_rowset_t* rowset);
/* The next block of COPY data, freed with kelvo_rowset_free_copy_data; a null
 * buffer and length 0 at the end and after it. SQLSTATE 55000 for a rowset
 * that is not a COPY TO STDOUT. */
KELVO_API kelvo_error_t* kelvo_rowset_get_copy_data(kelvo_rowset_t* rowset, char** buffer, size_t* length);
KELVO_API void kelvo_rowset_free_copy_data(char* ptr);

KELVO_API size_t kelvo_rowset_chunk_row_count(const kelvo_rowset_chunk_t* rowset_chunk);
/* A NULL field, and an index out of range, give a null pointer and size 0. */
KELVO_API kelvo_value_t kelvo_rowset_chunk_field_value(const kelvo_rowset_chunk_t* rowset_chunk,
                                                       kelvo_row_index_t row_index, kelvo_field_index_t field_index);
KELVO_API const uint8_t* kelvo_rowset_chunk_field_value_byref(const kelvo_rowset_chunk_t* rowset_chunk,
                                                              kelvo_row_index_t row_index,
                                                              kelvo_field_index_t field_index, int* sizeOut);
/* True also for an index out of range. */
KELVO_API bool kelvo_rowset_chunk_field_is_null(const kelvo_rowset_chunk_t* rowset_chunk, kelvo_row_index_t row_index,
                                                kelvo_field_index_t field_index);
/* Row-major arrays of every field's value pointer, size and null flag (1 for
 * NULL); entry row * col_count + column. They live as long as the chunk. */
KELVO_API kelvo_error_t* kelvo_rowset_chunk_field_values(kelvo_rowset_chunk_t* rowset_chunk, size_t* col_count,
                                                         size_t* row_count, const uint8_t* const** values,
                                                         const size_t** sizes, const int8_t** null_flags);
/* Null is ignored. */
KELVO_API void kelvo_destroy_rowset_chunk(const kelvo_rowset_chunk_t* rowset_chunk);

KELVO_EXTERN_C_END

#endif
