#include "store/siphash.hpp"

#include <bit>
#include <cstring>
#include <random>

#include "store/limits.hpp"

namespace store {
namespace {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void compress(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t m = 0;
  for (int i = 7; i >= 0; --i) m = (m << 8) | p[i];
  return m;
}

SipState init(SipKey key) noexcept {
  return {key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
          key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
}

// Absorbs `data` plus an optional trailing byte; the length in the last block counts both.
std::uint64_t hash_with_tail(SipKey key, std::string_view data, bool extra,
                             unsigned char extra_byte) noexcept {
  SipState s = init(key);
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  const std::size_t total = n + (extra ? 1 : 0);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) s.compress(load_le64(p + i));
  // Remaining bytes of data, then the extra byte, padded into one final block.
  unsigned char last[16] = {};
  std::size_t rest = n - i;
  std::memcpy(last, p + i, rest);
  if (extra) last[rest++] = extra_byte;
  if (rest == 8) {  // the extra byte completed a full block
    s.compress(load_le64(last));
    std::memset(last, 0, 8);
    rest = 0;
  }
  std::uint64_t b = static_cast<std::uint64_t>(total & 0xff) << 56;
  for (std::size_t j = 0; j < rest; ++j) b |= static_cast<std::uint64_t>(last[j]) << (8 * j);
  s.compress(b);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

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

}  // namespace

std::uint64_t siphash13(SipKey key, std::string_view data) noexcept {
  return hash_with_tail(key, data, false, 0);
}

std::size_t shard_index(std::string_view ns) noexcept {
  return static_cast<std::size_t>(hash_with_tail(SipKey{}, ns, true, 0xff) & kShardMask);
}

namespace detail {
const SipKey& process_map_key() {
  static const SipKey key = random_key();
  return key;
}
}  // namespace detail

}  // namespace store
