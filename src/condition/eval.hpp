// Evaluation of a guard against a state value tree. Never fails: a path that leads
// nowhere is nil and values that cannot be compared compare false. Reads only the guard
// and the state, keeps no state of its own, so any number of threads may evaluate at
// once. Recursion follows the guard's parenthesis/`not` nesting, which the parser
// bounds; `and`/`or` chains are walked with a loop.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/value.hpp"
#include "condition/expr.hpp"

namespace condition {

// The value of `e` against `state`: a literal, a copy of the value a path reaches (nil
// if none), or a boolean for not/and/or/comparisons.
codec::Value eval(const Expr& e, const codec::Value& state);

// truthy(eval(e, state)), without copying the values that paths reach.
bool eval_truthy(const Expr& e, const codec::Value& state);

// The same results without a state tree. `roots[k]` is the value the state holds at
// some path q_k (nil where that leads nowhere), and every Path node p in `e` has an
// entry q_{p.root} that is a prefix of p, p.skip segments long; p is then looked up from
// roots[p.root] with its remaining segments. When the q_k are prefix-free, this equals
// eval(e, t) for the tree t holding each found value at its q_k (a missing q_k is absent
// from t, and absent and nil read alike). A root index out of range reads as nil.
codec::Value eval_projected(const Expr& e, std::span<const codec::Value> roots);
bool eval_truthy_projected(const Expr& e, std::span<const codec::Value> roots);

// A projected value as routing holds it: nil, booleans, integers, doubles, strings and
// arrays of those in place (a string's bytes and an array's items viewed, never copied),
// any other value by pointer to its tree.
// Whoever makes one keeps the viewed bytes and the tree alive while it is evaluated.
struct Flat {
  codec::Kind kind = codec::Kind::Nil;  // Nil, Bool, Int, F64, Str or Array, unless is_tree
  bool flag = false;                    // Bool: the value; Int: negative; Str: valid UTF-8
  bool is_tree = false;
  union {
    double number = 0.0;       // Int and F64: the value as a double
    const char* data;          // Str
    const Flat* items;         // Array: scalars, none of them an array
    const codec::Value* tree;  // is_tree: the value
  };
  union {
    std::uint64_t bits = 0;  // Int: the value, signed when negative
    std::size_t size;        // Str, Array
  };

  static Flat nil() noexcept { return {}; }
  static Flat boolean(bool b) noexcept {
    Flat f;
    f.kind = codec::Kind::Bool;
    f.flag = b;
    return f;
  }
  static Flat integer(bool negative, std::uint64_t bits, double number) noexcept {
    Flat f;
    f.kind = codec::Kind::Int;
    f.flag = negative;
    f.number = number;
    f.bits = bits;
    return f;
  }
  static Flat sint(std::int64_t i) noexcept {
    return integer(i < 0, static_cast<std::uint64_t>(i), static_cast<double>(i));
  }
  static Flat f64(double d) noexcept {
    Flat f;
    f.kind = codec::Kind::F64;
    f.number = d;
    return f;
  }
  static Flat str(const char* data, std::size_t size, bool valid) noexcept {
    Flat f;
    f.kind = codec::Kind::Str;
    f.flag = valid;
    f.data = data;
    f.size = size;
    return f;
  }
  static Flat array(const Flat* items, std::size_t size) noexcept {
    Flat f;
    f.kind = codec::Kind::Array;
    f.items = items;
    f.size = size;
    return f;
  }
  static Flat of_tree(const codec::Value* v) noexcept {
    Flat f;
    f.is_tree = true;
    f.tree = v;
    return f;
  }
  // `v` in flat form, viewing its bytes or pointing at it.
  static Flat of(const codec::Value& v) noexcept;
  // The value a flat scalar stands for (not for one holding a tree).
  codec::Value value() const;
};

// Values in flat form as routing makes them from a state: an array whose items are all
// scalars becomes a flat array too. Views `values`, which must outlive it.
class FlatRoots {
 public:
  explicit FlatRoots(std::span<const codec::Value> values);
  std::span<const Flat> span() const noexcept { return flats_; }

 private:
  std::vector<Flat> flats_, items_;
};

// A guard compiled to a flat instruction list, for the hot path of routing: the same
// answer as eval_truthy_projected, without the recursive walk over the tree. Operands are
// pointers to literals in the tree or to values in the projected roots, never copies.
//
// The program points into its guard: literals are read from the Expr nodes, and each
// path reads its `root` and `skip` when run, so a program stays right when add_edge
// re-points the guard at a new index. The Expr must outlive the program and must not
// change while it runs. Immutable once built; any number of threads may run it at once.
class Program {
 public:
  Program() = default;  // the empty program: true (an unguarded edge)
  // Iterative along and/or chains; recursion follows the parser-bounded nesting only.
  explicit Program(const Expr& guard);

  // truthy(eval_projected(guard, roots)).
  bool truthy(std::span<const codec::Value> roots) const;
  // The same over the roots in flat form.
  bool truthy(std::span<const Flat> roots) const;

 private:
  enum class Op : std::uint8_t {
    PushLit,      // push the literal of `node`
    PushPath,     // push the value path `node` reaches (nil if none)
    PushAcc,      // push the accumulator as a boolean value
    TestLit,      // acc = truthy(literal of `node`)
    TestPath,     // acc = truthy(value path `node` reaches)
    Cmp,          // pop right, pop left, acc = compare(cmp, left, right)
    CmpPathLit,   // acc = compare(cmp, value of the path `node->lhs`, literal `node->rhs`)
    CmpPathStr,   // CmpPathLit for == and != against a string literal
    CmpPathNum,   // CmpPathLit for a numeric literal and any operator but `in`
    LitInPath,    // acc = literal `node->lhs` in the value of the path `node->rhs`
    Not,          // acc = !acc
    JumpIfFalse,  // if !acc: continue at `target`
    JumpIfTrue,   // if acc: continue at `target`
  };
  struct Instr {
    Op op;
    CmpOp cmp = CmpOp::Eq;
    std::uint32_t target = 0;
    const Expr* node = nullptr;
    const Expr* path = nullptr;  // the Path node an instruction reads, if any
    double number = 0.0;         // CmpPathNum: the literal as a double
  };

  void compile_truthy(const Expr& e);
  void compile_value(const Expr& e);
  void emit(Instr i);

  std::vector<Instr> code_;
  std::uint32_t depth_ = 0, max_depth_ = 0;  // operand stack, while compiling / at most
};

// nil, false, numeric 0.0 or -0.0, empty or invalid-UTF-8 strings, empty binary, arrays
// and maps are false; everything else (NaN and extensions included) is true.
bool truthy(const codec::Value& v) noexcept;

}  // namespace condition
