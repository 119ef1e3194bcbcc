// Tokens of the condition language and their rendering in error messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace condition {

// Order matters: it is the order of the rendering names.
enum class TokKind : std::uint8_t {
  Ident,
  Str,
  Int,
  Float,
  Bool,
  Null,
  And,
  Or,
  Not,
  In,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  LParen,
  RParen,
  Dot,
};

// One token. `text` holds the payload of Ident and Str (escapes resolved), `int_value`
// of Int, `float_value` of Float, `bool_value` of Bool; the others carry nothing.
struct Tok {
  TokKind kind = TokKind::Null;
  std::string text;
  std::int64_t int_value = 0;
  double float_value = 0.0;
  bool bool_value = false;

  static Tok simple(TokKind k) { return Tok{k, {}, 0, 0.0, false}; }
  static Tok ident(std::string s) { return Tok{TokKind::Ident, std::move(s), 0, 0.0, false}; }
  static Tok str(std::string s) { return Tok{TokKind::Str, std::move(s), 0, 0.0, false}; }
  static Tok integer(std::int64_t i) { return Tok{TokKind::Int, {}, i, 0.0, false}; }
  static Tok floating(double f) { return Tok{TokKind::Float, {}, 0, f, false}; }
  static Tok boolean(bool b) { return Tok{TokKind::Bool, {}, 0, 0.0, b}; }

  // Same variant and payload (floats by IEEE equality).
  friend bool operator==(const Tok& a, const Tok& b) noexcept;
};

std::string_view tok_kind_name(TokKind k) noexcept;

// Variant name plus payload in parentheses: Ident("a"), Int(-5), Float(2.5), Bool(true),
// or the bare name (Eq, LParen).
std::string render_tok(const Tok& t);

// A string in double quotes with \\, \", \t, \n, \r, \0 escaped, and non-printable or
// grapheme-extending characters as \u{hex}. The input is UTF-8; a malformed byte reads
// as U+FFFD, so the result is always valid UTF-8.
std::string render_string(std::string_view s);

// Shortest decimal that reads back as the same double, at least one fractional digit
// (2.5, 100.0), exponent form below 1e-4 and from 1e16 on (1.5e-5, 1e16), inf and NaN.
std::string render_float(double d);

}  // namespace condition
