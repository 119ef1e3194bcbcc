// A random value tree and a random guard built from the input bytes: evaluation never
// fails, agrees with its own truthiness shortcut, and comparisons keep their algebra
// (equality reflexive where NaN and invalid text cannot spoil it, orderings mirrored).
// Native only: the interpreter is linked into the binary but never started.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "codec/value.hpp"
#include "condition/eval.hpp"
#include "condition/expr.hpp"

namespace {

using codec::Kind;
using codec::Value;
using condition::CmpOp;
using condition::Expr;
using condition::ExprKind;
using condition::ExprPtr;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "fuzz_eval: %s\n", what);
  std::abort();
}

constexpr const char* kNames[] = {"a", "b", "user", "tier", "", "é", "x.y", "0"};

std::string pick_text(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return in.ConsumeRandomLengthString(12);  // may be invalid UTF-8
    case 1:
      return "\xff\xfe";
    default:
      return in.PickValueInArray(kNames);
  }
}

double pick_double(FuzzedDataProvider& in) {
  constexpr double kSpecial[] = {0.0,
                                 -0.0,
                                 1.0,
                                 0.5,
                                 std::numeric_limits<double>::quiet_NaN(),
                                 INFINITY,
                                 -INFINITY,
                                 9007199254740992.0,
                                 18446744073709551616.0,
                                 -9223372036854775808.0};
  return in.ConsumeBool() ? in.PickValueInArray(kSpecial) : in.ConsumeFloatingPoint<double>();
}

Value make_value(FuzzedDataProvider& in, int depth) {
  const int top = depth >= 6 ? 6 : 9;
  switch (in.ConsumeIntegralInRange(0, top)) {
    case 0:
      return Value::nil();
    case 1:
      return Value::boolean(in.ConsumeBool());
    case 2: {
      constexpr std::int64_t kInts[] = {0, 1, -1, 30, INT64_MIN, INT64_MAX, 9007199254740993};
      return in.ConsumeBool() ? Value::sint(in.PickValueInArray(kInts))
                              : Value::uint(in.ConsumeIntegral<std::uint64_t>());
    }
    case 3:
      return in.ConsumeBool() ? Value::f64(pick_double(in))
                              : Value::f32(static_cast<float>(pick_double(in)));
    case 4:
      return Value::str_checked(pick_text(in));
    case 5:
      return Value::bin(in.ConsumeRandomLengthString(6));
    case 6:
      return Value::ext(in.ConsumeIntegral<std::int8_t>(), in.ConsumeRandomLengthString(4));
    case 7: {
      std::vector<Value> items;
      for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n)
        items.push_back(make_value(in, depth + 1));
      return Value::array(std::move(items));
    }
    default: {
      std::vector<Value> flat;
      for (int n = in.ConsumeIntegralInRange(0, 5); n > 0; --n) {
        flat.push_back(in.ConsumeIntegralInRange(0, 4) ? Value::str_checked(pick_text(in))
                                                       : make_value(in, depth + 1));
        flat.push_back(make_value(in, depth + 1));
      }
      return Value::map_flat(std::move(flat));
    }
  }
}

condition::Path make_path(FuzzedDataProvider& in) {
  condition::Path p;
  for (int n = in.ConsumeIntegralInRange(1, 3); n > 0; --n) p.push_back(pick_text(in));
  return p;
}

