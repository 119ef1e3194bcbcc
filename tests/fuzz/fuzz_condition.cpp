// Guard text in arbitrary bytes: tokenizing and parsing must end in a tree or one message,
// never a crash or a hang, and a tree must survive every walk the graph makes over it.
// Native only: the interpreter is linked into the binary but never started.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "codec/value.hpp"
#include "condition/eval.hpp"
#include "condition/expr.hpp"
#include "condition/lexer.hpp"
#include "condition/parser.hpp"
#include "condition/token.hpp"

namespace {

using codec::Value;

[[noreturn]] void die(const char* what, std::string_view text) {
  std::fprintf(stderr, "fuzz_condition: %s\ninput: %.*s\n", what, static_cast<int>(text.size()),
               text.data());
  std::abort();
}

Value str(const char* s) { return Value::str_checked(s); }

Value pairs(std::vector<std::pair<const char*, Value>> kv) {
  std::vector<Value> flat;
  for (auto& [k, v] : kv) {
    flat.push_back(str(k));
    flat.push_back(std::move(v));
  }
  return Value::map_flat(std::move(flat));
}

// Names the seeds use, so paths often resolve, with one value of every kind.
const Value& fixed_state() {
  static const Value state = pairs({
      {"a", Value::uint(1)},
      {"b", Value::f64(0.5)},
      {"c", str("x")},
      {"n", Value::nil()},
      {"f", Value::boolean(false)},
      {"t", Value::boolean(true)},
      {"z", Value::f64(-0.0)},
      {"nan", Value::f64(__builtin_nan(""))},
      {"big", Value::uint(UINT64_MAX)},
      {"neg", Value::sint(INT64_MIN)},
      {"bin", Value::bin("x")},
      {"bad", Value::str("\xff", false)},
      {"ext", Value::ext(3, "e")},
      {"arr", Value::array({Value::uint(1), str("x"), Value::f32(1.5f), Value::nil()})},
      {"user", pairs({{"tier", str("pro")},
                      {"age", Value::uint(30)},
                      {"tags", Value::array({str("a"), str("b")})}})},
  });
  return state;
}

// Every Ident/Str token renders to valid UTF-8 inside its quotes; used by the messages.
void check_tokens(const std::vector<condition::Tok>& toks, std::string_view text) {
  for (const condition::Tok& t : toks) {
    std::string r = condition::render_tok(t);
    if (r.empty() || !codec::is_valid_utf8(r)) die("bad token rendering", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  condition::LexResult lexed = condition::tokenize(text);
  condition::ParseResult parsed = condition::parse(text);
  if (parsed.ok() == !parsed.error.empty()) die("parse result is neither or both", text);
  if (!lexed.ok()) {
    if (!lexed.tokens.empty()) die("tokenizer error with tokens", text);
    if (parsed.ok() || parsed.error != lexed.error) die("tokenizer message lost", text);
    return 0;
  }
  check_tokens(lexed.tokens, text);
  if (lexed.tokens.empty() && parsed.error != "empty condition") die("empty not reported", text);
  if (!parsed.ok()) {
    if (!codec::is_valid_utf8(parsed.error)) die("message not UTF-8", text);
    return 0;
  }
  const condition::Expr& e = *parsed.expr;

  std::vector<condition::Path> paths;
  condition::collect_paths(e, paths);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (paths[i].empty()) die("empty path", text);
    for (std::size_t j = 0; j < i; ++j)
      if (paths[i] == paths[j]) die("duplicate path", text);
  }
  std::vector<condition::Path> again = paths;
  condition::collect_paths(e, again);
  if (again != paths) die("collect_paths added a path it already held", text);

  // The dump recurses along and/or spines; the fuzzer's input limit keeps them short.
  if (size <= 8192 && condition::dump_expr(e).empty()) die("empty dump", text);

  for (const Value* state : {&fixed_state(), static_cast<const Value*>(nullptr)}) {
    const Value empty = Value::map_flat({});
    const Value& s = state ? *state : empty;
    const Value result = condition::eval(e, s);
    const bool t = condition::eval_truthy(e, s);
    if (condition::truthy(result) != t) die("eval and eval_truthy disagree", text);
    if (condition::eval_truthy(e, s) != t) die("evaluation not deterministic", text);
  }
  return 0;
}
