// Which of the store's shards holds a namespace.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/siphash.hpp"
#include "store/limits.hpp"

namespace store {

// Shard number 0..15 of a namespace: low four bits of the zero-keyed SipHash-1-3 of the
// namespace bytes followed by one 0xFF byte. Zero-keyed so that every store, in every
// process, routes a namespace to the same shard. O(n), no allocation, noexcept.
inline std::size_t shard_index(std::string_view ns) noexcept {
  return static_cast<std::size_t>(base::detail::siphash13_tail(base::SipKey{}, ns, 1, 0xff) &
                                  kShardMask);
}

}  // namespace store
