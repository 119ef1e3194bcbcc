// The routing graph's native core: named nodes, guarded edges in insertion order, the
// cycle policy and, per source node, the index of state paths its guards read.
//
// Layout: `nodes_` holds every registered name; `out_` maps a source name to its edges
// and guard path index, and has an entry only for nodes with at least one outgoing edge.
// Every edge target and every key of `out_` is in `nodes_`. Under CyclePolicy::Error the
// graph never holds a cycle or a self-loop. The graph only grows.
//
// Thread safety: const members only read and may run on any number of threads at once;
// add_node/add_edge need exclusive access, which the owner must arrange. Hash iteration
// order never shows in a result: nodes() sorts, edges and routing follow list order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "codec/value.hpp"
#include "condition/eval.hpp"
#include "condition/expr.hpp"
#include "graph/name_hash.hpp"

namespace graph {

using condition::Path;

enum class CyclePolicy { Error, Allow };

// "error" or "allow", exact bytes; anything else is nullopt.
std::optional<CyclePolicy> cycle_policy_from(std::string_view text) noexcept;
std::string_view cycle_policy_name(CyclePolicy p) noexcept;
inline constexpr std::string_view k_bad_cycle_policy = "on_cycle must be 'error' or 'allow'";

struct Edge {
  std::string to;
  std::optional<std::string> when;  // guard text exactly as given; none if unguarded
  condition::ExprPtr guard;         // parsed from `when`; present exactly when it is
  condition::Program program;       // `guard` compiled for projected values
};

// Why add_edge refused an edge; both are ValueErrors at the Python boundary. `message` is
// complete: "invalid condition: ..." or "adding edge 'a' -> 'b' would create a cycle ...".
struct EdgeError {
  enum class Kind { InvalidCondition, Cycle };
  Kind kind;
  std::string message;
};

// The interpreter's hash of the str holding some text, made by whoever routes Python
// states (the core knows nothing of it): a path segment's, so that a lookup key need not
// be hashed on every route, and a source node's, as the hint that finds it (view). May
// throw; nullptr leaves every hash unknown.
using KeyHasher = std::int64_t (*)(std::string_view text);
inline constexpr std::int64_t kUnknownHash = -1;  // never an interpreter hash

// A node's guard path index as a trie, so that projecting a state compares no strings
// and makes one key per distinct segment position instead of one per path segment.
// Node 0 is the root; every other node is one segment under `parent`, numbered in the
// order the index first reaches it, so a child's number is above its parent's. Index
// paths never extend one another, so each ends at its own leaf. Immutable once built.
class PathTrie {
 public:
  // Segments shorter than this are also kept zero-padded to its length, so the bridge
  // can write one into a key str with a copy of fixed size.
  static constexpr std::size_t kShort = 32;

  struct Node {
    std::string segment;
    std::uint32_t parent = 0;
    bool valid_utf8 = true;
    bool ascii = true;                     // lets the bridge make its key str without decoding
    std::int64_t key_hash = kUnknownHash;  // of an ASCII segment, from the KeyHasher
    std::array<char, kShort> padded{};     // segment and zeros, if shorter than kShort
    std::uint32_t ends = 0;                // index paths that end here
  };

  PathTrie() : nodes_(1) {}
  PathTrie(std::span<const Path> index, const NameHash& hash, KeyHasher key_hasher);

  std::size_t size() const noexcept { return nodes_.size(); }
  const Node& node(std::size_t id) const noexcept { return nodes_[id]; }
  std::size_t path_count() const noexcept { return ends_.size(); }
  // The node ids of index path `i`, first segment to leaf.
  std::span<const std::uint32_t> chain(std::size_t i) const noexcept {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::span<const std::uint32_t>(steps_).subspan(begin, ends_[i] - begin);
  }

 private:
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> steps_;  // every chain, one after another
  std::vector<std::size_t> ends_;     // end of chain i in steps_
};

class Graph {
 public:
  // Draws the key of the graph's hashers (std::runtime_error without a random source).
  explicit Graph(CyclePolicy policy)
      : policy_(policy), hash_(NameHash::random()), nodes_(0, hash_), out_(0, hash_) {}

  CyclePolicy on_cycle() const noexcept { return policy_; }

  // Registers a name; an existing one is left as it is. Allocates at most one string.
  void add_node(std::string_view name);

  // Parses `when` (if given), applies the cycle policy, then registers both endpoints,
  // appends the edge and rebuilds `from`'s guard path index, re-pointing the paths of
  // all of `from`'s guards at their entries in the new index. On an error, or on an
  // exception (bad_alloc, or one from `key_hasher`), the graph is unchanged. Under
  // CyclePolicy::Error the reachability search costs O(V + E); the index rebuild is
  // linear in the size of `from`'s guards (expected, as it hashes), so n edges from one
  // node cost O(n^2) in all.
  std::optional<EdgeError> add_edge(std::string_view from, std::string_view to,
                                    std::optional<std::string_view> when,
                                    KeyHasher key_hasher = nullptr);

