#include "graph/name_hash.hpp"

#include <random>

namespace graph {

NameHash NameHash::random() {
  std::random_device rd;  // getrandom(2) or the CPU's generator on Linux
  auto draw64 = [&rd] {
    return (static_cast<std::uint64_t>(rd()) << 32) ^ static_cast<std::uint64_t>(rd());
  };
  store::SipKey key;
  key.k0 = draw64();
  key.k1 = draw64();
  return NameHash(key);
}

}  // namespace graph
