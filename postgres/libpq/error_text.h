// The tagged text of a server error or notice ("<severity>ERROR</severity>
// <sqlstate>42P01</sqlstate><primary>...</primary>\n..."), which the error
// model reads back with kelvoapi::ReadTagValue. Every field value is escaped,
// so a server text cannot forge or cut a tag.
#pragma once

#include <string>

#include "postgres/libpq/libpq_types.h"
#include "postgres/libpq/pq_exp_buffer.h"

// Appends the tagged text of res to msg.
void pqBuildErrorMessage3(PQExpBuffer msg, const PGresult* res, PGVerbosity verbosity,
                          PGContextVisibility show_context);

// Appends the error-cursor display of the 1-based character position loc in
// query ("LINE n: ...\n" and a caret line). Nothing for a position outside
// the text. Query bytes are escaped like tag values.
void pqAppendErrorCursor(std::string& out, const char* query, int loc, int encoding);