  std::size_t node_count() const noexcept { return nodes_.size(); }
  std::size_t edge_count() const noexcept { return edge_count_; }
  bool has_node(std::string_view name) const;

  // Outgoing edges in insertion order; empty for a name without any (or unknown).
  std::span<const Edge> edges(std::string_view node) const;

  // Every node name, sorted by bytes (a proper prefix first). O(V log V), fresh copy.
  std::vector<std::string> nodes() const;

  // Kahn's algorithm, iterative: O(V + E).
  bool is_dag() const;

  // The guard path index of `node`: the paths its guards read, shortest first, with no
  // duplicates and no path that extends another. Projecting a state at exactly these
  // paths (see StateBuilder) gives every guard of the node all it can see.
  std::span<const Path> guard_paths(std::string_view node) const;
  // The same index as a trie; nullptr for a node without outgoing edges.
  const PathTrie* projection(std::string_view node) const;

  // A node's edges and projection trie from one hash lookup (route needs both).
  struct NodeView {
    std::span<const Edge> edges;
    const PathTrie* trie = nullptr;
  };
  NodeView view(std::string_view node) const;
  // The same, trying first the one slot for `hint`, the KeyHasher's hash of the name (as
  // given to add_edge). A slot holds one source, checked byte by byte, and a colliding
  // source only takes it over: chosen names can at worst send a view to the keyed map.
  NodeView view(std::string_view node, std::int64_t hint) const;

  // Target of the first edge from `node`, in insertion order, that is unguarded or whose
  // guard is truthy against `state`; nullopt when none matches or `node` has no edges.
  // Touches nothing but the graph and `state`: safe to run detached from Python.
  // The view stays valid as long as the graph is not changed.
  std::optional<std::string_view> route(std::string_view node, const codec::Value& state) const {
    return route_edges(edges(node), state);
  }
  static std::optional<std::string_view> route_edges(std::span<const Edge> edges,
                                                     const codec::Value& state);
  // The same walk over the node's projected values: `roots[i]` is the state's value at
  // guard_paths(node)[i], nil where that path leads nowhere (condition::eval_projected).
  // add_edge has pointed every guard path of the node at its entry in that list.
  static std::optional<std::string_view> route_projected(std::span<const Edge> edges,
                                                         std::span<const codec::Value> roots);
  // The same over the roots in flat form.
  static std::optional<std::string_view> route_projected(std::span<const Edge> edges,
                                                         std::span<const condition::Flat> roots);

  // HandoffGraph(nodes=N, edges=E, on_cycle='error')
  std::string repr() const;

 private:
  struct Out {
    std::vector<Edge> edges;
    std::vector<Path> guard_paths;
    PathTrie trie;
    std::int64_t hint = kUnknownHash;
  };
  struct HintSlot {
    std::int64_t hint = kUnknownHash;
    const std::string* name = nullptr;
    const Out* out = nullptr;
  };
  static void place(std::vector<HintSlot>& slots, const std::string& name, const Out& out) noexcept;

  bool would_close_cycle(std::string_view from, std::string_view to) const;
  const Out* find_out(std::string_view node) const;

  CyclePolicy policy_;
  NameHash hash_;
  std::unordered_set<std::string, NameHash, std::equal_to<>> nodes_;
  std::unordered_map<std::string, Out, NameHash, std::equal_to<>> out_;
  // Sources by hint, direct-mapped: none or a power of two slots, at least twice the
  // sources, so that most have a slot of their own. Entries of out_ never move.
  std::vector<HintSlot> hints_;
  std::size_t edge_count_ = 0;
};

// The guard path index of a list of edges: paths of their guards collected in edge
// order, stably sorted by length, and reduced so no kept path has a kept prefix (an
// identical path counts as one). Linear in the size of the guards.
std::vector<Path> build_guard_paths(std::span<const Edge> edges, const condition::Expr* extra,
                                    const NameHash& hash);

// Builds the state map `route` evaluates against, from values found at guard paths.
// The bridge walks the caller's dict along each path of guard_paths(node), in order,
// and hands over each value it reaches:
//
//   StateBuilder b;
//   for (const Path& p : graph.guard_paths(node))
//     if (PyObject* o = lookup_stored_items(state, p)) b.insert_path(p, py_to_value_at(o, 0));
//   codec::Value state_value = std::move(b).finish();
//
// Paths sharing leading segments share inner maps; keys keep first-insertion order.
class StateBuilder {
 public:
  StateBuilder();
  // `path` must be non-empty. A one-segment path appends a pair to the top map; a longer
  // one descends into (or creates) inner maps. A path that runs into an earlier value
  // instead of an inner map is dropped: the index never produces one.
  void insert_path(const Path& path, codec::Value value);
  // The finished map (empty when nothing was inserted). Iterative.
  codec::Value finish() &&;

 private:
  struct Node {
    std::string key;
    std::vector<std::size_t> children;  // indices into nodes_, in insertion order
    std::optional<codec::Value> leaf;   // set for a value, unset for an inner map
  };
  std::vector<Node> nodes_;  // nodes_[0] is the top map; children follow their parent
};

}  // namespace graph
