// Writing message parts into the connection buffers: message framing, and
// buffer growth up to INT_MAX. Reading is held by the parser tests.
#include "postgres/libpq/message_io.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "postgres/libpq/buffer_space.h"
#include "postgres/libpq/result_record.h"
#include "support/connected_record.h"

namespace {

using kelvotest::FeedInput;
using kelvotest::MakeDetachedRecord;

TEST(MessageIO, BuildsFramedMessages) {
    struct Case {
        char type;
        bool force_len;
        uint32_t pversion;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {'Q', false, PG_PROTOCOL(3, 0),
         std::string("Q\0\0\0\x0D"
                     "ab\0\x01\x02\0\0\0\x03",
                     14)},
        {'Q', false, PG_PROTOCOL(2, 0), std::string("Qab\0\x01\x02\0\0\0\x03", 10)},
        {0, true, PG_PROTOCOL(2, 0),
         std::string("\0\0\0\x0D"
                     "ab\0\x01\x02\0\0\0\x03",
                     13)},
    };
    for (const Case& c : cases) {
        auto conn = MakeDetachedRecord();
        conn->pversion = c.pversion;
        ASSERT_EQ(pqPutMsgStart(c.type, c.force_len, conn.get()), 0);
        ASSERT_EQ(pqPuts("ab", conn.get()), 0);
        ASSERT_EQ(pqPutInt(0x0102, 2, conn.get()), 0);
        ASSERT_EQ(pqPutInt(3, 4, conn.get()), 0);
        EXPECT_EQ(conn->outCount, 0);  // not complete until the end
        ASSERT_EQ(pqPutMsgEnd(conn.get()), 0);
        EXPECT_EQ(std::string(conn->outBuffer, conn->outCount), c.expected);
    }
}

TEST(MessageIO, InputBufferCompactsBeforeGrowingAndStopsAtIntMax) {
    auto conn = MakeDetachedRecord();
    FeedInput(conn.get(), std::string(10000, 'a'));
    conn->inStart = conn->inCursor = 9000;
    // 9000 consumed bytes are reclaimed: no growth needed for 16384.
    EXPECT_EQ(pqCheckInBufferSpace(9000 + 16384, conn.get()), 0);
    EXPECT_EQ(conn->inBufSize, 16384);
    EXPECT_EQ(conn->inStart, 0);
    EXPECT_EQ(conn->inEnd, 1000);
    EXPECT_EQ(conn->inBuffer[0], 'a');

    EXPECT_EQ(pqCheckInBufferSpace(40000, conn.get()), 0);
    EXPECT_EQ(conn->inBufSize, 65536);

    EXPECT_EQ(pqCheckInBufferSpace(static_cast<size_t>(INT_MAX) + 1, conn.get()), EOF);
    EXPECT_STREQ(conn->errorMessage.data, "cannot allocate memory for input buffer\n");
    EXPECT_EQ(conn->inBufSize, 65536);
    EXPECT_EQ(conn->inEnd, 1000);

    EXPECT_EQ(pqCheckOutBufferSpace(static_cast<size_t>(INT_MAX) + 1, conn.get()), EOF);
    EXPECT_STREQ(conn->errorMessage.data, "cannot allocate memory for output buffer\n");
}

}  // namespace
