// The redirect message read from hostile bytes: what reads as complete stays
// inside the bytes given, and written back reads the same again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "postgres/libpq/redirect.h"

namespace {

std::string Int32(uint32_t v) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((v >> shift) & 0xFF);
    return out;
}

std::string Write(const RedirectRequest& r) {
    std::string body = r.session_identifier + '\0' + Int32(static_cast<uint32_t>(r.targets.size()));
    for (const RedirectTarget& t : r.targets)
        body += static_cast<char>(t.type) + t.address + '\0' + t.port + '\0';
    return "@" + Int32(static_cast<uint32_t>(body.size() + 4)) + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RedirectRequest request;
    size_t consumed = 0;
    std::string error;
    const auto result = pqParseRedirect(reinterpret_cast<const char*>(data), size, &request, &consumed, &error);
    if (result == RedirectParseResult::Malformed && error.empty())
        __builtin_trap();
    if (result != RedirectParseResult::Complete)
        return 0;
    if (consumed > size || request.targets.size() > static_cast<size_t>(kMaxRedirectAddresses))
        __builtin_trap();
    const std::string written = Write(request);
    RedirectRequest again;
    size_t consumedAgain = 0;
    if (pqParseRedirect(written.data(), written.size(), &again, &consumedAgain, &error) !=
            RedirectParseResult::Complete ||
        consumedAgain != written.size() || Write(again) != written)
        __builtin_trap();
    return 0;
}
