// The candidate hosts of a connection, built from its host, hostaddr and port
// options, and the checks of the remaining options before any socket is made.
#pragma once

#include <string>

#include "postgres/libpq/connection_record.h"

// Replaces conn's host list with one entry per element of hostaddr (else of
// host, else one socket entry for "/tmp"), each typed and with its port.
// On failure the message replaces errorMessage and the status is
// CONNECTION_BAD.
bool pqBuildHostList(PGconn* conn);

// The host list, then the user and database defaults, the password-file
// passwords, sslmode, client_encoding "auto" and target_session_attrs; sets
// options_valid. Failures as for pqBuildHostList.
bool pqCheckConnectionOptions(PGconn* conn);

// The password file in use: the passfile option, else ~/.pgpass; empty when
// neither can be named.
std::string pqPasswordFilePath(const PGconn* conn);
