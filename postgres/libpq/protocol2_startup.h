// The start-up pieces of a connection that falls back to protocol 2.0: its
// fixed-layout start-up packet and the settings exchange that follows it.
// Connection start-up decides when to use them.
#pragma once

#include "postgres/libpq/connection_record.h"

// Environment variables sent as SETs after a protocol 2.0 start-up; ended by
// an entry with null names.
extern const PQEnvironmentOption pqEnvironmentOptions[];

// The 292-byte start-up packet (sent behind an Int32 length): protocol
// version, then the NUL-padded fields database (64 bytes), user (32),
// options (64), an unused field (64) and tty (64), each cut to its width.
// optionsText is the options value with the start-up extensions already
// added (null: none). Returns a malloc'd packet, or null when out of memory.
char* pqBuildStartupPacket2(PGconn* conn, int* packetlen, const char* optionsText);

// Begins the settings exchange: client encoding, environment options, the
// server version, the client encoding in use.
void pqSetenvStart(PGconn* conn);

// Advances the exchange without blocking. The caller keeps conn->status at
// CONNECTION_OK while calling it (the exchange sends ordinary queries).
PostgresPollingStatusType pqSetenvPoll(PGconn* conn);
