// ParameterStatus pairs reported by the server, and what the client derives
// from them: the connection's encoding, standard_conforming_strings and
// server version number, plus process-wide copies of the first two.
#pragma once

#include "postgres/libpq/connection_record.h"

// Records a pair (replacing one of the same name) and applies it.
void pqSaveParameterStatus(PGconn* conn, const char* name, const char* value);

// The value last reported under name, or null.
const char* PQparameterStatus(const PGconn* conn, const char* paramName);

// "a.b.c" -> (100a + b) * 100 + c; "a.b" -> 10000a + b for a >= 10, else
// (100a + b) * 100; "a" -> 10000a; no number -> 0.
int pqParseServerVersion(const char* value);

// The last client encoding id and standard_conforming_strings flag that any
// connection of the process reported.
int pqLastClientEncoding();
bool pqLastStdStrings();
