// Ordered reads of one key map: the map is a hash trie, so ordered results come from its
// order summaries (each node knows where its extreme keys lie) or, failing that, are
// selected and sorted per call over views into the map; only what is returned is copied.
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

// The passing keys of `keys` in order. With a limit of at most an eighth of the keys they
// are taken along the map's order summaries: O(limit x depth) when the range is open at
// the end the order starts from, more as the range skips keys there; a range that skips
// much of the map, or a larger limit, keeps a heap of `limit` views over every key instead,
// O(n log limit). Allocates the result; throws std::bad_alloc.
std::vector<std::string> scan_keys(const KeyMap& keys, const ScanRange& range);

}  // namespace store
