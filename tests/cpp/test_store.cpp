#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/siphash.hpp"
#include "case_name.hpp"
#include "store/engine.hpp"
#include "store/hamt.hpp"
#include "store/limits.hpp"
#include "store/shard.hpp"

namespace store {
namespace {

using base::fresh_map_key;
using base::siphash13;
using base::SipKey;

using Contents = std::map<KeyPair, std::string>;

EncodedValue ev(std::string bytes) { return EncodedValue(std::move(bytes)); }

std::string bytes_of(const EncodedValue& v) { return std::string(v.view()); }

Contents contents_of(const SnapshotData& snap) {
  Contents out;
  for (std::size_t i = 0; i < kShardCount; ++i)
    for (const auto& [ns, keys] : snap.shards()[i])
      for (const auto& [key, value] : keys) out[{ns, key}] = bytes_of(value);
  return out;
}

using Keys = std::vector<std::string>;

template <class T>
std::vector<T> sorted(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// --- Hashing -------------------------------------------------------------------------

struct ShardCase {
  const char* ns;
  std::size_t shard;
};

class ShardIndexTest : public ::testing::TestWithParam<ShardCase> {};

TEST_P(ShardIndexTest, MatchesFixedAssignment) {
  EXPECT_EQ(shard_index(GetParam().ns), GetParam().shard);
}

// "default" and "threads" are 7 bytes, so the trailing 0xFF completes a full block.
INSTANTIATE_TEST_SUITE_P(Names, ShardIndexTest,
                         ::testing::Values(ShardCase{"default", 1}, ShardCase{"a", 3},
                                           ShardCase{"threads", 11}, ShardCase{"ns", 15},
                                           ShardCase{"", 15}),
                         [](const auto& info) {
                           const std::string_view ns = info.param.ns;
                           return testnames::case_name(info.index, ns.empty() ? "empty" : ns);
                         });

// The byte-at-a-time SipHash-1-3 the store shipped first; the word-at-a-time one must agree
// with it bit for bit (shard numbers are fixed across versions and processes).
std::uint64_t reference_siphash13(SipKey key, std::string_view data, bool extra) {
  std::uint64_t v0 = key.k0 ^ 0x736f6d6570736575ULL, v1 = key.k1 ^ 0x646f72616e646f6dULL;
  std::uint64_t v2 = key.k0 ^ 0x6c7967656e657261ULL, v3 = key.k1 ^ 0x7465646279746573ULL;
  auto round = [&] {
    v0 += v1, v1 = std::rotl(v1, 13), v1 ^= v0, v0 = std::rotl(v0, 32);
    v2 += v3, v3 = std::rotl(v3, 16), v3 ^= v2;
    v0 += v3, v3 = std::rotl(v3, 21), v3 ^= v0;
    v2 += v1, v1 = std::rotl(v1, 17), v1 ^= v2, v2 = std::rotl(v2, 32);
  };
  std::string msg(data);
  if (extra) msg.push_back('\xff');
  const std::size_t blocks = msg.size() / 8;
  for (std::size_t b = 0; b <= blocks; ++b) {
    std::uint64_t m = b == blocks ? static_cast<std::uint64_t>(msg.size() & 0xff) << 56 : 0;
    for (std::size_t j = 0; j < 8 && b * 8 + j < msg.size(); ++j)
      m |= static_cast<std::uint64_t>(static_cast<unsigned char>(msg[b * 8 + j])) << (8 * j);
    v3 ^= m;
    round();
    v0 ^= m;
  }
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

TEST(SipHash, WordLoadsMatchByteReferenceAtEveryLength) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    const SipKey key = trial == 0 ? SipKey{} : SipKey{rng(), rng()};
    std::string buf(80, '\0');
    for (char& c : buf) c = static_cast<char>(rng());
    // Every length at several offsets, so loads meet every alignment.
    for (std::size_t off = 0; off < 8; off += 3)
      for (std::size_t n = 0; n <= 64; ++n) {
        const std::string_view data(buf.data() + off, n);
        ASSERT_EQ(siphash13(key, data), reference_siphash13(key, data, false)) << n;
        if (trial == 0) {
          ASSERT_EQ(shard_index(data), reference_siphash13(key, data, true) & kShardMask) << n;
        }
      }
  }
}

TEST(SipHash, FreshMapKeysDiffer) {
  std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
  for (int i = 0; i < 1000; ++i) {
    const SipKey k = fresh_map_key();
    EXPECT_NE(k, SipKey{});
    seen.insert({k.k0, k.k1});
  }
  SipKey other;
  std::thread([&] { other = fresh_map_key(); }).join();
  seen.insert({other.k0, other.k1});
  EXPECT_EQ(seen.size(), 1001u);
  KeyedSipHash a, b;  // each map hashes under a key of its own
  a.ensure_keyed();
  b.ensure_keyed();
  EXPECT_NE(a("k"), b("k"));
}

// --- Hash trie -------------------------------------------------------------------------

// Only the first byte counts, placed in the top bits: keys sharing it collide on all 64
// bits (collision nodes), and the others part only at the deepest levels.
struct FirstByteHash {
  void ensure_keyed() noexcept {}
  std::uint64_t operator()(std::string_view s) const noexcept {
    return s.empty() ? 0 : std::uint64_t{static_cast<unsigned char>(s[0])} << 56;
  }
};

template <class Hasher>
class HashTrieTest : public ::testing::Test {};
using Hashers = ::testing::Types<KeyedSipHash, FirstByteHash>;
TYPED_TEST_SUITE(HashTrieTest, Hashers);

// Random changes against a std::map model; copies taken along the way must keep their
// contents while the original goes on changing.
TYPED_TEST(HashTrieTest, AgreesWithModelAndCopiesStayFrozen) {
  using Map = HashTrie<int, TypeParam>;
  std::mt19937_64 rng(99);
  Map m;
  std::map<std::string, int> model;
  std::vector<std::pair<Map, std::map<std::string, int>>> copies;
  auto contents = [](const Map& map) {
    std::map<std::string, int> out;
    std::size_t n = 0;
    for (const auto& [k, v] : map) {
      out[k] = v;
      ++n;
    }
    EXPECT_EQ(n, out.size()) << "an entry visited twice";
    return out;
  };
  for (int step = 0; step < 6000; ++step) {
    const std::string k =
        std::string(1, static_cast<char>('a' + rng() % 4)) + std::to_string(rng() % 60);
    const int v = static_cast<int>(rng() % 1000);
    switch (rng() % 8) {
      case 0:
      case 1:
      case 2:
        m.modify(k, [&](int& slot) { slot = v; });
        model[k] = v;
        break;
      case 3:
        m = std::move(m).update(k, [&](int old) { return old + v; });
        model[k] += v;
        break;
      case 4:
      case 5:
        ASSERT_EQ(m.erase_in_place(k), model.erase(k) == 1);
        break;
      case 6:
        m = m.erase(k).set(k + "x", v);  // the const forms, off a copy
        model.erase(k);
        model[k + "x"] = v;
        break;
      default:
        if (rng() % 8 == 0) copies.emplace_back(m, model);
        break;
    }
    ASSERT_EQ(m.size(), model.size());
    const int* found = m.find(k);
    auto it = model.find(k);
    ASSERT_EQ(found != nullptr, it != model.end());
    if (found) {
      ASSERT_EQ(*found, it->second);
    }
  }
  ASSERT_GT(copies.size(), 10u);
  EXPECT_EQ(contents(m), model);
  for (const auto& [copy, expected] : copies) {
    EXPECT_EQ(contents(copy), expected);
    EXPECT_EQ(copy.size(), expected.size());
  }
  for (const auto& [k, v] : model) EXPECT_TRUE(m.erase_in_place(k));
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.identity(), nullptr);
}

// A change copies nodes only while another map shares them; an empty map owns no node at
// all, so nothing is shared between maps that never copied each other.
TEST(HashTrie, ChangesInPlaceUnlessShared) {
  KeyMap m;
  EXPECT_TRUE(m.empty() && m.identity() == nullptr);
  for (int i = 0; i < 500; ++i) m = std::move(m).set(std::to_string(i), ev("v"));
  const void* root = m.identity();
  m.modify("7", [](EncodedValue& v) { v = ev("w"); });
  m.erase_in_place("8");
  EXPECT_EQ(m.identity(), root);
  KeyMap copy = m;
  m.modify("7", [](EncodedValue& v) { v = ev("x"); });
  EXPECT_NE(m.identity(), root);
  EXPECT_EQ(copy.identity(), root);
  EXPECT_EQ(bytes_of(*copy.find("7")), "w");
  root = m.identity();
  m.modify("9", [](EncodedValue& v) { v = ev("y"); });  // the new path is private now
  EXPECT_EQ(m.identity(), root);
  KeyMap moved = std::move(m);
  EXPECT_EQ(m.identity(), nullptr);
  EXPECT_EQ(moved.identity(), root);
}

// Entries die with the last map holding them, not before.
TEST(HashTrie, LastHolderFreesEntries) {
  const auto value = std::make_shared<int>(0);
  {
    HashTrie<std::shared_ptr<int>> m;
    for (int i = 0; i < 100; ++i) m.modify(std::to_string(i), [&](auto& v) { v = value; });
    const auto copy = m.erase("0");
    m.clear();
    EXPECT_EQ(value.use_count(), 1 + 99);
  }
  EXPECT_EQ(value.use_count(), 1);
}

// --- Encoded values --------------------------------------------------------------------

class EncodedValueTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(EncodedValueTest, KeepsBytesAndSharesOnCopy) {
  std::string bytes(GetParam(), '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31);
  const std::string expected = bytes;
  EncodedValue v(std::move(bytes));
  ASSERT_TRUE(v);
  EXPECT_EQ(v.size(), expected.size());
  EXPECT_EQ(v.view(), expected);
  EncodedValue copy = v;
  EXPECT_TRUE(copy.same_block(v));
  EncodedValue other = EncodedValue::copy_of(expected);
  EXPECT_FALSE(other.same_block(v));
  EXPECT_TRUE(other == v);
  v = EncodedValue{};
  EXPECT_EQ(copy.view(), expected);  // the block outlives the first holder
}

INSTANTIATE_TEST_SUITE_P(Sizes, EncodedValueTest,
                         ::testing::Values(0, 1, 15, kAdoptThreshold - 1, kAdoptThreshold,
                                           1 << 20));

// Copies land in the same shard, a higher one and a lower one ("" and "ns" share 15,
// "a" is 3, "threads" 11).
class CopyNamespaceTest : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(CopyNamespaceTest, ReplacesTargetAndKeepsCountersExact) {
  const std::string_view source = GetParam().first, target = GetParam().second;
  Engine e;
  e.set(std::string(source), "k1", ev("111"));
  e.set(std::string(source), "k2", ev("22"));
  e.set(std::string(target), "old", ev("xxxxxxx"));
  e.set("default", "k", ev("d"));
  SnapshotPtr before = e.snapshot();
  e.copy_namespace(source, target);
  SnapshotPtr after = e.snapshot();
  EXPECT_EQ(sorted(e.keys(target)), (Keys{"k1", "k2"}));
  EXPECT_EQ(bytes_of(e.get(target, "k1")), "111");
  EXPECT_EQ(after->size_bytes(), 2 * 5 + 1u);
  EXPECT_TRUE(after->shards()[shard_index(source)].find(source)->identity() ==
              after->shards()[shard_index(target)].find(target)->identity());
  // Later writes to either side stay on that side; the snapshot before keeps the old target.
  e.set(std::string(source), "k3", ev("3"));
  e.erase(target, "k1");
  EXPECT_EQ(sorted(e.keys(source)), (Keys{"k1", "k2", "k3"}));
  EXPECT_EQ(sorted(e.keys(target)), (Keys{"k2"}));
  EXPECT_EQ(bytes_of(before->find(target, "old")), "xxxxxxx");
  EXPECT_EQ(contents_of(*after).size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(Shards, CopyNamespaceTest,
                         ::testing::Values(std::pair{"", "ns"}, std::pair{"a", "threads"},
                                           std::pair{"threads", "a"}),
                         [](const auto& info) {
                           const auto shown = [](std::string_view ns) {
                             return ns.empty() ? std::string("empty") : std::string(ns);
                           };
                           return testnames::case_name(
                               info.index,
                               shown(info.param.first) + " to " + shown(info.param.second));
                         });

// --- Restore ---------------------------------------------------------------------------

TEST(Restore, FromAnotherEngineThenIndependent) {
  Engine src;
  Engine dst;
  src.set("threads", "t1", ev("src"));
  dst.set("default", "d", ev("dst"));
  // Enough pairs for deep tries: the maps, hashed under src's keys, move into dst.
  for (int i = 0; i < 300; ++i) src.set("bulk", std::to_string(i), ev("b"));
  SnapshotPtr s = src.snapshot();
  dst.restore(*s);
  EXPECT_EQ(bytes_of(dst.get("threads", "t1")), "src");
  EXPECT_FALSE(dst.contains("default", "d"));
  dst.set("threads", "t1", ev("changed"));
  dst.set("threads", "t2", ev("x"));
  for (int i = 0; i < 300; i += 2) dst.erase("bulk", std::to_string(i));
  for (int i = 300; i < 400; ++i) dst.set("bulk", std::to_string(i), ev("n"));
  EXPECT_EQ(bytes_of(src.get("threads", "t1")), "src");
  EXPECT_FALSE(src.contains("threads", "t2"));
  src.erase("threads", "t1");
  EXPECT_EQ(bytes_of(dst.get("threads", "t1")), "changed");
  for (int i = 0; i < 400; ++i) {
    EXPECT_EQ(dst.contains("bulk", std::to_string(i)), i % 2 == 1 || i >= 300) << i;
    EXPECT_EQ(src.contains("bulk", std::to_string(i)), i < 300) << i;
  }
  EXPECT_EQ(dst.snapshot()->size_bytes(), 8u + 150 + 100);
  // And back: dst's maps (src's keys, changed in dst) diffed against and restored into src.
  SnapshotPtr d = dst.snapshot();
  Diff diff = d->diff(*src.snapshot());
  EXPECT_EQ(diff.added.size(), 1u + 1 + 100);  // t1, t2, 300..399
  EXPECT_EQ(diff.removed.size(), 150u);
  src.restore(*d);
  EXPECT_EQ(contents_of(*src.snapshot()), contents_of(*d));
}

}  // namespace
}  // namespace store
