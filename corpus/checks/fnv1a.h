// FNV-1a, the 64-bit hash by which the runner tells lines of output and texts apart.
#pragma once

#include <cstdint>
#include <string_view>

constexpr uint64_t fnv1a_basis = 1469598103934665603ull;

inline uint64_t fnv1a_step(uint64_t h, unsigned char ch) {
    return (h ^ ch) * 1099511628211ull;
}

inline uint64_t fnv1a(std::string_view text) {
    uint64_t h = fnv1a_basis;
    for (unsigned char ch : text)
        h = fnv1a_step(h, ch);
    return h;
}
