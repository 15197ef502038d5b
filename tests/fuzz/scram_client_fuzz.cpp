// The SCRAM client against a hostile server: the input is the server-first and the server-final message, cut where the
// first byte says. The nonce is fixed so that the fuzzer can learn to echo it. No input may crash the client, and no
// input may bring it to success: that takes the server's signature, which nobody without the password's key can forge.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "postgres/common/scram_common.h"
#include "postgres/libpq/scram_client.h"

namespace {

bool FixedNonce(void* buf, std::size_t len) {
    memset(buf, 'B', len);
    return true;
}

struct ConnFree {
    void operator()(PGconn* conn) const { freePGconn(conn); }
};

// Whether the server-first message asks for an iteration count the client accepts but takes long to honour: millions of
// rounds cost seconds under the sanitizers and prove nothing the small counts do not.
bool AsksForSlowHashing(const std::string& first) {
    for (size_t at = first.find("i="); at != std::string::npos; at = first.find("i=", at + 1)) {
        long long value = 0;
        for (size_t p = at + 2; p < first.size() && first[p] >= '0' && first[p] <= '9' && value <= SCRAM_MAX_ITERATIONS;
             ++p)
            value = value * 10 + (first[p] - '0');
        if (value > 4096 && value <= SCRAM_MAX_ITERATIONS)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t cut = data[0] * input.size() / 255;
    std::string messages[] = {std::string(), input.substr(0, cut), input.substr(cut)};
    if (AsksForSlowHashing(messages[1]))
        return 0;
    pg_fe_scram_set_random_source(FixedNonce);
    std::unique_ptr<PGconn, ConnFree> conn(makeEmptyPGconn());
    void* state = pg_fe_scram_init(conn.get(), "pencil", SCRAM_SHA_256_NAME);
    if (state == nullptr)
        return 0;
    bool done = false;
    bool success = false;
    for (int step = 0; step < 3 && !done; ++step) {
        char* output = nullptr;
        int outputlen = 0;
        pg_fe_scram_exchange(state, step == 0 ? nullptr : &messages[step][0], static_cast<int>(messages[step].size()),
                             &output, &outputlen, &done, &success);
        TrapIf(output != nullptr &&
               (outputlen <= 0 || memchr(output, '\0', static_cast<size_t>(outputlen)) != nullptr));
        free(output);
    }
    TrapIf(success);
    pg_fe_scram_free(state);
    return 0;
}
