// The client's answers to authentication requests: refusals of the methods
// it does not speak, cleartext and MD5 password messages, and the SASL
// messages that carry a SCRAM-SHA-256 exchange (scram_client.h).
#include "postgres/libpq/auth.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "error/tagged_text.h"
#include "postgres/common/md5.h"
#include "postgres/common/scram_common.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/scram_client.h"
#include "postgres/libpq/thread_lock.h"

namespace {

// The password for the current host: its entry's password (from the
// password file) when it has one, else the password option.
const char* PasswordOf(const PGconn* conn) {
    if (conn->connhost != nullptr && conn->whichhost >= 0 && conn->whichhost < conn->nconnhost) {
        const char* password = conn->connhost[conn->whichhost].password;
        if (password != nullptr && password[0] != '\0')
            return password;
    }
    return conn->pgpass;
}

// Sets password_needed and returns the password, or null with the error text
// set when there is none.
const char* RequirePassword(PGconn* conn) {
    conn->password_needed = true;
    const char* password = PasswordOf(conn);
    if (password == nullptr || password[0] == '\0') {
        printfPQExpBuffer(
            &conn->errorMessage, "%s",
            kelvoapi::TaggedText().Sqlstate("28P01").Primary("fe_sendauth: No password was supplied.").c_str());
        return nullptr;
    }
    return password;
}

// A PasswordMessage: 'p', length, text and its zero; on protocol 2.0 a
// length-prefixed packet without type byte.
int SendPasswordPacket(PGconn* conn, const char* text) {
    char type = PG_PROTOCOL_MAJOR(conn->pversion) >= 3 ? 'p' : 0;
    if (pqPutMsgStart(type, true, conn) != 0 || pqPutnchar(text, std::strlen(text) + 1, conn) != 0 ||
        pqPutMsgEnd(conn) != 0) {
        return -1;
    }
    return 0;
}

int SendPassword(PGconn* conn, AuthRequest areq, int payloadlen, const char* password) {
    if (areq == AUTH_REQ_PASSWORD)
        return SendPasswordPacket(conn, password);

    char salt[4];
    if (payloadlen < static_cast<int>(sizeof salt) || pqGetnchar(salt, sizeof salt, conn) != 0)
        return -1;
    // "md5" + MD5(MD5(password + user) in hex + salt) in hex.
    char inner[MD5_PASSWD_LEN + 1];
    char outer[MD5_PASSWD_LEN + 1];
    const char* user = conn->pguser != nullptr ? conn->pguser : "";
    if (!pg_md5_encrypt(password, user, std::strlen(user), inner) ||
        !pg_md5_encrypt(inner + 3, salt, sizeof salt, outer)) {
        printfPQExpBuffer(&conn->errorMessage, "out of memory");
        return -1;
    }
    int rc = SendPasswordPacket(conn, outer);
    // The inner digest stands for the password itself; a plain memset here
    // could be optimised away.
    explicit_bzero(inner, sizeof inner);
    explicit_bzero(outer, sizeof outer);
    return rc;
}

// Queues a SASL message: the initial response carries the mechanism name and
// a data length (-1 for none) before the data.
int SendSaslMessage(PGconn* conn, const char* mechanism, const char* data, int datalen) {
    if (pqPutMsgStart('p', true, conn) != 0)
        return -1;
    if (mechanism != nullptr) {
        if (pqPuts(mechanism, conn) != 0)
            return -1;
        if (pqPutInt(data != nullptr ? datalen : -1, 4, conn) != 0)
            return -1;
    }
    if (data != nullptr && pqPutnchar(data, static_cast<std::size_t>(datalen), conn) != 0)
        return -1;
    return pqPutMsgEnd(conn);
}

// A failed step has written its own text; a failed send may have. The
// generic text stands in only when there is none at all.
int FailSasl(PGconn* conn) {
    if (conn->errorMessage.len == 0)
        printfPQExpBuffer(&conn->errorMessage, "fe_sendauth: error in SASL authentication\n");
    return -1;
}

int StartSasl(PGconn* conn, int payloadlen) {
    if (conn->sasl_state != nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "duplicate SASL authentication request\n");
        return -1;
    }

