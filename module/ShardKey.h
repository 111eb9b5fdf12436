// Which shard of a collection split in several holds a key: the rule that `likeness shard` splits a
// home by and that a sharded collection routes its adds by, so both always agree.
#ifndef LIKENESS_MODULE_SHARDKEY_H
#define LIKENESS_MODULE_SHARDKEY_H

#include <cstddef>
#include <string>

#include "module/Export.h"

namespace likeness {

// The shard, from 0 to shardCount - 1, that key belongs to among shardCount: the 64-bit FNV-1a
// hash of the key's bytes modulo shardCount. It depends on nothing but the key and the count, so
// every machine and every later version places a key in the same shard. shardCount must be > 0.
LIKENESS_API std::size_t shardOf(const std::string& key, std::size_t shardCount);

}  // namespace likeness

#endif
