// The protocol 3.0 parser fed hostile bytes through the input buffer, as a
// statement's answer. The first byte picks the chunk size and where to cut
// the input. Answers that keep to the protocol must give the same results
// wherever the bytes were cut; after a protocol violation the parser owes
// only an error, and which results it reports around it may depend on where
// a read ended.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "libpq/parser_helpers.h"

using namespace kelvotest;

namespace {

std::string Run(const std::string& input, size_t cut, uint32_t chunk) {
    ConnPtr conn = MakeDetachedRecord();
    bool noticed = false;  // a malformed message outside a statement is reported as a notice
    conn->noticeHooks.noticeRec = [](void* arg, const PGresult*) { *static_cast<bool*>(arg) = true; };
    conn->noticeHooks.noticeRecArg = &noticed;
    BeginStatement(conn.get(), chunk, PGQUERY_EXTENDED, "SELECT 1");
    FeedInput(conn.get(), input.substr(0, cut));
    std::vector<ResultPtr> results = TakeResults(conn.get());
    // A connection that lost synchronisation has dropped its socket: nothing more arrives.
    if (conn->status != CONNECTION_BAD) {
        FeedInput(conn.get(), input.substr(cut));
        for (ResultPtr& r : TakeResults(conn.get()))
            results.push_back(std::move(r));
    }
    if (conn->status == CONNECTION_BAD || noticed)
        return {};
    return DescribeWhole(results);
}

// Whether a message declares more than a megabyte. The parser then grows its
// buffer to the declared size, which is right and tested elsewhere, but would
// make the fuzzer spend its time clearing pages.
bool DeclaresHugeMessage(const std::string& input) {
    for (size_t at = 0; at + 5 <= input.size();) {
        const uint32_t length = (uint32_t(uint8_t(input[at + 1])) << 24) | (uint32_t(uint8_t(input[at + 2])) << 16) |
                                (uint32_t(uint8_t(input[at + 3])) << 8) | uint32_t(uint8_t(input[at + 4]));
        if (length > (1u << 20))
            return true;
        at += 1 + std::max<size_t>(length, 4);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint32_t chunk = data[0] & 3;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (DeclaresHugeMessage(input))
        return 0;
    const size_t cut = input.empty() ? 0 : (data[0] >> 2) * input.size() / 63;
    const std::string whole = Run(input, input.size(), chunk);
    if (whole.empty())
        return 0;
    const std::string cutOnce = Run(input, cut, chunk);
    if (cutOnce != whole)
        __builtin_trap();
    return 0;
}
