// Concurrent mixed workload on one engine; run it under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/engine.hpp"

namespace store {
namespace {

// Bounded so the run stays within a few seconds even under TSan on two cores.
constexpr int kThreads = 4;
constexpr int kOpsPerThread = 20000;
constexpr auto kTimeCap = std::chrono::seconds(3);
constexpr std::uint64_t kMaxHistory = 8;

// Every value names the namespace it was written to and its key, so a value found under
// the wrong key, or torn, shows. Namespace copies move values between namespaces, so the
// namespace part only has to be one the workload writes.
std::string value_for(const std::string& ns, const std::string& key, std::size_t pad) {
  return ns + "/" + key + "#" + std::string(pad, 'p');
}

bool value_matches(std::string_view, std::string_view key, std::string_view v) {
  const std::size_t slash = v.find('/');
  if (slash == std::string_view::npos || !v.starts_with("ns")) return false;
  const std::string tail = "/" + std::string(key) + "#";
  return v.substr(slash).starts_with(tail) &&
         v.find_first_not_of('p', slash + tail.size()) == std::string_view::npos;
}

struct Fingerprint {
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;
  bool operator==(const Fingerprint&) const = default;
};

// Checks the data invariants on one snapshot and returns what it holds. A snapshot is
// immutable, so the same fingerprint must come back however much later it is taken.
Fingerprint check_snapshot(const SnapshotData& snap) {
  Fingerprint f;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < kShardCount; ++i) {
    std::uint64_t shard_total = 0;
    for (const auto& [ns, keys] : snap.shards()[i]) {
      EXPECT_EQ(shard_index(ns), i) << "namespace " << ns << " in the wrong shard";
      EXPECT_FALSE(keys.empty()) << "empty key map left for " << ns;
      std::uint64_t ns_total = 0;
      for (const auto& [key, value] : keys) {
        EXPECT_TRUE(value_matches(ns, key, value.view())) << ns << "/" << key;
        ns_total += value.size();
        ++f.entries;
      }
      EXPECT_EQ(keys.bytes, ns_total) << "byte total of " << ns;
      shard_total += ns_total;
    }
    EXPECT_EQ(shard_total, snap.shard_bytes()[i]) << "shard " << i;
    total += shard_total;
  }
  EXPECT_EQ(total, snap.size_bytes());
  f.bytes = total;
  return f;
}

// The summed sizes of a snapshot's values, shard by shard against its counters.
std::uint64_t check_snapshot_bytes(const SnapshotData& snap) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < kShardCount; ++i) {
    std::uint64_t shard_total = 0;
    for (const auto& [ns, keys] : snap.shards()[i]) {
      std::uint64_t ns_total = 0;
      for (const auto& [key, value] : keys) ns_total += value.size();
      EXPECT_EQ(keys.bytes, ns_total) << "byte total of " << ns;
      shard_total += ns_total;
    }
    EXPECT_EQ(shard_total, snap.shard_bytes()[i]) << "shard " << i;
    total += shard_total;
  }
  return total;
}

void check_diff(const SnapshotData& newer, const SnapshotData& base) {
  const Diff d = newer.diff(base);
  for (const auto& [ns, key] : d.added) {
    EXPECT_TRUE(newer.find(ns, key));
    EXPECT_FALSE(base.find(ns, key));
  }
  for (const auto& [ns, key] : d.removed) {
    EXPECT_FALSE(newer.find(ns, key));
    EXPECT_TRUE(base.find(ns, key));
  }
  for (const auto& [ns, key] : d.changed) {
    const EncodedValue a = newer.find(ns, key), b = base.find(ns, key);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.view(), b.view());
  }
  EXPECT_EQ(newer.entry_count() + d.removed.size(), base.entry_count() + d.added.size());
}

