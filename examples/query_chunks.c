/* kelvo example: start a server, connect and read a query's result chunk by
 * chunk.
 *
 * The library starts its own server (kelvod, installed beside it) and talks
 * to it over a local socket. A result arrives in chunks of up to 256 rows;
 * each chunk belongs to the caller until kelvo_destroy_rowset_chunk. Every
 * failure comes back as an error object with an SQLSTATE and a message.
 *
 *     cc query_chunks.c $(pkg-config --cflags --libs kelvo) -o query_chunks */
#include <stdio.h>

#include "kelvo/kelvo.h"

/* Prints and frees a failure; returns 1 when there was none. */
static int succeeded(kelvo_error_t* error, const char* what) {
    kelvo_error_field_value sqlstate, message;
    if (error == NULL)
        return 1;
    if (kelvo_error_get_field(error, KELVO_ERROR_FIELD_SQL_STATE, &sqlstate) == NULL &&
        kelvo_error_get_field(error, KELVO_ERROR_FIELD_MESSAGE, &message) == NULL)
        fprintf(stderr, "%s failed: %s %s\n", what, sqlstate.value.string, message.value.string);
    kelvo_error_destroy(error);
    return 0;
}

int main(void) {
    kelvo_instance_t* instance = NULL;
    kelvo_parameters_t* parameters = NULL;
    kelvo_connection_t* connection = NULL;
    kelvo_rowset_t* rowset = NULL;
    kelvo_rowset_chunk_t* chunk = NULL;
    size_t chunks = 0, rows = 0, row;
    int64_t sum = 0;
    int ok = 0;

    /* No path: the server is found in the library's directory. No parameters:
     * the defaults, with a temporary database that closing the instance
     * deletes. */
    if (!succeeded(kelvo_instance_create(NULL, KELVO_DISABLE_TELEMETRY, NULL, &instance), "starting the server"))
        return 1;
    /* The connection parameters name the instance's endpoint; without a
     * dbname the connection sees only the instance's own database. */
    if (!succeeded(kelvo_create_connection_parameters(instance, &parameters), "connection parameters") ||
        !succeeded(kelvo_connect(parameters, &connection, KELVO_DO_NOT_CREATE), "connecting") ||
        !succeeded(kelvo_execute_query(connection, "SELECT i, i * i FROM range(1000) AS t(i)", &rowset), "SELECT"))
        goto done;

    /* Results are binary by default: each field is the bare little-endian
     * value, read with the kelvo_read_ function of its width. */
    for (;;) {
        if (!succeeded(kelvo_rowset_get_next_chunk(rowset, &chunk), "reading rows"))
            goto done;
        if (chunk == NULL)
            break; /* the end of the result */
        printf("chunk %zu: %zu rows\n", ++chunks, kelvo_rowset_chunk_row_count(chunk));
        for (row = 0; row < kelvo_rowset_chunk_row_count(chunk); ++row, ++rows)
            sum += kelvo_read_int64(kelvo_rowset_chunk_field_value(chunk, (kelvo_row_index_t)row, 1).value);
        kelvo_destroy_rowset_chunk(chunk);
    }
    printf("%zu rows, sum of squares %lld\n", rows, (long long)sum);
    ok = 1;

done:
    /* Until its rowset is closed the connection refuses new statements. */
    kelvo_close_rowset(rowset);
    kelvo_disconnect(connection);
    kelvo_parameters_destroy(parameters);
    kelvo_instance_close(instance);
    return ok ? 0 : 1;
}
