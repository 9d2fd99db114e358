// The string hash of the core: 64-bit FNV-1a (Fowler-Noll-Vo, "xor then
// multiply" variant). Simple, fast on short keys and stable across
// platforms and releases, so it may feed results that are stored or
// compared (the hashing embedding's buckets). Its low bits mix poorly for
// keys that differ only in their last byte: table users finish it with a
// mixing step of their own (see mix64).
#pragma once

#include <cstdint>
#include <string_view>

namespace tavrin::hashing {

inline constexpr std::uint64_t fnv1a_offset_basis = 0xcbf29ce484222325ull;
inline constexpr std::uint64_t fnv1a_prime = 0x100000001b3ull;

// FNV-1a of the bytes of `s`, continued from `seed` (hash a concatenation
// piecewise by passing the hash of the first part).
constexpr std::uint64_t fnv1a(std::string_view s, std::uint64_t seed = fnv1a_offset_basis) noexcept {
    std::uint64_t h = seed;
    for (char c : s) {
        h ^= static_cast<unsigned char>(c);
        h *= fnv1a_prime;
    }
    return h;
}

// The finalizer of MurmurHash3: every input bit affects every output bit,
// so a table may take the low bits.
constexpr std::uint64_t mix64(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

} // namespace tavrin::hashing
