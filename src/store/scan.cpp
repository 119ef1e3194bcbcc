#include "store/scan.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace store {
namespace {

bool in_range(std::string_view key, const ScanRange& r) noexcept {
  return (!r.prefix || key.starts_with(*r.prefix)) && (!r.start || key >= *r.start) &&
         (!r.stop || key < *r.stop);
}

// A key with its first 8 bytes as a big-endian number (zero-padded): most comparisons are
// then decided without touching the key's bytes in the map. Equal heads fall back to the
// bytes, which also orders "a" before "a\0".
struct Keyed {
  std::uint64_t head;
  std::string_view key;

  explicit Keyed(std::string_view k) noexcept : head(0), key(k) {
    if (k.size() >= sizeof head)  // the common case, as one load
      std::memcpy(&head, k.data(), sizeof head);
    else
      std::memcpy(&head, k.data(), k.size());
    if constexpr (std::endian::native == std::endian::little) head = __builtin_bswap64(head);
  }
};

// std::string_view compares through char_traits<char>, which orders bytes as unsigned.
struct Ascending {
  bool operator()(const Keyed& a, const Keyed& b) const noexcept {
    return a.head != b.head ? a.head < b.head : a.key < b.key;
  }
};
struct Descending {
  bool operator()(const Keyed& a, const Keyed& b) const noexcept { return Ascending{}(b, a); }
};

// Keeps the `limit` first keys of the order `before` in a heap whose front is the last
// kept, so each further key costs one comparison unless it displaces that one.
template <class Before>
std::vector<Keyed> select(const KeyMap& keys, const ScanRange& r, std::size_t limit,
                          Before before) {
  std::vector<Keyed> heap;
  heap.reserve(limit);
  for (const auto& entry : keys) {
    if (!in_range(entry.first, r)) continue;
    Keyed k(entry.first);
    if (heap.size() < limit) {
      heap.push_back(k);
      std::push_heap(heap.begin(), heap.end(), before);
    } else if (before(k, heap.front())) {
      std::pop_heap(heap.begin(), heap.end(), before);
      heap.back() = k;
      std::push_heap(heap.begin(), heap.end(), before);
    }
  }
  std::sort_heap(heap.begin(), heap.end(), before);
  return heap;
}

// Steps the ordered walk may take before the whole-map walk is the better deal: what an
// open range needs (measured: about 7 per key returned, and the root's slots once), plus a
// sixteenth of the map for ranges that skip keys from the start. A step costs about two
// keys of the whole-map walk, so giving up costs at most that walk again.
constexpr std::size_t kStepsPerKey = 8;
constexpr std::size_t kStepsFixed = 64;
constexpr std::size_t kSizeShareOfSteps = 16;
// The walk pays off while the keys returned are a small share of the map; for a larger
// share, selecting over every key is as cheap and has no worst case.
constexpr std::size_t kWalkShare = 8;

// The smallest string above every string that starts with `prefix`, if any: the prefix
// without its trailing 0xff bytes, its last byte raised by one.
std::optional<std::string> prefix_end(std::string_view prefix) {
  std::string s(prefix);
  while (!s.empty() && static_cast<unsigned char>(s.back()) == 0xff) s.pop_back();
  if (s.empty()) return std::nullopt;
  s.back() = static_cast<char>(static_cast<unsigned char>(s.back()) + 1);
  return s;
}

// The first `limit` keys in order along the map's order summaries; false when the range
// skips so much of the map from the start that the whole-map walk is cheaper.
bool walk_in_order(const KeyMap& keys, const ScanRange& r, std::size_t limit,
                   std::vector<std::string_view>& picked) {
  KeyBounds b{r.start, r.stop};
  std::optional<std::string> end;
  if (r.prefix) {
    if (!b.lo || *b.lo < *r.prefix) b.lo = *r.prefix;
    end = prefix_end(*r.prefix);
    if (end && (!b.hi || *end < *b.hi)) b.hi = *end;
  }
  const auto keep = [&](std::string_view k) { return !r.prefix || k.starts_with(*r.prefix); };
  const std::size_t budget = kStepsPerKey * limit + kStepsFixed + keys.size() / kSizeShareOfSteps;
  return keys.ordered_walk(r.reverse, limit, b, keep, budget, picked);
}

}  // namespace

std::vector<std::string> scan_keys(const KeyMap& keys, const ScanRange& r) {
  std::vector<std::string> out;
  if (r.limit && *r.limit == 0) return out;
  if (r.start && r.stop && *r.start >= *r.stop) return out;
  if (r.limit && *r.limit <= keys.size() / kWalkShare) {
    std::vector<std::string_view> walked;
    walked.reserve(*r.limit);
    if (walk_in_order(keys, r, *r.limit, walked)) {
      out.reserve(walked.size());
      for (std::string_view k : walked) out.emplace_back(k);
      return out;
    }
  }
  std::vector<Keyed> picked;
  if (r.limit && *r.limit < keys.size()) {
    picked = r.reverse ? select(keys, r, *r.limit, Descending{})
                       : select(keys, r, *r.limit, Ascending{});
  } else {
    for (const auto& entry : keys)
      if (in_range(entry.first, r)) picked.emplace_back(entry.first);
    if (r.reverse)
      std::sort(picked.begin(), picked.end(), Descending{});
    else
      std::sort(picked.begin(), picked.end(), Ascending{});
  }
  out.reserve(picked.size());
  for (const Keyed& k : picked) out.emplace_back(k.key);
  return out;
}

}  // namespace store
