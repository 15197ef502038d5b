// The start-up packet of a connection attempt, with the items the client adds
// to the options value (the session identifier a redirect handed over and the
// hosts already given up), and the record of a host given up.
#pragma once

#include <string>

#include "postgres/libpq/connection_record.h"

// The options value of the start-up packet: the options option, then
// " session_identifier=" (unless the value names one already) and
// " failed_connection_attempts=" items, their values escaped and quoted as
// the parameter layer quotes every other options value, so that no value can
// end an item early or unbalance the server's quotes.
std::string pqStartupOptions(const PGconn* conn);

// The whole start-up packet for conn's protocol version, length word
// included.
std::string pqBuildStartupPacket(const PGconn* conn);

// Appends the host being given up (conn->whichhost) to
// failedConnectionAttempts: "host:port" or the socket path, ','-separated.
void pqRecordFailedAttempt(PGconn* conn);
