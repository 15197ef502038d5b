// The SCRAM-SHA-256 client exchange: client-first-message, then the proof
// in answer to the server-first-message, then the check of the server's
// signature. The user name is left empty ("n=,"): the server takes it from
// the start-up packet.
#include "postgres/libpq/scram_client.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "postgres/common/base64.h"
#include "postgres/common/saslprep.h"
#include "postgres/libpq/pq_exp_buffer.h"
#include "postgres/port/strong_random.h"

namespace {

scram_random_source g_random_source = pg_strong_random;

// Replaces the connection's error text, as every authentication failure does.
void __attribute__((format(printf, 2, 3))) SetError(fe_scram_state* state, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int needed = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    char* text = needed < 0 ? nullptr : static_cast<char*>(std::malloc(static_cast<std::size_t>(needed) + 1));
    if (text == nullptr) {
        printfPQExpBuffer(&state->conn->errorMessage, "out of memory");
        return;
    }
    va_start(args, fmt);
    std::vsnprintf(text, static_cast<std::size_t>(needed) + 1, fmt, args);
    va_end(args);
    printfPQExpBuffer(&state->conn->errorMessage, "%s", text);
    std::free(text);
}

char* CopyText(const char* text, std::size_t len) {
    char* copy = static_cast<char*>(std::malloc(len + 1));
    if (copy == nullptr)
        return nullptr;
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

// Reads "<attr>=<value>" at *input up to the next ',' or the end, and moves
// *input past the value and its ','. Returns the value (pointing into the
// message, which is modified) or null with the error text set.
char* ReadAttributeValue(fe_scram_state* state, char** input, char attr) {
    char* begin = *input;
    if (*begin != attr) {
        SetError(state, "malformed SCRAM message (attribute \"%c\" expected)\n", attr);
        return nullptr;
    }
    begin++;
    if (*begin != '=') {
        SetError(state, "malformed SCRAM message (expected character \"=\" for attribute \"%c\")\n", attr);
        return nullptr;
    }
    begin++;
    char* end = begin;
    while (*end != '\0' && *end != ',')
        end++;
    if (*end == ',') {
        *end = '\0';
        *input = end + 1;
    } else {
        *input = end;
    }
    return begin;
}

// A decimal integer of at least 1 and at most SCRAM_MAX_ITERATIONS, with
// nothing else; -1 when it is not such a number, 0 when it is above the bound.
int ParseIterationCount(const char* text) {
    if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text))
        return -1;
    long long value = 0;
    for (const char* p = text; *p != '\0'; p++) {
        value = value * 10 + (*p - '0');
        if (value > SCRAM_MAX_ITERATIONS)
            return 0;
    }
    return value >= 1 ? static_cast<int>(value) : -1;
}

// Base64 of len bytes as a new zero-terminated text, or null.
char* EncodeBase64(const char* data, int len) {
    int enclen = pg_b64_enc_len(len);
    if (enclen < 0)
        return nullptr;
    char* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(enclen) + 1));
    if (out == nullptr)
        return nullptr;
    int n = pg_b64_encode(data, len, out, enclen);
    if (n < 0) {
        std::free(out);
        return nullptr;
    }
    out[n] = '\0';
    return out;
}

// HMAC(key, AuthMessage): the AuthMessage is client-first-message-bare ","
// server-first-message "," client-final-message-without-proof.
void SignAuthMessage(const fe_scram_state* state, const std::uint8_t* key, std::uint8_t* signature) {
    scram_HMAC_ctx ctx;
    scram_HMAC_init(&ctx, key, SCRAM_KEY_LEN);
    scram_HMAC_update(&ctx, state->client_first_message_bare,
                      static_cast<int>(std::strlen(state->client_first_message_bare)));
    scram_HMAC_update(&ctx, ",", 1);
    scram_HMAC_update(&ctx, state->server_first_message, static_cast<int>(std::strlen(state->server_first_message)));
    scram_HMAC_update(&ctx, ",", 1);
    scram_HMAC_update(&ctx, state->client_final_message_without_proof,
                      static_cast<int>(std::strlen(state->client_final_message_without_proof)));
    scram_HMAC_final(signature, &ctx);
    explicit_bzero(&ctx, sizeof ctx);
}

