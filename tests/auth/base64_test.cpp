// Base64 against Python's base64 module, and the strict decoder's refusals.
#include <gtest/gtest.h>

#include <string>

#include "auth/digest_vectors.h"
#include "postgres/common/base64.h"

namespace {

TEST(Base64, RoundTripsPythonVectors) {
    for (const Base64Vector& v : kBase64Vectors) {
        SCOPED_TRACE(v.encoded);
        const int len = static_cast<int>(v.input_len);
        std::string encoded(static_cast<std::size_t>(pg_b64_enc_len(len)), '\0');
        ASSERT_EQ(pg_b64_encode(v.input, len, encoded.data(), static_cast<int>(encoded.size())),
                  static_cast<int>(encoded.size()));
        EXPECT_EQ(encoded, v.encoded);

        const int enc_len = static_cast<int>(encoded.size());
        std::string decoded(static_cast<std::size_t>(pg_b64_dec_len(enc_len)), '\0');
        int n = pg_b64_decode(encoded.data(), enc_len, decoded.data(), static_cast<int>(decoded.size()));
        ASSERT_EQ(n, len);
        EXPECT_EQ(decoded.substr(0, static_cast<std::size_t>(n)), std::string(v.input, v.input_len));
    }
}

TEST(Base64, DecoderRefusesMalformedInput) {
    const char* const kMalformed[] = {
        "Zm9v YmFy",  // white space
        "Zm9",        // length not a multiple of four
        "Zm9vY",
        "Zm9*",  // outside the alphabet
        "Zm9-",      "Zm_v",
        "Z===",      // padding in the second place
        "Zm=v",      // padding followed by data
        "Zg==Zm9v",  // padding before the last group
        "Zm8=Zg==",
    };
    for (const char* text : kMalformed) {
        char out[32];
        EXPECT_EQ(pg_b64_decode(text, static_cast<int>(std::string(text).size()), out, sizeof out), -1) << text;
    }
}

TEST(Base64, NeverWritesPastTheDestination) {
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(pg_b64_decode("Zm9vYmFy", 8, out, 3), -1);
    EXPECT_EQ(pg_b64_encode("foob", 4, out, 4), -1);
    EXPECT_EQ(pg_b64_encode("foo", 3, out, 4), 4);
    EXPECT_EQ(std::string(out, 4), "Zm9v");
}

}  // namespace
