// The costs of authentication on the client: the SCRAM salted password at the
// server's usual iteration count, the digests under it, and SASLprep.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "postgres/common/md5.h"
#include "postgres/common/saslprep.h"
#include "postgres/common/scram_common.h"
#include "postgres/common/sha256.h"

namespace {

void BM_SaltedPassword(benchmark::State& state) {
    const int iterations = static_cast<int>(state.range(0));
    std::uint8_t result[SCRAM_KEY_LEN];
    for (auto _ : state) {
        scram_SaltedPassword("correct horse battery staple", "0123456789abcdef", 16, iterations, result);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * iterations);
}
BENCHMARK(BM_SaltedPassword)->Arg(4096)->Unit(benchmark::kMicrosecond);

void BM_Sha256(benchmark::State& state) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)), 0x5a);
    std::uint8_t digest[PG_SHA256_DIGEST_LENGTH];
    for (auto _ : state) {
        pg_sha256_ctx ctx;
        pg_sha256_init(&ctx);
        pg_sha256_update(&ctx, data.data(), data.size());
        pg_sha256_final(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Sha256)->Arg(64)->Arg(1 << 20);

void BM_Md5(benchmark::State& state) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)), 0x5a);
    std::uint8_t digest[16];
    for (auto _ : state) {
        pg_md5_binary(data.data(), data.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Md5)->Arg(1 << 20);

void BM_Saslprep(benchmark::State& state) {
    // A password of accented Latin, a ligature and a non-ASCII space.
    const std::string password =
        "p\xC3\xA4ssw\xC3\xB6rd\xEF\xAC\x81\xC2\xA0"
        "caf\xC3\xA9";
    for (auto _ : state) {
        char* out = nullptr;
        benchmark::DoNotOptimize(pg_saslprep(password.c_str(), &out));
        std::free(out);
    }
}
BENCHMARK(BM_Saslprep);

}  // namespace
