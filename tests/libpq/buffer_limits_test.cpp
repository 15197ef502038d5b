// The growable buffers up to INT_MAX: the text buffer with appends of every
// length and the broken state that a request near INT_MAX leaves for good,
// and the connection's input buffer, which compacts before it grows.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "postgres/libpq/buffer_space.h"
#include "postgres/libpq/pq_exp_buffer.h"
#include "support/connected_record.h"

namespace {

struct Buffer {
    PQExpBufferData data;
    Buffer() { initPQExpBuffer(&data); }
    ~Buffer() { termPQExpBuffer(&data); }
};

TEST(PQExpBuffer, FormatsTextsOfEveryLength) {
    for (size_t n : {0u, 239u, 240u, 241u, 256u, 100000u}) {
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
    EXPECT_STREQ(b.data.data, "");
    const char* shared = b.data.data;

    appendPQExpBufferStr(&b.data, "ignored");
    appendPQExpBufferChar(&b.data, 'c');
    appendPQExpBuffer(&b.data, "%d", 7);
    appendBinaryPQExpBuffer(&b.data, "xy", 2);
    EXPECT_EQ(b.data.data, shared);
    EXPECT_STREQ(b.data.data, "");

    // A reset gives a broken buffer a fresh allocation.
    resetPQExpBuffer(&b.data);
    appendPQExpBufferStr(&b.data, "again");
    EXPECT_STREQ(b.data.data, "again");
}

TEST(InputBuffer, CompactsBeforeGrowingAndStopsAtIntMax) {
    auto conn = kelvotest::MakeDetachedRecord();
    kelvotest::FeedInput(conn.get(), std::string(10000, 'a'));
    conn->inStart = conn->inCursor = 9000;
    // 9000 consumed bytes are reclaimed: no growth needed for 16384.
    EXPECT_EQ(pqCheckInBufferSpace(9000 + 16384, conn.get()), 0);
    EXPECT_EQ(conn->inBufSize, 16384);
    EXPECT_EQ(conn->inEnd, 1000);
    EXPECT_EQ(conn->inBuffer[0], 'a');

    EXPECT_EQ(pqCheckInBufferSpace(40000, conn.get()), 0);
    EXPECT_EQ(conn->inBufSize, 65536);

    EXPECT_EQ(pqCheckInBufferSpace(static_cast<size_t>(INT_MAX) + 1, conn.get()), EOF);
    EXPECT_STREQ(conn->errorMessage.data, "cannot allocate memory for input buffer\n");
    EXPECT_EQ(conn->inEnd, 1000);
    EXPECT_EQ(pqCheckOutBufferSpace(static_cast<size_t>(INT_MAX) + 1, conn.get()), EOF);
    EXPECT_STREQ(conn->errorMessage.data, "cannot allocate memory for output buffer\n");
}

}  // namespace