    // The mechanism names, each ended by a zero, the list by an empty one;
    // none may run past the message.
    const int end =
        payloadlen >= 0 && payloadlen <= conn->inEnd - conn->inCursor ? conn->inCursor + payloadlen : conn->inCursor;
    const char* selected = nullptr;
    PQExpBufferData mechanism;
    initPQExpBuffer(&mechanism);
    for (;;) {
        if (pqGetsBounded(&mechanism, end, conn) != 0) {
            termPQExpBuffer(&mechanism);
            printfPQExpBuffer(&conn->errorMessage,
                              "fe_sendauth: invalid authentication request from server: "
                              "invalid list of authentication mechanisms\n");
            return -1;
        }
        if (PQExpBufferDataBroken(mechanism)) {
            printfPQExpBuffer(&conn->errorMessage, "out of memory");
            return -1;
        }
        if (mechanism.data[0] == '\0')
            break;
        // Channel binding needs an encrypted connection, which this client never has.
        if (std::strcmp(mechanism.data, SCRAM_SHA_256_PLUS_NAME) == 0) {
            termPQExpBuffer(&mechanism);
            printfPQExpBuffer(&conn->errorMessage,
                              "server offered SCRAM-SHA-256-PLUS authentication over a non-SSL connection\n");
            return -1;
        }
        if (std::strcmp(mechanism.data, SCRAM_SHA_256_NAME) == 0)
            selected = SCRAM_SHA_256_NAME;
    }
    termPQExpBuffer(&mechanism);
    if (selected == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "none of the server's SASL authentication mechanisms are supported\n");
        return -1;
    }

    const char* password = RequirePassword(conn);
    if (password == nullptr)
        return -1;
    if (std::strlen(password) > static_cast<std::size_t>(SCRAM_MAX_PASSWORD_LEN)) {
        printfPQExpBuffer(&conn->errorMessage, "password too long for SCRAM authentication (more than %d bytes)\n",
                          SCRAM_MAX_PASSWORD_LEN);
        return -1;
    }
    conn->sasl_state = pg_fe_scram_init(conn, password, selected);
    if (conn->sasl_state == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "out of memory");
        return -1;
    }

    char* output = nullptr;
    int outputlen = 0;
    bool done = false;
    bool success = false;
    pg_fe_scram_exchange(conn->sasl_state, nullptr, -1, &output, &outputlen, &done, &success);
    if (done && !success) {
        std::free(output);
        return FailSasl(conn);
    }
    int rc = SendSaslMessage(conn, selected, output, outputlen);
    std::free(output);
    return rc == 0 ? 0 : FailSasl(conn);
}

int ContinueSasl(PGconn* conn, int payloadlen, bool final) {
    if (conn->sasl_state == nullptr) {
        printfPQExpBuffer(&conn->errorMessage,
                          "fe_sendauth: invalid authentication request from server: "
                          "AUTH_REQ_SASL_CONT without AUTH_REQ_SASL\n");
        return -1;
    }
    // The whole message is buffered by now; a length beyond it is a lie and
    // must not decide how much memory is taken.
    if (payloadlen < 0 || payloadlen > conn->inEnd - conn->inCursor) {
        printfPQExpBuffer(&conn->errorMessage, "fe_sendauth: error in SASL authentication\n");
        return -1;
    }
    char* challenge = static_cast<char*>(std::malloc(static_cast<std::size_t>(payloadlen) + 1));
    if (challenge == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "out of memory allocating SASL buffer (%d)\n", payloadlen);
        return -1;
    }
    if (pqGetnchar(challenge, static_cast<std::size_t>(payloadlen), conn) != 0) {
        std::free(challenge);
        printfPQExpBuffer(&conn->errorMessage, "fe_sendauth: error in SASL authentication\n");
        return -1;
    }
    challenge[payloadlen] = '\0';

    char* output = nullptr;
    int outputlen = 0;
    bool done = false;
    bool success = false;
    pg_fe_scram_exchange(conn->sasl_state, challenge, payloadlen, &output, &outputlen, &done, &success);
    std::free(challenge);

    if (final && !done) {
        std::free(output);
        printfPQExpBuffer(&conn->errorMessage,
                          "AuthenticationSASLFinal received from server, but SASL authentication was not completed\n");
        return -1;
    }
    if (done && !success) {
        std::free(output);
        return FailSasl(conn);
    }
    if (output != nullptr) {
        int rc = SendSaslMessage(conn, nullptr, output, outputlen);
        std::free(output);
        if (rc != 0)
            return FailSasl(conn);
    }
    return 0;
}

}  // namespace

