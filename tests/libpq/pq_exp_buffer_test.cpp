// The growable text buffer: appends of every length, and the broken state
// that a request near INT_MAX leaves for good.
#include "postgres/libpq/pq_exp_buffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

struct Buffer {
    PQExpBufferData data;
    Buffer() { initPQExpBuffer(&data); }
    ~Buffer() { termPQExpBuffer(&data); }
};

TEST(PQExpBuffer, FormatsTextsOfEveryLength) {
    for (size_t n : {0u, 1u, 200u, 239u, 240u, 241u, 255u, 256u, 1000u, 100000u}) {
        Buffer b;
        appendPQExpBufferStr(&b.data, "pre:");
        appendBinaryPQExpBuffer(&b.data, "a\0b", 3);
        appendPQExpBufferChar(&b.data, ':');
        const std::string arg(n, 'q');
        appendPQExpBuffer(&b.data, "[%s]%d", arg.c_str(), 42);
        EXPECT_EQ(std::string(b.data.data, b.data.len + 1), "pre:" + std::string("a\0b:", 4) + "[" + arg + "]42" + '\0')
            << n;
        printfPQExpBuffer(&b.data, "%s", "new");
        EXPECT_STREQ(b.data.data, "new");
    }
}

TEST(PQExpBuffer, TooLargeRequestBreaksTheBufferForGood) {
    Buffer b;
    appendPQExpBufferStr(&b.data, "kept?");
    // One byte more than INT_MAX with the text and its NUL.
    EXPECT_EQ(enlargePQExpBuffer(&b.data, static_cast<size_t>(INT_MAX) - 5), 0);
    EXPECT_TRUE(PQExpBufferBroken(&b.data));
    EXPECT_EQ(b.data.len, 0u);
    EXPECT_EQ(b.data.maxlen, 0u);
    EXPECT_STREQ(b.data.data, "");
    const char* shared = b.data.data;

    appendPQExpBufferStr(&b.data, "ignored");
    appendPQExpBufferChar(&b.data, 'c');
    appendPQExpBuffer(&b.data, "%d", 7);
    appendBinaryPQExpBuffer(&b.data, "xy", 2);
    EXPECT_TRUE(PQExpBufferBroken(&b.data));
    EXPECT_EQ(b.data.data, shared);
    EXPECT_STREQ(b.data.data, "");

    // Every broken buffer shares one empty text.
    Buffer other;
    enlargePQExpBuffer(&other.data, static_cast<size_t>(INT_MAX) + 10);
    EXPECT_EQ(other.data.data, shared);

    // A reset gives a broken buffer a fresh allocation.
    resetPQExpBuffer(&b.data);
    EXPECT_FALSE(PQExpBufferBroken(&b.data));
    appendPQExpBufferStr(&b.data, "again");
    EXPECT_STREQ(b.data.data, "again");
}

}  // namespace
