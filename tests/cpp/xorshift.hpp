// The C++ check programs' operands: xorshift64, so that every compiler and
// both builds of a program draw the same ones, and limbs with the structure
// random ones rarely have.
#pragma once

#include <cstdint>

struct XorShift64 {
    uint64_t state;
    uint64_t operator()() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

// Zero, all ones, a single bit, a run of low ones, just below 2^64, random.
inline uint64_t structured_limb(XorShift64& rnd) {
    switch (rnd() % 6) {
        case 0: return 0;
        case 1: return ~0ull;
        case 2: return 1ull << (rnd() % 64);
        case 3: return (1ull << (rnd() % 64)) - 1;
        case 4: return ~0ull - (rnd() % 4);
        default: return rnd();
    }
}
