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
// both sides whose bytes differ go there. Keys go in `from`'s iteration order, namespaces
// in the iteration order of `from`'s namespace map, shards ascending. Maps that hash alike
// (copies of one another: two snapshots of one store, or a restore in between) are walked
// side by side, skipping every subtree they share, so that the cost follows what changed;
// maps that do not (another store's, a namespace dropped and made again) are compared key
// by key.
class DiffPass {
 public:
  DiffPass(std::vector<KeyPair>& missing, std::vector<KeyPair>* changed)
      : missing_(missing), changed_(changed) {}

  void shards(const ShardMaps& from, const ShardMaps& other) {
    for (std::size_t i = 0; i < kShardCount; ++i) {
      if (detail::same_or_both_empty(from[i], other[i])) continue;
      if (from[i].same_hashing(other[i])) {
        from[i].diff_walk(
            other[i], [&](const auto& e) { all(e.first, e.second); },
            [&](const auto& e, const NamespaceKeys& theirs) { keys(e.first, e.second, &theirs); });
      } else {
        for (const auto& [ns, mine] : from[i]) keys(ns, mine, other[i].find(ns));
      }
    }
  }

 private:
  void all(const std::string& ns, const KeyMap& mine) {
    for (const auto& entry : mine) missing_.emplace_back(ns, entry.first);
  }

  void keys(const std::string& ns, const KeyMap& mine, const KeyMap* theirs) {
    if (!theirs) return all(ns, mine);
    if (detail::same_or_both_empty(mine, *theirs)) return;
    const auto only = [&](const auto& e) { missing_.emplace_back(ns, e.first); };
    const auto both = [&](const auto& e, const EncodedValue& other_value) {
      if (changed_ && !(e.second == other_value)) changed_->emplace_back(ns, e.first);
    };
    if (mine.same_hashing(*theirs)) {
      mine.diff_walk(*theirs, only, both);
      return;
    }
    for (const auto& e : mine) {
      const EncodedValue* other_value = theirs->find(e.first);
      other_value ? both(e, *other_value) : only(e);
    }
  }

  std::vector<KeyPair>& missing_;
  std::vector<KeyPair>* changed_;
};

}  // namespace

Diff SnapshotData::diff(const SnapshotData& base) const {
  Diff d;
  DiffPass(d.added, &d.changed).shards(shards_, base.shards_);
  DiffPass(d.removed, nullptr).shards(base.shards_, shards_);
  return d;
}

}  // namespace store
