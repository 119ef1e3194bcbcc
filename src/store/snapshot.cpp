#include "store/snapshot.hpp"

#include <numeric>

namespace store {

SnapshotData::SnapshotData(std::uint64_t id, std::optional<std::uint64_t> parent, double timestamp,
                           ShardMaps shards, ShardBytes shard_bytes) noexcept
    : id_(id),
      parent_(parent),
      timestamp_(timestamp),
      // Wrapping sum, like the counters themselves.
      size_bytes_(std::accumulate(shard_bytes.begin(), shard_bytes.end(), std::uint64_t{0})),
      shards_(std::move(shards)),
      shard_bytes_(shard_bytes) {}

std::vector<KeyPair> SnapshotData::keys() const {
  std::vector<KeyPair> out;
  out.reserve(entry_count());
  for (const NamespaceMap& nss : shards_)
    for (const auto& [ns, keys] : nss)
      for (const auto& kv : keys) out.emplace_back(ns, kv.first);
  return out;
}

std::vector<std::string> SnapshotData::keys(std::string_view ns,
                                            std::optional<std::string_view> prefix) const {
  std::vector<std::string> out;
  const KeyMap* keys = shards_[shard_index(ns)].find(ns);
  if (!keys) return out;
  for (const auto& entry : *keys)
    if (!prefix || entry.first.starts_with(*prefix)) out.push_back(entry.first);
  return out;
}

std::vector<std::string> SnapshotData::namespaces(std::optional<std::string_view> prefix) const {
  std::vector<std::string> out;
  for (const NamespaceMap& nss : shards_)
    for (const auto& entry : nss)
      if (!prefix || entry.first.starts_with(*prefix)) out.push_back(entry.first);
  return out;
}

std::uint64_t SnapshotData::entry_count() const noexcept {
  std::uint64_t n = 0;
  for (const NamespaceMap& nss : shards_)
    for (const auto& entry : nss) n += entry.second.size();
  return n;
}

EncodedValue SnapshotData::find(std::string_view ns, std::string_view key) const noexcept {
  const KeyMap* keys = shards_[shard_index(ns)].find(ns);
  if (!keys) return {};
  const EncodedValue* v = keys->find(key);
  return v ? *v : EncodedValue{};
}

namespace {

// Pairs of `from` that `other` lacks go to `missing`; with `changed`, pairs present on
// both sides whose bytes differ go there.
void diff_pass(const ShardMaps& from, const ShardMaps& other, std::vector<KeyPair>& missing,
               std::vector<KeyPair>* changed) {
  for (std::size_t i = 0; i < kShardCount; ++i) {
    if (detail::same_or_both_empty(from[i], other[i])) continue;
    for (const auto& [ns, keys] : from[i]) {
      const KeyMap* other_keys = other[i].find(ns);
      if (other_keys && detail::same_or_both_empty<KeyMap>(keys, *other_keys)) continue;
      for (const auto& [key, value] : keys) {
        const EncodedValue* other_value = other_keys ? other_keys->find(key) : nullptr;
        if (!other_value)
          missing.emplace_back(ns, key);
        else if (changed && !(value == *other_value))
          changed->emplace_back(ns, key);
      }
    }
  }
}

}  // namespace

Diff SnapshotData::diff(const SnapshotData& base) const {
  Diff d;
  diff_pass(shards_, base.shards_, d.added, &d.changed);
  diff_pass(base.shards_, shards_, d.removed, nullptr);
  return d;
}

}  // namespace store
