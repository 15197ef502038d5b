/* kelvo: inserter functions of the C interface.
 *
 * An inserter streams rows in the copy format (kelvo/copy.h) into one table.
 * Small loads travel as one COPY on the caller's connection; the first full
 * 16 MiB chunk of an inserter buffer switches the inserter to a bulk load
 * over a second connection of its own. While an inserter exists its
 * connection is busy (SQLSTATE 55006 for any other statement on it).
 *
 * An inserter buffer encodes rows cell by cell, in column order, and hands
 * full chunks to its inserter; kelvo_inserter_buffer_flush sends the rest. */
#ifndef KELVO_INSERTER_H
#define KELVO_INSERTER_H

#include "kelvo/common.h"
#include "kelvo/connection.h"
#include "kelvo/types.h"

KELVO_EXTERN_C_BEGIN

typedef struct kelvo_inserter_t kelvo_inserter_t;
typedef struct kelvo_inserter_buffer_t kelvo_inserter_buffer_t;

/* The definition names the target table and the columns that every row
 * holds, in order; the inserter keeps a copy. A missing database or schema is
 * completed by the server, inside the database when one is named. */
KELVO_API kelvo_error_t* kelvo_create_inserter(kelvo_connection_t* connection,
                                               const kelvo_table_definition_t* table_definition_,
                                               kelvo_inserter_t** inserter);
/* Sends the first `bytes` bytes of a chunk, header included. */
KELVO_API kelvo_error_t* kelvo_inserter_insert_chunk(kelvo_inserter_t* inserter, const uint8_t* data_chunk,
                                                     size_t bytes);
/* Switches to bulk mode (once): `table_definition_` describes the columns as
 * sent, `select_list` computes the table's columns from them. */
KELVO_API kelvo_error_t* kelvo_init_bulk_insert(kelvo_inserter_t* inserter,
                                                const kelvo_table_definition_t* table_definition_,
                                                const char* select_list);
/* Inserts the rows that `select_list` computes, without any stream. */
KELVO_API kelvo_error_t* kelvo_insert_computed_expressions(kelvo_inserter_t* inserter, const char* select_list);
/* Finishes the insertion and frees the inserter whatever the outcome. With
 * insert_data false a bulk load is cancelled; a plain COPY is always ended
 * normally, so its rows are inserted. */
KELVO_API kelvo_error_t* kelvo_close_inserter(kelvo_inserter_t* inserter, bool insert_data);

/* Drive a COPY FROM STDIN that the caller started with a SQL command. */
KELVO_API kelvo_error_t* kelvo_copy_data(kelvo_connection_t* connection, const uint8_t* buffer, int size);
KELVO_API kelvo_error_t* kelvo_copy_end(kelvo_connection_t* connection);

/* A buffer for `inserter` whose rows have the columns of `table_definition`;
 * `select_list` is used if the load switches to bulk mode. *buffer is set to
 * null first. */
KELVO_API kelvo_error_t* kelvo_create_inserter_buffer(kelvo_inserter_t* inserter,
                                                      const kelvo_table_definition_t* table_definition,
                                                      const char* select_list, kelvo_inserter_buffer_t** buffer);
/* One cell each, for the next column of the current row. NULL is refused for
 * a NOT NULL column (SQLSTATE 22004), and a cell the column's type does not
 * take (an int16 for an INT column, a raw value of the wrong width) with
 * SQLSTATE 42804; nothing is written then. */
KELVO_API kelvo_error_t* kelvo_inserter_buffer_add_null(kelvo_inserter_buffer_t* buffer);
KELVO_API kelvo_error_t* kelvo_inserter_buffer_add_bool(kelvo_inserter_buffer_t* buffer, bool value);
KELVO_API kelvo_error_t* kelvo_inserter_buffer_add_int16(kelvo_inserter_buffer_t* buffer, int16_t value);
KELVO_API kelvo_error_t* kelvo_inserter_buffer_add_int32(kelvo_inserter_buffer_t* buffer, int32_t value);
KELVO_API kelvo_error_t* kelvo_inserter_buffer_add_int64(kelvo_inserter_buffer_t* buffer, int64_t value);
KELVO_API kelvo_error_t* kelvo_inserter_buffer_add_double(kelvo_inserter_buffer_t* buffer, double value);
/* A variable cell; values of 2^32 bytes or more are refused (SQLSTATE 54S01). */
KELVO_API kelvo_error_t* kelvo_inserter_buffer_add_binary(kelvo_inserter_buffer_t* buffer, const uint8_t* value,
                                                          size_t size);
KELVO_API kelvo_error_t* kelvo_inserter_buffer_add_date(kelvo_inserter_buffer_t* buffer, int32_t year, int16_t month,
                                                        int16_t day);
/* The caller's already encoded value bytes as the cell's value. */
KELVO_API kelvo_error_t* kelvo_inserter_buffer_add_raw(kelvo_inserter_buffer_t* buffer, const uint8_t* value,
                                                       size_t size);
/* Sends what is buffered; call it before closing the inserter. */
KELVO_API kelvo_error_t* kelvo_inserter_buffer_flush(kelvo_inserter_buffer_t* buffer);
/* Frees the buffer without sending anything; null is allowed. */
KELVO_API void kelvo_inserter_buffer_destroy(kelvo_inserter_buffer_t* buffer);

KELVO_EXTERN_C_END

#endif
