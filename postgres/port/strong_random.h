// Cryptographically strong random bytes for the SCRAM client nonce.
#pragma once

#include <cstddef>

// Fills buf with len bytes read from "/dev/urandom". Returns false when the
// device cannot be opened or read, or ends early.
bool pg_strong_random(void* buf, std::size_t len);
