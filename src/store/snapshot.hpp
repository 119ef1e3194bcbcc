// SnapshotData: the immutable payload of one snapshot of an Engine.
//
// Holds O(1) copies of the 16 namespace maps and the 16 byte counters read under the same
// 16 read locks, so shard_bytes()[i] is the summed size of the values in shards()[i].
// Never changes after construction; shared through SnapshotPtr by the engine's history and
// any number of readers. Every member is safe to call from any thread without locks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/maps.hpp"

namespace store {

// What changed from a base snapshot to this one; pairs in shard order, then map order.
struct Diff {
  std::vector<KeyPair> added;    // in this snapshot, not in the base
  std::vector<KeyPair> removed;  // in the base, not in this snapshot
  std::vector<KeyPair> changed;  // in both, with different encoded bytes
};

class SnapshotData {
 public:
  SnapshotData(std::uint64_t id, std::optional<std::uint64_t> parent, double timestamp,
               ShardMaps shards, ShardBytes shard_bytes) noexcept;

  // O(1), noexcept.
  std::uint64_t id() const noexcept { return id_; }
  std::optional<std::uint64_t> parent() const noexcept { return parent_; }
  double timestamp() const noexcept { return timestamp_; }
  std::uint64_t size_bytes() const noexcept { return size_bytes_; }
  const ShardMaps& shards() const noexcept { return shards_; }
  const ShardBytes& shard_bytes() const noexcept { return shard_bytes_; }

  // Every (namespace, key) held: shards ascending, then map order (unsorted; the order of
  // a map differs between processes). O(pairs), allocates every string; throws bad_alloc.
  std::vector<KeyPair> keys() const;

  // Keys of `ns` starting with `prefix` (all when absent), in map order. O(keys of ns),
  // allocates the keys returned; throws bad_alloc.
  std::vector<std::string> keys(std::string_view ns, std::optional<std::string_view> prefix) const;

  // Namespaces starting with `prefix` (all when absent): shards ascending, then map order.
  // O(namespaces), allocates the names returned; throws bad_alloc.
  std::vector<std::string> namespaces(std::optional<std::string_view> prefix) const;

  // Number of pairs. O(namespaces), no allocation, noexcept.
  std::uint64_t entry_count() const noexcept;

  // The value of a pair, or null. O(1) expected, no allocation, noexcept.
  EncodedValue find(std::string_view ns, std::string_view key) const noexcept;

  // How to go from `base` to this snapshot. Shards, namespaces and trie subtrees shared by
  // both sides are skipped, so a diff against an ancestor from this engine costs
  // O(pairs written since x depth), not the size of a namespace written to. `base` may come
  // from another engine (then changed namespaces are compared key by key). Allocates the
  // result; throws bad_alloc.
  Diff diff(const SnapshotData& base) const;

 private:
  std::uint64_t id_;
  std::optional<std::uint64_t> parent_;
  double timestamp_;
  std::uint64_t size_bytes_;
  ShardMaps shards_;
  ShardBytes shard_bytes_;
};

using SnapshotPtr = std::shared_ptr<const SnapshotData>;

}  // namespace store