TEST(StoreStress, MixedOperationsKeepInvariants) {
  Engine engine(kMaxHistory);
  std::mutex pool_mutex;  // guards `pool`; never held while calling the engine
  std::vector<std::pair<SnapshotPtr, Fingerprint>> pool;
  std::mutex ids_mutex;
  std::vector<std::pair<std::uint64_t, std::optional<std::uint64_t>>> ids;
  const auto deadline = std::chrono::steady_clock::now() + kTimeCap;

  auto worker = [&](int t) {
    std::mt19937_64 rng(1000 + t);
    auto ns_name = [&] { return "ns" + std::to_string(rng() % 24); };
    auto key_name = [&] { return "k" + std::to_string(rng() % 48); };
    auto any_snapshot = [&]() -> std::pair<SnapshotPtr, Fingerprint> {
      std::lock_guard lock(pool_mutex);
      if (pool.empty()) return {};
      return pool[rng() % pool.size()];
    };
    for (int op = 0; op < kOpsPerThread && std::chrono::steady_clock::now() < deadline; ++op) {
      const std::string ns = ns_name(), key = key_name();
      switch (rng() % 21) {
        case 0:
        case 1:
        case 2:
        case 3:
          engine.set(ns, key, EncodedValue(value_for(ns, key, rng() % 40)));
          break;
        case 4:
        case 5:
          engine.erase(ns, key);
          break;
        case 6: {
          std::vector<SetItem> batch;
          for (int i = 0; i < 8; ++i) {
            std::string bns = ns_name(), bkey = key_name();
            EncodedValue v(value_for(bns, bkey, rng() % 10));
            batch.push_back({std::move(bns), std::move(bkey), std::move(v)});
          }
          engine.set_many(std::move(batch));
          break;
        }
        case 7: {
          const EncodedValue v = engine.get(ns, key);
          EXPECT_TRUE(!v || value_matches(ns, key, v.view()));
          break;
        }
        case 8: {
          std::vector<std::string> names, keys;
          for (int i = 0; i < 6; ++i) names.push_back(ns_name()), keys.push_back(key_name());
          std::vector<KeyRef> refs;
          for (int i = 0; i < 6; ++i) refs.push_back({names[i], keys[i]});
          const std::vector<EncodedValue> got = engine.get_many(refs);
          ASSERT_EQ(got.size(), refs.size());
          for (int i = 0; i < 6; ++i)
            EXPECT_TRUE(!got[i] || value_matches(names[i], keys[i], got[i].view()));
          break;
        }
        case 9: {
          for (const std::string& k : engine.keys(ns, "k1")) EXPECT_TRUE(k.starts_with("k1"));
          const auto top = engine.max_key(ns);
          EXPECT_TRUE(!top || top->starts_with("k"));
          for (const std::string& n : engine.namespaces()) EXPECT_TRUE(n.starts_with("ns"));
          EXPECT_LE(engine.entry_count(), 24u * 48u);
          engine.contains(ns, key);
          engine.contains_namespace(ns);
          break;
        }
        case 10:
        case 11: {
          SnapshotPtr s = engine.snapshot();
          const Fingerprint f = check_snapshot(*s);
          {
            std::lock_guard lock(ids_mutex);
            ids.emplace_back(s->id(), s->parent());
          }
          std::lock_guard lock(pool_mutex);
          if (pool.size() < 64)
            pool.emplace_back(std::move(s), f);
          else
            pool[rng() % pool.size()] = {std::move(s), f};
          break;
        }
        case 12: {
          auto [s, f] = any_snapshot();
          if (s && rng() % 3 == 0) engine.restore(*s);
          break;
        }
        case 13: {
          auto [a, fa] = any_snapshot();
          auto [b, fb] = any_snapshot();
          if (a && b) check_diff(*a, *b);
          break;
        }
        case 14:
          EXPECT_LE(engine.history().size(), kMaxHistory);
          if (rng() % 8 == 0) engine.clear_history();
          break;
        case 16:
          engine.copy_namespace(ns, ns_name());
          break;
        case 17:
          if (rng() % 4 == 0) {
            EXPECT_LE(engine.drop_namespace(ns), 48u);
          }
          break;
        case 18: {
          ScanRange r;
          const std::string start = key_name(), stop = key_name();
          if (rng() % 2) r.prefix = "k1";
          if (rng() % 2) r.start = start;
          if (rng() % 2) r.stop = stop;
          r.reverse = rng() % 2;
          if (rng() % 2) r.limit = rng() % 8;
          const std::vector<std::string> got = engine.scan(ns, r);
          EXPECT_LE(got.size(), r.limit.value_or(48));
          for (std::size_t i = 0; i < got.size(); ++i) {
            const std::string& k = got[i];
            EXPECT_TRUE(k.starts_with(r.prefix.value_or("k")));
            EXPECT_TRUE(!r.start || k >= *r.start);
            EXPECT_TRUE(!r.stop || k < *r.stop);
            if (i > 0) {
              EXPECT_TRUE(r.reverse ? got[i - 1] > k : got[i - 1] < k);
            }
          }
          break;
        }
        case 19: {
          std::vector<std::string> names, keys;
          for (int i = 0; i < 6; ++i) names.push_back(ns_name()), keys.push_back(key_name());
          std::vector<KeyRef> dels, sets;
          std::vector<EncodedValue> values;
          for (int i = 0; i < 6; ++i) {
            (i % 2 ? dels : sets).push_back({names[i], keys[i]});
            if (i % 2 == 0) values.emplace_back(value_for(names[i], keys[i], rng() % 10));
          }
          engine.apply(dels, sets, values);
          break;
        }
        case 20: {
          auto [s, f] = any_snapshot();
          if (s) engine.restore_namespace(*s, ns);
          break;
        }
        default:
          if (rng() % 16 == 0) engine.clear();
          break;
      }
    }
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
  for (std::thread& th : threads) th.join();

  // Snapshots never change after the fact.
  for (const auto& [s, f] : pool) EXPECT_EQ(check_snapshot(*s), f);
  for (const SnapshotPtr& s : engine.history()) check_snapshot(*s);

  // Ids are unique and the parent links form one chain in id order.
  ASSERT_FALSE(ids.empty());
  std::sort(ids.begin(), ids.end());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(ids[i].first, i + 1);
    const std::optional<std::uint64_t> expected_parent =
        i == 0 ? std::nullopt : std::optional<std::uint64_t>(i);
    EXPECT_EQ(ids[i].second, expected_parent);
  }
  // Quiescent: the live engine agrees with a fresh snapshot.
  SnapshotPtr last = engine.snapshot();
  check_snapshot(*last);
  EXPECT_EQ(engine.entry_count(), last->entry_count());
}

