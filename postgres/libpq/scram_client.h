// The client side of SCRAM-SHA-256 (RFC 5802, RFC 7677) without channel
// binding: the state of one exchange and the step that answers each server
// message. pg_fe_sendauth (auth.h) drives it; the state lives in the
// connection's sasl_state until the connection is dropped or freed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "postgres/common/scram_common.h"
#include "postgres/libpq/connection_record.h"

#define SCRAM_SHA_256_NAME "SCRAM-SHA-256"
#define SCRAM_SHA_256_PLUS_NAME "SCRAM-SHA-256-PLUS"

typedef enum { FE_SCRAM_INIT, FE_SCRAM_NONCE_SENT, FE_SCRAM_PROOF_SENT, FE_SCRAM_FINISHED } fe_scram_state_enum;

typedef struct fe_scram_state {
    fe_scram_state_enum state;
    PGconn* conn;    // receives the error texts; not owned
    char* password;  // after SASLprep
    char* sasl_mechanism;
    std::uint8_t SaltedPassword[SCRAM_KEY_LEN];

    // From the first step.
    char* client_nonce;
    char* client_first_message_bare;
    char* client_final_message_without_proof;

    // From the server-first-message.
    char* server_first_message;
    char* salt;
    int saltlen;
    int iterations;
    char* nonce;

    // From the server-final-message.
    char* server_final_message;
    std::uint8_t ServerSignature[SCRAM_KEY_LEN];
} fe_scram_state;

// A new exchange for conn with the given password (prepared with SASLprep
// when it is valid UTF-8 without prohibited characters, else used as it is).
// Null when out of memory, which includes a password longer than
// SCRAM_MAX_PASSWORD_LEN bytes.
void* pg_fe_scram_init(PGconn* conn, const char* password, const char* sasl_mechanism);

// Answers the server's data (none for the first call). On return *output is
// a new response of *outputlen bytes (free it with free()) or null, *done
// tells whether the exchange is over and *success whether it succeeded.
// Every failure ends the exchange and leaves its text as the connection's
// error text.
void pg_fe_scram_exchange(void* opaq, char* input, int inputlen, char** output, int* outputlen, bool* done,
                          bool* success);

void pg_fe_scram_free(void* opaq);

// Where the random bytes of the client nonce come from (pg_strong_random
// unless replaced). Tests replace it to replay an exchange with a known
// nonce; null restores the default.
typedef bool (*scram_random_source)(void* buf, std::size_t len);
void pg_fe_scram_set_random_source(scram_random_source source);
