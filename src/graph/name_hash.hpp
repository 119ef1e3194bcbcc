// The hasher of every hash map the graph keeps or builds over names and path segments:
// SipHash-1-3 under a secret key drawn for each graph, so names
// chosen to collide cannot degrade the graph's maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "base/siphash.hpp"

namespace graph {

class NameHash {
 public:
  using is_transparent = void;

  // A fresh secret key, drawn as the store draws one per map (no system call per graph);
  // may throw std::runtime_error if no random source exists.
  static NameHash random() { return NameHash(base::fresh_map_key()); }

  std::size_t operator()(std::string_view s) const noexcept {
    return static_cast<std::size_t>(base::siphash13(key_, s));
  }

 private:
  explicit NameHash(base::SipKey key) noexcept : key_(key) {}
  base::SipKey key_;
};

// Paths as one trie of steps (parent node, segment) -> node, numbered from 1 in the
// order they are added; node 0 is the root. The segments are viewed, not copied: they
// must outlive the index. Insert and find cost one hash of the segment.
class StepIndex {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  explicit StepIndex(const NameHash& hash) : map_(0, StepHash{&hash}) {}

  std::uint32_t find(std::uint32_t parent, std::string_view segment) const {
    auto it = map_.find(Step{parent, segment});
    return it == map_.end() ? kNone : it->second;
  }
  // The child's node, and whether this call added it.
  std::pair<std::uint32_t, bool> insert(std::uint32_t parent, std::string_view segment) {
    auto [it, added] = map_.try_emplace(Step{parent, segment}, next_);
    if (added) ++next_;
    return {it->second, added};
  }
  // Nodes including the root.
  std::uint32_t size() const noexcept { return next_; }

 private:
  struct Step {
    std::uint32_t parent;
    std::string_view segment;
    bool operator==(const Step&) const = default;
  };
  struct StepHash {
    const NameHash* hash;
    std::size_t operator()(const Step& s) const noexcept {
      return (*hash)(s.segment) + s.parent * std::size_t{0x9e3779b97f4a7c15};
    }
  };
  std::unordered_map<Step, std::uint32_t, StepHash> map_;
  std::uint32_t next_ = 1;
};

}  // namespace graph
