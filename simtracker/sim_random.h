// Seeded pseudo-random generator of the simulated tracker (splitmix64). The
// standard library's distributions are not used because their output differs
// between library implementations; this one gives the same numbers on every
// platform and compiler for the same seed. Owned by whoever draws from it;
// not thread-safe.
#pragma once

#include <cstdint>

namespace okulon::sim {

class SimRandom {
public:
    explicit SimRandom(uint64_t seed) : m_state(seed) {}

    uint64_t Next();

    // Uniform in [low, high] (both inclusive); low <= high.
    int64_t Uniform(int64_t low, int64_t high);

    // Sum of three uniforms in [-amplitude, amplitude]: a cheap bell-shaped noise
    // in [-3 * amplitude, 3 * amplitude].
    int64_t Noise(int64_t amplitude);

private:
    uint64_t m_state;
};

}  // namespace okulon::sim
