// The SHA-256 compression function, in a portable form and, where the
// processor has the SHA extensions, an accelerated one. sha256.cpp picks one
// at first use; both are declared here so that tests can hold them against
// each other, and the salted password drives it directly for its
// fixed-size inner loop.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo_sha256 {

// Runs nblocks 64-byte blocks of data through the eight state words.
void CompressBlocksPortable(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks);

// True when CompressBlocksAccelerated may be called on this processor.
bool AcceleratedAvailable();
void CompressBlocksAccelerated(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks);

// The faster of the two that this processor runs, chosen at first use.
void CompressBlocks(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks);

}  // namespace kelvo_sha256
