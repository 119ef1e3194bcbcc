// Guards evaluated against projected values must give exactly what they give against
// the state tree that insert_path builds from the same projection (and against the whole
// state). Random states and guards over a three-letter alphabet, so paths overlap,
// extend one another and run into missing keys, arrays and scalars.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/value.hpp"
#include "condition/eval.hpp"
#include "condition/parser.hpp"
#include "graph/graph.hpp"

namespace {

using codec::Value;
using graph::Path;

const char* const kSegments[] = {"a", "b", "c"};

class Gen {
 public:
  explicit Gen(std::uint32_t seed) : rng_(seed) {}

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  std::string path_text() {
    std::string out = kSegments[pick(3)];
    for (int n = pick(3); n > 0; --n) out += std::string(".") + kSegments[pick(3)];
    return out;
  }

  std::string literal_text() {
    static const char* const lits[] = {"'a'", "'b'", "''", "0", "1", "2.5", "null", "true"};
    return lits[pick(8)];
  }

  std::string guard(int depth) {
    if (depth == 0 || pick(4) == 0) return pick(3) ? path_text() : literal_text();
    switch (pick(7)) {
      case 0:
        return "not (" + guard(depth - 1) + ")";
      case 1:
        return "(" + guard(depth - 1) + ") and (" + guard(depth - 1) + ")";
      case 2:
        return "(" + guard(depth - 1) + ") or (" + guard(depth - 1) + ")";
      default: {
        static const char* const ops[] = {" == ", " != ", " < ", " >= ", " in "};
        return "(" + guard(depth - 1) + ")" + ops[pick(5)] + "(" + guard(depth - 1) + ")";
      }
    }
  }

  Value scalar() {
    switch (pick(7)) {
      case 0:
        return Value::nil();
      case 1:
        return Value::boolean(pick(2) == 1);
      case 2:
        return Value::uint(static_cast<std::uint64_t>(pick(3)));
      case 3:
        return Value::f64(pick(2) ? 1.0 : -0.0);
      case 4:
        return Value::str("\xff", false);
      default:
        return Value::str(kSegments[pick(3)], true);
    }
  }

  // Maps may repeat a key, hold non-string and invalid keys, and nest under arrays.
  Value state(int depth) {
    if (depth == 0) return scalar();
    const int kind = pick(6);
    if (kind == 0) return scalar();
    if (kind == 1) {
      std::vector<Value> items;
      for (int n = pick(3); n > 0; --n) items.push_back(state(depth - 1));
      return Value::array(std::move(items));
    }
    std::vector<Value> flat;
    for (int n = pick(5); n > 0; --n) {
      const int k = pick(8);
      if (k == 0) {
        flat.push_back(Value::uint(1));
      } else if (k == 1) {
        flat.push_back(Value::str("a\xff", false));
      } else {
        flat.push_back(Value::str(kSegments[pick(3)], true));
      }
      flat.push_back(state(depth - 1));
    }
    return Value::map_flat(std::move(flat));
  }

 private:
  std::mt19937 rng_;
};

// The state's value at `path` by the map lookup rule, or nullptr: what the bridge finds
// in a dict state.
const Value* find(const Value& state, const Path& path) {
  const Value* cur = &state;
  for (const std::string& seg : path) {
    if (cur->kind() != codec::Kind::Map) return nullptr;
    const Value* next = nullptr;
    for (std::size_t i = 0; i < cur->map_size() && !next; ++i) {
      if (cur->map_key(i).is_valid_str() && cur->map_key(i).bytes() == seg)
        next = &cur->map_value(i);
    }
    if (!next) return nullptr;
    cur = next;
  }
  return cur;
}

// Same kind and content, with NaN equal to NaN (a guard may yield a state's NaN).
bool same(const Value& a, const Value& b) {
  return a == b || (a.kind() == b.kind() && a.kind() == codec::Kind::F64 &&
                    a.as_f64() != a.as_f64() && b.as_f64() != b.as_f64());
}

TEST(Projection, MatchesTreeEvaluationOnRandomStatesAndGuards) {
  int evaluated = 0, non_nil = 0;
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    Gen gen(seed);
    graph::Graph g(graph::CyclePolicy::Allow);
    std::vector<Value> states;
    for (int i = 0; i < 6; ++i) states.push_back(gen.state(4));
    // Edges are added one by one: each may shorten the index and re-point older guards.
    for (int e = 0, edges = 1 + gen.pick(4); e < edges; ++e) {
      const std::string text = gen.guard(3);
      ASSERT_FALSE(g.add_edge("s", "t" + std::to_string(e), text)) << text;
      const std::span<const Path> index = g.guard_paths("s");
      for (const Value& state : states) {
        graph::StateBuilder tree_builder;
        std::vector<Value> roots(index.size());
        for (std::size_t i = 0; i < index.size(); ++i) {
          if (const Value* v = find(state, index[i])) {
            tree_builder.insert_path(index[i], *v);
            roots[i] = *v;
          }
        }
        const Value tree = std::move(tree_builder).finish();
        for (const graph::Edge& edge : g.edges("s")) {
          const Value want = condition::eval(*edge.guard, tree);
          const Value got = condition::eval_projected(*edge.guard, roots);
          ASSERT_TRUE(same(got, want)) << "seed " << seed << " guard " << *edge.when;
          ASSERT_TRUE(same(condition::eval(*edge.guard, state), want))
              << "seed " << seed << " guard " << *edge.when;
          ASSERT_EQ(condition::eval_truthy_projected(*edge.guard, roots),
                    condition::eval_truthy(*edge.guard, tree))
              << "seed " << seed << " guard " << *edge.when;
          ASSERT_EQ(edge.program.truthy(roots), condition::truthy(want))
              << "seed " << seed << " guard " << *edge.when;
          ++evaluated;
          non_nil += !want.is_nil();
        }
        ASSERT_EQ(graph::Graph::route_projected(g.edges("s"), roots), g.route("s", tree));
      }
    }
  }
  // The generator must reach values, not only nil, for the comparison to mean much.
  EXPECT_GT(evaluated, 5000);
  EXPECT_GT(non_nil, evaluated / 4);
}

}  // namespace
