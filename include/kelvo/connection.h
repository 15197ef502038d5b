/* kelvo: connection functions of the C interface: opening, closing and
 * pinging connections, their settings, catalog questions and the database,
 * schema and table statements.
 *
 * While a rowset or an inserter of a connection exists the connection is
 * busy: every function that sends a statement on it fails with SQLSTATE 55006
 * "The connection is not ready."; cancelling, pinging, the status queries and
 * the settings stay allowed. A connection is used by one thread at a time.
 *
 * A null pointer where an object or a place for a result is needed is refused
 * with code 22 of the generic category ("Invalid `<argument>`"); the queries
 * and setters answer a null connection as a closed one. */
#ifndef KELVO_CONNECTION_H
#define KELVO_CONNECTION_H

#include "kelvo/common.h"
#include "kelvo/parameters.h"
#include "kelvo/string_list.h"
#include "kelvo/types.h"

KELVO_EXTERN_C_BEGIN

typedef struct kelvo_connection_t kelvo_connection_t;

typedef enum kelvo_create_mode_t {
    KELVO_DO_NOT_CREATE = 0,
    KELVO_CREATE = 1,
    KELVO_CREATE_IF_NOT_EXISTS = 2,
    KELVO_CREATE_AND_REPLACE = 3
} kelvo_create_mode_t;

typedef enum kelvo_connection_status_t { KELVO_CONNECTION_OK = 0, KELVO_CONNECTION_BAD = 1 } kelvo_connection_status_t;

typedef enum kelvo_ping_status_t {
    KELVO_PING_OK = 0,
    KELVO_PING_REJECT = 1,
    KELVO_PING_NO_RESPONSE = 2,
    KELVO_PING_NO_ATTEMPT = 3
} kelvo_ping_status_t;

/* Called with the context given to kelvo_set_notice_receiver and a new error
 * object describing the server's notice; the receiver owns the error and frees
 * it with kelvo_error_destroy. It runs on the thread that reads the
 * connection's results: the caller's, also while a rowset prefetches. */
typedef void (*kelvo_notice_receiver_t)(void* context, kelvo_error_t* notice);

/* Opens a connection to a server started by this process (the `endpoint`
 * parameter must name one, else SQLSTATE 08001). A create mode other than
 * KELVO_DO_NOT_CREATE first creates (or replaces) the database named by
 * `dbname`. The parameters are not changed; *connection is written only on
 * success. */
KELVO_API kelvo_error_t* kelvo_connect(const kelvo_parameters_t* parameters, kelvo_connection_t** connection,
                                       kelvo_create_mode_t mode);
/* Releases the handle; the connection detaches its databases and closes once
 * no rowset or inserter uses it any more. Null is ignored. */
KELVO_API void kelvo_disconnect(kelvo_connection_t* connection);
/* Asks the server to cancel the running statement; allowed while busy. */
KELVO_API kelvo_error_t* kelvo_cancel(kelvo_connection_t* connection);
/* Whether a server answers at the parameters' endpoint. */
KELVO_API kelvo_error_t* kelvo_ping(const kelvo_parameters_t* parameters, kelvo_ping_status_t* ping_status);
/* KELVO_CONNECTION_BAD for a null handle and for a closed or broken
 * connection. */
KELVO_API kelvo_connection_status_t kelvo_connection_status(kelvo_connection_t* connection);
/* False while a rowset or inserter uses the connection. */
KELVO_API bool kelvo_connection_is_ready(kelvo_connection_t* connection);
/* The value the server reported for a run-time parameter, or null; owned by
 * the connection. */
KELVO_API const char* kelvo_connection_parameter_status(const kelvo_connection_t* connection,
                                                        const char* parameter_name);
/* On by default: query results arrive in chunks of 256 rows. Applies to the
 * next query. */
KELVO_API void kelvo_set_chunked_mode(kelvo_connection_t* connection, bool chunked_mode);
/* Result bytes received ahead of the caller beyond which a rowset's prefetch
 * thread waits (256 MiB by default); 0 turns prefetching off. Applies to the
 * next query. */
KELVO_API void kelvo_set_prefetch_threshold(kelvo_connection_t* connection, size_t prefetch_threshold);
/* Installs a notice receiver and returns the previous one; a null receiver
 * changes nothing (and only returns the installed one). */
KELVO_API kelvo_notice_receiver_t kelvo_set_notice_receiver(kelvo_connection_t* connection,
                                                            kelvo_notice_receiver_t receiver, void* context);

/* Catalog questions. A null database or schema stands for the empty name,
 * which the server resolves; results are stored only on success and are
 * owned by the caller. */
KELVO_API kelvo_error_t* kelvo_get_schema_names(kelvo_connection_t* connection, const char* database,
                                                kelvo_string_list_t** schema_names);
KELVO_API kelvo_error_t* kelvo_get_table_names(kelvo_connection_t* connection, const char* database, const char* schema,
                                               kelvo_string_list_t** table_names);
KELVO_API kelvo_error_t* kelvo_has_table(kelvo_connection_t* connection, const char* database, const char* schema,
                                         const char* table, bool* exists);
KELVO_API kelvo_error_t* kelvo_get_table_definition(kelvo_connection_t* connection, const char* database_name,
                                                    const char* schema_name, const char* table_name,
                                                    kelvo_table_definition_t** table_definition);

/* Database, schema and table statements; every name is quoted as an SQL
 * identifier. */
KELVO_API kelvo_error_t* kelvo_create_database(kelvo_connection_t* connection, const char* path, bool failIfExists);
KELVO_API kelvo_error_t* kelvo_drop_database(kelvo_connection_t* connection, const char* path, bool failIfNotExists);
/* A null alias takes the file name of the path without its last extension. */
KELVO_API kelvo_error_t* kelvo_attach_database(kelvo_connection_t* connection, const char* path, const char* alias);
KELVO_API kelvo_error_t* kelvo_detach_database(kelvo_connection_t* connection, const char* alias);
KELVO_API kelvo_error_t* kelvo_detach_all_databases(kelvo_connection_t* connection);
/* A null databaseName leaves the schema unqualified. */
KELVO_API kelvo_error_t* kelvo_create_schema(kelvo_connection_t* connection, const char* databaseName,
                                             const char* schemaName, bool failIfExists);
KELVO_API kelvo_error_t* kelvo_create_table(kelvo_connection_t* connection, const kelvo_table_definition_t* definition_,
                                            bool failIfExists);

KELVO_EXTERN_C_END

#endif
