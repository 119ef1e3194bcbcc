// SipHash-1-3: one compression round per 8-byte block, three finalization rounds.
//
// Zero-keyed it picks the store shard of a namespace (deterministic across processes);
// keyed with secret random bytes it hashes the keys of the store's persistent maps and the
// graph's name maps, each map under a key of its own, so their layout cannot be steered by
// chosen names.
//
// Inline: the maps hash on every lookup, and the call and the byte-by-byte loads used to
// cost more than the rounds themselves.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace base {

struct SipKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;

  friend bool operator==(const SipKey&, const SipKey&) = default;
};

namespace detail {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  explicit SipState(SipKey key) noexcept
      : v0(key.k0 ^ 0x736f6d6570736575ULL),
        v1(key.k1 ^ 0x646f72616e646f6dULL),
        v2(key.k0 ^ 0x6c7967656e657261ULL),
        v3(key.k1 ^ 0x7465646279746573ULL) {}

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

  std::uint64_t finish() noexcept {
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t m;
  std::memcpy(&m, p, 8);
  if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
  return m;
}

inline std::uint64_t load_le32(const unsigned char* p) noexcept {
  std::uint32_t m;
  std::memcpy(&m, p, 4);
  if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap32(m);
  return m;
}

// The last `rest` (0..7) bytes of a message of `n` bytes ending at `end`, as a
// little-endian word. Whole-word loads that may overlap bytes already absorbed, never
// reading outside the message.
inline std::uint64_t load_tail(const unsigned char* end, std::size_t n, std::size_t rest) noexcept {
  if (rest == 0) return 0;
  if (n >= 8) return load_le64(end - 8) >> (8 * (8 - rest));
  const unsigned char* p = end - rest;
  if (rest >= 4) return load_le32(p) | (load_le32(end - 4) << (8 * (rest - 4)));
  return std::uint64_t{p[0]} | (std::uint64_t{p[rest / 2]} << (8 * (rest / 2))) |
         (std::uint64_t{p[rest - 1]} << (8 * (rest - 1)));
}

// SipHash-1-3 of `data` followed by `extra_len` (0 or 1) copies of `extra`.
[[gnu::always_inline]] inline std::uint64_t siphash13_tail(SipKey key, std::string_view data,
                                                           std::size_t extra_len,
                                                           unsigned char extra) noexcept {
  SipState s(key);
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  const auto* end = p + n;
  for (const auto* stop = p + (n & ~std::size_t{7}); p != stop; p += 8) s.compress(load_le64(p));
  std::size_t rest = n & 7;
  std::uint64_t last = load_tail(end, n, rest);
  if (extra_len) {
    last |= std::uint64_t{extra} << (8 * rest);
    if (++rest == 8) {  // the extra byte completed a block
      s.compress(last);
      last = 0;
    }
  }
  s.compress(last | (static_cast<std::uint64_t>((n + extra_len) & 0xff) << 56));
  return s.finish();
}

}  // namespace detail

// SipHash-1-3 of `data` under `key`. O(n), no allocation, thread-safe, noexcept.
inline std::uint64_t siphash13(SipKey key, std::string_view data) noexcept {
  return detail::siphash13_tail(key, data, 0, 0);
}

// A fresh secret key for one map: never the zero key, independent of every other key
// drawn. Keys come from a per-thread generator seeded once per thread from the process's
// random key, so drawing touches no shared memory. The first draw in a process may throw
// std::runtime_error if no random source exists.
SipKey fresh_map_key();

}  // namespace base
