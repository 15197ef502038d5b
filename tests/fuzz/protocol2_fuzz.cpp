// The protocol 2.0 parser fed hostile bytes through the input buffer, as a
// statement's answer; the first byte picks the chunk size.
#include <cstddef>
#include <cstdint>
#include <string>

#include "libpq/parser_helpers.h"
#include "postgres/libpq/protocol2_parser.h"

using namespace kelvotest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    ConnPtr conn = MakeDetachedRecord();
    conn->pversion = PG_PROTOCOL(2, 0);
    conn->noticeHooks.noticeRec = [](void*, const PGresult* res) {
        if (PQresultErrorMessage(res) == nullptr)
            __builtin_trap();
    };
    BeginStatement(conn.get(), data[0] & 3);
    FeedInput(conn.get(), std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    for (;;) {
        const int before = conn->inStart;
        pqParseInput2(conn.get());
        if (conn->asyncStatus == PGASYNC_READY) {
            ResultPtr taken(pqPrepareAsyncResult(conn.get()));
            conn->asyncStatus = PGASYNC_BUSY;
            continue;
        }
        if (conn->inStart == before)
            break;
    }
    if (conn->inStart > conn->inEnd)
        __builtin_trap();
    return 0;
}
