// Small bit and byte helpers shared by the store's trie and the codec.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if (defined(__x86_64__) || defined(__i386__)) && !defined(__POPCNT__)
#include <cpuid.h>
#define QV_POPCNT_RUNTIME 1
#endif

namespace base {

#if QV_POPCNT_RUNTIME
// Read only after load-time initialisation; false (the portable count) until then.
inline const bool cpu_has_popcnt = [] {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_POPCNT) != 0;
}();
#endif

// The instruction where the CPU has it (checked at run time, so the build still runs on
// every x86-64), else the portable count, which without -mpopcnt is a library call.
inline std::uint32_t popcount32(std::uint32_t x) noexcept {
#if QV_POPCNT_RUNTIME
  if (cpu_has_popcnt) [[likely]] {
    std::uint32_t r;
    __asm__("popcnt %1, %0" : "=r"(r) : "rm"(x) : "cc");
    return r;
  }
#endif
  return static_cast<std::uint32_t>(std::popcount(x));
}

// Byte equality without the library's out-of-line three-way compare.
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace base
