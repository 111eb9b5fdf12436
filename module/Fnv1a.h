// FNV-1a with 64 bits: a small hash of bytes that is the same on every machine and in every
// version, for what must never move: the names of unnamed pictures and the shard a key lies in.
#ifndef LIKENESS_MODULE_FNV1A_H
#define LIKENESS_MODULE_FNV1A_H

#include <cstddef>
#include <cstdint>

namespace likeness {

inline constexpr std::uint64_t kFnv1aStart = 0xcbf29ce484222325ull;

// The hash of data continued from hash (kFnv1aStart for the first piece), so bytes may come in pieces.
inline std::uint64_t fnv1a(std::uint64_t hash, const unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

}  // namespace likeness

#endif
