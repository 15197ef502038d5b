/* kelvo example: load rows through an inserter buffer and read them back.
 *
 * Starts a server instance, connects with a fresh database, creates a table,
 * loads rows into it cell by cell through an inserter buffer, reads them back
 * chunk by chunk (in the binary result format, read with the kelvo_read_
 * functions) and prints them, drops the database, then disconnects and closes
 * the instance. Every failure is printed with its SQLSTATE and message.
 *
 *     cc insert_rows.c $(pkg-config --cflags --libs kelvo) -o insert_rows */
#include <stdio.h>
#include <string.h>

#include "kelvo/kelvo.h"

static const char* field_text(const kelvo_error_t* error, kelvo_error_field_key key) {
    kelvo_error_field_value value;
    kelvo_error_t* failure = kelvo_error_get_field(error, key, &value);
    if (failure != NULL) {
        kelvo_error_destroy(failure);
        return "?";
    }
    return value.value.string;
}

/* Prints and frees a failure; returns 1 when there was none. */
static int succeeded(kelvo_error_t* error, const char* what) {
    if (error == NULL)
        return 1;
    fprintf(stderr, "%s failed: %s %s\n", what, field_text(error, KELVO_ERROR_FIELD_SQL_STATE),
            field_text(error, KELVO_ERROR_FIELD_MESSAGE));
    kelvo_error_destroy(error);
    return 0;
}

/* Loads the rows through an inserter and its buffer: one call per cell, in
 * column order; the buffer sends full 16 MiB chunks on its own (switching a
 * large load to bulk mode) and the flush sends the rest. */
static int load_rows(kelvo_connection_t* connection, const kelvo_table_definition_t* table) {
    static const char* const names[] = {"heron", "otter", NULL};
    kelvo_inserter_t* inserter = NULL;
    kelvo_inserter_buffer_t* buffer = NULL;
    int ok;
    int id;
    if (!succeeded(kelvo_create_inserter(connection, table, &inserter), "creating the inserter"))
        return 0;
    ok = succeeded(kelvo_create_inserter_buffer(inserter, table, "*", &buffer), "creating the inserter buffer");
    for (id = 1; ok && id <= 3; ++id) {
        const char* name = names[id - 1];
        ok = succeeded(kelvo_inserter_buffer_add_int32(buffer, id), "adding an id") &&
             succeeded(name == NULL ? kelvo_inserter_buffer_add_null(buffer)
                                    : kelvo_inserter_buffer_add_binary(buffer, (const uint8_t*)name, strlen(name)),
                       "adding a name");
    }
    ok = ok && succeeded(kelvo_inserter_buffer_flush(buffer), "sending the rows");
    kelvo_inserter_buffer_destroy(buffer);
    /* Closing with insert_data false would cancel a bulk load; the close
     * reports the server's verdict on the rows and frees the inserter. */
    ok = succeeded(kelvo_close_inserter(inserter, ok), "closing the inserter") && ok;
    return ok;
}

static int print_rows(kelvo_connection_t* connection) {
    kelvo_rowset_t* rowset = NULL;
    kelvo_rowset_chunk_t* chunk = NULL;
    size_t row;
    int ok = 1;
    if (!succeeded(kelvo_execute_query(connection, "SELECT id, name FROM animals ORDER BY id", &rowset), "SELECT"))
        return 0;
    for (;;) {
        if (!succeeded(kelvo_rowset_get_next_chunk(rowset, &chunk), "reading rows")) {
            ok = 0;
            break;
        }
        if (chunk == NULL)
            break; /* the end of the result */
        for (row = 0; row < kelvo_rowset_chunk_row_count(chunk); ++row) {
            kelvo_value_t id = kelvo_rowset_chunk_field_value(chunk, (kelvo_row_index_t)row, 0);
            kelvo_value_t name = kelvo_rowset_chunk_field_value(chunk, (kelvo_row_index_t)row, 1);
            if (name.value == NULL)
                printf("%d\t(null)\n", (int)kelvo_read_int32(id.value));
            else
                printf("%d\t%.*s\n", (int)kelvo_read_int32(id.value), (int)name.size, (const char*)name.value);
        }
        kelvo_destroy_rowset_chunk(chunk);
    }
    /* Until the rowset is closed the connection refuses new statements. */
    kelvo_close_rowset(rowset);
    return ok;
}

int main(void) {
    kelvo_parameters_t* instance_parameters = NULL;
    kelvo_parameters_t* connection_parameters = NULL;
    kelvo_instance_t* instance = NULL;
    kelvo_connection_t* connection = NULL;
    kelvo_table_definition_t* table = NULL;
    int ok = 0;

    /* The library logs nothing until a hook is installed. */
    kelvo_log_set_log_function(kelvo_default_log_function, NULL);
    kelvo_log_set_log_level(KELVO_LOG_LEVEL_WARNING);

    if (!succeeded(kelvo_create_instance_parameters(&instance_parameters, true), "instance parameters"))
        return 1;
    /* The server is found next to the library; its database lives in a
     * temporary file that closing the instance deletes. */
    if (!succeeded(kelvo_instance_create(NULL, KELVO_DISABLE_TELEMETRY, instance_parameters, &instance),
                   "starting the server"))
        goto done;
    printf("server at %s\n", kelvo_instance_get_endpoint_descriptor(instance));

    if (!succeeded(kelvo_create_connection_parameters(instance, &connection_parameters), "connection parameters") ||
        !succeeded(kelvo_parameters_set(connection_parameters, "dbname", "example.kelvo"), "setting dbname") ||
        !succeeded(kelvo_connect(connection_parameters, &connection, KELVO_CREATE_AND_REPLACE), "connecting"))
        goto done;

    table = kelvo_create_table_definition(NULL, NULL, "animals", KELVO_PERMANENT, false);
    if (table == NULL ||
        !succeeded(kelvo_table_definition_add_column(table, "id", KELVO_INT, 0xFFFFFFFFu, NULL, false), "column") ||
        !succeeded(kelvo_table_definition_add_column(table, "name", KELVO_VARCHAR, kelvo_encode_string_modifier(40),
                                                     NULL, true),
                   "column") ||
        !succeeded(kelvo_create_table(connection, table, true), "CREATE TABLE"))
        goto done;

    if (!load_rows(connection, table))
        goto done;
    printf("loaded 3 rows\n");

    ok = print_rows(connection);
    /* The example leaves no file behind: detach the database, then drop it. */
    ok = ok && succeeded(kelvo_detach_all_databases(connection), "DETACH") &&
         succeeded(kelvo_drop_database(connection, "example.kelvo", true), "DROP DATABASE");

done:
    kelvo_destroy_table_definition(table);
    /* Disconnecting detaches the connection's databases. */
    kelvo_disconnect(connection);
    kelvo_parameters_destroy(connection_parameters);
    kelvo_parameters_destroy(instance_parameters);
    if (instance != NULL)
        kelvo_instance_close(instance);
    kelvo_log_set_log_function(NULL, NULL);
    return ok ? 0 : 1;
}
