// The protocol 2.0 parser fed hostile bytes through the input buffer, as a
// statement's answer. The first byte picks the chunk size and where to cut
// the input. Answers without an error must give the same results wherever
// the bytes were cut (the messages of 2.0 carry no length, so the parser
// must wait for the rest of a message wherever a read ends), and the parser
// never reads past what arrived.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "libpq/parser_helpers.h"
#include "postgres/libpq/protocol2_parser.h"

using namespace kelvotest;

namespace {

std::string Run(const std::string& input, size_t cut, uint32_t chunk) {
    ConnPtr conn = MakeDetachedRecord();
    conn->pversion = PG_PROTOCOL(2, 0);
    bool noticed = false;  // a malformed message outside a statement is reported as a notice
    conn->noticeHooks.noticeRec = [](void* arg, const PGresult* res) {
        if (PQresultErrorMessage(res) == nullptr)
            __builtin_trap();
        *static_cast<bool*>(arg) = true;
    };
    conn->noticeHooks.noticeRecArg = &noticed;
    BeginStatement(conn.get(), chunk);
    FeedInput(conn.get(), input.substr(0, cut));
    std::vector<ResultPtr> results = TakeResults(conn.get(), pqParseInput2);
    if (conn->inStart > conn->inEnd)
        __builtin_trap();
    if (conn->status != CONNECTION_BAD) {
        FeedInput(conn.get(), input.substr(cut));
        for (ResultPtr& r : TakeResults(conn.get(), pqParseInput2))
            results.push_back(std::move(r));
    }
    if (conn->inStart > conn->inEnd)
        __builtin_trap();
    // (after some faults the parser drops the rest of what it holds and keeps only the text)
    if (conn->status == CONNECTION_BAD || noticed || conn->errorMessage.len > 0)
        return {};
    return DescribeWhole(results);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 1 << 16)
        return 0;
    const uint32_t chunk = data[0] & 3;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t cut = input.empty() ? 0 : (data[0] >> 2) * input.size() / 63;
    const std::string whole = Run(input, input.size(), chunk);
    if (whole.empty())
        return 0;
    if (Run(input, cut, chunk) != whole)
        __builtin_trap();
    return 0;
}
