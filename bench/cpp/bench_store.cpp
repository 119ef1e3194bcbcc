// Engine throughput and snapshot cost.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/engine.hpp"

namespace {

using store::EncodedValue;
using store::Engine;

// Namespaces of shards 3 and 11: with two threads each writes its own shard.
constexpr const char* kThreadNamespace[] = {"a", "threads"};
constexpr int kKeyCount = 4096;
// msgpack of [1, 2, 3]: a typical small stored value.
constexpr std::string_view kSmallValue = "\x93\x01\x02\x03";

const std::vector<std::string>& bench_keys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> k;
    for (int i = 0; i < kKeyCount; ++i) k.push_back("key-" + std::to_string(i));
    return k;
  }();
  return keys;
}

Engine& shared_engine() {
  static Engine engine;
  return engine;
}

void BM_Set(benchmark::State& state) {
  Engine& engine = shared_engine();
  const std::string ns = kThreadNamespace[state.thread_index() % 2];
  const auto& keys = bench_keys();
  std::size_t i = 0;
  for (auto _ : state) {
    // The bridge hands over owned strings and a fresh value on every call.
    engine.set(ns, keys[i++ % kKeyCount], EncodedValue::copy_of(kSmallValue));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Set)->Threads(1)->Threads(2)->UseRealTime();

void BM_Get(benchmark::State& state) {
  Engine& engine = shared_engine();
  const std::string ns = kThreadNamespace[state.thread_index() % 2];
  const auto& keys = bench_keys();
  for (const std::string& k : keys) engine.set(ns, k, EncodedValue::copy_of(kSmallValue));
  std::size_t i = 0;
  for (auto _ : state) {
    EncodedValue v = engine.get(ns, keys[i++ % kKeyCount]);
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Get)->Threads(1)->Threads(2)->UseRealTime();

void fill(Engine& engine, std::int64_t entries) {
  constexpr std::int64_t kBatch = 4096;
  for (std::int64_t start = 0; start < entries; start += kBatch) {
    std::vector<store::SetItem> batch;
    for (std::int64_t i = start; i < std::min(entries, start + kBatch); ++i)
      batch.push_back(
          {"ns" + std::to_string(i % 1024), std::to_string(i), EncodedValue::copy_of(kSmallValue)});
    engine.set_many(std::move(batch));
  }
}

void BM_Snapshot(benchmark::State& state) {
  static std::map<std::int64_t, std::unique_ptr<Engine>> engines;
  auto& engine = engines[state.range(0)];
  if (!engine) {
    engine = std::make_unique<Engine>();
    fill(*engine, state.range(0));
  }
  for (auto _ : state) {
    store::SnapshotPtr snap = engine->snapshot();
    benchmark::DoNotOptimize(snap);
  }
}
BENCHMARK(BM_Snapshot)->Arg(100)->Arg(10'000)->Arg(1'000'000);

// Heap held per small entry (keys "0".."999999", 4-byte values, 1024 namespaces), to
// compare with a Python dict of dicts of bytes holding the same data.
void BM_FillMemory(benchmark::State& state) {
  for (auto _ : state) {
    const std::size_t before = mallinfo2().uordblks;
    auto engine = std::make_unique<Engine>();
    fill(*engine, state.range(0));
    const std::size_t after = mallinfo2().uordblks;
    state.counters["heap_bytes_per_entry"] =
        static_cast<double>(after - before) / static_cast<double>(state.range(0));
  }
}
BENCHMARK(BM_FillMemory)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
