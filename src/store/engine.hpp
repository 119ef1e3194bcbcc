// Engine: the sharded, snapshot-capable store, in plain C++ (no interpreter).
//
// Layout: 16 cache-line-aligned shards, each a std::shared_mutex over one NamespaceMap
// plus an atomic byte counter (the summed size of the encoded values in the shard,
// changed only under the shard's write lock, by wrapping addition). Snapshot bookkeeping:
// an atomic next id (from 1), a mutex over the last snapshot id, and a shared_mutex over
// the retained history (oldest first).
//
// Locking discipline: an operation on one namespace takes one shard lock; operations that
// visit several shards take them one at a time in ascending order; snapshot() and
// restore() hold all 16 together, apply() and get_many_atomic() the shards they touch, and
// copy_namespace() its two, always taken in ascending order. The
// last-id and history locks are never held with a shard lock or with each other. No lock is held
// while calling anything outside the engine, and memory a write releases (clear, restore,
// history trimming, values replaced by set and set_many) is freed after unlocking.
//
// Every member is safe to call concurrently from any number of threads. Members that
// change the engine are noexcept: running out of memory halfway through a map update would
// leave a shard out of step with its counter, so it ends the process instead (as exhausted
// memory does in the module anyway). Readers may throw std::bad_alloc for their results
// and leave the engine untouched.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/encoded_value.hpp"
#include "store/maps.hpp"
#include "store/scan.hpp"
#include "store/snapshot.hpp"

namespace store {

// One write of a batch; the engine consumes it.
struct SetItem {
  std::string ns;
  std::string key;
  EncodedValue value;
};

// One read of a batch; borrowed for the call.
struct KeyRef {
  std::string_view ns;
  std::string_view key;
};

namespace detail {

// Padding between the shards keeps writers of neighbouring shards off each other's cache
// line. Padding rather than alignas: the bridge embeds an Engine in a Python object,
// whose memory is only aligned for max_align_t.
inline constexpr std::size_t kCacheLine = 64;

struct Shard {
  mutable std::shared_mutex mutex;
  NamespaceMap map;                     // guarded by mutex
  std::atomic<std::uint64_t> bytes{0};  // written under the write lock only
  char padding[kCacheLine];
};

}  // namespace detail

class Engine {
 public:
  // max_history: empty = keep every snapshot, 0 = keep none, n = keep the newest n.
  explicit Engine(std::optional<std::uint64_t> max_history = 0) noexcept;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  std::optional<std::uint64_t> max_history() const noexcept { return max_history_; }

  // --- Single pair: one shard lock each, O(1) expected map work. ---

  // Stores `value` (non-null) under (ns, key), replacing any previous value. Allocates
  // map nodes that a snapshot still shares, and copies the strings only when new.
  void set(std::string_view ns, std::string_view key, EncodedValue value) noexcept;

  // The stored value, or null. Takes a reference; never copies the bytes. No allocation.
  EncodedValue get(std::string_view ns, std::string_view key) const;

  bool contains(std::string_view ns, std::string_view key) const;

  // Whether the namespace holds at least one key.
  bool contains_namespace(std::string_view ns) const;

  // Removes (ns, key); true if a value was removed. A namespace losing its last key is
  // dropped.
  bool erase(std::string_view ns, std::string_view key) noexcept;

  // Empties every shard, one at a time in ascending order (not atomic across shards).
  // History, ids and parent link are untouched. O(shards) under locks; the old maps are
  // freed after each unlock.
  void clear() noexcept;

  // Number of pairs, counted one shard at a time (exact only without concurrent writes).
  // O(namespaces), no allocation.
  std::uint64_t entry_count() const;

  // --- Batches: one lock per touched shard, ascending; never two at once. ---

  // Applies the items in order, grouped by shard; within one pair the last item wins.
  // Each shard's writes become visible together; the batch is not atomic across shards.
  // O(n) expected.
  void set_many(std::vector<SetItem> items) noexcept;

  // The same for borrowed strings: values[i] (non-null) goes under pairs[i] and values[i]
  // receives the value it replaced (null if the pair was new), so the caller releases the
  // old values unlocked. The strings are copied only for new pairs. Requires equal lengths.
  void set_many(std::span<const KeyRef> pairs, std::span<EncodedValue> values) noexcept;

  // One result per input, in input order; null where absent. O(n) expected.
  std::vector<EncodedValue> get_many(std::span<const KeyRef> pairs) const;

  // The same, with the read locks of every touched shard held together (taken in
  // ascending order), so that the results are one moment of the store: an apply() is seen
  // whole or not at all.
  std::vector<EncodedValue> get_many_atomic(std::span<const KeyRef> pairs) const;

