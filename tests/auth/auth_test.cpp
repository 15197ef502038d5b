// Digests, base64 and SASLprep against vectors from Python (scripts/digest_vectors.py, unicode_reference_digests.py),
// and the answers to authentication requests, byte for byte, on a record without a socket.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "auth/digest_vectors.h"
#include "auth/hex.h"
#include "auth/unicode_reference_digests.h"
#include "postgres/common/base64.h"
#include "postgres/common/md5.h"
#include "postgres/common/saslprep.h"
#include "postgres/common/scram_common.h"
#include "postgres/common/sha256.h"
#include "postgres/common/sha256_blocks.h"
#include "postgres/libpq/auth.h"
#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/scram_client.h"
#include "postgres/mb/encoding.h"
#include "support/connected_record.h"
#include "support/scripted_peer.h"

// Allocations above 1 MiB fail as they do when memory runs out, so that an input just large enough reaches an
// out-of-memory path.
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

// Puts the bytes after the request code into the input buffer, answers, and consumes the message as the start-up code
// does.
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
         "fe_sendauth: invalid authentication request from server: AUTH_REQ_SASL_CONT without AUTH_REQ_SASL\n", "r=x"}};
    for (const auto& [areq, text, payload] : kCases) {
        ConnPtr conn = NewConn("u", "pw");
        appendPQExpBufferStr(&conn->errorMessage, "text of an earlier host\n");
        EXPECT_EQ(Answer(conn.get(), areq, payload), -1);
        EXPECT_EQ(Error(conn.get()), text);  // replaced, not appended
        EXPECT_EQ(TakeOutput(conn.get()), "");
        EXPECT_EQ(conn->password_needed, areq == AUTH_REQ_MD5);
    }
}

// A server-first-message just below the allocation limit is taken in; the client-final-message built from its nonce is
// not.
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
        {first_ok, "x=1", "malformed SCRAM message (attribute \"v\" expected)\n"}};
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
         "invalid SCRAM exchange state\n"}};
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
    // The payload of the SASL request, the password's length (1024 is the limit), whether random bytes are there for
    // the nonce, the answer, the text.
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
        {scram, 2, false, -1, "could not generate nonce\n"}};
    for (const auto& [list, passwordLength, random, rc, text] : kCases) {
        SCOPED_TRACE(::testing::PrintToString(list));
        ConnPtr conn = NewConn("postgres", std::string(passwordLength, 'p').c_str());
        UseNonce(kNonce);
        if (!random)
            g_nonce_bytes.clear();
        // Bytes of a following message sit in the buffer: the list must not be read into them.
        kelvotest::FeedInput(conn.get(), list + std::string("\0\0", 2) + Message('Z', "I"));
        EXPECT_EQ(pg_fe_sendauth(AUTH_REQ_SASL, static_cast<int>(list.size()), conn.get()), rc);
        EXPECT_EQ(Error(conn.get()), text);
        EXPECT_LE(conn->inCursor, static_cast<int>(list.size()));
        EXPECT_EQ(TakeOutput(conn.get()).empty(), rc != 0);
    }
}

std::string Sha256Hex(const char* data, std::size_t len) {
    pg_sha256_ctx ctx;
    pg_sha256_init(&ctx);
    pg_sha256_update(&ctx, reinterpret_cast<const std::uint8_t*>(data), len);
    std::uint8_t digest[PG_SHA256_DIGEST_LENGTH];
    pg_sha256_final(&ctx, digest);
    return ToHex(digest, sizeof digest);
}

TEST(Digest, Md5Sha256AndBase64MatchPython) {
    for (const DigestVector& v : kDigestVectors) {
        SCOPED_TRACE("input length " + std::to_string(v.input_len));
        char hexsum[33];
        ASSERT_TRUE(pg_md5_hash(v.input, v.input_len, hexsum));
        EXPECT_STREQ(hexsum, v.md5_hex);
        EXPECT_EQ(Sha256Hex(v.input, v.input_len), v.sha256_hex);

        const int len = static_cast<int>(v.input_len);
        std::string encoded(static_cast<std::size_t>(pg_b64_enc_len(len)), '\0');
        ASSERT_EQ(pg_b64_encode(v.input, len, encoded.data(), static_cast<int>(encoded.size())),
                  static_cast<int>(encoded.size()));
        EXPECT_EQ(encoded, v.base64);
        std::string decoded(static_cast<std::size_t>(pg_b64_dec_len(static_cast<int>(encoded.size()))), '\0');
        const int n = pg_b64_decode(encoded.data(), static_cast<int>(encoded.size()), decoded.data(),
                                    static_cast<int>(decoded.size()));
        ASSERT_EQ(n, len);
        EXPECT_EQ(decoded.substr(0, static_cast<std::size_t>(n)), std::string(v.input, v.input_len));
    }
}

