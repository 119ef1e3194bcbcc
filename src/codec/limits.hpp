// The codec's fixed limits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace codec {

// Levels below the top-level value. Encoder, value conversion and decoder recurse once
// per level, so this bounds native stack use on any thread, and turns a self-referential
// container into an error instead of a crash.
inline constexpr int kMaxDepth = 128;

// msgpack's widest length field is 32 bits.
inline constexpr std::uint64_t kMaxLength = 0xffffffffu;

// A fresh buffer's size: most agent-state values fit without a regrow.
inline constexpr std::size_t kInitialCapacity = 64;

// Room reserved for a container before its elements have arrived: a forged count in a
// few bytes of input must not make the decoder allocate gigabytes.
inline constexpr std::size_t kMaxUnprovenSlots = 1024;

}  // namespace codec
