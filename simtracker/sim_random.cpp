#include "simtracker/sim_random.h"

namespace okulon::sim {

uint64_t SimRandom::Next() {
    m_state += 0x9E3779B97F4A7C15ull;
    uint64_t z = m_state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int64_t SimRandom::Uniform(int64_t low, int64_t high) {
    const uint64_t span = static_cast<uint64_t>(high) - static_cast<uint64_t>(low) + 1;
    if (span == 0) {  // the whole 64-bit range
        return static_cast<int64_t>(Next());
    }
    // Rejection keeps every value equally likely (a plain modulo favours small ones).
    const uint64_t limit = UINT64_MAX - UINT64_MAX % span;
    uint64_t value = Next();
    while (value >= limit) {
        value = Next();
    }
    return static_cast<int64_t>(static_cast<uint64_t>(low) + value % span);
}

int64_t SimRandom::Noise(int64_t amplitude) {
    if (amplitude <= 0) {
        return 0;
    }
    return Uniform(-amplitude, amplitude) + Uniform(-amplitude, amplitude) + Uniform(-amplitude, amplitude);
}

}  // namespace okulon::sim
