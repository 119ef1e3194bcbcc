#include "base/siphash.hpp"

#include <atomic>
#include <random>

namespace base {
namespace {

SipKey random_key() {
  std::random_device rd;  // getrandom(2) on Linux
  auto draw64 = [&rd] {
    return (static_cast<std::uint64_t>(rd()) << 32) ^ static_cast<std::uint64_t>(rd());
  };
  SipKey k;
  k.k0 = draw64();
  k.k1 = draw64();
  return k;
}

const SipKey& process_key() {
  static const SipKey key = random_key();
  return key;
}

// Keyed SipHash of two words: a pseudorandom function of (a, b) under `key`.
std::uint64_t prf(SipKey key, std::uint64_t a, std::uint64_t b) noexcept {
  const std::uint64_t words[2] = {a, b};
  return siphash13(key, std::string_view(reinterpret_cast<const char*>(words), sizeof words));
}

// Counter mode over the process key: each thread gets its own seed (by a serial drawn
// once), each map the next counter value under that seed.
struct KeyGenerator {
  SipKey seed;
  std::uint64_t counter = 0;
  bool seeded = false;
};

std::atomic<std::uint64_t> next_thread_serial{0};
thread_local KeyGenerator generator;

}  // namespace

SipKey fresh_map_key() {
  KeyGenerator& g = generator;
  if (!g.seeded) {
    const SipKey& root = process_key();
    const std::uint64_t serial = next_thread_serial.fetch_add(1, std::memory_order_relaxed);
    g.seed = {prf(root, serial, 0), prf(root, serial, 1)};
    g.seeded = true;
  }
  for (;;) {
    const std::uint64_t n = g.counter++;
    SipKey k{prf(g.seed, n, 0), prf(g.seed, n, 1)};
    if (k != SipKey{}) return k;  // zero marks a map not yet keyed
  }
}

}  // namespace base
