// A small generator with a fixed seed for tests that feed random input: a stream that breaks a parser breaks it again
// on every run.
#pragma once

#include <cstdint>

namespace kelvotest {

class SeededRandom {
public:
    explicit SeededRandom(uint32_t seed) : m_state(seed) {}

    // The next number below `bound`.
    uint32_t operator()(uint32_t bound) {
        m_state = m_state * 1103515245u + 12345u;
        return (m_state >> 8) % bound;
    }

private:
    uint32_t m_state;
};

}  // namespace kelvotest
