// The C++ check programs' generator: xorshift64, so that every compiler and
// both builds of a program draw the same operands.
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
