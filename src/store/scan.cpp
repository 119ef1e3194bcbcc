#include "store/scan.hpp"

#include <algorithm>
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
    unsigned char buf[8] = {};
    std::memcpy(buf, k.data(), std::min<std::size_t>(k.size(), 8));
    for (unsigned char b : buf) head = (head << 8) | b;
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

}  // namespace

std::vector<std::string> scan_keys(const KeyMap& keys, const ScanRange& r) {
  std::vector<std::string> out;
  if (r.limit && *r.limit == 0) return out;
  if (r.start && r.stop && *r.start >= *r.stop) return out;
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
