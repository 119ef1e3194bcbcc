#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "codec/value.hpp"
#include "condition/parser.hpp"
#include "graph/graph.hpp"

// Every allocation of this test program is counted: a deterministic measure of work
// where a timing would be noise. The replacements pair malloc with free, which GCC
// cannot see through once it inlines library code. Sanitizer runtimes bring their own
// operator new, so sanitized builds count nothing.
namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

#ifndef QV_SANITIZED
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

using codec::Value;
using graph::CyclePolicy;
using graph::Graph;
using graph::Path;

Value str(const char* s) { return Value::str(s, true); }

TEST(Graph, CyclePolicyText) {
  EXPECT_EQ(graph::cycle_policy_from("error"), CyclePolicy::Error);
  EXPECT_EQ(graph::cycle_policy_from("allow"), CyclePolicy::Allow);
  for (const char* bad : {"Error", " error", "", "allow "}) {
    EXPECT_FALSE(graph::cycle_policy_from(bad).has_value()) << bad;
  }
  EXPECT_EQ(Graph(CyclePolicy::Error).repr(), "HandoffGraph(nodes=0, edges=0, on_cycle='error')");
}

TEST(Graph, AcceptedEdgesAndCounts) {
  Graph g(CyclePolicy::Error);
  EXPECT_FALSE(g.add_edge("a", "b", std::nullopt));
  EXPECT_FALSE(g.add_edge("b", "c", std::nullopt));
  EXPECT_FALSE(g.add_edge("a", "c", std::nullopt));  // a second path is not a cycle
  EXPECT_FALSE(g.add_edge("a", "b", std::nullopt));  // duplicates are kept
  EXPECT_EQ(g.repr(), "HandoffGraph(nodes=3, edges=4, on_cycle='error')");
  g.add_node("x");
  g.add_node("x");
  g.add_node("a");
  EXPECT_EQ(g.node_count(), 4u);
  EXPECT_TRUE(g.is_dag());
  std::vector<std::string> targets;
  for (const graph::Edge& e : g.edges("a")) targets.push_back(e.to);
  EXPECT_EQ(targets, (std::vector<std::string>{"b", "c", "b"}));
  EXPECT_TRUE(g.edges("x").empty());
  EXPECT_TRUE(g.edges("nope").empty());

  Graph loops(CyclePolicy::Allow);
  EXPECT_FALSE(loops.add_edge("a", "a", std::nullopt));
  EXPECT_EQ(loops.repr(), "HandoffGraph(nodes=1, edges=1, on_cycle='allow')");
}

TEST(Graph, NodesSortByBytes) {
  Graph g(CyclePolicy::Allow);
  for (const char* n : {"b", "a", "B", "", "ä", "ab"}) g.add_node(n);
  EXPECT_EQ(g.nodes(), (std::vector<std::string>{"", "B", "a", "ab", "b", "ä"}));
  EXPECT_TRUE(g.has_node(""));
  EXPECT_FALSE(Graph(CyclePolicy::Allow).has_node(""));
}

TEST(GuardPaths, CollectedSortedAndPrefixReduced) {
  Graph g(CyclePolicy::Error);
  ASSERT_FALSE(g.add_edge("a", "b", "user.role == 'x' and score > 1"));
  EXPECT_EQ(std::vector<Path>(g.guard_paths("a").begin(), g.guard_paths("a").end()),
            (std::vector<Path>{{"score"}, {"user", "role"}}));
  ASSERT_FALSE(g.add_edge("a", "c", "user"));
  ASSERT_FALSE(g.add_edge("a", "d", std::nullopt));  // rebuilt, unchanged
  ASSERT_FALSE(g.add_edge("a", "e", "x.y.z or x.y or q.r.s or q.r.t or user.role"));
  EXPECT_EQ(std::vector<Path>(g.guard_paths("a").begin(), g.guard_paths("a").end()),
            (std::vector<Path>{{"score"}, {"user"}, {"x", "y"}, {"q", "r", "s"}, {"q", "r", "t"}}));
  // Unguarded-only sources have an empty index; other nodes are untouched.
  ASSERT_FALSE(g.add_edge("b", "c", std::nullopt));
  EXPECT_TRUE(g.guard_paths("b").empty());
  EXPECT_TRUE(g.guard_paths("c").empty());
  EXPECT_EQ(g.guard_paths("a").size(), 5u);
}

