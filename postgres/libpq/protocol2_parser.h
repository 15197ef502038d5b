// The protocol 2.0 dispatcher, for a connection whose start-up fell back to
// that protocol. Messages have no length word, so a message is consumed only
// when every one of its parts has arrived; rows carry a NULL bitmap.
#pragma once

#include "postgres/libpq/connection_record.h"

void pqParseInput2(PGconn* conn);

// Reads an error or notice: one plain text, split into severity ('S'), the
// primary message ('M') and the detail ('D'). 0, or EOF when incomplete.
int pqGetErrorNotice2(PGconn* conn, bool isError);
