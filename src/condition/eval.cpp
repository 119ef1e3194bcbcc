#include "condition/eval.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace condition {

using codec::Kind;
using codec::Value;

namespace {

// An operand of a comparison: either a value inside the state (no copy) or one we made.
class Operand {
 public:
  explicit Operand(const Value* ref) noexcept : ref_(ref) {}
  explicit Operand(Value owned) : owned_(std::move(owned)) {}
  const Value& get() const noexcept { return ref_ ? *ref_ : owned_; }

 private:
  const Value* ref_ = nullptr;
  Value owned_;
};

// The value a path reaches, or nullptr. Keys must be valid strings equal byte for byte;
// the first matching pair wins; arrays are not indexable.
const Value* lookup(const Path& path, const Value& state) noexcept {
  const Value* cur = &state;
  for (const std::string& seg : path) {
    if (cur->kind() != Kind::Map) return nullptr;
    const Value* found = nullptr;
    for (std::size_t i = 0, n = cur->map_size(); i < n; ++i) {
      const Value& key = cur->map_key(i);
      if (key.is_valid_str() && key.bytes() == seg) {
        found = &cur->map_value(i);
        break;
      }
    }
    if (!found) return nullptr;
    cur = found;
  }
  return cur;
}

Operand eval_operand(const Expr& e, const Value& state);

bool numbers_equal_or_same(const Value& l, const Value& r) noexcept {
  if (l.is_numeric() && r.is_numeric()) return l.to_double() == r.to_double();
  return l == r;
}

bool compare(CmpOp op, const Value& l, const Value& r) {
  switch (op) {
    case CmpOp::Eq:
      return numbers_equal_or_same(l, r);
    case CmpOp::Ne:
      return !numbers_equal_or_same(l, r);
    case CmpOp::Lt:
    case CmpOp::Le:
    case CmpOp::Gt:
    case CmpOp::Ge: {
      int order;  // only used for strings
      if (l.is_numeric() && r.is_numeric()) {
        const double a = l.to_double(), b = r.to_double();
        switch (op) {
          case CmpOp::Lt:
            return a < b;
          case CmpOp::Le:
            return a <= b;
          case CmpOp::Gt:
            return a > b;
          default:
            return a >= b;
        }
      }
      if (!l.is_valid_str() || !r.is_valid_str()) return false;
      // char_traits<char>::compare orders bytes as unsigned, i.e. by code point.
      order = l.bytes().compare(r.bytes());
      switch (op) {
        case CmpOp::Lt:
          return order < 0;
        case CmpOp::Le:
          return order <= 0;
        case CmpOp::Gt:
          return order > 0;
        default:
          return order >= 0;
      }
    }
    case CmpOp::In:
      switch (r.kind()) {
        case Kind::Map:
          for (std::size_t i = 0, n = r.map_size(); i < n; ++i) {
            if (numbers_equal_or_same(l, r.map_key(i))) return true;
          }
          return false;
        case Kind::Array:
          for (const Value& item : r.items()) {
            if (numbers_equal_or_same(l, item)) return true;
          }
          return false;
        case Kind::Str:
          return r.is_valid_str() && l.is_valid_str() &&
                 r.bytes().find(l.bytes()) != std::string_view::npos;
        default:
          return false;
      }
  }
  return false;
}

// Left spine of an and/or chain: walk down with a loop to the first operand that is not
// and/or, then fold back up, evaluating right operands only as short-circuiting allows.
bool eval_chain(const Expr& top, const Value& state) {
  std::vector<const Expr*> spine;
  const Expr* node = &top;
  while (node->kind == ExprKind::And || node->kind == ExprKind::Or) {
    spine.push_back(node);
    node = node->lhs.get();
  }
  bool acc = eval_truthy(*node, state);
  for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
    const Expr& op = **it;
    if (op.kind == ExprKind::And ? acc : !acc) acc = eval_truthy(*op.rhs, state);
  }
  return acc;
}

Operand eval_operand(const Expr& e, const Value& state) {
  switch (e.kind) {
    case ExprKind::Str:
      // Literal text comes from the tokenizer, which only emits well-formed UTF-8.
      return Operand(Value::str(e.text, true));
    case ExprKind::Int:
      return Operand(Value::sint(e.int_value));
    case ExprKind::Float:
      return Operand(Value::f64(e.float_value));
    case ExprKind::Bool:
      return Operand(Value::boolean(e.bool_value));
    case ExprKind::Null:
      return Operand(Value::nil());
    case ExprKind::Path: {
      const Value* v = lookup(e.path, state);
      return v ? Operand(v) : Operand(Value::nil());
    }
    case ExprKind::Not:
    case ExprKind::And:
    case ExprKind::Or:
    case ExprKind::Cmp:
      return Operand(Value::boolean(eval_truthy(e, state)));
  }
  return Operand(Value::nil());
}

}  // namespace

bool truthy(const Value& v) noexcept {
  switch (v.kind()) {
    case Kind::Nil:
      return false;
    case Kind::Bool:
      return v.as_bool();
    case Kind::Int:
    case Kind::F32:
    case Kind::F64:
      return v.to_double() != 0.0;
    case Kind::Str:
      return v.is_valid_str() && !v.bytes().empty();
    case Kind::Bin:
      return !v.bytes().empty();
    case Kind::Array:
      return !v.items().empty();
    case Kind::Map:
      return v.map_size() != 0;
    case Kind::Ext:
      return true;
  }
  return false;
}

bool eval_truthy(const Expr& e, const Value& state) {
  switch (e.kind) {
    case ExprKind::Not:
      return !eval_truthy(*e.lhs, state);
    case ExprKind::And:
    case ExprKind::Or:
      return eval_chain(e, state);
    case ExprKind::Cmp: {
      const Operand l = eval_operand(*e.lhs, state);
      const Operand r = eval_operand(*e.rhs, state);
      return compare(e.op, l.get(), r.get());
    }
    case ExprKind::Path: {
      const Value* v = lookup(e.path, state);
      return v && truthy(*v);
    }
    default:
      return truthy(eval_operand(e, state).get());
  }
}

Value eval(const Expr& e, const Value& state) {
  switch (e.kind) {
    case ExprKind::Not:
    case ExprKind::And:
    case ExprKind::Or:
    case ExprKind::Cmp:
      return Value::boolean(eval_truthy(e, state));
    default:
      return eval_operand(e, state).get();
  }
}

}  // namespace condition
