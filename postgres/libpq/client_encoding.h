// Changing and reading the client encoding of an established connection.
#pragma once

#include "postgres/libpq/connection_record.h"

// Runs "set client_encoding to '<name>'" ("auto" stands for the encoding of
// the process locale). 0 when the server accepted it, -1 otherwise.
int PQsetClientEncoding(PGconn* conn, const char* encoding);

// The encoding id the server last reported; -1 without a connection or while
// the connection is not CONNECTION_OK.
int PQclientEncoding(const PGconn* conn);
