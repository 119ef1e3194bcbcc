#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "case_name.hpp"
#include "codec/value.hpp"
#include "condition/eval.hpp"
#include "condition/expr.hpp"
#include "condition/lexer.hpp"
#include "condition/parser.hpp"
#include "condition/token.hpp"
#include "condition/unicode_tables.hpp"
#include "condition/utf8.hpp"

namespace {

using codec::Value;
using namespace condition;

std::string lex_text(const std::string& text) {
  LexResult r = tokenize(text);
  if (!r.ok()) return "error: " + r.error + (r.tokens.empty() ? "" : " (tokens kept)");
  std::string out;
  for (const Tok& t : r.tokens) out += (out.empty() ? "" : " ") + render_tok(t);
  return out;
}

std::string parse_text(const std::string& text) {
  ParseResult r = parse(text);
  return r.ok() ? dump_expr(*r.expr) : "error: " + r.error;
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

struct Case {
  std::string input;
  std::string expected;
};

std::string by_input(const ::testing::TestParamInfo<Case>& info) {
  return testnames::case_name(info.index, info.param.input);
}

// ---- tokenizer -------------------------------------------------------------------

class LexTest : public ::testing::TestWithParam<Case> {};

TEST_P(LexTest, TokensOrMessage) { EXPECT_EQ(lex_text(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Tokens, LexTest,
    ::testing::Values(
        Case{"a.b == 'x'", R"(Ident("a") Dot Ident("b") Eq Str("x"))"},
        Case{"x >= -3", R"(Ident("x") Ge Int(-3))"}, Case{"x -3", R"(Ident("x") Int(-3))"},
        Case{"a!=b<c<=d>e>=f",
             R"(Ident("a") Ne Ident("b") Lt Ident("c") Le Ident("d") Gt Ident("e") Ge Ident("f"))"},
        Case{"(a)", R"(LParen Ident("a") RParen)"}, Case{R"('it\'s')", R"(Str("it's"))"},
        Case{R"('a\qb')", R"(Str("aqb"))"}, Case{R"('tab\there')", R"(Str("tab\there"))"},
        Case{R"("a\"b'c" 'x"y')", R"(Str("a\"b'c") Str("x\"y"))"},
        Case{R"('\\\r\n')", R"(Str("\\r\n"))"}, Case{"'line\nbreak'", R"(Str("line\nbreak"))"},
        Case{"True true False false", "Bool(true) Bool(true) Bool(false) Bool(false)"},
        Case{"None none null", "Null Null Null"},
        Case{"TRUE NULL Not AND", R"(Ident("TRUE") Ident("NULL") Ident("Not") Ident("AND"))"},
        Case{"and or not in", "And Or Not In"}, Case{"1.5", "Float(1.5)"}, Case{"1.", "Int(1) Dot"},
        Case{".5", "Dot Int(5)"}, Case{"007", "Int(7)"}, Case{"1e5", R"(Int(1) Ident("e5"))"},
        Case{"-9223372036854775808", "Int(-9223372036854775808)"},
        Case{"9223372036854775807", "Int(9223372036854775807)"}, Case{"-2.50", "Float(-2.5)"},
        Case{"größe > 2", R"(Ident("größe") Gt Int(2))"},
        Case{"_x1 x٣", R"(Ident("_x1") Ident("x٣"))"}, Case{" \t\n\u00a0\u3000 ", ""}, Case{"", ""},
        // A non-ASCII digit starts no number (the messages themselves are pinned in pytest).
        Case{"a ٣", "error: unexpected character '٣'"}),
    by_input);

TEST(Lex, FloatsAreCorrectlyRoundedAndSaturate) {
  const auto one = [](const std::string& text) {
    LexResult r = tokenize(text);
    EXPECT_TRUE(r.ok()) << text;
    EXPECT_EQ(r.tokens.size(), 1u) << text;
    return r.tokens.at(0).float_value;
  };
  EXPECT_EQ(one("0.1"), 0.1);
  EXPECT_EQ(one("9007199254740993.0"), 9007199254740992.0);  // ties to even
  EXPECT_EQ(one(repeat("9", 400) + ".0"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(one("-" + repeat("9", 400) + ".5"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(one("0." + repeat("0", 323) + "5"), 5e-324);  // smallest subnormal
  const double tiny = one("-0." + repeat("0", 400) + "1");
  EXPECT_EQ(tiny, 0.0);
  EXPECT_TRUE(std::signbit(tiny));
}

TEST(Lex, LexNumberStopsAndReportsEnd) {
  const std::u32string chars = U"x 12.5.a";
  LexNumber n = lex_number(chars, 2);
  EXPECT_TRUE(n.error.empty());
  EXPECT_EQ(render_tok(n.tok), "Float(12.5)");
  EXPECT_EQ(n.end, 6u);  // the '.' before 'a' is left for the tokenizer
}

TEST(Utf8, TruncatedSequenceAtTheEndStepsOneByte) {
  std::size_t i = 1;
  EXPECT_EQ(detail::decode_utf8("a\xe2\x82", i), detail::k_replacement);
  EXPECT_EQ(i, 2u);
}

// ---- rendering -------------------------------------------------------------------

TEST(Render, Floats) {
  const std::vector<std::pair<double, std::string>> cases = {
      {2.5, "2.5"},
      {100.0, "100.0"},
      {0.0001, "0.0001"},
      {1e16, "1e16"},
      {1.5e-5, "1.5e-5"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {1e15, "1000000000000000.0"},
      {9.999999999999998e15, "9999999999999998.0"},
      {1.2345e20, "1.2345e20"},
      {-1e-7, "-1e-7"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {5e-324, "5e-324"},
      {123.456, "123.456"},
      {0.00012, "0.00012"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"}};
  for (const auto& [d, text] : cases) EXPECT_EQ(render_float(d), text) << text;
}

TEST(Render, Strings) {
  const std::vector<Case> cases = {
      {"abc", R"("abc")"},
      {"a\"b\\c'd", R"("a\"b\\c'd")"},
      {std::string("\t\n\r\0", 4), R"("\t\n\r\0")"},
      {"\x01\x7f", R"("\u{1}\u{7f}")"},
      {"größe €", R"("größe €")"},
      {"e\u0301", R"("e\u{301}")"},                           // combining acute: grapheme extend
      {"\u00a0\u2028\u200b", R"("\u{a0}\u{2028}\u{200b}")"},  // Zs, Zl, Cf
      {"\U000E0001\uE000", R"("\u{e0001}\u{e000}")"},         // Cf tag, private use
      {"\U0001F600", "\"\U0001F600\""},
      {"\xff", "\"\uFFFD\""}};  // a malformed byte reads as U+FFFD
  for (const Case& c : cases) EXPECT_EQ(render_string(c.input), c.expected) << c.expected;
}

TEST(Unicode, ClassesMatchTheCharacterDatabase) {
  EXPECT_TRUE(unicode::is_white_space(0x85));
  EXPECT_TRUE(unicode::is_white_space(0x202F));
  EXPECT_FALSE(unicode::is_white_space(0x200B));
  EXPECT_TRUE(unicode::is_alphabetic(U'ß'));
  EXPECT_TRUE(unicode::is_alphabetic(0x4E00));  // inside a First/Last block
  EXPECT_TRUE(unicode::is_alphabetic(0x2160));  // Roman numeral: Nl and Alphabetic
  EXPECT_FALSE(unicode::is_alphabetic(0x0301));
  EXPECT_TRUE(unicode::is_numeric(0x0663));
  EXPECT_TRUE(unicode::is_numeric(0x00BD));  // No
  EXPECT_FALSE(unicode::is_numeric(U'x'));
  EXPECT_TRUE(unicode::is_grapheme_extend(0x200C));  // Other_Grapheme_Extend
  EXPECT_TRUE(unicode::is_printable(U' '));
  EXPECT_FALSE(unicode::is_printable(0x0378));  // unassigned
  EXPECT_FALSE(unicode::is_printable(0x10FFFF));
  EXPECT_TRUE(unicode::is_printable(0x4E00));
  EXPECT_STRNE(unicode::k_unicode_version, "");
}

// ---- parser ----------------------------------------------------------------------

class ParseTest : public ::testing::TestWithParam<Case> {};

TEST_P(ParseTest, TreeOrMessage) { EXPECT_EQ(parse_text(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseTest,
    ::testing::Values(
        Case{"a", "Path(a)"}, Case{"a.b.c", "Path(a.b.c)"},
        Case{"user.tier == 'pro'", R"(Cmp(Eq,Path(user.tier),Str("pro")))"},
        Case{"a or b and c", "Or(Path(a),And(Path(b),Path(c)))"},
        Case{"a or b or c", "Or(Or(Path(a),Path(b)),Path(c))"},
        Case{"not a and b", "And(Not(Path(a)),Path(b))"}, Case{"not not a", "Not(Not(Path(a)))"},
        Case{"not a == b", "Not(Cmp(Eq,Path(a),Path(b)))"},
        Case{"'x' in tags", R"(Cmp(In,Str("x"),Path(tags)))"},
        Case{"(a) == (b)", "Cmp(Eq,Path(a),Path(b))"},
        Case{"(a or b) == c", "Cmp(Eq,Or(Path(a),Path(b)),Path(c))"},
        Case{"x != 1.5 and y < -2 or z >= null",
             "Or(And(Cmp(Ne,Path(x),Float(1.5)),Cmp(Lt,Path(y),Int(-2))),Cmp(Ge,Path(z),Null))"},
        Case{"a <= true and b > False",
             "And(Cmp(Le,Path(a),Bool(true)),Cmp(Gt,Path(b),Bool(false)))"}),
    by_input);

TEST(CollectPaths, FirstOccurrenceOrderAndExistingEntries) {
  ParseResult r = parse("a.b == 1 and (c or a.b) and not d");
  ASSERT_TRUE(r.ok());
  std::vector<Path> out;
  collect_paths(*r.expr, out);
  EXPECT_EQ(out, (std::vector<Path>{{"a", "b"}, {"c"}, {"d"}}));

  std::vector<Path> pre{{"c"}};
  collect_paths(*r.expr, pre);
  EXPECT_EQ(pre, (std::vector<Path>{{"c"}, {"a", "b"}, {"d"}}));

  // Segments are compared whole: a.b is not the path of the one segment "a.b".
  std::vector<Path> odd{{"a.b"}};
  collect_paths(*r.expr, odd);
  EXPECT_EQ(odd.size(), 4u);
}

// ---- evaluation ------------------------------------------------------------------

Value str(const char* s) { return Value::str(s, true); }

Value sample_state() {
  Value user = Value::map_flat({str("tier"), str("pro"), str("age"), Value::uint(30), str("tags"),
                                Value::array({str("a"), str("b")})});
  return Value::map_flat({str("user"), user, str("score"), Value::f64(0.5), str("n"), Value::nil(),
                          // Extra kinds for the rules on non-Python values.
                          str("neg"), Value::sint(-1), str("f32"), Value::f32(0.5f), str("bad"),
                          Value::str("\xff", false), str("bin"), Value::bin("x"), str("nz"),
                          Value::f64(-0.0), Value::uint(7), str("int key"), str("m1"),
                          Value::map_flat({str("a"), Value::uint(1), str("b"), Value::uint(2)}),
                          str("m2"),
                          Value::map_flat({str("b"), Value::uint(2), str("a"), Value::uint(1)}),
                          str("ext"), Value::ext(1, ""), str("empty"), Value::array({}), str("dup"),
                          Value::uint(1), str("dup"), Value::uint(2)});
}

struct EvalCase {
  std::string guard;
  bool expected;
};

class EvalTest : public ::testing::TestWithParam<EvalCase> {};

TEST_P(EvalTest, Truthiness) {
  ParseResult r = parse(GetParam().guard);
  ASSERT_TRUE(r.ok()) << r.error;
  const Value state = sample_state();
  EXPECT_EQ(eval_truthy(*r.expr, state), GetParam().expected) << GetParam().guard;
  EXPECT_EQ(truthy(eval(*r.expr, state)), GetParam().expected) << GetParam().guard;
}

INSTANTIATE_TEST_SUITE_P(
    Semantics, EvalTest,
    ::testing::Values(
        EvalCase{"user.tier == 'pro'", true}, EvalCase{"neg < 0", true},
        EvalCase{"neg == -1.0", true}, EvalCase{"f32 == 0.5", true}, EvalCase{"7 in user", false},
        // A map key that is not a string is matched by `in` but never by a path.
        EvalCase{"7.0 in m1", false}, EvalCase{"m1 == m2", false}, EvalCase{"m1 == m1", true},
        EvalCase{"nz", false}, EvalCase{"nz == 0", true}, EvalCase{"bad", false},
        EvalCase{"bad == bad", true}, EvalCase{"'' in bad", false}, EvalCase{"bad in 'x'", false},
        EvalCase{"bad < 'z'", false}, EvalCase{"bin", true}, EvalCase{"'x' in bin", false},
        EvalCase{"ext", true}, EvalCase{"empty", false}, EvalCase{"dup == 1", true},
        EvalCase{"'a' < 'ab'", true}, EvalCase{"'ab' <= 'a'", false}, EvalCase{"'é' > 'z'", true},
        EvalCase{"0", false}, EvalCase{"0.0", false}, EvalCase{"''", false},
        EvalCase{"-0.0", false}, EvalCase{"2", true}, EvalCase{"null", false},
        EvalCase{"user and not user.tags or score", true},
        EvalCase{"(n or 0) or (empty and 1)", false}),
    [](const auto& info) { return testnames::case_name(info.index, info.param.guard); });

TEST(Eval, ValuesOfPathsAndConnectives) {
  const Value state = sample_state();
  const auto ev = [&](const char* g) {
    ParseResult r = parse(g);
    EXPECT_TRUE(r.ok()) << g;
    return eval(*r.expr, state);
  };
  EXPECT_EQ(ev("user.tier"), str("pro"));
  EXPECT_EQ(ev("user.tags"), Value::array({str("a"), str("b")}));
  EXPECT_EQ(ev("n"), Value::nil());
  EXPECT_EQ(ev("user.tags and score"), Value::boolean(true));  // never an operand
  EXPECT_EQ(ev("n or score"), Value::boolean(true));
  EXPECT_EQ(ev("-5"), Value::sint(-5));
  EXPECT_EQ(ev("5"), Value::uint(5));
  EXPECT_EQ(ev("'x'"), str("x"));
  // A non-map state: every path is nil.
  ParseResult r = parse("a");
  EXPECT_EQ(eval(*r.expr, Value::array({})), Value::nil());
}

// ---- long chains -----------------------------------------------------------------

std::string chain(int n, const std::string& operand, const std::string& op,
                  const std::string& last) {
  std::string text;
  for (int i = 0; i + 1 < n; ++i) {
    text += operand == "#" ? "p" + std::to_string(i) : operand;
    text += " " + op + " ";
  }
  return text + last;
}

TEST(LongChain, ParseEvalCollectAndFreeWithoutRecursion) {
  constexpr int n = 100000;
  const Value state =
      Value::map_flat({str("t"), Value::boolean(true), str("hit"), Value::boolean(false)});

  ParseResult all = parse(chain(n, "t", "and", "hit"));
  ASSERT_TRUE(all.ok()) << all.error;
  EXPECT_FALSE(eval_truthy(*all.expr, state));  // the last operand decides
  EXPECT_EQ(eval(*all.expr, state), Value::boolean(false));
  all.expr.reset();

  ParseResult any = parse(chain(n, "hit", "or", "t"));
  ASSERT_TRUE(any.ok());
  EXPECT_TRUE(eval_truthy(*any.expr, state));

  // Short-circuit: the first `and` fails, so nothing to its right decides.
  ParseResult mixed =
      parse("hit and (" + chain(n, "t", "or", "t") + ") or (" + chain(n, "hit", "and", "t") + ")");
  ASSERT_TRUE(mixed.ok());
  EXPECT_FALSE(eval_truthy(*mixed.expr, state));
  ParseResult negated = parse("not (" + chain(n, "hit", "or", "hit") + ")");
  ASSERT_TRUE(negated.ok());
  EXPECT_TRUE(eval_truthy(*negated.expr, state));

  ParseResult distinct = parse(chain(n, "#", "or", "p0.x"));
  ASSERT_TRUE(distinct.ok());
  std::vector<Path> paths;
  collect_paths(*distinct.expr, paths);
  ASSERT_EQ(paths.size(), static_cast<std::size_t>(n));
  EXPECT_EQ(paths.front(), Path{"p0"});
  EXPECT_EQ(paths[n - 2], Path{"p" + std::to_string(n - 2)});
  EXPECT_EQ(paths.back(), (Path{"p0", "x"}));
}

TEST(LongChain, FreeingADeepHandBuiltTree) {
  // Not-chains the parser would refuse, to show the destructor does not recurse.
  ExprPtr e = Expr::make_path({"a"});
  for (int i = 0; i < 1000000; ++i) e = Expr::make_not(std::move(e));
  e.reset();
  SUCCEED();
}

}  // namespace