bool BuildClientFirstMessage(fe_scram_state* state, char** output, int* outputlen) {
    char raw_nonce[SCRAM_RAW_NONCE_LEN];
    if (!g_random_source(raw_nonce, sizeof raw_nonce)) {
        SetError(state, "could not generate nonce\n");
        return false;
    }
    state->client_nonce = EncodeBase64(raw_nonce, SCRAM_RAW_NONCE_LEN);
    if (state->client_nonce == nullptr) {
        SetError(state, "out of memory");
        return false;
    }
    PQExpBufferData buf;
    initPQExpBuffer(&buf);
    appendPQExpBuffer(&buf, "n,,n=,r=%s", state->client_nonce);
    if (PQExpBufferDataBroken(buf)) {
        termPQExpBuffer(&buf);
        SetError(state, "out of memory");
        return false;
    }
    // Everything after the GS2 header "n,," is the bare message.
    state->client_first_message_bare = CopyText(buf.data + 3, buf.len - 3);
    if (state->client_first_message_bare == nullptr) {
        termPQExpBuffer(&buf);
        SetError(state, "out of memory");
        return false;
    }
    *output = buf.data;  // handed over to the caller
    *outputlen = static_cast<int>(buf.len);
    return true;
}

bool ReadServerFirstMessage(fe_scram_state* state, char* input) {
    state->server_first_message = strdup(input);
    if (state->server_first_message == nullptr) {
        SetError(state, "out of memory");
        return false;
    }
    char* nonce = ReadAttributeValue(state, &input, 'r');
    if (nonce == nullptr)
        return false;
    if (std::strncmp(nonce, state->client_nonce, std::strlen(state->client_nonce)) != 0) {
        SetError(state, "invalid SCRAM response (nonce mismatch)\n");
        return false;
    }
    state->nonce = strdup(nonce);
    if (state->nonce == nullptr) {
        SetError(state, "out of memory");
        return false;
    }

    char* encoded_salt = ReadAttributeValue(state, &input, 's');
    if (encoded_salt == nullptr)
        return false;
    int encoded_len = static_cast<int>(std::strlen(encoded_salt));
    int maxlen = pg_b64_dec_len(encoded_len);
    state->salt = static_cast<char*>(std::malloc(static_cast<std::size_t>(maxlen) + 1));
    if (state->salt == nullptr) {
        SetError(state, "out of memory");
        return false;
    }
    state->saltlen = pg_b64_decode(encoded_salt, encoded_len, state->salt, maxlen);
    if (state->saltlen < 0) {
        SetError(state, "malformed SCRAM message (invalid salt)\n");
        return false;
    }

    // Nothing may follow the count, not even an empty attribute.
    bool garbage = std::strchr(input, ',') != nullptr;
    char* iterations = ReadAttributeValue(state, &input, 'i');
    if (iterations == nullptr)
        return false;
    state->iterations = ParseIterationCount(iterations);
    if (state->iterations < 0) {
        SetError(state, "malformed SCRAM message (invalid iteration count)\n");
        return false;
    }
    if (state->iterations == 0) {
        // Each iteration costs two SHA-256 blocks; a server must not be able
        // to keep the client busy for hours.
        SetError(state, "SCRAM iteration count %s is above the limit of %d\n", iterations, SCRAM_MAX_ITERATIONS);
        return false;
    }
    if (garbage) {
        SetError(state, "malformed SCRAM message (garbage at end of server-first-message)\n");
        return false;
    }
    return true;
}

