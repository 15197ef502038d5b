/* kelvo example: read a large result while a background thread fetches the
 * chunks ahead, and stop early.
 *
 * Once a query's first chunk is full, the rowset starts a prefetch thread
 * that reads further chunks from the server while the caller works on the
 * ones it has. The prefetch threshold bounds the bytes read ahead (256 MiB
 * by default, 0 turns prefetching off). Closing the rowset before its end
 * cancels the statement and stops the thread.
 *
 *     cc prefetch_read.c $(pkg-config --cflags --libs kelvo) -o prefetch_read */
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

/* Sums column 0 of the query's first `limit` rows (all rows when the
 * result is shorter); returns the number of rows read, or -1. */
static long long sum_rows(kelvo_connection_t* connection, const char* query, long long limit, long long* sum) {
    kelvo_rowset_t* rowset = NULL;
    kelvo_rowset_chunk_t* chunk = NULL;
    long long rows = 0;
    size_t row;
    *sum = 0;
    if (!succeeded(kelvo_execute_query(connection, query, &rowset), "SELECT"))
        return -1;
    while (rows < limit) {
        if (!succeeded(kelvo_rowset_get_next_chunk(rowset, &chunk), "reading rows")) {
            rows = -1;
            break;
        }
        if (chunk == NULL)
            break; /* the end of the result */
        for (row = 0; row < kelvo_rowset_chunk_row_count(chunk) && rows < limit; ++row, ++rows)
            *sum += kelvo_read_int64(kelvo_rowset_chunk_field_value(chunk, (kelvo_row_index_t)row, 0).value);
        kelvo_destroy_rowset_chunk(chunk);
    }
    /* Cancels what is still unread, stops the prefetch thread and frees the
     * connection for the next statement. */
    kelvo_close_rowset(rowset);
    return rows;
}

int main(void) {
    kelvo_instance_t* instance = NULL;
    kelvo_parameters_t* parameters = NULL;
    kelvo_connection_t* connection = NULL;
    long long rows, sum;
    int ok = 0;

    if (!succeeded(kelvo_instance_create(NULL, KELVO_DISABLE_TELEMETRY, NULL, &instance), "starting the server"))
        return 1;
    if (!succeeded(kelvo_create_connection_parameters(instance, &parameters), "connection parameters") ||
        !succeeded(kelvo_connect(parameters, &connection, KELVO_DO_NOT_CREATE), "connecting"))
        goto done;

    /* Let the prefetch thread hold at most about 4 MiB of rows that the
     * caller has not read yet; applies to the queries that follow. */
    kelvo_set_prefetch_threshold(connection, (size_t)4 << 20);

    rows = sum_rows(connection, "SELECT i FROM range(500000) AS t(i)", 500000, &sum);
    if (rows < 0)
        goto done;
    printf("read all %lld rows, sum %lld\n", rows, sum);

    /* Only the first rows of a result that is far too long to read. */
    rows = sum_rows(connection, "SELECT i FROM range(1000000000) AS t(i)", 1000, &sum);
    if (rows < 0)
        goto done;
    printf("read the first %lld rows, sum %lld, and cancelled the rest\n", rows, sum);

    /* The connection serves the next statement at once. */
    ok = succeeded(kelvo_execute_command(connection, "SELECT 1", NULL), "the next statement");

done:
    kelvo_disconnect(connection);
    kelvo_parameters_destroy(parameters);
    kelvo_instance_close(instance);
    return ok ? 0 : 1;
}
