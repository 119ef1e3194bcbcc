#include "condition/eval.hpp"

#include <algorithm>
#include <forward_list>
#include <optional>
#include <string_view>

#include "codec/scratch.hpp"

namespace condition {

using codec::Kind;
using codec::Value;

namespace {

// An operand of a comparison: a value inside the state, a literal of the guard or one of
// the constants below; never a copy.
class Operand {
 public:
  explicit Operand(const Value* ref) noexcept : ref_(ref) {}
  const Value& get() const noexcept { return *ref_; }

 private:
  const Value* ref_;
};

const Value nil_value;
const Value true_value = Value::boolean(true);
const Value false_value = Value::boolean(false);

// The value that segments `from`.. of a path reach from `start`, or nullptr. Keys must be
// valid strings equal byte for byte; the first matching pair wins; arrays are not
// indexable.
const Value* lookup(const Path& path, std::size_t from, const Value& start) noexcept {
  const Value* cur = &start;
  for (std::size_t s = from; s < path.size(); ++s) {
    const std::string& seg = path[s];
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

// Where a Path starts: the whole state tree, or the projected value its prefix reached.
struct TreeState {
  const Value& state;
  const Value* find(const Expr& path) const noexcept { return lookup(path.path, 0, state); }
};
struct ProjectedState {
  std::span<const Value> roots;
  const Value* find(const Expr& path) const noexcept {
    if (path.root >= roots.size()) return nullptr;
    const Value& root = roots[path.root];
    // Most paths are index paths themselves: nothing is left to walk.
    if (path.skip == path.path.size()) return &root;
    return lookup(path.path, path.skip, root);
  }
};

template <class State>
bool truthy_of(const Expr& e, const State& state);

// Value::to_double, inlined: comparisons are the inner loop of routing.
inline double number(const Value& v) noexcept {
  switch (v.kind()) {
    case Kind::Int:
      return v.is_negative() ? static_cast<double>(v.as_sint()) : static_cast<double>(v.as_uint());
    case Kind::F32:
      return static_cast<double>(v.as_f32());
    default:
      return v.as_f64();
  }
}

bool numbers_equal_or_same(const Value& l, const Value& r) noexcept {
  if (l.is_numeric() && r.is_numeric()) return number(l) == number(r);
  if (l.kind() == Kind::Str && r.kind() == Kind::Str)  // the common case, without the call
    return l.is_valid_str() == r.is_valid_str() && l.bytes() == r.bytes();
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
        const double a = number(l), b = number(r);
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
template <class State>
bool eval_chain(const Expr& top, const State& state) {
  codec::ScratchStack<const Expr*, 32> spine;
  const Expr* node = &top;
  while (node->kind == ExprKind::And || node->kind == ExprKind::Or) {
    spine.push_back(node);
    node = node->lhs.get();
  }
  bool acc = truthy_of(*node, state);
  for (std::size_t i = spine.size(); i-- > 0;) {
    const Expr& op = *spine[i];
    if (op.kind == ExprKind::And ? acc : !acc) acc = truthy_of(*op.rhs, state);
  }
  return acc;
}

template <class State>
Operand eval_operand(const Expr& e, const State& state) {
  switch (e.kind) {
    case ExprKind::Str:
    case ExprKind::Int:
    case ExprKind::Float:
    case ExprKind::Bool:
    case ExprKind::Null:
      return Operand(&e.literal);
    case ExprKind::Path: {
      const Value* v = state.find(e);
      return v ? Operand(v) : Operand(&nil_value);
    }
    case ExprKind::Not:
    case ExprKind::And:
    case ExprKind::Or:
    case ExprKind::Cmp:
      return Operand(truthy_of(e, state) ? &true_value : &false_value);
  }
  return Operand(&nil_value);
}

template <class State>
bool truthy_of(const Expr& e, const State& state) {
  switch (e.kind) {
    case ExprKind::Not:
      return !truthy_of(*e.lhs, state);
    case ExprKind::And:
    case ExprKind::Or:
      return eval_chain(e, state);
    case ExprKind::Cmp: {
      const Operand l = eval_operand(*e.lhs, state);
      const Operand r = eval_operand(*e.rhs, state);
      return compare(e.op, l.get(), r.get());
    }
    case ExprKind::Path: {
      const Value* v = state.find(e);
      return v && truthy(*v);
    }
    default:
      return truthy(e.literal);
  }
}

template <class State>
Value value_of(const Expr& e, const State& state) {
  switch (e.kind) {
    case ExprKind::Not:
    case ExprKind::And:
    case ExprKind::Or:
    case ExprKind::Cmp:
      return Value::boolean(truthy_of(e, state));
    default:
      return eval_operand(e, state).get();
  }
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
      return number(v) != 0.0;
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

bool eval_truthy(const Expr& e, const Value& state) { return truthy_of(e, TreeState{state}); }

Value eval(const Expr& e, const Value& state) { return value_of(e, TreeState{state}); }

bool eval_truthy_projected(const Expr& e, std::span<const Value> roots) {
  return truthy_of(e, ProjectedState{roots});
}

Value eval_projected(const Expr& e, std::span<const Value> roots) {
  return value_of(e, ProjectedState{roots});
}

namespace {
bool is_literal(const Expr& e) noexcept {
  return e.kind == ExprKind::Str || e.kind == ExprKind::Int || e.kind == ExprKind::Float ||
         e.kind == ExprKind::Bool || e.kind == ExprKind::Null;
}
}  // namespace

Program::Program(const Expr& guard) {
  compile_truthy(guard);
  code_.shrink_to_fit();
}

void Program::emit(Instr i) {
  switch (i.op) {
    case Op::PushLit:
    case Op::PushPath:
    case Op::PushAcc:
      max_depth_ = std::max(max_depth_, ++depth_);
      break;
    case Op::Cmp:
      depth_ -= 2;
      break;
    default:
      break;
  }
  code_.push_back(i);
}

void Program::compile_truthy(const Expr& e) {
  switch (e.kind) {
    case ExprKind::Not:
      compile_truthy(*e.lhs);
      emit({Op::Not});
      return;
    case ExprKind::And:
    case ExprKind::Or: {
      // Down the left spine with a loop, then each right operand behind a jump that
      // skips it when the left side already decides.
      std::vector<const Expr*> spine;
      const Expr* node = &e;
      while (node->kind == ExprKind::And || node->kind == ExprKind::Or) {
        spine.push_back(node);
        node = node->lhs.get();
      }
      compile_truthy(*node);
      for (std::size_t i = spine.size(); i-- > 0;) {
        const std::size_t jump = code_.size();
        emit({spine[i]->kind == ExprKind::And ? Op::JumpIfFalse : Op::JumpIfTrue});
        compile_truthy(*spine[i]->rhs);
        code_[jump].target = static_cast<std::uint32_t>(code_.size());
      }
      return;
    }
    case ExprKind::Cmp:
      if (e.lhs->kind == ExprKind::Path && is_literal(*e.rhs)) {
        // The usual shape, in one step; string equality and numeric comparison, the
        // commonest of all, without the general comparison.
        const Value& lit = e.rhs->literal;
        Op op = Op::CmpPathLit;
        if (lit.is_valid_str() && (e.op == CmpOp::Eq || e.op == CmpOp::Ne)) op = Op::CmpPathStr;
        if (lit.is_numeric() && e.op != CmpOp::In) op = Op::CmpPathNum;
        emit({op, e.op, 0, &e, e.lhs.get(), lit.is_numeric() ? number(lit) : 0.0});
        return;
      }
      if (e.op == CmpOp::In && is_literal(*e.lhs) && e.rhs->kind == ExprKind::Path) {
        emit({Op::LitInPath, e.op, 0, &e, e.rhs.get()});
        return;
      }
      compile_value(*e.lhs);
      compile_value(*e.rhs);
      emit({Op::Cmp, e.op});
      return;
    case ExprKind::Path:
      emit({Op::TestPath, CmpOp::Eq, 0, &e, &e});
      return;
    default:
      emit({Op::TestLit, CmpOp::Eq, 0, &e});
      return;
  }
}

void Program::compile_value(const Expr& e) {
  switch (e.kind) {
    case ExprKind::Path:
      emit({Op::PushPath, CmpOp::Eq, 0, &e, &e});
      return;
    case ExprKind::Not:
    case ExprKind::And:
    case ExprKind::Or:
    case ExprKind::Cmp:
      compile_truthy(e);
      emit({Op::PushAcc});
      return;
    default:
      emit({Op::PushLit, CmpOp::Eq, 0, &e});
      return;
  }
}

bool Program::truthy(std::span<const Value> roots) const { return truthy(FlatRoots(roots).span()); }

FlatRoots::FlatRoots(std::span<const Value> values) {
  auto scalar = [](const Value& v) { return !Flat::of(v).is_tree; };
  std::size_t items = 0;
  for (const Value& v : values)
    if (v.kind() == Kind::Array) items += v.items().size();
  items_.reserve(items);  // the arrays point into it: no reallocation from here
  flats_.reserve(values.size());
  for (const Value& v : values) {
    if (v.kind() == Kind::Array && std::all_of(v.items().begin(), v.items().end(), scalar)) {
      const std::size_t first = items_.size();
      for (const Value& item : v.items()) items_.push_back(Flat::of(item));
      flats_.push_back(Flat::array(items_.data() + first, v.items().size()));
    } else {
      flats_.push_back(Flat::of(v));
    }
  }
}

Flat Flat::of(const Value& v) noexcept {
  switch (v.kind()) {
    case Kind::Nil:
      return nil();
    case Kind::Bool:
      return boolean(v.as_bool());
    case Kind::Int:
      return integer(v.is_negative(), v.as_uint(), condition::number(v));
    case Kind::F64:
      return f64(v.as_f64());
    case Kind::Str:
      return str(v.bytes().data(), v.bytes().size(), v.is_valid_str());
    default:
      return of_tree(&v);
  }
}

Value Flat::value() const {
  switch (kind) {
    case Kind::Bool:
      return Value::boolean(flag);
    case Kind::Int:
      return flag ? Value::sint(static_cast<std::int64_t>(bits)) : Value::uint(bits);
    case Kind::F64:
      return Value::f64(number);
    case Kind::Str:
      return Value::str(std::string(data, size), flag);
    case Kind::Array: {
      std::vector<Value> out;
      out.reserve(size);
      for (std::size_t i = 0; i < size; ++i) out.push_back(items[i].value());
      return Value::array(std::move(out));
    }
    default:
      return Value();
  }
}

namespace {

// Where a path leads among flat roots: a scalar root itself, a value inside a tree, or
// nowhere (both null).
struct Reached {
  const Flat* flat = nullptr;
  const Value* tree = nullptr;
};

inline Reached reach(const Expr& path, std::span<const Flat> roots) noexcept {
  if (path.root >= roots.size()) return {};
  const Flat& root = roots[path.root];
  if (path.skip == path.path.size())
    return root.is_tree ? Reached{nullptr, root.tree} : Reached{&root};
  // Only a map has members, and maps are trees.
  return root.is_tree ? Reached{nullptr, lookup(path.path, path.skip, *root.tree)} : Reached{};
}

inline bool flat_truthy(const Flat& f) noexcept {
  switch (f.kind) {
    case Kind::Bool:
      return f.flag;
    case Kind::Int:
    case Kind::F64:
      return f.number != 0.0;
    case Kind::Str:
      return f.flag && f.size != 0;
    case Kind::Array:
      return f.size != 0;
    default:
      return false;
  }
}

// numbers_equal_or_same(l, f.value()) for a scalar f, without making the value.
inline bool same_as(const Value& l, const Flat& f) noexcept {
  const bool numeric = f.kind == Kind::Int || f.kind == Kind::F64;
  if (l.is_numeric() && numeric) return number(l) == f.number;
  if (l.kind() == Kind::Str && f.kind == Kind::Str)
    return l.is_valid_str() == f.flag && l.bytes() == std::string_view(f.data, f.size);
  // Structural equality of the rest: the same kind and content.
  if (l.kind() != f.kind) return false;
  switch (f.kind) {
    case Kind::Nil:
      return true;
    case Kind::Bool:
      return l.as_bool() == f.flag;
    default:
      return false;  // numbers and strings are decided above
  }
}

// Scalars made into values for the general comparison, kept at fixed addresses until the
// run ends; rare (a scalar compared with another path or tested with `in`).
class Materialized {
 public:
  Materialized() = default;
  Materialized(const Materialized&) = delete;
  Materialized& operator=(const Materialized&) = delete;
  ~Materialized() { std::destroy_n(reinterpret_cast<Value*>(slots_), used_); }

  const Value* get(const Reached& r) {
    if (r.tree) return r.tree;
    if (!r.flat || r.flat->kind == Kind::Nil) return &nil_value;
    if (used_ < kInline) {
      Value* v = ::new (static_cast<void*>(slots_ + used_ * sizeof(Value))) Value(r.flat->value());
      ++used_;
      return v;
    }
    more_.push_front(r.flat->value());
    return &more_.front();
  }

 private:
  static constexpr std::size_t kInline = 4;
  alignas(Value) unsigned char slots_[kInline * sizeof(Value)];
  std::size_t used_ = 0;
  std::forward_list<Value> more_;
};

}  // namespace

bool Program::truthy(std::span<const Flat> roots) const {
  // Operands wait here only while a comparison's other side is worked out, so the
  // parser's nesting limit keeps the stack small; a deeper one goes to the heap.
  constexpr std::size_t kInline = 32;
  const Value* inline_stack[kInline];
  std::vector<const Value*> heap_stack;
  const Value** stack = inline_stack;
  if (max_depth_ > kInline) {
    heap_stack.resize(max_depth_);
    stack = heap_stack.data();
  }
  Materialized made;
  std::size_t sp = 0;
  bool acc = true;
  const Instr* code = code_.data();
  for (std::size_t pc = 0, n = code_.size(); pc < n; ++pc) {
    const Instr& i = code[pc];
    switch (i.op) {
      case Op::PushLit:
        stack[sp++] = &i.node->literal;
        break;
      case Op::PushPath:
        stack[sp++] = made.get(reach(*i.path, roots));
        break;
      case Op::PushAcc:
        stack[sp++] = acc ? &true_value : &false_value;
        break;
      case Op::TestLit:
        acc = condition::truthy(i.node->literal);
        break;
      case Op::TestPath: {
        const Reached r = reach(*i.path, roots);
        acc = r.flat ? flat_truthy(*r.flat) : r.tree && condition::truthy(*r.tree);
        break;
      }
      case Op::Cmp:
        sp -= 2;
        acc = compare(i.cmp, *stack[sp], *stack[sp + 1]);
        break;
      case Op::CmpPathLit:
        acc = compare(i.cmp, *made.get(reach(*i.path, roots)), i.node->rhs->literal);
        break;
      case Op::LitInPath: {
        // Membership in a flat array or string read in place; anything else as a value.
        const Reached r = reach(*i.path, roots);
        const Value& lit = i.node->lhs->literal;
        if (r.flat && r.flat->kind == Kind::Array) {
          acc = false;
          for (std::size_t k = 0; k < r.flat->size && !acc; ++k)
            acc = same_as(lit, r.flat->items[k]);
        } else if (r.flat && r.flat->kind == Kind::Str) {
          acc = r.flat->flag && lit.is_valid_str() &&
                std::string_view(r.flat->data, r.flat->size).find(lit.bytes()) !=
                    std::string_view::npos;
        } else {
          acc = compare(CmpOp::In, lit, *made.get(r));
        }
        break;
      }
      case Op::CmpPathStr: {
        // Equal only to a valid string of the same bytes (structural equality).
        const Reached r = reach(*i.path, roots);
        const std::string_view lit = i.node->rhs->literal.bytes();
        bool eq;
        if (r.flat)
          eq = r.flat->kind == Kind::Str && r.flat->flag &&
               std::string_view(r.flat->data, r.flat->size) == lit;
        else
          eq = r.tree && r.tree->is_valid_str() && r.tree->bytes() == lit;
        acc = i.cmp == CmpOp::Eq ? eq : !eq;
        break;
      }
      case Op::CmpPathNum: {
        // Numbers compare as doubles; a non-number is unequal to a number and unordered.
        const Reached r = reach(*i.path, roots);
        double a;
        bool numeric;
        if (r.flat) {
          numeric = r.flat->kind == Kind::Int || r.flat->kind == Kind::F64;
          a = r.flat->number;
        } else {
          numeric = r.tree && r.tree->is_numeric();
          a = numeric ? number(*r.tree) : 0.0;
        }
        if (numeric) {
          const double b = i.number;
          switch (i.cmp) {
            case CmpOp::Eq:
              acc = a == b;
              break;
            case CmpOp::Ne:
              acc = a != b;
              break;
            case CmpOp::Lt:
              acc = a < b;
              break;
            case CmpOp::Le:
              acc = a <= b;
              break;
            case CmpOp::Gt:
              acc = a > b;
              break;
            default:
              acc = a >= b;
              break;
          }
        } else {
          acc = i.cmp == CmpOp::Ne;
        }
        break;
      }
      case Op::Not:
        acc = !acc;
        break;
      case Op::JumpIfFalse:
        if (!acc) pc = i.target - 1;
        break;
      case Op::JumpIfTrue:
        if (acc) pc = i.target - 1;
        break;
    }
  }
  return acc;
}

}  // namespace condition
