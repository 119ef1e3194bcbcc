// The hash trie's order summaries, ordered walk and side-by-side diff, against plain models.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "store/engine.hpp"
#include "store/hamt.hpp"
#include "store/snapshot.hpp"

namespace store {
namespace {

// Only the first byte counts, in the top bits: keys sharing it collide on all 64 bits
// (collision nodes), the others part only at the deepest levels (long chains).
struct FirstByteHash {
  void ensure_keyed() noexcept {}
  std::uint64_t operator()(std::string_view s) const noexcept {
    return s.empty() ? 0 : std::uint64_t{static_cast<unsigned char>(s[0])} << 56;
  }
  bool operator==(const FirstByteHash&) const = default;
};

// Keys whose order is not their hash order: shared prefixes, proper prefixes of each other,
// high bytes (which sort above ASCII), the empty key.
std::string random_key(std::mt19937_64& rng, int spread) {
  static const char* const kHeads[] = {"", "a", "ab", "b", "\xff", "\xe9t", "ckpt-"};
  std::string k = kHeads[rng() % 7];
  const int tail = static_cast<int>(rng() % 3);
  for (int i = 0; i < tail; ++i) k.push_back("ab\xff\x01z"[rng() % 5]);
  if (rng() % 2) k += std::to_string(rng() % spread);
  return k;
}

using Model = std::map<std::string, int>;

template <class Map>
Model contents(const Map& m) {
  Model out;
  for (const auto& [k, v] : m) out[k] = v;
  return out;
}

// The model's answer to an ordered walk.
std::vector<std::string> expected_walk(const Model& m, bool descending, std::size_t limit,
                                       const KeyBounds& b, const std::string& must_start) {
  std::vector<std::string> out;
  auto consider = [&](const std::string& k) {
    if (out.size() >= limit) return;
    if ((b.lo && k < *b.lo) || (b.hi && !(k < *b.hi)) || !k.starts_with(must_start)) return;
    out.push_back(k);
  };
  if (descending)
    for (auto it = m.rbegin(); it != m.rend(); ++it) consider(it->first);
  else
    for (const auto& [k, v] : m) consider(k);
  return out;
}

template <class Hasher>
class TrieOrderTest : public ::testing::Test {};
using Hashers = ::testing::Types<KeyedSipHash, FirstByteHash>;
TYPED_TEST_SUITE(TrieOrderTest, Hashers);

// Inserts, updates and erases on a map and on copies of it that share its nodes; after each
// change every node's summaries must equal a recomputation from its slots, and the extremes
// and ordered walks must agree with the model.
TYPED_TEST(TrieOrderTest, SummariesFollowEveryChange) {
  using Map = HashTrie<int, TypeParam>;
  std::mt19937_64 rng(5);
  std::vector<std::pair<Map, Model>> maps(4);
  for (int step = 0; step < 12000; ++step) {
    auto& [m, model] = maps[rng() % maps.size()];
    const std::string k = random_key(rng, step < 6000 ? 40 : 400);
    switch (rng() % 10) {
      case 0:
      case 1:
      case 2:
      case 3:
        m.modify(k, [&](int& v) { v = step; });
        model[k] = step;
        break;
      case 4:
      case 5:
      case 6:
        ASSERT_EQ(m.erase_in_place(k), model.erase(k) == 1);
        break;
      case 7:
        if (!model.empty()) {  // erase an extreme: the summaries' worst case
          const std::string top = rng() % 2 ? model.rbegin()->first : model.begin()->first;
          ASSERT_TRUE(m.erase_in_place(top));
          model.erase(top);
        }
        break;
      case 8:
        maps[rng() % maps.size()] = {m, model};  // share every node
        break;
      default:
        m.modify_existing(k, [&](int& v) { v = -v; });  // no key changes: nothing to update
        if (auto it = model.find(k); it != model.end()) it->second = -it->second;
        break;
    }
    ASSERT_TRUE(m.orders_consistent()) << "step " << step;
    ASSERT_EQ(m.size(), model.size());
    if (model.empty()) {
      ASSERT_EQ(m.max_key(), nullptr);
      ASSERT_EQ(m.min_key(), nullptr);
    } else {
      ASSERT_EQ(*m.max_key(), model.rbegin()->first) << "step " << step;
      ASSERT_EQ(*m.min_key(), model.begin()->first) << "step " << step;
    }
  }
  for (const auto& [m, model] : maps) {
    EXPECT_TRUE(m.orders_consistent());
    EXPECT_EQ(contents(m), model);
  }
}

TYPED_TEST(TrieOrderTest, OrderedWalkMatchesTheSortedModel) {
  using Map = HashTrie<int, TypeParam>;
  std::mt19937_64 rng(11);
  Map m;
  Model model;
  for (int i = 0; i < 3000; ++i) {
    const std::string k = random_key(rng, 2000);
    m.modify(k, [&](int& v) { v = i; });
    model[k] = i;
  }
  const std::vector<std::string> probes = {"",       "a",    "ab",   "ab\xff",   "b",
                                           "ckpt-1", "\xe9", "\xff", "\xff\xff", "zz"};
  int walked = 0, gave_up = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    KeyBounds b;
    const std::string lo = probes[rng() % probes.size()], hi = probes[rng() % probes.size()];
    if (rng() % 2) b.lo = lo;
    if (rng() % 2) b.hi = hi;
    const std::string must_start = rng() % 4 == 0 ? probes[rng() % 4] : "";
    const bool descending = rng() % 2;
    const std::size_t limit = rng() % 3 == 0 ? rng() % 300 : rng() % 12;
    const std::size_t budget = rng() % 4 == 0 ? rng() % 64 : 1u << 20;
    std::vector<std::string_view> got = {"kept"};
    const bool done = m.ordered_walk(
        descending, limit, b, [&](std::string_view k) { return k.starts_with(must_start); }, budget,
        got);
    if (!done) {  // gave up: nothing added
      ASSERT_EQ(got.size(), 1u);
      ++gave_up;
      continue;
    }
    ++walked;
    ASSERT_EQ(got.front(), "kept");
    const std::vector<std::string> want = expected_walk(model, descending, limit, b, must_start);
    ASSERT_EQ(std::vector<std::string>(got.begin() + 1, got.end()), want)
        << "trial " << trial << " descending " << descending << " limit " << limit;
  }
  EXPECT_GT(walked, 2000);
  EXPECT_GT(gave_up, 10);
}

// An open-ended walk for the top few keys visits a few paths, whatever the map holds: a
// budget that fits 10 keys from 1,000 still fits them from 200,000.
TEST(TrieOrder, OpenEndedWalkDoesNotGrowWithTheMap) {
  for (const int n : {1000, 200000}) {
    HashTrie<int> m;
    for (int i = 0; i < n; ++i) m.modify("ckpt-" + std::to_string(1000000 + i), [](int&) {});
    for (const bool descending : {true, false}) {
      std::vector<std::string_view> got;
      ASSERT_TRUE(m.ordered_walk(
          descending, 10, {}, [](std::string_view) { return true; }, 400, got))
          << n;
      ASSERT_EQ(got.size(), 10u);
      EXPECT_EQ(got.front(), "ckpt-" + std::to_string(descending ? 1000000 + n - 1 : 1000000));
    }
  }
}

// --- Diff walk ---

struct Calls {
  std::vector<std::string> only;
  std::vector<std::string> changed;
  std::size_t both = 0;
};

template <class Map>
Calls walk_diff(const Map& a, const Map& b) {
  Calls c;
  a.diff_walk(
      b, [&](const auto& e) { c.only.push_back(e.first); },
      [&](const auto& e, int theirs) {
        ++c.both;
        if (e.second != theirs) c.changed.push_back(e.first);
      });
  return c;
}

// What the walk must report, found by looking every key of `a` up in `b`, in `a`'s
// iteration order.
template <class Map>
Calls naive_diff(const Map& a, const Map& b) {
  Calls c;
  for (const auto& [k, v] : a) {
    const int* theirs = b.find(k);
    if (!theirs)
      c.only.push_back(k);
    else if (*theirs != v)
      c.changed.push_back(k);
  }
  return c;
}

// Random histories: versions copied from one another and changed further, so that any two
// share some subtrees and not others.
TYPED_TEST(TrieOrderTest, DiffWalkMatchesLookups) {
  using Map = HashTrie<int, TypeParam>;
  std::mt19937_64 rng(17);
  std::vector<Map> versions(1);
  for (int i = 0; i < 400; ++i) versions[0].modify(random_key(rng, 300), [&](int& v) { v = i; });
  for (int round = 0; round < 60; ++round) {
    Map next = versions[rng() % versions.size()];
    const int changes = static_cast<int>(rng() % 40);
    for (int i = 0; i < changes; ++i) {
      const std::string k = random_key(rng, 300);
      if (rng() % 3 == 0)
        next.erase_in_place(k);
      else
        next.modify(k, [&](int& v) { v = rng() % 4 == 0 ? v : round * 1000 + i; });
    }
    versions.push_back(std::move(next));
  }
  if constexpr (std::is_same_v<TypeParam, FirstByteHash>) {
    // One hasher for every map: maps built apart share no node but still pair up.
    Map apart;
    for (const auto& [k, v] : versions[7]) apart.modify(k, [&](int& x) { x = v + (k.size() % 2); });
    versions.push_back(apart);
  }
  for (std::size_t i = 0; i < versions.size(); ++i)
    for (std::size_t j = 0; j < versions.size(); j += 1 + rng() % 4) {
      const Calls got = walk_diff(versions[i], versions[j]),
                  want = naive_diff(versions[i], versions[j]);
      ASSERT_EQ(got.only, want.only) << i << " vs " << j;
      ASSERT_EQ(got.changed, want.changed) << i << " vs " << j;
    }
}

// After one change the walk pairs up only the entries of the nodes on that key's path.
TEST(TrieDiff, OneChangeVisitsOnePath) {
  HashTrie<int> big;
  for (int i = 0; i < 100000; ++i) big.modify(std::to_string(i), [&](int& v) { v = i; });
  HashTrie<int> changed = big;
  changed.modify("4242", [](int& v) { v = -1; });
  const Calls c = walk_diff(changed, big);
  EXPECT_EQ(c.changed, std::vector<std::string>{"4242"});
  EXPECT_TRUE(c.only.empty());
  EXPECT_LE(c.both, 32u * 5);  // at most a full node per level
  changed.modify("new", [](int& v) { v = 1; });
  EXPECT_EQ(walk_diff(changed, big).only, std::vector<std::string>{"new"});
  EXPECT_EQ(walk_diff(big, changed).only, std::vector<std::string>{});
}

// --- Snapshot diff against the key-by-key reference, order included ---

// The diff as specified before the side-by-side walk: every namespace of a changed shard,
// every key of a changed namespace, looked up on the other side.
void reference_pass(const ShardMaps& from, const ShardMaps& other, std::vector<KeyPair>& missing,
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

TEST(SnapshotDiff, SameListsInTheSameOrderAsKeyByKey) {
  std::mt19937_64 rng(23);
  Engine a, b;
  std::vector<SnapshotPtr> snaps;
  auto ns_name = [&] { return "ns" + std::to_string(rng() % 12); };
  for (int step = 0; step < 3000; ++step) {
    Engine& e = rng() % 4 == 0 ? b : a;
    const std::string ns = ns_name(), key = std::to_string(rng() % 300);
    switch (rng() % 12) {
      case 0:
        e.erase(ns, key);
        break;
      case 1:
        if (rng() % 8 == 0) e.drop_namespace(ns);  // made again later, with a new hasher
        break;
      case 2:
        if (!snaps.empty() && rng() % 8 == 0) e.restore(*snaps[rng() % snaps.size()]);
        break;
      case 3:
        e.copy_namespace(ns, ns_name());
        break;
      case 4:
        snaps.push_back(e.snapshot());
        break;
      default:  // values repeat, so equal bytes in distinct blocks occur
        e.set(ns, key, EncodedValue::copy_of(std::to_string(rng() % 3)));
        break;
    }
  }
  ASSERT_GT(snaps.size(), 100u);
  for (int trial = 0; trial < 2000; ++trial) {
    const SnapshotData& x = *snaps[rng() % snaps.size()];
    const SnapshotData& y = *snaps[rng() % snaps.size()];
    Diff want;
    reference_pass(x.shards(), y.shards(), want.added, &want.changed);
    reference_pass(y.shards(), x.shards(), want.removed, nullptr);
    const Diff got = x.diff(y);
    ASSERT_EQ(got.added, want.added) << trial;
    ASSERT_EQ(got.removed, want.removed) << trial;
    ASSERT_EQ(got.changed, want.changed) << trial;
  }
}

}  // namespace
}  // namespace store
