// Syntax tree of a guard. A tree is built once by the parser, never changed, and freed
// as a whole. Chains of `and`/`or` nest to the left and can be as deep as the guard is
// long, so every walk over a tree (including its destructor) loops along that spine
// instead of recursing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/value.hpp"

namespace condition {

enum class ExprKind : std::uint8_t { Str, Int, Float, Bool, Null, Path, Not, And, Or, Cmp };

enum class CmpOp : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge, In };

// A dotted name a.b.c as its segments; never empty.
using Path = std::vector<std::string>;

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

// Which fields hold what:
//   Str: text; Int: int_value; Float: float_value; Bool: bool_value; Null: nothing;
//   Path: path; Not: lhs; And, Or: lhs and rhs; Cmp: op, lhs and rhs.
// Literals also carry `literal`, their value made once here so evaluation borrows it.
// A Path's `root` and `skip` serve evaluation against projected values (eval.hpp): the
// projected value it starts from and how many of its leading segments that value already
// stands for. Whoever projects sets them, while no evaluation can run.
struct Expr {
  ExprKind kind = ExprKind::Null;
  CmpOp op = CmpOp::Eq;
  bool bool_value = false;
  std::int64_t int_value = 0;
  double float_value = 0.0;
  std::string text;
  Path path;
  ExprPtr lhs, rhs;
  codec::Value literal;
  std::uint32_t root = 0;
  std::uint32_t skip = 0;

  Expr() = default;
  explicit Expr(ExprKind k) : kind(k) {}
  Expr(const Expr&) = delete;
  Expr& operator=(const Expr&) = delete;
  // Frees the subtree with an explicit stack: O(nodes), no recursion.
  ~Expr();

  static ExprPtr make_str(std::string s);
  static ExprPtr make_int(std::int64_t i);
  static ExprPtr make_float(double f);
  static ExprPtr make_bool(bool b);
  static ExprPtr make_null();
  static ExprPtr make_path(Path p);
  static ExprPtr make_not(ExprPtr child);
  static ExprPtr make_binary(ExprKind k, ExprPtr l, ExprPtr r);  // And, Or
  static ExprPtr make_cmp(CmpOp op, ExprPtr l, ExprPtr r);
};

// Appends each path `e` reads, in left-to-right order, unless `out` already holds an
// equal path (from this call or from before it). Iterative; O(nodes + path bytes).
void collect_paths(const Expr& e, std::vector<Path>& out);

// The tree written out in a fixed, unambiguous form, for tests and debugging:
// Or(Path(a),Cmp(Eq,Path(b.c),Str("x"))). Recursive along the spine; use on small trees.
std::string dump_expr(const Expr& e);

}  // namespace condition
