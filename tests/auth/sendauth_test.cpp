// The answers to authentication requests, byte for byte on a connection record
// without a socket; good exchanges are proven against PostgreSQL in tests/connect.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>

#include "postgres/common/base64.h"
#include "postgres/libpq/auth.h"
#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/scram_client.h"
#include "support/connected_record.h"
#include "support/scripted_peer.h"

// Allocations above 1 MiB fail as they do when memory runs out, so that an
// input just large enough reaches an out-of-memory path.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=1"; }
#if defined(__SANITIZE_ADDRESS__)
#define ALLOCATION_LIMIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ALLOCATION_LIMIT 1
#endif
#endif

namespace {

using kelvotest::ConnPtr;
using kelvotest::wire::Int32;
using kelvotest::wire::Message;

ConnPtr NewConn(const char* user, const char* password) {
    ConnPtr conn = kelvotest::MakeDetachedRecord();
    conn->pguser = strdup(user);
    conn->pgpass = strdup(password);
    return conn;
}

// Puts the bytes after the request code into the input buffer, answers, and
// consumes the message as the start-up code does.
int Answer(PGconn* conn, AuthRequest areq, const std::string& payload) {
    conn->inCursor = conn->inEnd;
    kelvotest::FeedInput(conn, payload);
    int rc = pg_fe_sendauth(areq, static_cast<int>(payload.size()), conn);
    conn->inStart = conn->inCursor = conn->inEnd;
    return rc;
}

std::string TakeOutput(PGconn* conn) {
    std::string out(conn->outBuffer, static_cast<std::size_t>(conn->outCount));
    conn->outCount = 0;
    return out;
}

std::string Error(PGconn* conn) { return conn->errorMessage.data; }

// The fixed nonce source: the bytes whose base64 form is the wanted nonce.
std::string g_nonce_bytes;
bool FixedNonce(void* buf, std::size_t len) {
    if (g_nonce_bytes.size() != len)
        return false;
    std::memcpy(buf, g_nonce_bytes.data(), len);
    return true;
}

class SendAuth : public ::testing::Test {
protected:
    void SetUp() override { pg_fe_scram_set_random_source(FixedNonce); }
    void TearDown() override { pg_fe_scram_set_random_source(nullptr); }

    static void UseNonce(const std::string& nonce) {
        char raw[32];
        int n = pg_b64_decode(nonce.data(), static_cast<int>(nonce.size()), raw, sizeof raw);
        ASSERT_EQ(n, SCRAM_RAW_NONCE_LEN) << nonce;
        g_nonce_bytes.assign(raw, static_cast<std::size_t>(n));
    }