bool BuildClientFinalMessage(fe_scram_state* state, char** output, int* outputlen) {
    PQExpBufferData buf;
    initPQExpBuffer(&buf);
    // "biws" is base64 of the GS2 header "n,,": no channel binding.
    appendPQExpBuffer(&buf, "c=biws,r=%s", state->nonce);
    if (PQExpBufferDataBroken(buf)) {
        SetError(state, "out of memory");
        return false;
    }
    state->client_final_message_without_proof = CopyText(buf.data, buf.len);
    if (state->client_final_message_without_proof == nullptr) {
        termPQExpBuffer(&buf);
        SetError(state, "out of memory");
        return false;
    }

    scram_SaltedPassword(state->password, state->salt, state->saltlen, state->iterations, state->SaltedPassword);
    std::uint8_t client_key[SCRAM_KEY_LEN];
    std::uint8_t stored_key[SCRAM_KEY_LEN];
    scram_ClientKey(state->SaltedPassword, client_key);
    scram_H(client_key, SCRAM_KEY_LEN, stored_key);

    std::uint8_t client_signature[SCRAM_KEY_LEN];
    SignAuthMessage(state, stored_key, client_signature);

    char proof[SCRAM_KEY_LEN];
    for (int i = 0; i < SCRAM_KEY_LEN; i++)
        proof[i] = static_cast<char>(client_key[i] ^ client_signature[i]);
    char* encoded_proof = EncodeBase64(proof, SCRAM_KEY_LEN);
    // The keys and the proof let anyone who reads this memory later log in
    // as the user; they go before the stack frame is reused.
    explicit_bzero(client_key, sizeof client_key);
    explicit_bzero(stored_key, sizeof stored_key);
    explicit_bzero(client_signature, sizeof client_signature);
    explicit_bzero(proof, sizeof proof);
    if (encoded_proof == nullptr) {
        termPQExpBuffer(&buf);
        SetError(state, "out of memory");
        return false;
    }
    appendPQExpBuffer(&buf, ",p=%s", encoded_proof);
    std::free(encoded_proof);
    if (PQExpBufferDataBroken(buf)) {
        SetError(state, "out of memory");
        return false;
    }
    *output = buf.data;
    *outputlen = static_cast<int>(buf.len);
    return true;
}

bool ReadServerFinalMessage(fe_scram_state* state, char* input) {
    state->server_final_message = strdup(input);
    if (state->server_final_message == nullptr) {
        SetError(state, "out of memory");
        return false;
    }
    if (*input == 'e') {
        char* error = ReadAttributeValue(state, &input, 'e');
        if (error == nullptr)
            return false;
        SetError(state, "error received from server in SCRAM exchange: %s\n", error);
        return false;
    }
    bool garbage = std::strchr(input, ',') != nullptr;
    char* encoded = ReadAttributeValue(state, &input, 'v');
    if (encoded == nullptr)
        return false;
    int encoded_len = static_cast<int>(std::strlen(encoded));
    char decoded[SCRAM_KEY_LEN + 3];
    int len = pg_b64_decode(encoded, encoded_len, decoded, static_cast<int>(sizeof decoded));
    if (len != SCRAM_KEY_LEN) {
        SetError(state, "malformed SCRAM message (invalid server signature)\n");
        return false;
    }
    std::memcpy(state->ServerSignature, decoded, SCRAM_KEY_LEN);
    if (garbage) {
        SetError(state, "malformed SCRAM message (garbage at end of server-final-message)\n");
        return false;
    }
    return true;
}

bool ServerSignatureIsValid(fe_scram_state* state) {
    std::uint8_t server_key[SCRAM_KEY_LEN];
    std::uint8_t expected[SCRAM_KEY_LEN];
    scram_ServerKey(state->SaltedPassword, server_key);
    SignAuthMessage(state, server_key, expected);
    explicit_bzero(server_key, sizeof server_key);
    // Compared in full whatever the first difference, so that the time taken
    // tells nothing about the expected signature.
    std::uint8_t diff = 0;
    for (int i = 0; i < SCRAM_KEY_LEN; i++)
        diff |= static_cast<std::uint8_t>(expected[i] ^ state->ServerSignature[i]);
    return diff == 0;
}

}  // namespace

