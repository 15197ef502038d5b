// Pinging a server: a connection attempt made only to learn whether a server
// is there and accepting connections. The database API pings with
// PQpingParams; PQping takes a connection string.
#pragma once

#include "postgres/libpq/libpq_types.h"

PGPing PQpingParams(const char* const* keywords, const char* const* values, int expand_dbname);
PGPing PQping(const char* conninfo);
