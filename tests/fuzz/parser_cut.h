// A statement's answer fed to the library's protocol parser through the input buffer in two reads: the first byte of
// the fuzzer's input picks the chunk size and where the second read begins, the rest is the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "libpq/parser_helpers.h"
#include "postgres/libpq/protocol2_parser.h"

namespace kelvofuzz {

// The results of the answer read up to `cut`, then the rest; empty when the
// answer failed the connection or raised a notice or an error.
inline std::string ParseCut(const std::string& input, size_t cut, uint32_t chunk, bool protocol2) {
    using namespace kelvotest;
    ConnPtr conn = MakeDetachedRecord();
    bool noticed = false;  // a malformed message outside a statement is reported as a notice
    conn->noticeHooks.noticeRec = [](void* arg, const PGresult*) { *static_cast<bool*>(arg) = true; };
    conn->noticeHooks.noticeRecArg = &noticed;
    if (protocol2)
        conn->pversion = PG_PROTOCOL(2, 0);
    BeginStatement(conn.get(), chunk, protocol2 ? PGQUERY_SIMPLE : PGQUERY_EXTENDED, protocol2 ? nullptr : "SELECT 1");
    auto parse = protocol2 ? pqParseInput2 : pqParseInput3;
    FeedInput(conn.get(), input.substr(0, cut));
    std::vector<ResultPtr> results = TakeResults(conn.get(), parse);
    // A connection that lost synchronisation has dropped its socket: nothing more arrives.
    if (conn->status != CONNECTION_BAD) {
        TrapIf(conn->inStart > conn->inEnd);
        FeedInput(conn.get(), input.substr(cut));
        for (ResultPtr& r : TakeResults(conn.get(), parse))
            results.push_back(std::move(r));
    }
    TrapIf(conn->inStart > conn->inEnd);
    // (after some faults the parser drops the rest of what it holds and keeps only the text)
    if (conn->status == CONNECTION_BAD || noticed || (protocol2 && conn->errorMessage.len > 0))
        return {};
    return DescribeWhole(results);
}

// Traps when an answer parsed whole gives results that the same answer cut in two does not.
inline void SameWhereverCut(const uint8_t* data, size_t size, bool protocol2) {
    if (size < 1)
        return;
    const uint32_t chunk = data[0] & 3;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t cut = input.empty() ? 0 : (data[0] >> 2) * input.size() / 63;
    const std::string whole = ParseCut(input, input.size(), chunk, protocol2);
    TrapIf(!whole.empty() && ParseCut(input, cut, chunk, protocol2) != whole);
}

}  // namespace kelvofuzz
