// The processor check run before a server is started: the server is built
// for SSE4.2 and the instruction sets that come with it.
#pragma once

#include <array>
#include <cstdint>

namespace kelvoapi {

// CPUID leaf 1: EAX, EBX, ECX, EDX.
std::array<uint32_t, 4> cpuid();

// SSE3, SSSE3, SSE4.1, SSE4.2 and POPCNT.
inline constexpr uint32_t kKelvoRequiredEcxBits = 0x980201;

bool supportsKelvosSSE42Build(uint32_t ecx);

// Throws kelvoapi::Error (58000) unless every required bit is set.
void CheckProcessor(uint32_t ecx);
void CheckProcessor();

}  // namespace kelvoapi
