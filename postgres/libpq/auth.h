// Answers to the server's authentication requests during start-up, and the
// operating-system user name that serves as the default user.
#pragma once

#include <cstdint>

#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/pq_exp_buffer.h"

// Request codes: the Int32 after the 'R' type byte.
#define AUTH_REQ_OK 0
#define AUTH_REQ_KRB4 1
#define AUTH_REQ_KRB5 2
#define AUTH_REQ_PASSWORD 3
#define AUTH_REQ_CRYPT 4
#define AUTH_REQ_MD5 5
#define AUTH_REQ_SCM_CREDS 6
#define AUTH_REQ_GSS 7
#define AUTH_REQ_GSS_CONT 8
#define AUTH_REQ_SSPI 9
#define AUTH_REQ_SASL 10
#define AUTH_REQ_SASL_CONT 11
#define AUTH_REQ_SASL_FIN 12

typedef std::uint32_t AuthRequest;

// Answers request areq. The connection's inCursor stands right after the
// request code and payloadlen is the number of bytes of the message that
// follow it (the MD5 salt, the mechanism list, the SASL data), all of which
// must be buffered; reads never go past them, and the caller moves inStart
// to the end of the message. The answer is queued in the output buffer for
// the caller to flush. Returns 0 when answered (or nothing to answer), -1
// with the text as the connection's whole error text.
int pg_fe_sendauth(AuthRequest areq, int payloadlen, PGconn* conn);

// The name of the effective user as a new text (free it with free()), or
// null with the reason in errorMessage when one is given.
char* pg_fe_getauthname(PQExpBuffer errorMessage);
