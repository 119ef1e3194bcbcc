// SipHash-1-3: one compression round per 8-byte block, three finalization rounds.
//
// Zero-keyed it picks the shard of a namespace (deterministic across processes); keyed
// with per-process random bytes it hashes the keys of the persistent maps, so the layout
// of those maps cannot be steered by chosen names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace store {

struct SipKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// SipHash-1-3 of `data` under `key`. O(n), no allocation, thread-safe, noexcept.
std::uint64_t siphash13(SipKey key, std::string_view data) noexcept;

// Shard number 0..15 of a namespace: low four bits of the zero-keyed SipHash-1-3 of the
// namespace bytes followed by one 0xFF byte. O(n), no allocation, thread-safe, noexcept.
std::size_t shard_index(std::string_view ns) noexcept;

namespace detail {

// The key of every map hasher, drawn once per process from the OS random source.
// First call may throw std::runtime_error if no random source exists; later calls are
// noexcept reads of an immutable value.
const SipKey& process_map_key();

// Hasher of the persistent maps. Transparent, so lookups take string_view without copying.
struct MapHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return static_cast<std::size_t>(siphash13(process_map_key(), s));
  }
  std::size_t operator()(const std::string& s) const noexcept {
    return (*this)(std::string_view(s));
  }
};

}  // namespace detail
}  // namespace store