// `budget` bounds the node count: chains inside chains would otherwise multiply.
ExprPtr make_guard(FuzzedDataProvider& in, int depth, int& budget) {
  const int top = depth >= 8 || --budget <= 0 ? 5 : 10;
  switch (in.ConsumeIntegralInRange(0, top)) {
    case 0:
      return Expr::make_str(pick_text(in));
    case 1:
      return Expr::make_int(in.ConsumeIntegral<std::int64_t>());
    case 2:
      return Expr::make_float(pick_double(in));
    case 3:
      return Expr::make_bool(in.ConsumeBool());
    case 4:
      return Expr::make_null();
    case 5:
      return Expr::make_path(make_path(in));
    case 6:
      return Expr::make_not(make_guard(in, depth + 1, budget));
    case 7:
    case 8: {
      // A chain, sometimes long, nesting to the left as the parser builds it.
      const ExprKind k = in.ConsumeBool() ? ExprKind::And : ExprKind::Or;
      ExprPtr acc = make_guard(in, depth + 1, budget);
      for (int n = in.ConsumeBool() ? in.ConsumeIntegralInRange(1, 3000) : 1; n > 0; --n)
        acc = Expr::make_binary(k, std::move(acc), make_guard(in, depth + 1, budget));
      return acc;
    }
    default: {
      const auto op = static_cast<CmpOp>(in.ConsumeIntegralInRange(0, 6));
      ExprPtr l = make_guard(in, depth + 1, budget);
      return Expr::make_cmp(op, std::move(l), make_guard(in, depth + 1, budget));
    }
  }
}

// Whether structural equality of v with itself is guaranteed: no NaN anywhere, no
// invalid text (which is equal to nothing in comparisons).
bool self_equal_expected(const Value& v) {
  switch (v.kind()) {
    case Kind::F32:
    case Kind::F64:
      return !std::isnan(v.to_double());
    case Kind::Array:
      for (const Value& i : v.items())
        if (!self_equal_expected(i)) return false;
      return true;
    case Kind::Map:
      for (std::size_t i = 0; i < v.map_size(); ++i)
        if (!self_equal_expected(v.map_key(i)) || !self_equal_expected(v.map_value(i)))
          return false;
      return true;
    default:
      return true;
  }
}

bool cmp(CmpOp op, const Value& state, const condition::Path& l, const condition::Path& r) {
  ExprPtr e = Expr::make_cmp(op, Expr::make_path(l), Expr::make_path(r));
  return condition::eval_truthy(*e, state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Value state = make_value(in, 0);
  int budget = 4000;
  const ExprPtr guard = make_guard(in, 0, budget);

  const Value result = condition::eval(*guard, state);
  const bool t = condition::eval_truthy(*guard, state);
  if (condition::truthy(result) != t) die("eval and eval_truthy disagree");
  // Every path starts at the one root, the whole state: the compiled guard must agree.
  if (condition::Program(*guard).truthy(std::span<const Value>(&state, 1)) != t)
    die("compiled guard and eval_truthy disagree");

  const Value copy = state;
  if (self_equal_expected(state) && !(copy == state)) die("copy not structurally equal");
  if (condition::eval_truthy(*guard, copy) != t) die("copy evaluates differently");

  // Two paths into the state: the comparison operators against each other.
  const condition::Path p = make_path(in), q = make_path(in);
  const Value pv = condition::eval(*Expr::make_path(p), state);
  const Value qv = condition::eval(*Expr::make_path(q), state);
  const bool eq = cmp(CmpOp::Eq, state, p, q);
  if (eq == cmp(CmpOp::Ne, state, p, q)) die("== and != agree");
  if (eq != cmp(CmpOp::Eq, state, q, p)) die("== not symmetric");
  if (cmp(CmpOp::Lt, state, p, q) != cmp(CmpOp::Gt, state, q, p)) die("< not mirrored by >");
  if (cmp(CmpOp::Le, state, p, q) != cmp(CmpOp::Ge, state, q, p)) die("<= not mirrored by >=");
  if (cmp(CmpOp::Lt, state, p, q) && cmp(CmpOp::Lt, state, q, p)) die("< both ways");
  if (cmp(CmpOp::Lt, state, p, q) && !cmp(CmpOp::Le, state, p, q)) die("< without <=");
  if (pv.is_valid_str() && qv.is_valid_str() &&
      cmp(CmpOp::Lt, state, p, q) + eq + cmp(CmpOp::Gt, state, p, q) != 1)
    die("strings not totally ordered");
  if (cmp(CmpOp::Le, state, p, p) && !(pv.is_numeric() || pv.is_valid_str()))
    die("unorderable kind ordered");
  if (self_equal_expected(pv) && !cmp(CmpOp::Eq, state, p, p)) die("== not reflexive");
  if (!pv.is_numeric() && eq != (pv == qv)) die("== not structural");
  return 0;
}
