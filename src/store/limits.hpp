// Named limits of the store engine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace store {

// Fixed so that a snapshot taken from one store can be restored into any other: every store
// routes a namespace to the same shard. A power of two so the shard is a mask of the hash.
inline constexpr std::size_t kShardCount = 16;
static_assert((kShardCount & (kShardCount - 1)) == 0, "shard choice masks the hash");
inline constexpr std::uint64_t kShardMask = kShardCount - 1;

// Below this size an encoded value copies its bytes next to its header (one allocation, no
// std::string overhead per entry); above it, moving the encoder's buffer in saves a copy
// that would cost more than the second allocation.
inline constexpr std::size_t kAdoptThreshold = 512;

}  // namespace store