// Writers apply batches that give one tag to a group of pairs spread over many shards
// (and delete the pairs of the previous tag's other half), while other threads restore
// and change namespaces outside the group. Readers, by snapshot and by get_many_atomic,
// must always see a whole batch: one tag, on exactly the pairs that batch wrote.
TEST(StoreStress, ApplyIsSeenWholeOrNotAtAll) {
  constexpr int kGroup = 24;  // namespaces g0..g23 cover most shards
  Engine engine;
  std::vector<std::string> names;
  for (int i = 0; i < kGroup; ++i) names.push_back("g" + std::to_string(i));
  std::vector<KeyRef> all;
  for (const std::string& n : names) all.push_back({n, "k"});
  auto batch = [&](std::uint64_t tag) {
    // Even tags write the even half, odd tags the odd half; the other half is deleted.
    std::vector<KeyRef> sets, dels;
    std::vector<EncodedValue> values;
    for (int i = 0; i < kGroup; ++i) {
      if (static_cast<std::uint64_t>(i % 2) == tag % 2) {
        sets.push_back(all[i]);
        values.emplace_back(std::to_string(tag));
      } else {
        dels.push_back(all[i]);
      }
    }
    engine.apply(dels, sets, values);
  };
  batch(0);
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> next_tag{1};
  std::atomic<int> views{0};
  auto whole = [&](const std::vector<EncodedValue>& got) {
    std::optional<std::string> tag;
    for (int i = 0; i < kGroup; ++i) {
      if (!got[i]) continue;
      if (tag && *tag != got[i].view()) return false;
      tag = std::string(got[i].view());
    }
    if (!tag) return false;
    const std::uint64_t t = std::stoull(*tag);
    for (int i = 0; i < kGroup; ++i)
      if (static_cast<bool>(got[i]) != (static_cast<std::uint64_t>(i % 2) == t % 2)) return false;
    return true;
  };
  const auto deadline = std::chrono::steady_clock::now() + kTimeCap;
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w)
    threads.emplace_back([&] {
      while (!stop && std::chrono::steady_clock::now() < deadline) batch(next_tag++);
    });
  threads.emplace_back([&] {  // namespaces beside the group, restored and changed
    std::mt19937_64 rng(3);
    std::vector<SnapshotPtr> snaps;
    while (!stop && std::chrono::steady_clock::now() < deadline) {
      const std::string ns = "side" + std::to_string(rng() % 8);
      engine.set(ns, std::to_string(rng() % 16), EncodedValue(std::string(rng() % 20, 'v')));
      if (rng() % 4 == 0) snaps.push_back(engine.snapshot());
      if (!snaps.empty()) engine.restore_namespace(*snaps[rng() % snaps.size()], ns);
      if (snaps.size() > 16) snaps.erase(snaps.begin());
    }
  });
  for (int r = 0; r < 2; ++r)
    threads.emplace_back([&] {
      while (!stop && std::chrono::steady_clock::now() < deadline) {
        const SnapshotPtr s = engine.snapshot();
        std::vector<EncodedValue> seen;
        for (const KeyRef& p : all) seen.push_back(s->find(p.ns, p.key));
        EXPECT_TRUE(whole(seen)) << "snapshot saw part of a batch";
        EXPECT_EQ(check_snapshot_bytes(*s), s->size_bytes());
        EXPECT_TRUE(whole(engine.get_many_atomic(all))) << "batch read saw part of a batch";
        if (++views > 20000) stop = true;
      }
    });
  for (std::thread& th : threads) th.join();
  EXPECT_GT(next_tag.load(), 2u);
  EXPECT_GT(views.load(), 0);
}

}  // namespace
}  // namespace store