TEST(Digest, AcceleratedAndPortableCompressionAgree) {
    // The vectors above run through whichever form this processor uses; here the two forms meet on random states and
    // runs of blocks.
    if (!kelvo_sha256::AcceleratedAvailable())
        GTEST_SKIP() << "no SHA extensions on this processor";
    std::mt19937 random(12345);
    for (int round = 0; round < 500; round++) {
        std::size_t nblocks = 1 + random() % 5;
        std::vector<std::uint8_t> data(nblocks * 64);
        for (std::uint8_t& byte : data)
            byte = static_cast<std::uint8_t>(random());
        std::uint32_t portable[8];
        for (std::uint32_t& word : portable)
            word = static_cast<std::uint32_t>(random());
        std::uint32_t accelerated[8];
        std::memcpy(accelerated, portable, sizeof portable);
        kelvo_sha256::CompressBlocksPortable(portable, data.data(), nblocks);
        kelvo_sha256::CompressBlocksAccelerated(accelerated, data.data(), nblocks);
        ASSERT_EQ(std::vector<std::uint32_t>(portable, portable + 8),
                  std::vector<std::uint32_t>(accelerated, accelerated + 8))
            << "round " << round;
    }
}

TEST(Digest, HmacSha256MatchesPython) {
    for (const HmacVector& v : kHmacVectors) {
        SCOPED_TRACE("key length " + std::to_string(v.key_len) + ", message length " + std::to_string(v.message_len));
        scram_HMAC_ctx ctx;
        scram_HMAC_init(&ctx, reinterpret_cast<const std::uint8_t*>(v.key), static_cast<int>(v.key_len));
        scram_HMAC_update(&ctx, v.message, static_cast<int>(v.message_len));
        std::uint8_t result[SCRAM_KEY_LEN];
        scram_HMAC_final(result, &ctx);
        EXPECT_EQ(ToHex(result, sizeof result), v.hmac_hex);
    }
}

TEST(Base64, RefusesMalformedInputAndShortDestinations) {
    const char* const kMalformed[] = {
        "Zm9v YmFy",  // white space
        "Zm_v",       // outside the alphabet
        "Z===",       // padding in the second place
        "Zm=v",       // padding followed by data
        "Zg==Zm9v",   // padding before the last group
    };
    for (const char* text : kMalformed) {
        char out[32];
        EXPECT_EQ(pg_b64_decode(text, static_cast<int>(std::string(text).size()), out, sizeof out), -1) << text;
    }
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(pg_b64_decode("Zm9vYmFy", 8, out, 3), -1);
    EXPECT_EQ(pg_b64_encode("foob", 4, out, 4), -1);
    EXPECT_EQ(pg_b64_encode("foo", 3, out, 4), 4);
    EXPECT_EQ(std::string(out, 4), "Zm9v");
}

void PutBigEndian(pg_sha256_ctx* ctx, std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                   static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    pg_sha256_update(ctx, bytes, sizeof bytes);
}

