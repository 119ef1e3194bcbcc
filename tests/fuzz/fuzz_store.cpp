// Store engine against a plain model: operations decoded from the input bytes run on one or
// two engines and on std::map copies, and every result must agree. Names come from a tiny
// alphabet so that pairs collide, namespaces empty out and prefixes overlap; one operation
// fills a namespace with hundreds of keys, so that tries grow deep for ordered queries
// and diffs.
// Native only: no interpreter in the binary.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/encoded_value.hpp"
#include "store/engine.hpp"
#include "store/limits.hpp"
#include "store/snapshot.hpp"

namespace {

using Pair = std::pair<std::string, std::string>;
using Model = std::map<Pair, std::string>;
using ModelPtr = std::shared_ptr<const Model>;

[[noreturn]] void die(const char* what, std::uint64_t a = 0, std::uint64_t b = 0) {
  std::fprintf(stderr, "fuzz_store: %s (%llu, %llu)\n", what, static_cast<unsigned long long>(a),
               static_cast<unsigned long long>(b));
  std::abort();
}

void check(bool ok, const char* what, std::uint64_t a = 0, std::uint64_t b = 0) {
  if (!ok) die(what, a, b);
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  // A high byte makes bytewise order differ from signed-char order.
  std::string name(std::size_t max_len) {
    static constexpr char kAlphabet[] = {'a', 'b', 'A', '\xe9'};
    const std::uint8_t b = byte();
    const std::size_t len = b % (max_len + 1);
    std::string s;
    std::uint8_t bits = byte();
    for (std::size_t i = 0; i < len; ++i, bits >>= 2) s.push_back(kAlphabet[bits & 3]);
    return s;
  }

  // Lengths straddle the adopt threshold; the fill byte and the last byte vary so that
  // equal lengths with different bytes occur.
  std::string value() {
    static constexpr std::size_t kLengths[] = {0,
                                               1,
                                               2,
                                               7,
                                               store::kAdoptThreshold - 1,
                                               store::kAdoptThreshold,
                                               store::kAdoptThreshold + 1,
                                               1500};
    const std::uint8_t b = byte();
    std::string s(kLengths[b & 7], static_cast<char>('0' + ((b >> 3) & 3)));
    if (!s.empty()) s.back() = static_cast<char>('x' + (b >> 5));
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

struct Captured {
  store::SnapshotPtr snap;
  ModelPtr model;
};

struct Side {
  explicit Side(std::optional<std::uint64_t> max_history) : engine(max_history) {}
  store::Engine engine;
  Model model;
  std::uint64_t next_id = 1;
  std::optional<std::uint64_t> last_id;
  std::deque<Captured> history;
};

store::EncodedValue encode(std::string bytes, bool adopt) {
  return adopt ? store::EncodedValue(std::move(bytes)) : store::EncodedValue::copy_of(bytes);
}

bool starts_with(const std::string& s, const std::optional<std::string>& prefix) {
  return !prefix || s.starts_with(*prefix);
}

std::set<std::string> model_namespaces(const Model& m, const std::optional<std::string>& prefix) {
  std::set<std::string> out;
  for (const auto& [pair, value] : m)
    if (starts_with(pair.first, prefix)) out.insert(pair.first);
  return out;
}

std::set<std::string> model_keys(const Model& m, const std::string& ns,
                                 const std::optional<std::string>& prefix) {
  std::set<std::string> out;
  for (auto it = m.lower_bound({ns, ""}); it != m.end() && it->first.first == ns; ++it)
    if (starts_with(it->first.second, prefix)) out.insert(it->first.second);
  return out;
}

std::set<std::string> unique(const std::vector<std::string>& v, const char* what) {
  std::set<std::string> s(v.begin(), v.end());
  check(s.size() == v.size(), what, s.size(), v.size());
  return s;
}

std::set<Pair> unique_pairs(const std::vector<store::KeyPair>& v, const char* what) {
  std::set<Pair> s(v.begin(), v.end());
  check(s.size() == v.size(), what, s.size(), v.size());
  return s;
}

void check_value(const store::EncodedValue& got, const Model& m, const Pair& pair,
                 const char* what) {
  const auto it = m.find(pair);
  if (it == m.end()) {
    check(!got, what, got.size());
    return;
  }
  check(static_cast<bool>(got), what, it->second.size());
  check(got.view() == it->second, what, got.size(), it->second.size());
}

void check_keys(const store::Engine& e, const Model& m, const std::string& ns,
                const std::optional<std::string>& prefix) {
  std::optional<std::string_view> p;
  if (prefix) p = *prefix;
  check(unique(e.keys(ns, p), "keys: duplicate") == model_keys(m, ns, prefix), "keys differ");
}

void check_max_key(const store::Engine& e, const Model& m, const std::string& ns) {
  const std::set<std::string> all = model_keys(m, ns, std::nullopt);
  const std::optional<std::string> got = e.max_key(ns);
  check(got.has_value() == !all.empty(), "max_key: presence", got.has_value());
  if (got) check(*got == *all.rbegin(), "max_key differs", got->size(), all.rbegin()->size());
}

// A scan against the ordered model: the same filters, then the front `limit` of the order.
void check_scan(const store::Engine& e, const Model& m, const std::string& ns,
                const store::ScanRange& r) {
  std::vector<std::string> want;
  for (const std::string& k : model_keys(m, ns, std::nullopt))
    if ((!r.prefix || k.starts_with(*r.prefix)) && (!r.start || k >= *r.start) &&
        (!r.stop || k < *r.stop))
      want.push_back(k);
  if (r.reverse) std::reverse(want.begin(), want.end());
  if (r.limit && want.size() > *r.limit) want.resize(*r.limit);
  const std::vector<std::string> got = e.scan(ns, r);
  check(got == want, "scan differs", got.size(), want.size());
}

void check_namespaces(const store::Engine& e, const Model& m,
                      const std::optional<std::string>& prefix) {
  std::optional<std::string_view> p;
  if (prefix) p = *prefix;
  check(unique(e.namespaces(p), "namespaces: duplicate") == model_namespaces(m, prefix),
        "namespaces differ");
}

// The whole live engine against its model; small, since names are few.
void check_engine(const Side& side) {
  const store::Engine& e = side.engine;
  const Model& m = side.model;
  check(e.entry_count() == m.size(), "entry_count", e.entry_count(), m.size());
  const std::set<std::string> nss = model_namespaces(m, std::nullopt);
  check_namespaces(e, m, std::nullopt);
  for (const std::string& ns : nss) {
    check(e.contains_namespace(ns), "contains_namespace: missing");
    check_keys(e, m, ns, std::nullopt);
    check_max_key(e, m, ns);
  }
  for (const auto& [pair, value] : m) {
    check(e.contains(pair.first, pair.second), "contains: missing");
    check_value(e.get(pair.first, pair.second), m, pair, "get differs");
  }
}

std::uint64_t model_bytes(const Model& m) {
  std::uint64_t n = 0;
  for (const auto& [pair, value] : m) n += value.size();
  return n;
}

void check_snapshot(const store::SnapshotData& s, const Model& m) {
  check(s.entry_count() == m.size(), "snapshot entry_count", s.entry_count(), m.size());
  check(s.size_bytes() == model_bytes(m), "snapshot size_bytes", s.size_bytes(), model_bytes(m));
  std::uint64_t shard_sum = 0;
  for (std::uint64_t b : s.shard_bytes()) shard_sum += b;
  check(shard_sum == s.size_bytes(), "snapshot shard_bytes sum", shard_sum, s.size_bytes());
  for (std::size_t i = 0; i < store::kShardCount; ++i) {
    std::uint64_t in_shard = 0;
    for (const auto& [ns, keys] : s.shards()[i]) {
      std::uint64_t in_ns = 0;
      for (const auto& entry : keys) in_ns += entry.second.size();
      check(keys.bytes == in_ns, "namespace byte total", keys.bytes, in_ns);
      in_shard += in_ns;
    }
    check(in_shard == s.shard_bytes()[i], "shard byte total", in_shard, s.shard_bytes()[i]);
  }
  std::set<Pair> want;
  for (const auto& [pair, value] : m) {
    want.insert(pair);
    check_value(s.find(pair.first, pair.second), m, pair, "snapshot find differs");
  }
  check(unique_pairs(s.keys(), "snapshot keys: duplicate") == want, "snapshot keys differ");
  const std::set<std::string> nss = model_namespaces(m, std::nullopt);
  check(unique(s.namespaces(std::nullopt), "snapshot namespaces: duplicate") == nss,
        "snapshot namespaces differ");
  for (const std::string& ns : nss)
    check(unique(s.keys(ns, std::nullopt), "snapshot ns keys: duplicate") ==
              model_keys(m, ns, std::nullopt),
          "snapshot ns keys differ");
}

void check_diff(const Captured& self, const Captured& base) {
  const store::Diff d = self.snap->diff(*base.snap);
  std::set<Pair> added, removed, changed;
  for (const auto& [pair, value] : *self.model) {
    const auto it = base.model->find(pair);
    if (it == base.model->end())
      added.insert(pair);
    else if (it->second != value)
      changed.insert(pair);
  }
  for (const auto& [pair, value] : *base.model)
    if (!self.model->contains(pair)) removed.insert(pair);
  check(unique_pairs(d.added, "diff added: duplicate") == added, "diff added", d.added.size(),
        added.size());
  check(unique_pairs(d.removed, "diff removed: duplicate") == removed, "diff removed",
        d.removed.size(), removed.size());
  check(unique_pairs(d.changed, "diff changed: duplicate") == changed, "diff changed",
        d.changed.size(), changed.size());
}

void check_history(const Side& side) {
  const std::vector<store::SnapshotPtr> got = side.engine.history();
  check(got.size() == side.history.size(), "history length", got.size(), side.history.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    check(got[i] == side.history[i].snap, "history entry", got[i]->id(),
          side.history[i].snap->id());
  }
}

// get_many holds one shard at a time, get_many_atomic all it touches: alone they agree.
bool how_many_locks(std::uint8_t op) { return op & 0x40; }

// Bounds memory and time per input; later captures overwrite a slot.
constexpr std::size_t kMaxCaptured = 24;
constexpr std::size_t kMaxOps = 400;
constexpr std::size_t kMaxBatch = 12;

std::optional<std::uint64_t> max_history_of(std::uint8_t b) {
  switch (b % 5) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 2:
      return 2;
    case 3:
      return 3;
    default:
      return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t config = in.byte();
  std::vector<std::unique_ptr<Side>> sides;
  sides.push_back(std::make_unique<Side>(max_history_of(config)));
  if (config & 0x80) sides.push_back(std::make_unique<Side>(max_history_of(config >> 3)));
  std::vector<Captured> captured;

  for (std::size_t op_count = 0; !in.done() && op_count < kMaxOps; ++op_count) {
    const std::uint8_t op = in.byte();
    Side& side = *sides[(op >> 7) % sides.size()];
    store::Engine& e = side.engine;
    // Ops 16 and up take a quarter of the bytes: those whose bits 4 and 5 are both set.
    const unsigned kind = (op & 0x30) == 0x30 ? 16 + (op & 7) : op & 15;
    switch (kind) {
      case 0:
      case 1: {  // set
        std::string ns = in.name(2), key = in.name(3), bytes = in.value();
        side.model[{ns, key}] = bytes;
        e.set(std::move(ns), std::move(key), encode(std::move(bytes), op & 0x40));
        break;
      }
      case 2: {  // set of a block already stored elsewhere: diff must not call it changed
        const std::string from_ns = in.name(2), from_key = in.name(3);
        std::string ns = in.name(2), key = in.name(3);
        const store::EncodedValue v = e.get(from_ns, from_key);
        if (!v) break;
        side.model[{ns, key}] = std::string(v.view());
        e.set(std::move(ns), std::move(key), v);
        break;
      }
      case 3: {  // erase
        const std::string ns = in.name(2), key = in.name(3);
        const bool had = side.model.erase({ns, key}) == 1;
        check(e.erase(ns, key) == had, "erase result", had);
        break;
      }
      case 4: {                         // clear
        if (in.byte() % 4 != 0) break;  // rare, or little would survive
        side.model.clear();
        e.clear();
        break;
      }
      case 5: {  // set_many, later items repeating earlier pairs
        const std::size_t n = in.byte() % kMaxBatch;
        std::vector<store::SetItem> items;
        for (std::size_t i = 0; i < n; ++i) {
          std::string ns, key;
          const std::uint8_t how = in.byte();
          if (!items.empty() && (how & 1)) {
            ns = items[(how >> 1) % items.size()].ns;
            key = items[(how >> 1) % items.size()].key;
          } else {
            ns = in.name(2);
            key = in.name(3);
          }
          std::string bytes = in.value();
          side.model[{ns, key}] = bytes;
          items.push_back({std::move(ns), std::move(key), encode(std::move(bytes), how & 2)});
        }
        e.set_many(std::move(items));
        break;
      }
      case 6: {  // get_many, with repeats and absent pairs
        const std::size_t n = in.byte() % kMaxBatch;
        std::vector<Pair> owned;
        for (std::size_t i = 0; i < n; ++i) {
          const std::uint8_t how = in.byte();
          if (!owned.empty() && (how & 1))
            owned.push_back(owned[(how >> 1) % owned.size()]);
          else
            owned.emplace_back(in.name(2), in.name(3));
        }
        std::vector<store::KeyRef> refs;
        for (const Pair& p : owned) refs.push_back({p.first, p.second});
        const std::vector<store::EncodedValue> got =
            how_many_locks(op) ? e.get_many_atomic(refs) : e.get_many(refs);
        check(got.size() == owned.size(), "get_many length", got.size(), owned.size());
        for (std::size_t i = 0; i < got.size(); ++i)
          check_value(got[i], side.model, owned[i], "get_many differs");
        break;
      }
      case 7: {  // snapshot
        const store::SnapshotPtr snap = e.snapshot();
        check(snap->id() == side.next_id, "snapshot id", snap->id(), side.next_id);
        check(snap->parent() == side.last_id, "snapshot parent", snap->parent().value_or(0),
              side.last_id.value_or(0));
        check(snap->timestamp() >= 0.0, "snapshot timestamp");
        side.last_id = side.next_id++;
        Captured c{snap, std::make_shared<const Model>(side.model)};
        check_snapshot(*snap, *c.model);
        const auto max = e.max_history();
        if (!max || *max > 0) {
          side.history.push_back(c);
          while (max && side.history.size() > *max) side.history.pop_front();
        }
        if (captured.size() < kMaxCaptured)
          captured.push_back(std::move(c));
        else
          captured[in.byte() % kMaxCaptured] = std::move(c);
        break;
      }
      case 8: {  // restore, possibly from the other engine
        if (captured.empty()) break;
        const Captured& c = captured[in.byte() % captured.size()];
        e.restore(*c.snap);
        side.model = *c.model;
        break;
      }
      case 9: {  // clear_history
        e.clear_history();
        side.history.clear();
        break;
      }
      case 10: {  // keys with a prefix
        const std::string ns = in.name(2);
        std::optional<std::string> prefix;
        if (in.byte() & 1) prefix = in.name(3);
        check_keys(e, side.model, ns, prefix);
        check_max_key(e, side.model, ns);
        check(e.contains_namespace(ns) == !model_keys(side.model, ns, std::nullopt).empty(),
              "contains_namespace differs");
        break;
      }
      case 11: {  // namespaces with a prefix
        std::optional<std::string> prefix;
        if (in.byte() & 1) prefix = in.name(2);
        check_namespaces(e, side.model, prefix);
        break;
      }
      case 12:
      case 13: {  // diff between two captures, either direction, either engine
        if (captured.empty()) break;
        const Captured& a = captured[in.byte() % captured.size()];
        const Captured& b = captured[in.byte() % captured.size()];
        check_diff(a, b);
        break;
      }
      case 14: {  // an earlier capture still shows its own contents
        if (captured.empty()) break;
        const Captured& c = captured[in.byte() % captured.size()];
        check_snapshot(*c.snap, *c.model);
        break;
      }
      case 16: {  // copy_namespace, often onto itself or from nothing
        const std::string source = in.name(2), target = in.name(2);
        e.copy_namespace(source, target);
        if (source == target) break;
        std::erase_if(side.model, [&](const auto& kv) { return kv.first.first == target; });
        Model copied;
        for (const auto& [pair, value] : side.model)
          if (pair.first == source) copied[{target, pair.second}] = value;
        side.model.merge(copied);
        break;
      }
      case 17: {                        // drop_namespace
        if (in.byte() % 2 != 0) break;  // rare, or little would survive
        const std::string ns = in.name(2);
        const std::size_t had =
            std::erase_if(side.model, [&](const auto& kv) { return kv.first.first == ns; });
        check(e.drop_namespace(ns) == had, "drop_namespace count", had);
        break;
      }
      case 18: {  // scan with any mix of prefix, bounds, direction and limit
        const std::string ns = in.name(2);
        const std::uint8_t how = in.byte();
        const std::string prefix = in.name(2), start = in.name(3), stop = in.name(3);
        store::ScanRange r;
        if (how & 1) r.prefix = prefix;
        if (how & 2) r.start = start;
        if (how & 4) r.stop = stop;
        r.reverse = how & 8;
        if (how & 16) r.limit = how >> 5;
        check_scan(e, side.model, ns, r);
        break;
      }
      case 19: {  // point and batch reads of a capture
        if (captured.empty()) break;
        const Captured& c = captured[in.byte() % captured.size()];
        const std::string ns = in.name(2), key = in.name(3);
        std::optional<std::string> prefix;
        if (in.byte() & 1) prefix = in.name(3);
        std::optional<std::string_view> p;
        if (prefix) p = *prefix;
        check_value(c.snap->find(ns, key), *c.model, {ns, key}, "capture find differs");
        check(unique(c.snap->keys(ns, p), "capture keys: duplicate") ==
                  model_keys(*c.model, ns, prefix),
              "capture keys differ");
        check(unique(c.snap->namespaces(p), "capture namespaces: duplicate") ==
                  model_namespaces(*c.model, prefix),
              "capture namespaces differ");
        break;
      }
      case 20: {  // apply: deletes first, then writes, as one change
        std::vector<Pair> dels, sets;
        std::vector<store::EncodedValue> values;
        const std::size_t nd = in.byte() % kMaxBatch, ns_count = in.byte() % kMaxBatch;
        for (std::size_t i = 0; i < nd; ++i) dels.emplace_back(in.name(2), in.name(3));
        for (std::size_t i = 0; i < ns_count; ++i) {
          const std::uint8_t how = in.byte();
          // Often a pair just deleted, or one written earlier in the batch.
          if ((how & 3) == 1 && !dels.empty())
            sets.push_back(dels[(how >> 2) % dels.size()]);
          else if ((how & 3) == 2 && !sets.empty())
            sets.push_back(sets[(how >> 2) % sets.size()]);
          else
            sets.emplace_back(in.name(2), in.name(3));
          std::string bytes = in.value();
          values.push_back(encode(bytes, how & 0x80));
        }
        // With a capture as base, a change applies only where the store holds what the
        // capture holds for its pair, judged before any of the change.
        const Captured* base = nullptr;
        if (!captured.empty() && (in.byte() & 1)) base = &captured[in.byte() % captured.size()];
        auto as_base = [&](const Pair& pair) {
          const auto now = side.model.find(pair);
          const auto then = base->model->find(pair);
          if (now == side.model.end()) return then == base->model->end();
          return then != base->model->end() && then->second == now->second;
        };
        std::vector<bool> del_ok(dels.size(), true), set_ok(sets.size(), true);
        if (base) {
          for (std::size_t i = 0; i < dels.size(); ++i) del_ok[i] = as_base(dels[i]);
          for (std::size_t i = 0; i < sets.size(); ++i) set_ok[i] = as_base(sets[i]);
        }
        for (std::size_t i = 0; i < dels.size(); ++i)
          if (del_ok[i]) side.model.erase(dels[i]);
        for (std::size_t i = 0; i < sets.size(); ++i)
          if (set_ok[i]) side.model[sets[i]] = std::string(values[i].view());
        std::vector<store::KeyRef> del_refs, set_refs;
        for (const Pair& d : dels) del_refs.push_back({d.first, d.second});
        for (const Pair& s : sets) set_refs.push_back({s.first, s.second});
        e.apply(del_refs, set_refs, values, base ? base->snap.get() : nullptr);
        break;
      }
      case 21: {  // restore_namespace, possibly from the other engine
        if (captured.empty()) break;
        const Captured& c = captured[in.byte() % captured.size()];
        const std::string ns = in.name(2);
        const Captured& b = captured[in.byte() % captured.size()];
        const bool conditional = in.byte() & 1;
        auto content = [&](const Model& m) {
          Model out;
          for (const auto& [pair, value] : m)
            if (pair.first == ns) out.emplace(pair, value);
          return out;
        };
        const Model now = content(side.model), then = content(*b.model);
        const bool done = e.restore_namespace(*c.snap, ns, conditional ? b.snap.get() : nullptr);
        // Conditional: the very key map of the base, so its contents; absent from both
        // always counts as unchanged.
        if (!conditional || (now.empty() && then.empty())) check(done, "restore_namespace refused");
        if (conditional && now != then) check(!done, "restore_namespace over changed contents");
        if (!done) break;
        std::erase_if(side.model, [&](const auto& kv) { return kv.first.first == ns; });
        for (const auto& [pair, value] : *c.model)
          if (pair.first == ns) side.model[pair] = value;
        break;
      }
      case 22: {  // many keys in one namespace: deep tries for the order summaries and diff
        const std::string ns = in.name(2);
        const std::size_t n = 16 + in.byte();  // up to 271: tries three levels deep
        const std::uint8_t how = in.byte();
        const std::string value = in.value();
        std::vector<store::SetItem> items;
        for (std::size_t i = 0; i < n; ++i) {
          // Keys that share long prefixes, some a prefix of another.
          std::string key = std::to_string((i * (how | 1)) % (n + how));
          if (how & 1) key = "ckpt-" + key;
          if (i % 7 == 0) key.push_back('\xff');
          side.model[{ns, key}] = value;
          items.push_back({ns, key, store::EncodedValue::copy_of(value)});
        }
        e.set_many(std::move(items));
        break;
      }
      case 23: {  // erase a namespace's extremes: the summaries' worst case
        const std::string ns = in.name(2);
        const std::set<std::string> keys = model_keys(side.model, ns, std::nullopt);
        if (keys.empty()) break;
        const std::string k = in.byte() & 1 ? *keys.rbegin() : *keys.begin();
        check(e.erase(ns, k), "erase of an extreme");
        side.model.erase({ns, k});
        check_max_key(e, side.model, ns);
        store::ScanRange r;
        r.limit = 1 + in.byte() % 4;
        r.reverse = true;
        check_scan(e, side.model, ns, r);
        r.reverse = false;
        check_scan(e, side.model, ns, r);
        break;
      }
      default: {  // point reads, probably of absent pairs
        const std::string ns = in.name(2), key = in.name(3);
        check(e.contains(ns, key) == side.model.contains({ns, key}), "contains differs");
        check_value(e.get(ns, key), side.model, {ns, key}, "get differs");
        break;
      }
    }
    check_engine(side);
    check_history(side);
  }
  return 0;
}
