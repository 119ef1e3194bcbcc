#include "graph/graph.hpp"

#include <algorithm>

#include "condition/eval.hpp"
#include "condition/parser.hpp"

namespace graph {

std::optional<CyclePolicy> cycle_policy_from(std::string_view text) noexcept {
  if (text == "error") return CyclePolicy::Error;
  if (text == "allow") return CyclePolicy::Allow;
  return std::nullopt;
}

std::string_view cycle_policy_name(CyclePolicy p) noexcept {
  return p == CyclePolicy::Error ? "error" : "allow";
}

namespace {

// Every Path node of the guards, in the order collect_paths visits them (edge order, then
// left to right within a guard), each occurrence once.
template <class ExprT, class F>
void for_each_path_node(ExprT* root, F&& f) {
  std::vector<ExprT*> stack{root};
  while (!stack.empty()) {
    ExprT* node = stack.back();
    stack.pop_back();
    if (node->kind == condition::ExprKind::Path) {
      f(node);
      continue;
    }
    // Right pushed first so the left child is visited first.
    if (node->rhs) stack.push_back(node->rhs.get());
    if (node->lhs) stack.push_back(node->lhs.get());
  }
}

// Stable counting sort by length: linear, where a comparison sort would add a log factor
// to every rebuild.
std::vector<const Path*> sort_by_length(const std::vector<const Path*>& paths) {
  std::size_t longest = 0;
  for (const Path* p : paths) longest = std::max(longest, p->size());
  std::vector<std::size_t> start(longest + 2, 0);
  for (const Path* p : paths) ++start[p->size() + 1];
  for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
  std::vector<const Path*> sorted(paths.size());
  for (const Path* p : paths) sorted[start[p->size()]++] = p;
  return sorted;
}

// A guard's Path node and the index entry it reads from, decided before the graph is
// changed and written into the node after.
struct PathRoot {
  condition::Expr* path;
  std::uint32_t root;
  std::uint32_t skip;
};

// For each Path node of the guards, the one index path that is a prefix of it (the
// index is prefix-free and holds a prefix of every guard path). Linear in the segments.
std::vector<PathRoot> resolve_roots(std::span<Edge> edges, condition::Expr* extra,
                                    std::span<const Path> index, const NameHash& hash) {
  // The index holds a prefix of every guard path: without one there are no paths.
  if (index.empty()) return {};
  constexpr std::uint32_t none = StepIndex::kNone;
  StepIndex trie(hash);
  std::vector<std::uint32_t> ends(1, none);  // per trie node: the index path ending there
  for (std::size_t i = 0; i < index.size(); ++i) {
    std::uint32_t cur = 0;
    for (const std::string& seg : index[i]) {
      cur = trie.insert(cur, seg).first;
      if (ends.size() < trie.size()) ends.push_back(none);
    }
    ends[cur] = static_cast<std::uint32_t>(i);
  }
  std::vector<PathRoot> out;
  auto resolve = [&](condition::Expr* node) {
    // Out of range (reads as nil) if no index path covered it, which cannot happen.
    PathRoot r{node, static_cast<std::uint32_t>(index.size()), 0};
    std::uint32_t cur = 0;
    for (std::size_t s = 0; s <= node->path.size(); ++s) {
      if (ends[cur] != none) {
        r.root = ends[cur];
        r.skip = static_cast<std::uint32_t>(s);
        break;
      }
      if (s == node->path.size()) break;
      cur = trie.find(cur, node->path[s]);
      if (cur == none) break;
    }
    out.push_back(r);
  };
  for (Edge& e : edges) {
    if (e.guard) for_each_path_node(e.guard.get(), resolve);
  }
  if (extra) for_each_path_node(extra, resolve);
  return out;
}

}  // namespace

std::vector<Path> build_guard_paths(std::span<const Edge> edges, const condition::Expr* extra,
                                    const NameHash& hash) {
  // Every occurrence, duplicates included: after the stable sort an identical path
  // follows its first occurrence and the reduction drops it like any covered path.
  std::vector<const Path*> found;
  auto collect = [&](const condition::Expr* node) { found.push_back(&node->path); };
  for (const Edge& e : edges) {
    if (e.guard) for_each_path_node(e.guard.get(), collect);
  }
  if (extra) for_each_path_node(extra, collect);
  if (found.empty()) return {};  // unguarded edges only: nothing to allocate
  // Keeps each path unless an already kept path is a prefix of it (or equal), walking a
  // trie of the kept paths.
  StepIndex trie(hash);
  std::vector<bool> terminal(1, false);
  std::vector<Path> kept;
  for (const Path* p : sort_by_length(found)) {
    std::uint32_t cur = 0;
    bool covered = false;
    for (const std::string& seg : *p) {
      if (terminal[cur]) {
        covered = true;
        break;
      }
      cur = trie.insert(cur, seg).first;
      if (terminal.size() < trie.size()) terminal.push_back(false);
    }
    if (covered || terminal[cur]) continue;
    terminal[cur] = true;
    kept.push_back(*p);
  }
  return kept;
}

void Graph::add_node(std::string_view name) {
  if (!has_node(name)) nodes_.emplace(name);
}

bool Graph::has_node(std::string_view name) const { return nodes_.find(name) != nodes_.end(); }

const Graph::Out* Graph::find_out(std::string_view node) const {
  auto it = out_.find(node);
  return it == out_.end() ? nullptr : &it->second;
}

std::span<const Edge> Graph::edges(std::string_view node) const {
  const Out* out = find_out(node);
  return out ? std::span<const Edge>(out->edges) : std::span<const Edge>();
}

std::span<const Path> Graph::guard_paths(std::string_view node) const {
  const Out* out = find_out(node);
  return out ? std::span<const Path>(out->guard_paths) : std::span<const Path>();
}

const PathTrie* Graph::projection(std::string_view node) const {
  const Out* out = find_out(node);
  return out ? &out->trie : nullptr;
}

// Depth-first over the edges present before the new one, with an explicit stack so a
// long chain cannot exhaust the call stack. Guards are ignored: a cycle is structural.
bool Graph::would_close_cycle(std::string_view from, std::string_view to) const {
  if (from == to) return true;
  std::vector<std::string_view> stack{to};
  std::unordered_set<std::string_view, NameHash, std::equal_to<>> visited(0, hash_);
  while (!stack.empty()) {
    const std::string_view name = stack.back();
    stack.pop_back();
    if (name == from) return true;
    if (!visited.insert(name).second) continue;
    // Push in list order, as the search is defined; the answer does not depend on it.
    for (const Edge& e : edges(name)) stack.push_back(e.to);
  }
  return false;
}

std::optional<EdgeError> Graph::add_edge(std::string_view from, std::string_view to,
                                         std::optional<std::string_view> when,
                                         KeyHasher key_hasher) {
  // Every check and every allocation that can fail comes before the first change.
  condition::ExprPtr guard;
  if (when) {
    condition::ParseResult parsed = condition::parse(*when);
    if (!parsed.ok()) {
      return EdgeError{EdgeError::Kind::InvalidCondition, "invalid condition: " + parsed.error};
    }
    guard = std::move(parsed.expr);
  }
  if (policy_ == CyclePolicy::Error && would_close_cycle(from, to)) {
    return EdgeError{EdgeError::Kind::Cycle, "adding edge '" + std::string(from) + "' -> '" +
                                                 std::string(to) +
                                                 "' would create a cycle (on_cycle='error')"};
  }
  auto existing = out_.find(from);
  const std::span<Edge> old_edges =
      existing == out_.end() ? std::span<Edge>() : std::span<Edge>(existing->second.edges);
  std::vector<Path> paths = build_guard_paths(old_edges, guard.get(), hash_);
  PathTrie trie(paths, hash_, key_hasher);
  std::vector<PathRoot> roots = resolve_roots(old_edges, guard.get(), paths, hash_);
  condition::Program program = guard ? condition::Program(*guard) : condition::Program();
  // A new source with a hint takes a slot; the slots are doubled (and all placed again)
  // ahead of the change, so the change itself allocates nothing more.
  std::int64_t hint = kUnknownHash;
  std::vector<HintSlot> grown;
  if (existing == out_.end() && key_hasher) {
    hint = key_hasher(from);
    if (2 * (out_.size() + 1) > hints_.size())
      grown.resize(std::max<std::size_t>(8, 2 * hints_.size()));
  }
  Edge edge{std::string(to), when ? std::optional<std::string>(*when) : std::nullopt,
            std::move(guard), std::move(program)};

  bool from_added = false, to_added = false, out_added = false;
  try {
    // A source with edges is a node already, and its entry is at hand.
    if (existing == out_.end()) {
      from_added = nodes_.emplace(from).second;
      existing = out_.try_emplace(std::string(from)).first;
      out_added = true;
    }
    to_added = nodes_.emplace(to).second;
    existing->second.edges.push_back(std::move(edge));  // unchanged if this throws
    existing->second.guard_paths = std::move(paths);    // noexcept moves from here on
    existing->second.trie = std::move(trie);
    for (const PathRoot& r : roots) {
      r.path->root = r.root;
      r.path->skip = r.skip;
    }
    if (out_added && hint != kUnknownHash) {
      existing->second.hint = hint;
      if (!grown.empty()) {
        for (const auto& [name, out] : out_) place(grown, name, out);
        hints_.swap(grown);
      } else {
        place(hints_, existing->first, existing->second);
      }
    }
  } catch (...) {
    if (out_added) out_.erase(out_.find(from));
    if (to_added) nodes_.erase(nodes_.find(to));
    if (from_added) nodes_.erase(nodes_.find(from));
    throw;
  }
  ++edge_count_;
  return std::nullopt;
}

std::vector<std::string> Graph::nodes() const {
  std::vector<std::string> names(nodes_.begin(), nodes_.end());
  // std::string compares bytes as unsigned, which is code point order for UTF-8.
  std::sort(names.begin(), names.end());
  return names;
}

bool Graph::is_dag() const {
  std::unordered_map<std::string_view, std::size_t, NameHash, std::equal_to<>> in_degree(
      nodes_.size(), hash_);
  for (const std::string& n : nodes_) in_degree.emplace(n, 0);
  for (const auto& [_, out] : out_) {
    for (const Edge& e : out.edges) ++in_degree.at(e.to);
  }
  std::vector<std::string_view> ready;
  for (const auto& [name, degree] : in_degree) {
    if (degree == 0) ready.push_back(name);
  }
  std::size_t processed = 0;
  while (!ready.empty()) {
    const std::string_view name = ready.back();
    ready.pop_back();
    ++processed;
    for (const Edge& e : edges(name)) {
      if (--in_degree.at(e.to) == 0) ready.push_back(e.to);
    }
  }
  return processed == in_degree.size();
}

Graph::NodeView Graph::view(std::string_view node) const {
  const Out* out = find_out(node);
  return out ? NodeView{out->edges, &out->trie} : NodeView{};
}

Graph::NodeView Graph::view(std::string_view node, std::int64_t hint) const {
  if (hint != kUnknownHash && !hints_.empty()) {
    const HintSlot& slot = hints_[static_cast<std::uint64_t>(hint) & (hints_.size() - 1)];
    if (slot.hint == hint && *slot.name == node) return NodeView{slot.out->edges, &slot.out->trie};
  }
  return view(node);
}

void Graph::place(std::vector<HintSlot>& slots, const std::string& name, const Out& out) noexcept {
  if (out.hint == kUnknownHash) return;
  slots[static_cast<std::uint64_t>(out.hint) & (slots.size() - 1)] =
      HintSlot{out.hint, &name, &out};
}

std::optional<std::string_view> Graph::route_edges(std::span<const Edge> edges,
                                                   const codec::Value& state) {
  for (const Edge& e : edges) {
    if (!e.guard || condition::eval_truthy(*e.guard, state)) return e.to;
  }
  return std::nullopt;
}

std::optional<std::string_view> Graph::route_projected(std::span<const Edge> edges,
                                                       std::span<const codec::Value> roots) {
  return route_projected(edges, condition::FlatRoots(roots).span());
}

std::optional<std::string_view> Graph::route_projected(std::span<const Edge> edges,
                                                       std::span<const condition::Flat> roots) {
  for (const Edge& e : edges) {
    if (!e.guard || e.program.truthy(roots)) return e.to;
  }
  return std::nullopt;
}

std::string Graph::repr() const {
  return "HandoffGraph(nodes=" + std::to_string(nodes_.size()) +
         ", edges=" + std::to_string(edge_count_) + ", on_cycle='" +
         std::string(cycle_policy_name(policy_)) + "')";
}

PathTrie::PathTrie(std::span<const Path> index, const NameHash& hash, KeyHasher key_hasher)
    : nodes_(1) {
  StepIndex children(hash);  // views `index`, which outlives this
  ends_.reserve(index.size());
  for (const Path& path : index) {
    std::uint32_t cur = 0;
    for (const std::string& seg : path) {
      const auto [id, added] = children.insert(cur, seg);
      if (added) {
        const bool ascii = std::all_of(seg.begin(), seg.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        const std::int64_t key_hash = ascii && key_hasher ? key_hasher(seg) : kUnknownHash;
        Node node{seg, cur, codec::is_valid_utf8(seg), ascii, key_hash};
        if (seg.size() < kShort) std::copy(seg.begin(), seg.end(), node.padded.begin());
        nodes_.push_back(std::move(node));
      }
      cur = id;
      steps_.push_back(cur);
    }
    ends_.push_back(steps_.size());
    ++nodes_[cur].ends;
  }
}

StateBuilder::StateBuilder() : nodes_(1) {}

void StateBuilder::insert_path(const Path& path, codec::Value value) {
  std::size_t cur = 0;
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    std::size_t next = 0;
    for (std::size_t child : nodes_[cur].children) {
      if (nodes_[child].key == path[i]) {
        next = child;
        break;
      }
    }
    if (next != 0 && nodes_[next].leaf) return;  // a value sits where a map would go
    if (next == 0) {
      nodes_.push_back(Node{path[i], {}, std::nullopt});
      next = nodes_.size() - 1;
      nodes_[cur].children.push_back(next);
    }
    cur = next;
  }
  nodes_.push_back(Node{path.back(), {}, std::move(value)});
  nodes_[cur].children.push_back(nodes_.size() - 1);
}

codec::Value StateBuilder::finish() && {
  // Children always have larger indices than their parent, so one backward pass builds
  // every inner map after all of its members.
  std::vector<codec::Value> built(nodes_.size());
  for (std::size_t i = nodes_.size(); i-- > 0;) {
    Node& n = nodes_[i];
    if (n.leaf) {
      built[i] = std::move(*n.leaf);
      continue;
    }
    std::vector<codec::Value> flat;
    flat.reserve(2 * n.children.size());
    for (std::size_t child : n.children) {
      flat.push_back(codec::Value::str_checked(std::move(nodes_[child].key)));
      flat.push_back(std::move(built[child]));
    }
    built[i] = codec::Value::map_flat(std::move(flat));
  }
  return std::move(built[0]);
}

}  // namespace graph
