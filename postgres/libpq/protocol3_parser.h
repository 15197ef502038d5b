// The protocol 3.0 message parser: turns the bytes in a connection's input
// buffer into state changes and results. It never blocks and never touches
// the socket; a message is consumed only once it is complete, so a caller may
// feed the buffer one byte at a time.
#pragma once

#include "postgres/libpq/connection_record.h"

// Consumes every complete message that the connection's asyncStatus allows.
void pqParseInput3(PGconn* conn);

// Loss of synchronisation: the 08P01 error result, and the connection is
// dropped, for no later message boundary can be trusted.
void pqHandleSyncLoss(PGconn* conn, char id, int msgLength);

// Reads an ErrorResponse (isError) or NoticeResponse body; 0, or EOF when the
// body is incomplete.
int pqGetErrorNotice3(PGconn* conn, bool isError);

// Messages longer than this are loss of synchronisation unless their type
// may be long.
constexpr int kMaxShortMessageLength = 30000;

// Whether a message of this type may be longer than kMaxShortMessageLength.
inline bool pqMessageMayBeLong(char id) {
    return id == 'T' || id == 'D' || id == 'd' || id == 'V' || id == 'E' || id == 'N' || id == 'A';
}
