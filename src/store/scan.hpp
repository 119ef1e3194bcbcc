// Ordered reads of one key map: the map itself is unordered, so ordered results are
// selected and sorted per call, over views into the map, copying only what is returned.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/maps.hpp"

namespace store {

// Which keys a scan returns. Keys compare bytewise (as max_key does); a key passes when it
// starts with `prefix` and lies in [start, stop), each bound only when given.
struct ScanRange {
  std::optional<std::string_view> prefix = std::nullopt;
  std::optional<std::string_view> start = std::nullopt;  // inclusive
  std::optional<std::string_view> stop = std::nullopt;   // exclusive
  bool reverse = false;                                  // descending order
  std::optional<std::size_t> limit =
      std::nullopt;  // at most this many, from the front of the order
};

// The passing keys of `keys` in order. With a limit below the number of keys, only a
// heap of `limit` views is kept and sorted: O(n log limit). Allocates the result; throws
// std::bad_alloc.
std::vector<std::string> scan_keys(const KeyMap& keys, const ScanRange& range);

}  // namespace store
