// The shard of a key.
#include "module/ShardKey.h"

#include "module/Fnv1a.h"

namespace likeness {

std::size_t shardOf(const std::string& key, std::size_t shardCount) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(key.data());
    return static_cast<std::size_t>(fnv1a(kFnv1aStart, bytes, key.size()) % shardCount);
}

}  // namespace likeness
