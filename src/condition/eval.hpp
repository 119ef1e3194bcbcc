// Evaluation of a guard against a state value tree. Never fails: a path that leads
// nowhere is nil and values that cannot be compared compare false. Reads only the guard
// and the state, keeps no state of its own, so any number of threads may evaluate at
// once. Recursion follows the guard's parenthesis/`not` nesting, which the parser
// bounds; `and`/`or` chains are walked with a loop.
#pragma once

#include "codec/value.hpp"
#include "condition/expr.hpp"

namespace condition {

// The value of `e` against `state`: a literal, a copy of the value a path reaches (nil
// if none), or a boolean for not/and/or/comparisons.
codec::Value eval(const Expr& e, const codec::Value& state);

// truthy(eval(e, state)), without copying the values that paths reach.
bool eval_truthy(const Expr& e, const codec::Value& state);

// nil, false, numeric 0.0 or -0.0, empty or invalid-UTF-8 strings, empty binary, arrays
// and maps are false; everything else (NaN and extensions included) is true.
bool truthy(const codec::Value& v) noexcept;

}  // namespace condition
