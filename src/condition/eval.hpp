// Evaluation of a guard against a state value tree. Never fails: a path that leads
// nowhere is nil and values that cannot be compared compare false. Reads only the guard
// and the state, keeps no state of its own, so any number of threads may evaluate at
// once. Recursion follows the guard's parenthesis/`not` nesting, which the parser
// bounds; `and`/`or` chains are walked with a loop.
#pragma once

#include <span>

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

// nil, false, numeric 0.0 or -0.0, empty or invalid-UTF-8 strings, empty binary, arrays
// and maps are false; everything else (NaN and extensions included) is true.
bool truthy(const codec::Value& v) noexcept;

}  // namespace condition