int pg_fe_sendauth(AuthRequest areq, int payloadlen, PGconn* conn) {
    switch (areq) {
        case AUTH_REQ_OK:
            return 0;
        case AUTH_REQ_KRB4:
            printfPQExpBuffer(&conn->errorMessage, "Kerberos 4 authentication not supported\n");
            return -1;
        case AUTH_REQ_KRB5:
            printfPQExpBuffer(&conn->errorMessage, "Kerberos 5 authentication not supported\n");
            return -1;
        case AUTH_REQ_CRYPT:
            printfPQExpBuffer(&conn->errorMessage, "Crypt authentication not supported\n");
            return -1;
        case AUTH_REQ_SCM_CREDS:
            printfPQExpBuffer(&conn->errorMessage, "SCM_CRED authentication method not supported\n");
            return -1;
        case AUTH_REQ_GSS:
        case AUTH_REQ_GSS_CONT:
            printfPQExpBuffer(&conn->errorMessage, "GSSAPI authentication not supported\n");
            return -1;
        case AUTH_REQ_SSPI:
            printfPQExpBuffer(&conn->errorMessage, "SSPI authentication not supported\n");
            return -1;
        case AUTH_REQ_PASSWORD:
        case AUTH_REQ_MD5: {
            const char* password = RequirePassword(conn);
            if (password == nullptr)
                return -1;
            if (SendPassword(conn, areq, payloadlen, password) != 0) {
                printfPQExpBuffer(&conn->errorMessage, "fe_sendauth: error sending password authentication\n");
                return -1;
            }
            return 0;
        }
        case AUTH_REQ_SASL:
            return StartSasl(conn, payloadlen);
        case AUTH_REQ_SASL_CONT:
        case AUTH_REQ_SASL_FIN:
            return ContinueSasl(conn, payloadlen, areq == AUTH_REQ_SASL_FIN);
        default:
            printfPQExpBuffer(&conn->errorMessage, "authentication method %u not supported\n", areq);
            return -1;
    }
}

char* pg_fe_getauthname(PQExpBuffer errorMessage) {
    const uid_t user_id = geteuid();
    char* name = nullptr;

    pg_g_threadlock(1);
    // Start from the size the system suggests and grow while the entry does
    // not fit, so that long entries are found rather than reported missing.
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t bufsize = suggested > 0 ? static_cast<std::size_t>(suggested) : 1024;
    for (;;) {
        char* buf = static_cast<char*>(std::malloc(bufsize));
        if (buf == nullptr) {
            if (errorMessage != nullptr)
                printfPQExpBuffer(errorMessage, "out of memory");
            break;
        }
        struct passwd entry;
        struct passwd* found = nullptr;
        int rc = getpwuid_r(user_id, &entry, buf, bufsize, &found);
        if (rc == ERANGE && bufsize < (1u << 20)) {
            std::free(buf);
            bufsize *= 2;
            continue;
        }
        if (rc != 0) {
            if (errorMessage != nullptr) {
                printfPQExpBuffer(errorMessage, "could not look up local user ID %d: %s\n", static_cast<int>(user_id),
                                  std::strerror(rc));
            }
        } else if (found == nullptr) {
            if (errorMessage != nullptr)
                printfPQExpBuffer(errorMessage, "local user with ID %d does not exist\n", static_cast<int>(user_id));
        } else {
            name = strdup(found->pw_name);
            if (name == nullptr && errorMessage != nullptr)
                printfPQExpBuffer(errorMessage, "out of memory");
        }
        std::free(buf);
        break;
    }
    pg_g_threadlock(0);
    return name;
}
