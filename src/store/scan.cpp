#include "store/scan.hpp"

#include <algorithm>
#include <functional>

namespace store {
namespace {

bool in_range(std::string_view key, const ScanRange& r) noexcept {
  return (!r.prefix || key.starts_with(*r.prefix)) && (!r.start || key >= *r.start) &&
         (!r.stop || key < *r.stop);
}

// Keeps the `limit` best keys under `before` (the order of the result) in a heap whose
// front is the worst kept, so each further key costs one comparison unless it displaces it.
template <class Before>
std::vector<std::string_view> select(const KeyMap& keys, const ScanRange& r, std::size_t limit,
                                     Before before) {
  std::vector<std::string_view> heap;
  heap.reserve(limit);
  for (const auto& entry : keys) {
    std::string_view k = entry.first;
    if (!in_range(k, r)) continue;
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
  // std::string_view compares through char_traits<char>, which orders bytes as unsigned.
  std::vector<std::string_view> picked;
  if (r.limit && *r.limit < keys.size()) {
    picked = r.reverse ? select(keys, r, *r.limit, std::greater<>{})
                       : select(keys, r, *r.limit, std::less<>{});
  } else {
    for (const auto& entry : keys)
      if (in_range(entry.first, r)) picked.push_back(entry.first);
    if (r.reverse)
      std::sort(picked.begin(), picked.end(), std::greater<>{});
    else
      std::sort(picked.begin(), picked.end());
  }
  out.reserve(picked.size());
  for (std::string_view k : picked) out.emplace_back(k);
  return out;
}

std::uint64_t value_bytes(const KeyMap& keys) noexcept {
  std::uint64_t n = 0;
  for (const auto& entry : keys) n += entry.second.size();
  return n;
}

}  // namespace store
