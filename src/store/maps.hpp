// The persistent maps of a shard.
//
// A shard holds a NamespaceMap: namespace -> NamespaceKeys (a KeyMap and its byte total),
// and a KeyMap is key -> EncodedValue.
// Both are hash tries (store/hamt.hpp): copying one is O(1) and shares every node; a change
// copies only the nodes on its path that another copy still shares, so a snapshot's copy
// never sees later writes. Node refcounts are atomic, so copies may live on any thread.
// Each map hashes under a secret key of its own, which travels with it into snapshots and
// other stores.
// Invariants kept by the engine: a namespace lives only in the map of shard
// shard_index(namespace), and no NamespaceMap holds an empty KeyMap.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "store/encoded_value.hpp"
#include "store/hamt.hpp"
#include "store/limits.hpp"
#include "store/shard.hpp"

namespace store {

using KeyMap = HashTrie<EncodedValue>;

// A namespace's key map with the summed size of its values, kept by every write, so that
// copying or dropping a whole namespace keeps the shard counter exact without visiting
// the values. Readers use it as the KeyMap it is.
struct NamespaceKeys : KeyMap {
  NamespaceKeys() = default;
  NamespaceKeys(KeyMap keys, std::uint64_t value_bytes) noexcept
      : KeyMap(std::move(keys)), bytes(value_bytes) {}
  std::uint64_t bytes = 0;
};

using NamespaceMap = HashTrie<NamespaceKeys>;

using ShardMaps = std::array<NamespaceMap, kShardCount>;
using ShardBytes = std::array<std::uint64_t, kShardCount>;

// (namespace, key), both UTF-8.
using KeyPair = std::pair<std::string, std::string>;

namespace detail {

// Whether two maps are the same trie (one root) or both empty: such maps need no visit.
template <class Map>
bool same_or_both_empty(const Map& a, const Map& b) noexcept {
  return a.identity() == b.identity() || (a.empty() && b.empty());
}

}  // namespace detail
}  // namespace store
