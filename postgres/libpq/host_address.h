// Resolving the current host-list entry into the addresses to try, preparing
// a socket for one, and the texts that name an entry. Used by the start-up
// state machine (connect.cpp).
#pragma once

#include "postgres/libpq/connection_record.h"

// Resolves conn->connhost[conn->whichhost] into conn->addrlist: a host name
// through the resolver, an address numerically only, a socket directory into
// "<dir>/.s.PGSQL.<port>". False, with the reason appended to errorMessage,
// when the entry cannot be used (the caller goes on to the next host).
bool pqResolveHost(PGconn* conn);

// Frees conn->addrlist however it was made.
void pqReleaseAddrList(PGconn* conn);

// Applies the keepalive options to a TCP socket; false, with the reason
// appended, when one is not an integer or the system refuses it.
bool pqSetKeepalives(PGconn* conn);

// Appends the tagged 08001 text for a connection attempt that failed with
// the system error `error`, naming the socket path or host and port.
void pqAppendConnectFailure(PGconn* conn, int error);

// The port text of an entry, "5432" when it has none.
const char* pqEntryPortText(const pg_conn_host& entry);
// The entry's hostaddr for an address entry, else its host.
const char* pqEntryDisplayedHost(const pg_conn_host& entry);