  // One change made of several: removes the pairs of `deletes`, then stores values[i]
  // (non-null) under pairs[i] as set_many does (the last of a repeated pair wins; a pair in
  // both ends up stored). The write locks of every touched shard are held together, taken
  // in ascending order, so no reader of a shard and no snapshot sees part of it. values[i]
  // receives the value it replaced, to be released by the caller unlocked. Requires equal
  // lengths. O(n) expected.
  // With `base`, each delete and each item takes effect only where the store holds, just
  // before the change, what `base` holds for its pair (the same bytes, or neither holds
  // it): a caller that knows the store as `base` changes only what nobody changed since.
  void apply(std::span<const KeyRef> deletes, std::span<const KeyRef> pairs,
             std::span<EncodedValue> values, const SnapshotData* base = nullptr) noexcept;

  // --- Queries: copy only the strings returned; results are unsorted (map order). ---

  // Keys of `ns` that start with `prefix` (all keys when empty/absent). One read lock for
  // the scan. O(keys of ns).
  std::vector<std::string> keys(std::string_view ns,
                                std::optional<std::string_view> prefix = std::nullopt) const;

  // Greatest key of `ns` in bytewise order, or empty if the namespace holds nothing.
  // One read lock, O(depth) along the key map's order summaries, copies one string.
  std::optional<std::string> max_key(std::string_view ns) const;

  // Namespaces starting with `prefix`, grouped by ascending shard, one read lock at a time
  // (consistent per shard, not across shards). O(namespaces).
  std::vector<std::string> namespaces(std::optional<std::string_view> prefix = std::nullopt) const;

  // Keys of `ns` passing `range`, in bytewise order (descending with range.reverse). Takes
  // an O(1) copy of the key map under the read lock and selects from it unlocked: with a
  // limit, O(limit x depth) when the range is open where the order starts (scan_keys),
  // else O(keys of ns * log limit); copies only the keys returned.
  std::vector<std::string> scan(std::string_view ns, const ScanRange& range) const;

  // --- Whole namespaces ---

  // Makes `target` hold exactly what `source` holds (nothing, when `source` is absent),
  // sharing the key map: no key or value is copied. Locks both shards in ascending order
  // (once when they are the same); a no-op when source == target. O(1) map work; the byte
  // counter moves by the two namespaces' byte totals. A replaced key map is freed after
  // unlocking.
  void copy_namespace(std::string_view source, std::string_view target) noexcept;

  // Makes `ns` hold exactly what it holds in `snap` (from any engine; nothing, when `snap`
  // lacks it), sharing the snapshot's key map: no key or value is copied, and the byte
  // counter moves by the two namespaces' totals. One write lock, O(1) map work; a replaced
  // key map is freed after unlocking.
  // With `base`, only if the store's key map of `ns` is still the one `base` holds (the
  // same map, or neither has the namespace); returns whether the namespace was restored.
  bool restore_namespace(const SnapshotData& snap, std::string_view ns,
                         const SnapshotData* base = nullptr) noexcept;

  // Removes `ns` with all its keys; returns how many it held (0 if absent). One write
  // lock, O(1) map work; the key map is freed after unlocking.
  std::uint64_t drop_namespace(std::string_view ns) noexcept;

  // --- Snapshots ---

  // Point-in-time copy: 16 read locks ascending, 16 O(1) map copies and counter reads;
  // then the id, the parent (the previously numbered snapshot of this engine) and the
  // wall-clock time; then retention per max_history. Cost is independent of the data.
  SnapshotPtr snapshot() noexcept;

  // Retained snapshots, oldest first. O(retained).
  std::vector<SnapshotPtr> history() const;

  // Drops every retained snapshot (freed after unlocking). Ids continue.
  void clear_history() noexcept;

  // Replaces the contents by those of `snap` (from any engine): 16 write locks ascending,
  // O(1) per shard; the replaced maps are freed after unlocking. History, ids, parent link
  // untouched.
  void restore(const SnapshotData& snap) noexcept;

 private:
  std::vector<EncodedValue> read_batch(std::span<const KeyRef> pairs, bool together) const;

  std::array<detail::Shard, kShardCount> shards_;
  std::atomic<std::uint64_t> next_id_{1};
  std::mutex last_id_mutex_;
  std::optional<std::uint64_t> last_id_;  // guarded by last_id_mutex_
  mutable std::shared_mutex history_mutex_;
  std::deque<SnapshotPtr> history_;  // guarded by history_mutex_
  const std::optional<std::uint64_t> max_history_;
};

static_assert(alignof(Engine) <= alignof(std::max_align_t));

// Wall-clock seconds since the Unix epoch (0.0 for a clock set before it).
double wall_clock_seconds() noexcept;

}  // namespace store
