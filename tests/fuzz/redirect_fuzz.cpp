// The redirect message read from hostile bytes: what reads as complete stays inside the bytes given, and written back
// reads the same again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "postgres/libpq/redirect.h"

namespace {

std::string Write(const RedirectRequest& r) {
    std::string body = r.session_identifier + '\0' + kelvofuzz::Be32(static_cast<int64_t>(r.targets.size()));
    for (const RedirectTarget& t : r.targets)
        body += static_cast<char>(t.type) + t.address + '\0' + t.port + '\0';
    return "@" + kelvofuzz::Be32(static_cast<int64_t>(body.size() + 4)) + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RedirectRequest request;
    size_t consumed = 0;
    std::string error;
    const auto result = pqParseRedirect(reinterpret_cast<const char*>(data), size, &request, &consumed, &error);
    TrapIf(result == RedirectParseResult::Malformed && error.empty());
    if (result != RedirectParseResult::Complete)
        return 0;
    TrapIf(consumed > size || request.targets.size() > static_cast<size_t>(kMaxRedirectAddresses));
    const std::string written = Write(request);
    RedirectRequest again;
    size_t consumedAgain = 0;
    TrapIf(pqParseRedirect(written.data(), written.size(), &again, &consumedAgain, &error) !=
               RedirectParseResult::Complete ||
           consumedAgain != written.size() || Write(again) != written);
    return 0;
}
