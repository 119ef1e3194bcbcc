#include "condition/expr.hpp"

#include <unordered_set>

#include "condition/token.hpp"

namespace condition {

Expr::~Expr() {
  if (!lhs && !rhs) return;
  // Detach the children before they are destroyed, so each node dies childless.
  std::vector<ExprPtr> pending;
  if (lhs) pending.push_back(std::move(lhs));
  if (rhs) pending.push_back(std::move(rhs));
  while (!pending.empty()) {
    ExprPtr node = std::move(pending.back());
    pending.pop_back();
    if (node->lhs) pending.push_back(std::move(node->lhs));
    if (node->rhs) pending.push_back(std::move(node->rhs));
  }
}

ExprPtr Expr::make_str(std::string s) {
  auto e = std::make_unique<Expr>(ExprKind::Str);
  e->text = std::move(s);
  // The tokenizer only emits well-formed UTF-8.
  e->literal = codec::Value::str(e->text, true);
  return e;
}
ExprPtr Expr::make_int(std::int64_t i) {
  auto e = std::make_unique<Expr>(ExprKind::Int);
  e->int_value = i;
  e->literal = codec::Value::sint(i);
  return e;
}
ExprPtr Expr::make_float(double f) {
  auto e = std::make_unique<Expr>(ExprKind::Float);
  e->float_value = f;
  e->literal = codec::Value::f64(f);
  return e;
}
ExprPtr Expr::make_bool(bool b) {
  auto e = std::make_unique<Expr>(ExprKind::Bool);
  e->bool_value = b;
  e->literal = codec::Value::boolean(b);
  return e;
}
ExprPtr Expr::make_null() { return std::make_unique<Expr>(ExprKind::Null); }
ExprPtr Expr::make_path(Path p) {
  auto e = std::make_unique<Expr>(ExprKind::Path);
  e->path = std::move(p);
  return e;
}
ExprPtr Expr::make_not(ExprPtr child) {
  auto e = std::make_unique<Expr>(ExprKind::Not);
  e->lhs = std::move(child);
  return e;
}
ExprPtr Expr::make_binary(ExprKind k, ExprPtr l, ExprPtr r) {
  auto e = std::make_unique<Expr>(k);
  e->lhs = std::move(l);
  e->rhs = std::move(r);
  return e;
}
ExprPtr Expr::make_cmp(CmpOp op, ExprPtr l, ExprPtr r) {
  auto e = make_binary(ExprKind::Cmp, std::move(l), std::move(r));
  e->op = op;
  return e;
}

namespace {

// Segments length-prefixed, so no two different paths share a key.
std::string path_key(const Path& p) {
  std::string key;
  for (const std::string& s : p) {
    key += std::to_string(s.size());
    key += ':';
    key += s;
  }
  return key;
}

}  // namespace

void collect_paths(const Expr& e, std::vector<Path>& out) {
  std::unordered_set<std::string> seen;
  for (const Path& p : out) seen.insert(path_key(p));
  std::vector<const Expr*> stack{&e};
  while (!stack.empty()) {
    const Expr* node = stack.back();
    stack.pop_back();
    if (node->kind == ExprKind::Path) {
      if (seen.insert(path_key(node->path)).second) out.push_back(node->path);
      continue;
    }
    // Right pushed first so the left child is visited first.
    if (node->rhs) stack.push_back(node->rhs.get());
    if (node->lhs) stack.push_back(node->lhs.get());
  }
}

std::string dump_expr(const Expr& e) {
  static constexpr const char* ops[] = {"Eq", "Ne", "Lt", "Le", "Gt", "Ge", "In"};
  switch (e.kind) {
    case ExprKind::Str:
      return "Str(" + render_string(e.text) + ")";
    case ExprKind::Int:
      return "Int(" + std::to_string(e.int_value) + ")";
    case ExprKind::Float:
      return "Float(" + render_float(e.float_value) + ")";
    case ExprKind::Bool:
      return e.bool_value ? "Bool(true)" : "Bool(false)";
    case ExprKind::Null:
      return "Null";
    case ExprKind::Path: {
      std::string out = "Path(";
      for (std::size_t i = 0; i < e.path.size(); ++i) out += (i ? "." : "") + e.path[i];
      return out + ")";
    }
    case ExprKind::Not:
      return "Not(" + dump_expr(*e.lhs) + ")";
    case ExprKind::And:
      return "And(" + dump_expr(*e.lhs) + "," + dump_expr(*e.rhs) + ")";
    case ExprKind::Or:
      return "Or(" + dump_expr(*e.lhs) + "," + dump_expr(*e.rhs) + ")";
    case ExprKind::Cmp:
      return std::string("Cmp(") + ops[static_cast<int>(e.op)] + "," + dump_expr(*e.lhs) + "," +
             dump_expr(*e.rhs) + ")";
  }
  return "?";
}

}  // namespace condition