    static void StartScram(PGconn* conn, const std::string& nonce) {
        UseNonce(nonce);
        ASSERT_EQ(Answer(conn, AUTH_REQ_SASL, std::string("SCRAM-SHA-256\0\0", 15)), 0) << Error(conn);
        const std::string first = "n,,n=,r=" + nonce;
        EXPECT_EQ(TakeOutput(conn),
                  Message('p', std::string("SCRAM-SHA-256\0", 14) + Int32(static_cast<int64_t>(first.size())) + first));
    }
};

constexpr char kNonce[] = "QkJCQkJCQkJCQkJCQkJCQkJC";

TEST_F(SendAuth, RefusesMethodsItDoesNotSpeak) {
    const std::tuple<AuthRequest, const char*, std::string> kCases[] = {
        {AUTH_REQ_KRB4, "Kerberos 4 authentication not supported\n", ""},
        {AUTH_REQ_SCM_CREDS, "SCM_CRED authentication method not supported\n", ""},
        {AUTH_REQ_SSPI, "SSPI authentication not supported\n", ""},
        {13, "authentication method 13 not supported\n", ""},
        {0xFFFFFFFFu, "authentication method 4294967295 not supported\n", ""},
        {AUTH_REQ_MD5, "fe_sendauth: error sending password authentication\n", "ab"},  // the salt cut short
        {AUTH_REQ_SASL_CONT,
         "fe_sendauth: invalid authentication request from server: AUTH_REQ_SASL_CONT without AUTH_REQ_SASL\n", "r=x"},
    };
    for (const auto& [areq, text, payload] : kCases) {
        ConnPtr conn = NewConn("u", "pw");
        appendPQExpBufferStr(&conn->errorMessage, "text of an earlier host\n");
        EXPECT_EQ(Answer(conn.get(), areq, payload), -1);
        EXPECT_EQ(Error(conn.get()), text);  // replaced, not appended
        EXPECT_EQ(TakeOutput(conn.get()), "");
        EXPECT_EQ(conn->password_needed, areq == AUTH_REQ_MD5);
    }
}

// A server-first-message just below the allocation limit is taken in; the
// client-final-message built from its nonce is not.
TEST_F(SendAuth, OutOfMemoryInScramIsThePlainText) {
#ifndef ALLOCATION_LIMIT
    GTEST_SKIP() << "needs the sanitizer's allocation limit";
#endif
    constexpr std::size_t kLimit = 1 << 20;
    ConnPtr conn = NewConn("postgres", "pw");
    StartScram(conn.get(), kNonce);
    std::string first;
    first.reserve(kLimit - 10);  // built without growing past the limit
    first.append("r=").append(kNonce).append(kLimit - 30 - std::strlen(kNonce), 'n').append(",s=QUJD,i=1");
    EXPECT_EQ(Answer(conn.get(), AUTH_REQ_SASL_CONT, first), -1);
    EXPECT_EQ(Error(conn.get()), "out of memory");
    EXPECT_EQ(TakeOutput(conn.get()), "");
}

TEST_F(SendAuth, ScramRefusesBadServerMessages) {
    const std::string ours = std::string("r=") + kNonce;
    const std::string first_ok = ours + "srv,s=c2FsdA==,i=2";
    const std::string bad_count = "malformed SCRAM message (invalid iteration count)\n";
    // With an empty server-final message the first message already fails.
    const std::tuple<std::string, std::string, std::string> kCases[] = {
        {"r=QkJCQkJDsrv,s=c2FsdA==,i=2", "", "invalid SCRAM response (nonce mismatch)\n"},
        {ours + ",s=c2Fsd,i=2", "", "malformed SCRAM message (invalid salt)\n"},
        {ours + ",s=c2FsdA==,i=0", "", bad_count},
        {ours + ",s=c2FsdA==,i=99999999999x", "", bad_count},
        {ours + ",s=c2FsdA==,i=99999999999999999999", "",
         "SCRAM iteration count 99999999999999999999 is above the limit of 10000000\n"},
        {first_ok + ",x=1", "", "malformed SCRAM message (garbage at end of server-first-message)\n"},
        {"s=c2FsdA==," + ours, "", "malformed SCRAM message (attribute \"r\" expected)\n"},
        {ours + ",s=c2FsdA==", "", "malformed SCRAM message (attribute \"i\" expected)\n"},
        {"", "", "malformed SCRAM message (empty message)\n"},
        {ours + std::string("\0,s=c2FsdA==,i=2", 16), "", "malformed SCRAM message (length mismatch)\n"},
        {first_ok, "e=invalid-proof", "error received from server in SCRAM exchange: invalid-proof\n"},
        {first_ok, "v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "incorrect server signature\n"},
        {first_ok,
         "v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==", "malformed SCRAM message (invalid server signature)\n"},
        {first_ok, "x=1", "malformed SCRAM message (attribute \"v\" expected)\n"},
    };
    for (const auto& [server_first, server_final, text] : kCases) {
        SCOPED_TRACE(server_first + " / " + server_final);
        ConnPtr conn = NewConn("postgres", "pw");
        // An earlier host's text of the same length must not hide the step's.
        appendPQExpBufferStr(&conn->errorMessage, std::string(text.size(), '#').c_str());
        StartScram(conn.get(), kNonce);
        int rc = Answer(conn.get(), AUTH_REQ_SASL_CONT, server_first);
        if (server_first == first_ok) {
            ASSERT_EQ(rc, 0) << Error(conn.get());
            TakeOutput(conn.get());
            rc = Answer(conn.get(), AUTH_REQ_SASL_FIN, server_final);
        }
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(Error(conn.get()), text);
        EXPECT_EQ(TakeOutput(conn.get()), "");
    }
}

TEST_F(SendAuth, ScramStepsOutOfOrder) {
    const std::string first = std::string("r=") + kNonce + "srv,s=c2FsdA==,i=1";
    const std::pair<std::function<int(PGconn*)>, const char*> cases[] = {
        {[&](PGconn* c) { return Answer(c, AUTH_REQ_SASL_FIN, first); },
         "AuthenticationSASLFinal received from server, but SASL authentication was not completed\n"},
        {[](PGconn* c) {  // a length beyond the buffered message
             c->inCursor = c->inStart;
             return pg_fe_sendauth(AUTH_REQ_SASL_CONT, 0x7ffffff0, c);
         },
         "fe_sendauth: error in SASL authentication\n"},
        {[](PGconn* c) { return Answer(c, AUTH_REQ_SASL, std::string("SCRAM-SHA-256\0\0", 15)); },
         "duplicate SASL authentication request\n"},
        {[&](PGconn* c) {  // continue after a failed step
             EXPECT_EQ(Answer(c, AUTH_REQ_SASL_CONT, "r=other,s=c2FsdA==,i=1"), -1);
             return Answer(c, AUTH_REQ_SASL_CONT, first);
         },
         "invalid SCRAM exchange state\n"},
    };
    for (const auto& [step, text] : cases) {
        SCOPED_TRACE(text);
        ConnPtr conn = NewConn("postgres", "pw");
        StartScram(conn.get(), kNonce);
        EXPECT_EQ(step(conn.get()), -1);
        EXPECT_EQ(Error(conn.get()), text);
        EXPECT_EQ(TakeOutput(conn.get()), "");
    }
    // A new server after the connection was dropped starts afresh.
    ConnPtr conn = NewConn("postgres", "pw");
    StartScram(conn.get(), kNonce);
    pqDropConnection(conn.get(), true);
    EXPECT_EQ(conn->sasl_state, nullptr);
    StartScram(conn.get(), kNonce);
}

TEST_F(SendAuth, ChoosesScramFromTheMechanismListOrCannotStart) {
    const std::string scram("SCRAM-SHA-256\0\0", 15);
    // The payload of the SASL request, the password's length (1024 is the
    // limit), whether random bytes are there for the nonce, the answer, the text.
    const std::tuple<std::string, size_t, bool, int, const char*> kCases[] = {
        {std::string("OTHER\0SCRAM-SHA-256\0\0", 21), 1024, true, 0, ""},
        {std::string("SCRAM-SHA-256-PLUS\0\0", 20), 1024, true, -1,
         "server offered SCRAM-SHA-256-PLUS authentication over a non-SSL connection\n"},
        {std::string("SCRAM-SHA-256\0SCRAM-SHA-256-PLUS\0\0", 34), 1024, true, -1,
         "server offered SCRAM-SHA-256-PLUS authentication over a non-SSL connection\n"},
        {std::string("SCRAM-SHA-1\0\0", 13), 1024, true, -1,
         "none of the server's SASL authentication mechanisms are supported\n"},
        {std::string("SCRAM-SHA-256\0", 14), 1024, true, -1,
         "fe_sendauth: invalid authentication request from server: invalid list of authentication mechanisms\n"},
        {scram, 1025, true, -1, "password too long for SCRAM authentication (more than 1024 bytes)\n"},
        {scram, 2, false, -1, "could not generate nonce\n"},
    };
    for (const auto& [list, passwordLength, random, rc, text] : kCases) {
        SCOPED_TRACE(::testing::PrintToString(list));
        ConnPtr conn = NewConn("postgres", std::string(passwordLength, 'p').c_str());
        UseNonce(kNonce);
        if (!random)
            g_nonce_bytes.clear();
        // Bytes of a following message sit in the buffer: the list must not
        // be read into them.
        kelvotest::FeedInput(conn.get(), list + std::string("\0\0", 2) + Message('Z', "I"));
        EXPECT_EQ(pg_fe_sendauth(AUTH_REQ_SASL, static_cast<int>(list.size()), conn.get()), rc);
        EXPECT_EQ(Error(conn.get()), text);
        EXPECT_LE(conn->inCursor, static_cast<int>(list.size()));
        EXPECT_EQ(TakeOutput(conn.get()).empty(), rc != 0);
    }
}

}  // namespace
