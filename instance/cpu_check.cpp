// CPUID leaf 1 and the server's instruction-set requirement.
#include "instance/cpu_check.h"
#include "error/context_ids.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "error/error.h"

namespace kelvoapi {

std::array<uint32_t, 4> cpuid() {
    std::array<uint32_t, 4> registers{};
#if defined(__x86_64__) || defined(__i386__)
    __cpuid_count(1, 0, registers[0], registers[1], registers[2], registers[3]);
#endif
    return registers;
}

bool supportsKelvosSSE42Build(uint32_t ecx) { return (ecx & kKelvoRequiredEcxBits) == kKelvoRequiredEcxBits; }

void CheckProcessor(uint32_t ecx) {
    if (!supportsKelvosSSE42Build(ecx)) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::SystemError),
                    "The Kelvo API requires a processor that supports SSE4.2, SSE4.1, SSSE3, SSE3 and POPCNT "
                    "instructions.",
                    ContextIds::ProcessorUnsupported);
    }
}

void CheckProcessor() { CheckProcessor(cpuid()[2]); }

}  // namespace kelvoapi
