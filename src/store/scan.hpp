// Ordered reads of one key map: the map itself is unordered, so ordered results are
// selected and sorted per call, over views into the map, copying only what is returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/maps.hpp"

namespace store {

// Which keys a scan returns. Keys compare bytewise (as max_key does); a key passes when it
// starts with `prefix` and lies in [start, stop), each bound only when given.
struct ScanRange {
  std::optional<std::string_view> prefix;
  std::optional<std::string_view> start;  // inclusive
  std::optional<std::string_view> stop;   // exclusive
  bool reverse = false;                   // descending order
  std::optional<std::size_t> limit;       // at most this many, from the front of the order
};

// The passing keys of `keys` in order. With a limit below the number of keys, only a
// heap of `limit` views is kept and sorted: O(n log limit). Allocates the result; throws
// std::bad_alloc.
std::vector<std::string> scan_keys(const KeyMap& keys, const ScanRange& range);

// Summed size of the values of `keys`. O(n), no allocation.
std::uint64_t value_bytes(const KeyMap& keys) noexcept;

}  // namespace store
