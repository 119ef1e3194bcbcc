#include "store/engine.hpp"

#include <time.h>

#include <algorithm>
#include <cassert>
#include <utility>

namespace store {
namespace {

using ExclusiveLock = std::unique_lock<std::shared_mutex>;
using SharedLock = std::shared_lock<std::shared_mutex>;

// Puts `value` in `slot` and the replaced value (null if the key was new) in `value`, to be
// released by the caller after unlocking; returns the replaced value's size.
std::uint64_t replace(EncodedValue& slot, EncodedValue& value) noexcept {
  slot.swap(value);
  return value.size();
}

// Inserts or replaces one pair; returns the replaced value's size (0 if the key was new).
// Nodes no snapshot shares are updated in place.
std::uint64_t put(NamespaceMap& map, std::string_view ns, std::string_view key,
                  EncodedValue& value) {
  const std::uint64_t new_size = value.size();
  return map.modify(ns, [&](NamespaceKeys& keys) {
    const std::uint64_t old_size =
        keys.modify(key, [&](EncodedValue& slot) { return replace(slot, value); });
    keys.bytes += new_size - old_size;
    return old_size;
  });
}

// The shard of every item and the item positions in shard order (input order within a
// shard), by one counting pass. `ns_of(i)` is item i's namespace; consecutive items of one
// namespace share one shard hash. starts[s] .. starts[s + 1] is shard s's range in `order`.
template <class NsOf>
void shard_order(std::size_t n, NsOf&& ns_of, std::array<std::size_t, kShardCount + 1>& starts,
                 std::vector<std::size_t>& order) {
  std::vector<unsigned char> shard_of(n);
  starts.fill(0);
  for (std::size_t i = 0; i < n; ++i) {
    const bool same = i > 0 && base::same_bytes(ns_of(i), ns_of(i - 1));
    shard_of[i] = static_cast<unsigned char>(same ? shard_of[i - 1] : shard_index(ns_of(i)));
    ++starts[shard_of[i] + 1];
  }
  for (std::size_t s = 0; s < kShardCount; ++s) starts[s + 1] += starts[s];
  std::array<std::size_t, kShardCount> next;
  std::copy(starts.begin(), starts.end() - 1, next.begin());
  order.resize(n);
  for (std::size_t i = 0; i < n; ++i) order[next[shard_of[i]]++] = i;
}

// Counters change by wrapping addition; a decrease adds the two's complement.
void add_bytes(detail::Shard& shard, std::uint64_t delta) noexcept {
  shard.bytes.fetch_add(delta, std::memory_order_relaxed);
}

// Removes one pair from a shard whose write lock the caller holds, dropping a namespace
// that loses its last key; returns the removed value's size (0 if it was absent).
std::uint64_t remove_pair(detail::Shard& shard, std::string_view ns,
                          std::string_view key) noexcept {
  const KeyMap* keys = shard.map.find(ns);
  if (!keys) return 0;
  const EncodedValue* value = keys->find(key);
  if (!value) return 0;
  const std::uint64_t size = value->size();
  if (keys->size() == 1) {
    shard.map.erase_in_place(ns);  // no empty key maps
  } else {
    shard.map.modify_existing(ns, [&](NamespaceKeys& km) {
      km.erase_in_place(key);
      km.bytes -= size;
    });
  }
  return size;
}

bool has_prefix(std::string_view s, std::optional<std::string_view> prefix) noexcept {
  return !prefix || s.starts_with(*prefix);
}

}  // namespace

double wall_clock_seconds() noexcept {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0.0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1000000000.0;
}

Engine::Engine(std::optional<std::uint64_t> max_history) noexcept : max_history_(max_history) {}

void Engine::set(std::string_view ns, std::string_view key, EncodedValue value) noexcept {
  assert(value);
  detail::Shard& shard = shards_[shard_index(ns)];
  const std::uint64_t new_size = value.size();
  ExclusiveLock lock(shard.mutex);
  const std::uint64_t old_size = put(shard.map, ns, key, value);
  add_bytes(shard, new_size - old_size);
}  // `value`, now the replaced one, is released after unlocking

EncodedValue Engine::get(std::string_view ns, std::string_view key) const {
  const detail::Shard& shard = shards_[shard_index(ns)];
  SharedLock lock(shard.mutex);
  const KeyMap* keys = shard.map.find(ns);
  if (!keys) return {};
  const EncodedValue* value = keys->find(key);
  return value ? *value : EncodedValue{};
}

bool Engine::contains(std::string_view ns, std::string_view key) const {
  const detail::Shard& shard = shards_[shard_index(ns)];
  SharedLock lock(shard.mutex);
  const KeyMap* keys = shard.map.find(ns);
  return keys && keys->find(key);
}

bool Engine::contains_namespace(std::string_view ns) const {
  const detail::Shard& shard = shards_[shard_index(ns)];
  SharedLock lock(shard.mutex);
  const KeyMap* keys = shard.map.find(ns);
  return keys && !keys->empty();
}

bool Engine::erase(std::string_view ns, std::string_view key) noexcept {
  detail::Shard& shard = shards_[shard_index(ns)];
  ExclusiveLock lock(shard.mutex);
  const KeyMap* keys = shard.map.find(ns);
  if (!keys || !keys->find(key)) return false;
  add_bytes(shard, std::uint64_t{0} - remove_pair(shard, ns, key));
  return true;
}

void Engine::clear() noexcept {
  for (detail::Shard& shard : shards_) {
    NamespaceMap old;
    {
      ExclusiveLock lock(shard.mutex);
      old = std::move(shard.map);  // leaves the shard empty
      shard.bytes.store(0, std::memory_order_relaxed);
    }
  }  // `old` is freed here, unlocked
}

std::uint64_t Engine::entry_count() const {
  std::uint64_t n = 0;
  for (const detail::Shard& shard : shards_) {
    SharedLock lock(shard.mutex);
    for (const auto& entry : shard.map) n += entry.second.size();
  }
  return n;
}

// Writes items order[begin..end) into `shard`, whose write lock the caller holds: item i
// has namespace ns_of(i), key key_of(i) and value value_of(i), which receives the replaced
// value so that the caller releases it unlocked. Each run of one namespace costs one
// namespace lookup, then one key-map update per item, in order. Returns the byte change.
template <class NsOf, class KeyOf, class ValueOf>
std::uint64_t write_run(detail::Shard& shard, const std::size_t* begin, const std::size_t* end,
                        NsOf&& ns_of, KeyOf&& key_of, ValueOf&& value_of) noexcept {
  std::uint64_t delta = 0;
  for (const std::size_t* p = begin; p < end;) {
    auto&& ns = ns_of(*p);
    const std::size_t* run_end = p + 1;
    while (run_end < end && base::same_bytes(ns_of(*run_end), ns)) ++run_end;
    // Items are consumed: new names may be moved into the maps.
    delta += shard.map.modify(std::move(ns), [&](NamespaceKeys& keys) {
      std::uint64_t d = 0;
      for (const std::size_t* r = p; r < run_end; ++r) {
        EncodedValue& value = value_of(*r);
        assert(value);
        d += value.size();
        d -= keys.modify(std::move(key_of(*r)),
                         [&](EncodedValue& slot) { return replace(slot, value); });
      }
      keys.bytes += d;
      return d;
    });
    p = run_end;
  }
  return delta;
}

// Writes item 0..n-1 in shard order, one shard at a time (see write_run).
template <class NsOf, class KeyOf, class ValueOf>
void write_batch(std::array<detail::Shard, kShardCount>& shards, std::size_t n, NsOf&& ns_of,
                 KeyOf&& key_of, ValueOf&& value_of) noexcept {
  std::array<std::size_t, kShardCount + 1> starts;
  std::vector<std::size_t> order;
  shard_order(n, ns_of, starts, order);
  for (std::size_t s = 0; s < kShardCount; ++s) {
    if (starts[s] == starts[s + 1]) continue;
    detail::Shard& shard = shards[s];
    ExclusiveLock lock(shard.mutex);
    add_bytes(shard, write_run(shard, order.data() + starts[s], order.data() + starts[s + 1], ns_of,
                               key_of, value_of));
  }
}

void Engine::set_many(std::vector<SetItem> items) noexcept {
  write_batch(
      shards_, items.size(), [&](std::size_t i) -> std::string& { return items[i].ns; },
      [&](std::size_t i) -> std::string& { return items[i].key; },
      [&](std::size_t i) -> EncodedValue& { return items[i].value; });
}

void Engine::set_many(std::span<const KeyRef> pairs, std::span<EncodedValue> values) noexcept {
  assert(pairs.size() == values.size());
  write_batch(
      shards_, pairs.size(), [&](std::size_t i) { return pairs[i].ns; },
      [&](std::size_t i) { return pairs[i].key; },
      [&](std::size_t i) -> EncodedValue& { return values[i]; });
}

void Engine::apply(std::span<const KeyRef> deletes, std::span<const KeyRef> pairs,
                   std::span<EncodedValue> values, const SnapshotData* base) noexcept {
  assert(pairs.size() == values.size());
  std::array<std::size_t, kShardCount + 1> del_starts, set_starts;
  std::vector<std::size_t> del_order, set_order;
  shard_order(deletes.size(), [&](std::size_t i) { return deletes[i].ns; }, del_starts, del_order);
  shard_order(pairs.size(), [&](std::size_t i) { return pairs[i].ns; }, set_starts, set_order);
  auto touched = [&](std::size_t s) {
    return del_starts[s] != del_starts[s + 1] || set_starts[s] != set_starts[s + 1];
  };
  // Whether the shard holds for (ns, key) what `base` holds.
  auto as_base = [&](const detail::Shard& shard, std::string_view ns, std::string_view key) {
    const KeyMap* keys = shard.map.find(ns);
    const EncodedValue* now = keys ? keys->find(key) : nullptr;
    const EncodedValue then = base->find(ns, key);
    return now ? then && *now == then : !then;
  };
  // Every touched shard is held from the first change to the last, so that no reader of
  // a shard and no snapshot sees part of the batch.
  std::array<ExclusiveLock, kShardCount> locks;
  for (std::size_t s = 0; s < kShardCount; ++s)
    if (touched(s)) locks[s] = ExclusiveLock(shards_[s].mutex);
  std::vector<std::size_t> del_kept, set_kept;
  for (std::size_t s = 0; s < kShardCount; ++s) {
    if (!touched(s)) continue;
    detail::Shard& shard = shards_[s];
    const std::size_t* del_begin = del_order.data() + del_starts[s];
    const std::size_t* del_end = del_order.data() + del_starts[s + 1];
    const std::size_t* set_begin = set_order.data() + set_starts[s];
    const std::size_t* set_end = set_order.data() + set_starts[s + 1];
    if (base) {
      // Judged on the shard as it is before any of the batch's changes to it.
      del_kept.clear();
      set_kept.clear();
      for (const std::size_t* p = del_begin; p < del_end; ++p)
        if (as_base(shard, deletes[*p].ns, deletes[*p].key)) del_kept.push_back(*p);
      for (const std::size_t* p = set_begin; p < set_end; ++p)
        if (as_base(shard, pairs[*p].ns, pairs[*p].key)) set_kept.push_back(*p);
      del_begin = del_kept.data();
      del_end = del_begin + del_kept.size();
      set_begin = set_kept.data();
      set_end = set_begin + set_kept.size();
    }
    std::uint64_t delta = 0;
    for (const std::size_t* p = del_begin; p < del_end; ++p) {
      const KeyRef& d = deletes[*p];
      delta -= remove_pair(shard, d.ns, d.key);
    }
    delta += write_run(
        shard, set_begin, set_end, [&](std::size_t i) { return pairs[i].ns; },
        [&](std::size_t i) { return pairs[i].key; },
        [&](std::size_t i) -> EncodedValue& { return values[i]; });
    add_bytes(shard, delta);
  }
  for (ExclusiveLock& lock : locks)
    if (lock.owns_lock()) lock.unlock();
}

std::vector<EncodedValue> Engine::get_many(std::span<const KeyRef> pairs) const {
  return read_batch(pairs, false);
}

std::vector<EncodedValue> Engine::get_many_atomic(std::span<const KeyRef> pairs) const {
  return read_batch(pairs, true);
}

std::vector<EncodedValue> Engine::read_batch(std::span<const KeyRef> pairs, bool together) const {
  std::vector<EncodedValue> out(pairs.size());
  std::array<std::size_t, kShardCount + 1> starts;
  std::vector<std::size_t> order;
  shard_order(pairs.size(), [&](std::size_t i) { return pairs[i].ns; }, starts, order);
  std::array<SharedLock, kShardCount> held;
  if (together)
    for (std::size_t s = 0; s < kShardCount; ++s)
      if (starts[s] != starts[s + 1]) held[s] = SharedLock(shards_[s].mutex);
  for (std::size_t s = 0; s < kShardCount; ++s) {
    if (starts[s] == starts[s + 1]) continue;
    const detail::Shard& shard = shards_[s];
    SharedLock lock = together ? std::move(held[s]) : SharedLock(shard.mutex);
    for (std::size_t p = starts[s], run_end; p < starts[s + 1]; p = run_end) {
      const std::string_view ns = pairs[order[p]].ns;
      for (run_end = p + 1;
           run_end < starts[s + 1] && base::same_bytes(pairs[order[run_end]].ns, ns); ++run_end) {
      }
      const KeyMap* keys = shard.map.find(ns);
      if (!keys) continue;
      for (std::size_t r = p; r < run_end; ++r) {
        const std::size_t i = order[r];
        if (const EncodedValue* value = keys->find(pairs[i].key)) out[i] = *value;
      }
    }
  }
  return out;
}

std::vector<std::string> Engine::keys(std::string_view ns,
                                      std::optional<std::string_view> prefix) const {
  std::vector<std::string> out;
  const detail::Shard& shard = shards_[shard_index(ns)];
  SharedLock lock(shard.mutex);
  const KeyMap* keys = shard.map.find(ns);
  if (!keys) return out;
  for (const auto& entry : *keys)
    if (has_prefix(entry.first, prefix)) out.push_back(entry.first);
  return out;
}

std::optional<std::string> Engine::max_key(std::string_view ns) const {
  const detail::Shard& shard = shards_[shard_index(ns)];
  SharedLock lock(shard.mutex);
  const KeyMap* keys = shard.map.find(ns);
  if (!keys || keys->empty()) return std::nullopt;
  return *keys->max_key();
}

std::vector<std::string> Engine::namespaces(std::optional<std::string_view> prefix) const {
  std::vector<std::string> out;
  for (const detail::Shard& shard : shards_) {
    SharedLock lock(shard.mutex);
    for (const auto& entry : shard.map)
      if (has_prefix(entry.first, prefix)) out.push_back(entry.first);
  }
  return out;
}

std::vector<std::string> Engine::scan(std::string_view ns, const ScanRange& range) const {
  KeyMap keys;
  {
    const detail::Shard& shard = shards_[shard_index(ns)];
    SharedLock lock(shard.mutex);
    const KeyMap* found = shard.map.find(ns);
    if (!found) return {};
    keys = *found;
  }
  return scan_keys(keys, range);
}

void Engine::copy_namespace(std::string_view source, std::string_view target) noexcept {
  if (source == target) return;
  const std::size_t si = shard_index(source), ti = shard_index(target);
  const detail::Shard& from = shards_[si];
  detail::Shard& to = shards_[ti];
  std::string target_owned(target);
  NamespaceKeys replaced;
  {
    SharedLock from_lock(from.mutex, std::defer_lock);
    ExclusiveLock to_lock(to.mutex, std::defer_lock);
    if (si == ti) {
      to_lock.lock();
    } else if (si < ti) {
      from_lock.lock();
      to_lock.lock();
    } else {
      to_lock.lock();
      from_lock.lock();
    }
    const NamespaceKeys* src = from.map.find(source);
    const NamespaceKeys* old = to.map.find(target);
    if (!src && !old) return;
    std::uint64_t delta = 0;
    if (old) {
      replaced = *old;
      delta -= replaced.bytes;
    }
    if (src) {
      delta += src->bytes;
      to.map = std::move(to.map).set(std::move(target_owned), *src);
    } else {
      to.map = std::move(to.map).erase(target_owned);
    }
    add_bytes(to, delta);
  }  // `replaced` is freed here, unlocked
}

bool Engine::restore_namespace(const SnapshotData& snap, std::string_view ns,
                               const SnapshotData* base) noexcept {
  const std::size_t si = shard_index(ns);
  const NamespaceKeys* kept = snap.shards()[si].find(ns);  // immutable: no lock
  NamespaceKeys incoming = kept ? *kept : NamespaceKeys{};
  const NamespaceKeys* expected = base ? base->shards()[si].find(ns) : nullptr;
  std::string ns_owned(ns);
  detail::Shard& shard = shards_[si];
  NamespaceKeys replaced;
  {
    ExclusiveLock lock(shard.mutex);
    const NamespaceKeys* old = shard.map.find(ns);
    if (base && (old ? !expected || old->identity() != expected->identity() : expected != nullptr))
      return false;
    if (!old && !kept) return true;
    std::uint64_t delta = incoming.bytes;
    if (old) {
      replaced = *old;
      delta -= replaced.bytes;
    }
    if (kept)
      shard.map = std::move(shard.map).set(std::move(ns_owned), std::move(incoming));
    else
      shard.map = std::move(shard.map).erase(ns_owned);
    add_bytes(shard, delta);
  }  // `replaced` is freed here, unlocked
  return true;
}

std::uint64_t Engine::drop_namespace(std::string_view ns) noexcept {
  detail::Shard& shard = shards_[shard_index(ns)];
  std::string ns_owned(ns);
  NamespaceKeys dropped;
  {
    ExclusiveLock lock(shard.mutex);
    const NamespaceKeys* keys = shard.map.find(ns);
    if (!keys) return 0;
    dropped = *keys;
    shard.map = std::move(shard.map).erase(ns_owned);
    add_bytes(shard, std::uint64_t{0} - dropped.bytes);
  }
  return dropped.size();  // `dropped` is freed on return, unlocked
}

SnapshotPtr Engine::snapshot() noexcept {
  ShardMaps maps;
  ShardBytes bytes{};
  {
    std::array<SharedLock, kShardCount> locks;
    for (std::size_t i = 0; i < kShardCount; ++i) locks[i] = SharedLock(shards_[i].mutex);
    for (std::size_t i = 0; i < kShardCount; ++i) maps[i] = shards_[i].map;
    for (std::size_t i = 0; i < kShardCount; ++i)
      bytes[i] = shards_[i].bytes.load(std::memory_order_relaxed);
    for (SharedLock& lock : locks) lock.unlock();
  }
  std::uint64_t id = 0;
  std::optional<std::uint64_t> parent;
  {
    // Drawing the id under this lock keeps the parent chain in id order: a parent is
    // always the next smaller id, even when snapshots race.
    std::lock_guard lock(last_id_mutex_);
    id = next_id_.fetch_add(1, std::memory_order_relaxed);
    parent = std::exchange(last_id_, id);
  }
  auto snap = std::make_shared<const SnapshotData>(id, parent, wall_clock_seconds(),
                                                   std::move(maps), bytes);
  if (max_history_ && *max_history_ == 0) return snap;
  std::deque<SnapshotPtr> dropped;
  {
    ExclusiveLock lock(history_mutex_);
    history_.push_back(snap);
    while (max_history_ && history_.size() > *max_history_) {
      dropped.push_back(std::move(history_.front()));
      history_.pop_front();
    }
  }  // `dropped` is freed here, unlocked
  return snap;
}

std::vector<SnapshotPtr> Engine::history() const {
  SharedLock lock(history_mutex_);
  return {history_.begin(), history_.end()};
}

void Engine::clear_history() noexcept {
  std::deque<SnapshotPtr> dropped;
  {
    ExclusiveLock lock(history_mutex_);
    dropped.swap(history_);
  }
}

void Engine::restore(const SnapshotData& snap) noexcept {
  ShardMaps maps = snap.shards();  // O(1) per shard; the old maps end up here
  std::array<ExclusiveLock, kShardCount> locks;
  for (std::size_t i = 0; i < kShardCount; ++i) locks[i] = ExclusiveLock(shards_[i].mutex);
  for (std::size_t i = 0; i < kShardCount; ++i) {
    std::swap(shards_[i].map, maps[i]);
    shards_[i].bytes.store(snap.shard_bytes()[i], std::memory_order_relaxed);
  }
  for (ExclusiveLock& lock : locks) lock.unlock();
}  // the replaced maps are freed here, unlocked

}  // namespace store