TEST(GuardPaths, ReductionIsLinearOnManyPaths) {
  // 100000 distinct one-segment paths plus their extensions; a quadratic prefix check
  // would take minutes here.
  std::string guard;
  for (int i = 0; i < 50000; ++i)
    guard += "k" + std::to_string(i) + ".x or k" + std::to_string(i) + " or ";
  guard += "last";
  std::vector<graph::Edge> edges;
  condition::ParseResult r = condition::parse(guard);
  ASSERT_TRUE(r.ok());
  const std::vector<Path> paths =
      graph::build_guard_paths(edges, r.expr.get(), graph::NameHash::random());
  ASSERT_EQ(paths.size(), 50001u);
  EXPECT_EQ(paths.front(), Path{"k0"});
  EXPECT_EQ(paths.back(), Path{"last"});
}

TEST(GuardPaths, OneMoreEdgeCostsLinearInTheSourcesGuards) {
  // The work of adding a guarded edge to a node with n of them, counted in allocations
  // (each path copied, each trie step added), must grow like n, not n^2: a node with a
  // wide fan-out is otherwise quadratic per edge and cubic to build.
#ifdef QV_SANITIZED
  GTEST_SKIP() << "allocations are not counted under a sanitizer";
#endif
  auto cost_at = [](int n) {
    Graph g(CyclePolicy::Error);
    for (int i = 0; i < n; ++i) {
      const std::string k = std::to_string(i);
      EXPECT_FALSE(g.add_edge("hub", "t" + k, "k" + k + ".x == 1 or s" + k));
    }
    const std::size_t before = allocations.load();
    EXPECT_FALSE(g.add_edge("hub", "last", "z.x == 1"));
    return allocations.load() - before;
  };
  const std::size_t small = cost_at(200), large = cost_at(800);
  EXPECT_GT(large, 3 * small);  // the rebuild does touch every guard
  EXPECT_LT(large, 6 * small);  // linear gives 4x; quadratic would give 16x
}

TEST(StateBuilder, MergesUnderSharedPrefixesInIndexOrder) {
  graph::StateBuilder b;
  b.insert_path({"score"}, Value::f64(0.5));
  b.insert_path({"user", "name"}, str("ann"));
  b.insert_path({"user", "role"}, str("ops"));
  b.insert_path({"q", "r", "s"}, Value::uint(1));
  b.insert_path({"score", "deeper"}, Value::uint(9));  // blocked by a value: dropped
  const Value expected = Value::map_flat(
      {str("score"), Value::f64(0.5), str("user"),
       Value::map_flat({str("name"), str("ann"), str("role"), str("ops")}), str("q"),
       Value::map_flat({str("r"), Value::map_flat({str("s"), Value::uint(1)})})});
  EXPECT_EQ(std::move(b).finish(), expected);
  EXPECT_EQ(graph::StateBuilder().finish(), Value::map_flat({}));
}

struct RouteCase {
  std::string name;
  std::string node;
  Value state;
  std::optional<std::string> expected;
};

class RouteTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(RouteTest, FirstMatchingEdge) {
  Graph g(CyclePolicy::Error);
  ASSERT_FALSE(g.add_edge("start", "pro", "user.tier == 'pro'"));
  ASSERT_FALSE(g.add_edge("start", "adult", "user.age >= 18"));
  ASSERT_FALSE(g.add_edge("start", "fallback", "flag"));
  ASSERT_FALSE(g.add_edge("plain", "first", std::nullopt));
  ASSERT_FALSE(g.add_edge("plain", "second", std::nullopt));
  g.add_node("lonely");
  EXPECT_EQ(g.route(GetParam().node, GetParam().state), GetParam().expected);
}

Value user(const char* tier, std::uint64_t age) {
  return Value::map_flat(
      {str("user"), Value::map_flat({str("tier"), str(tier), str("age"), Value::uint(age)})});
}
Value flag(Value v) { return Value::map_flat({str("flag"), std::move(v)}); }

INSTANTIATE_TEST_SUITE_P(
    Route, RouteTest,
    ::testing::Values(RouteCase{"first_guard", "start", user("pro", 10), "pro"},
                      RouteCase{"second_guard", "start", user("free", 30), "adult"},
                      RouteCase{"none_match", "start", user("free", 10), std::nullopt},
                      RouteCase{"empty_state", "start", Value::map_flat({}), std::nullopt},
                      RouteCase{"nan_matches", "start", flag(Value::f64(std::nan(""))), "fallback"},
                      RouteCase{"neg_zero_not", "start", flag(Value::f64(-0.0)), std::nullopt},
                      RouteCase{"unguarded_first", "plain", Value::nil(), "first"},
                      RouteCase{"no_out_edges", "lonely", Value::nil(), std::nullopt},
                      RouteCase{"unknown", "ghost", Value::nil(), std::nullopt}),
    [](const auto& info) { return info.param.name; });

}  // namespace
