/* kelvo example: bulk-load a large table through an inserter buffer.
 *
 * The buffer encodes rows into 16 MiB chunks. A load that never fills one
 * goes to the server as a single COPY; the first full chunk switches the
 * inserter to bulk mode: a second connection streams the chunks while the
 * server inserts them. The caller's code is the same either way. The library
 * reports the end of each load as the log event "inserter-end", whose JSON
 * says "bulk":"true" for a bulk load.
 *
 *     cc bulk_load.c $(pkg-config --cflags --libs kelvo) -o bulk_load */
#include <stdio.h>
#include <string.h>

#include "kelvo/kelvo.h"

enum { ROW_COUNT = 100000, PAYLOAD_SIZE = 200 }; /* about 20 MiB */

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

/* The log hook: may run on any thread, so it only notes what it saw. */
static void note_bulk_load(kelvo_log_level_t level, const char* topic, const char* value, void* context) {
    (void)level;
    if (strcmp(topic, "inserter-end") == 0 && strstr(value, "\"bulk\":\"true\"") != NULL)
        *(int*)context = 1;
}

static int load(kelvo_connection_t* connection, const kelvo_table_definition_t* table) {
    kelvo_inserter_t* inserter = NULL;
    kelvo_inserter_buffer_t* buffer = NULL;
    uint8_t payload[PAYLOAD_SIZE];
    int32_t id;
    int ok;
    memset(payload, 'k', sizeof payload);
    if (!succeeded(kelvo_create_inserter(connection, table, &inserter), "creating the inserter"))
        return 0;
    /* "*": in bulk mode the table takes the streamed columns as they are. */
    ok = succeeded(kelvo_create_inserter_buffer(inserter, table, "*", &buffer), "creating the buffer");
    for (id = 0; ok && id < ROW_COUNT; ++id) {
        payload[0] = (uint8_t)('a' + id % 26); /* one cell per column, in order */
        ok = succeeded(kelvo_inserter_buffer_add_int32(buffer, id), "adding an id") &&
             succeeded(kelvo_inserter_buffer_add_binary(buffer, payload, sizeof payload), "adding a payload");
    }
    ok = ok && succeeded(kelvo_inserter_buffer_flush(buffer), "sending the last rows");
    kelvo_inserter_buffer_destroy(buffer);
    /* The close waits for the server's verdict on every row; with false
     * instead of ok it would cancel the load and insert nothing. */
    return succeeded(kelvo_close_inserter(inserter, ok), "closing the inserter") && ok;
}

int main(void) {
    kelvo_instance_t* instance = NULL;
    kelvo_parameters_t* parameters = NULL;
    kelvo_connection_t* connection = NULL;
    kelvo_table_definition_t* table = NULL;
    kelvo_rowset_t* rowset = NULL;
    kelvo_rowset_chunk_t* chunk = NULL;
    int bulk = 0, ok = 0;

    kelvo_log_set_log_function(note_bulk_load, &bulk);
    if (!succeeded(kelvo_instance_create(NULL, KELVO_DISABLE_TELEMETRY, NULL, &instance), "starting the server"))
        return 1;
    /* A fresh database file for the table, in the current directory. */
    if (!succeeded(kelvo_create_connection_parameters(instance, &parameters), "connection parameters") ||
        !succeeded(kelvo_parameters_set(parameters, "dbname", "bulk_load.kelvo"), "setting dbname") ||
        !succeeded(kelvo_connect(parameters, &connection, KELVO_CREATE_AND_REPLACE), "connecting"))
        goto done;

    table = kelvo_create_table_definition(NULL, NULL, "events", KELVO_PERMANENT, false);
    if (table == NULL ||
        !succeeded(kelvo_table_definition_add_column(table, "id", KELVO_INT, 0xFFFFFFFFu, NULL, false), "column") ||
        !succeeded(kelvo_table_definition_add_column(table, "payload", KELVO_TEXT, 0xFFFFFFFFu, NULL, false),
                   "column") ||
        !succeeded(kelvo_create_table(connection, table, true), "CREATE TABLE") || !load(connection, table))
        goto done;
    printf("loaded %d rows%s\n", ROW_COUNT, bulk ? " in bulk mode" : "");

    if (!succeeded(kelvo_execute_query(connection,
                                       "SELECT count(*), CAST(sum(id) AS BIGINT), "
                                       "CAST(sum(length(payload)) AS BIGINT) FROM events",
                                       &rowset),
                   "SELECT") ||
        !succeeded(kelvo_rowset_get_next_chunk(rowset, &chunk), "reading the count") || chunk == NULL)
        goto done;
    printf("the table holds %lld rows, ids summing to %lld, %lld payload bytes\n",
           (long long)kelvo_read_int64(kelvo_rowset_chunk_field_value(chunk, 0, 0).value),
           (long long)kelvo_read_int64(kelvo_rowset_chunk_field_value(chunk, 0, 1).value),
           (long long)kelvo_read_int64(kelvo_rowset_chunk_field_value(chunk, 0, 2).value));
    kelvo_destroy_rowset_chunk(chunk);
    kelvo_close_rowset(rowset);
    rowset = NULL;
    /* Leave no file behind: detach the database, then drop it. */
    ok = succeeded(kelvo_detach_all_databases(connection), "DETACH") &&
         succeeded(kelvo_drop_database(connection, "bulk_load.kelvo", true), "DROP DATABASE");

done:
    kelvo_close_rowset(rowset);
    kelvo_destroy_table_definition(table);
    kelvo_disconnect(connection);
    kelvo_parameters_destroy(parameters);
    kelvo_instance_close(instance);
    kelvo_log_set_log_function(NULL, NULL);
    return ok ? 0 : 1;
}