TEST(Unicode, SaslprepOfEveryCodePointMatchesPython) {
    pg_sha256_ctx ctx;
    pg_sha256_init(&ctx);
    for (pg_wchar cp = 1; cp <= 0x10FFFF; cp++) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;  // surrogates have no UTF-8 form
        unsigned char utf8[5] = {};
        char* out = nullptr;
        pg_saslprep_rc rc = pg_saslprep(reinterpret_cast<char*>(unicode_to_utf8(cp, utf8)), &out);
        ASSERT_NE(rc, SASLPREP_OOM);
        const std::string prepared = out == nullptr ? std::string() : std::string(out);
        std::free(out);
        PutBigEndian(&ctx, cp);
        const std::uint8_t code = static_cast<std::uint8_t>(static_cast<std::int8_t>(rc));
        pg_sha256_update(&ctx, &code, 1);
        PutBigEndian(&ctx, static_cast<std::uint32_t>(prepared.size()));
        pg_sha256_update(&ctx, reinterpret_cast<const std::uint8_t*>(prepared.data()), prepared.size());
    }
    std::uint8_t digest[PG_SHA256_DIGEST_LENGTH];
    pg_sha256_final(&ctx, digest);
    EXPECT_EQ(ToHex(digest, sizeof digest), kSaslprepEveryCodePointSha256);
}

TEST(Unicode, SaslprepOfTexts) {
    const std::tuple<const char*, pg_saslprep_rc, const char*> kCases[] = {
        {"I\xC2\xAD\x58", SASLPREP_SUCCESS, "IX"},       // soft hyphen maps to nothing
        {"\xC3\xA9\x07", SASLPREP_PROHIBITED, nullptr},  // ASCII control beside non-ASCII
        // NFKC over marks and jamo that act on one another (unicodedata.normalize).
        {"a\xCC\xA8\xCC\x81", SASLPREP_SUCCESS, "\xC4\x85\xCC\x81"},                 // ogonek first by class
        {"a\xCC\x81\xCC\xA8", SASLPREP_SUCCESS, "\xC4\x85\xCC\x81"},                 // reordered, then composed
        {"e\xCC\x81\xCC\x81", SASLPREP_SUCCESS, "\xC3\xA9\xCC\x81"},                 // second mark blocked
        {"\xCC\x81\x61", SASLPREP_SUCCESS, "\xCC\x81\x61"},                          // no starter before the mark
        {"\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", SASLPREP_SUCCESS, "\xEA\xB0\x81"},  // Hangul L V T
        {"\xEA\xB0\x80\xE1\x86\xA8", SASLPREP_SUCCESS, "\xEA\xB0\x81"},              // Hangul LV + T
        {"\xE1\x84\x80\xE1\x85\xA1\xCC\x81\xE1\x86\xA8", SASLPREP_SUCCESS,
         "\xEA\xB0\x80\xCC\x81\xE1\x86\xA8"},                                // T blocked by a mark
        {"\xE1\xBA\x9B\xCC\xA3", SASLPREP_SUCCESS, "\xE1\xB9\xA9"},          // long s dot: compat, reorder, compose
        {"\xE0\xAD\x87\xE0\xAC\xBE", SASLPREP_SUCCESS, "\xE0\xAD\x8B"},      // two starters compose
        {"\xD8\xA7\x31\xD8\xA8", SASLPREP_SUCCESS, "\xD8\xA7\x31\xD8\xA8"},  // right-to-left at both ends
        {"\xD8\xA7\x31", SASLPREP_PROHIBITED, nullptr},                      // ends with a digit
        {"\xD8\xA7\x61\xD8\xA8", SASLPREP_PROHIBITED, nullptr},              // mixed directions
        {"\xC3", SASLPREP_INVALID_UTF8, nullptr},                            // cut short by the end
        {"\xFF\xFE\x70\x77", SASLPREP_INVALID_UTF8, nullptr},                // 0xFF leads no character
        {"\xC3\xA9\xC0\xAF", SASLPREP_INVALID_UTF8, nullptr},                // overlong
        {"\xED\xA0\x80", SASLPREP_INVALID_UTF8, nullptr}                     // surrogate
    };
    for (const auto& [input, rc, expected] : kCases) {
        char* out = reinterpret_cast<char*>(1);
        EXPECT_EQ(pg_saslprep(input, &out), rc) << input;
        EXPECT_STREQ(out == reinterpret_cast<char*>(1) ? "(not written)" : out, expected) << input;
        std::free(out);
    }
    // Longer passwords are refused as if memory had run out.
    char* out = nullptr;
    EXPECT_EQ(pg_saslprep(std::string(1024, 'x').c_str(), &out), SASLPREP_SUCCESS);
    std::free(out);
    EXPECT_EQ(pg_saslprep(std::string(1025, 'x').c_str(), &out), SASLPREP_OOM);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