void* pg_fe_scram_init(PGconn* conn, const char* password, const char* sasl_mechanism) {
    auto* state = static_cast<fe_scram_state*>(std::calloc(1, sizeof(fe_scram_state)));
    if (state == nullptr)
        return nullptr;
    state->conn = conn;
    state->state = FE_SCRAM_INIT;
    state->sasl_mechanism = strdup(sasl_mechanism);
    if (state->sasl_mechanism == nullptr) {
        pg_fe_scram_free(state);
        return nullptr;
    }
    char* prepared = nullptr;
    pg_saslprep_rc rc = pg_saslprep(password, &prepared);
    if (rc == SASLPREP_OOM) {
        pg_fe_scram_free(state);
        return nullptr;
    }
    if (rc != SASLPREP_SUCCESS) {
        // Not valid UTF-8 or not preparable: the bytes are used as they are,
        // as the server does when it stores such a password.
        prepared = strdup(password);
        if (prepared == nullptr) {
            pg_fe_scram_free(state);
            return nullptr;
        }
    }
    state->password = prepared;
    return state;
}

void pg_fe_scram_exchange(void* opaq, char* input, int inputlen, char** output, int* outputlen, bool* done,
                          bool* success) {
    auto* state = static_cast<fe_scram_state*>(opaq);
    *done = false;
    *success = false;
    *output = nullptr;
    *outputlen = 0;

    if (state->state != FE_SCRAM_INIT) {
        if (inputlen == 0 || input == nullptr) {
            SetError(state, "malformed SCRAM message (empty message)\n");
            *done = true;
            return;
        }
        if (inputlen != static_cast<int>(std::strlen(input))) {
            SetError(state, "malformed SCRAM message (length mismatch)\n");
            *done = true;
            return;
        }
    }

    switch (state->state) {
        case FE_SCRAM_INIT:
            if (!BuildClientFirstMessage(state, output, outputlen))
                break;
            state->state = FE_SCRAM_NONCE_SENT;
            return;
        case FE_SCRAM_NONCE_SENT:
            if (!ReadServerFirstMessage(state, input))
                break;
            if (!BuildClientFinalMessage(state, output, outputlen))
                break;
            state->state = FE_SCRAM_PROOF_SENT;
            return;
        case FE_SCRAM_PROOF_SENT:
            if (!ReadServerFinalMessage(state, input))
                break;
            *done = true;
            state->state = FE_SCRAM_FINISHED;
            *success = ServerSignatureIsValid(state);
            if (!*success)
                SetError(state, "incorrect server signature\n");
            return;
        default:
            SetError(state, "invalid SCRAM exchange state\n");
            break;
    }
    // Every failure ends the exchange.
    std::free(*output);
    *output = nullptr;
    *outputlen = 0;
    *done = true;
    state->state = FE_SCRAM_FINISHED;
}

void pg_fe_scram_free(void* opaq) {
    auto* state = static_cast<fe_scram_state*>(opaq);
    if (state == nullptr)
        return;
    // explicit_bzero, as a plain memset before free may be optimised away.
    if (state->password != nullptr) {
        explicit_bzero(state->password, std::strlen(state->password));
        std::free(state->password);
    }
    std::free(state->sasl_mechanism);
    std::free(state->client_nonce);
    std::free(state->client_first_message_bare);
    std::free(state->client_final_message_without_proof);
    std::free(state->server_first_message);
    std::free(state->salt);
    std::free(state->nonce);
    std::free(state->server_final_message);
    explicit_bzero(state->SaltedPassword, sizeof state->SaltedPassword);
    std::free(state);
}

void pg_fe_scram_set_random_source(scram_random_source source) {
    g_random_source = source != nullptr ? source : pg_strong_random;
}
