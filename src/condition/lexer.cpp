// Scanning is over code points, so a message names a whole character and identifier
// rules see real Unicode classes rather than bytes.
#include "condition/lexer.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "condition/error.hpp"
#include "condition/unicode_tables.hpp"
#include "condition/utf8.hpp"

namespace condition {
namespace detail {

std::string syntax_error(std::string_view message, std::string_view arg) {
  std::string out;
  const std::size_t hole = message.find("{}");
  if (hole == std::string_view::npos) return std::string(message);
  out.reserve(message.size() + arg.size());
  out.append(message, 0, hole);
  out.append(arg);
  out.append(message.substr(hole + 2));
  return out;
}

}  // namespace detail

namespace {

bool is_digit(char32_t c) noexcept { return c >= U'0' && c <= U'9'; }
bool is_ascii_alpha(char32_t c) noexcept {
  return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
}
bool ident_start(char32_t c) noexcept {
  return is_ascii_alpha(c) || c == U'_' || (c >= 0x80 && unicode::is_alphabetic(c));
}
bool ident_continue(char32_t c) noexcept {
  return is_ascii_alpha(c) || is_digit(c) || c == U'_' ||
         (c >= 0x80 && (unicode::is_alphabetic(c) || unicode::is_numeric(c)));
}

std::string encode(std::span<const char32_t> chars) {
  std::string out;
  for (char32_t c : chars) detail::append_utf8(out, c);
  return out;
}

// Keywords match the exact text; AND, TRUE, Null and the like stay identifiers.
Tok word_token(std::string word) {
  if (word == "and") return Tok::simple(TokKind::And);
  if (word == "or") return Tok::simple(TokKind::Or);
  if (word == "not") return Tok::simple(TokKind::Not);
  if (word == "in") return Tok::simple(TokKind::In);
  if (word == "true" || word == "True") return Tok::boolean(true);
  if (word == "false" || word == "False") return Tok::boolean(false);
  if (word == "null" || word == "none" || word == "None") return Tok::simple(TokKind::Null);
  return Tok::ident(std::move(word));
}

// Text of the form -?digits.digits that overflowed or underflowed from_chars' range.
double out_of_range_float(std::string_view text) {
  const bool negative = text.front() == '-';
  bool big = false;
  for (char ch : text.substr(negative ? 1 : 0)) {
    if (ch == '.') break;
    if (ch != '0') big = true;
  }
  const double mag = big ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -mag : mag;
}

}  // namespace

LexNumber lex_number(std::span<const char32_t> chars, std::size_t start) {
  std::size_t i = start;
  if (i < chars.size() && chars[i] == U'-') ++i;
  bool is_float = false;
  while (i < chars.size()) {
    if (is_digit(chars[i])) {
      ++i;
    } else if (chars[i] == U'.' && i + 1 < chars.size() && is_digit(chars[i + 1])) {
      is_float = true;
      ++i;
    } else {
      break;
    }
  }
  // Only ASCII was taken, so the code points are the bytes.
  std::string text;
  for (std::size_t k = start; k < i; ++k) text += static_cast<char>(chars[k]);
  const char* first = text.data();
  const char* last = first + text.size();

  LexNumber out;
  out.end = i;
  if (is_float) {
    double d = 0.0;
    auto [ptr, ec] = std::from_chars(first, last, d);
    if (ptr != last || (ec != std::errc() && ec != std::errc::result_out_of_range)) {
      out.error = detail::syntax_error("invalid number '{}'", text);
      return out;
    }
    if (ec == std::errc::result_out_of_range) d = out_of_range_float(text);
    out.tok = Tok::floating(d);
  } else {
    std::int64_t v = 0;
    auto [ptr, ec] = std::from_chars(first, last, v);
    if (ptr != last || ec != std::errc()) {
      out.error = detail::syntax_error("invalid number '{}'", text);
      return out;
    }
    out.tok = Tok::integer(v);
  }
  return out;
}

LexResult tokenize(std::string_view text) {
  std::u32string chars;
  chars.reserve(text.size());
  for (std::size_t b = 0; b < text.size();) chars.push_back(detail::decode_utf8(text, b));

  LexResult res;
  const auto fail = [&res](std::string message) {
    res.tokens.clear();
    res.error = std::move(message);
    return std::move(res);
  };
  const std::size_t n = chars.size();
  std::size_t i = 0;
  while (i < n) {
    const char32_t c = chars[i];
    const char32_t next = i + 1 < n ? chars[i + 1] : 0;
    if (unicode::is_white_space(c)) {
      ++i;
    } else if (c == U'!') {
      if (next != U'=') return fail(detail::syntax_error("expected '!=' (use 'not' for negation)"));
      res.tokens.push_back(Tok::simple(TokKind::Ne));
      i += 2;
    } else if (c == U'=') {
      if (next != U'=')
        return fail(detail::syntax_error("expected '==' (single '=' is not valid)"));
      res.tokens.push_back(Tok::simple(TokKind::Eq));
      i += 2;
    } else if (c == U'<' || c == U'>') {
      const bool eq = next == U'=';
      res.tokens.push_back(Tok::simple(c == U'<' ? (eq ? TokKind::Le : TokKind::Lt)
                                                 : (eq ? TokKind::Ge : TokKind::Gt)));
      i += eq ? 2 : 1;
    } else if (c == U'(' || c == U')' || c == U'.') {
      res.tokens.push_back(Tok::simple(c == U'('   ? TokKind::LParen
                                       : c == U')' ? TokKind::RParen
                                                   : TokKind::Dot));
      ++i;
    } else if (c == U'"' || c == U'\'') {
      std::string value;
      std::size_t k = i + 1;
      bool closed = false;
      while (k < n) {
        char32_t ch = chars[k];
        if (ch == c) {
          closed = true;
          break;
        }
        if (ch == U'\\') {
          if (k + 1 >= n) break;
          ch = chars[k + 1];
          if (ch == U'n')
            ch = U'\n';
          else if (ch == U't')
            ch = U'\t';
          k += 2;
        } else {
          ++k;
        }
        detail::append_utf8(value, ch);
      }
      if (!closed) return fail(detail::syntax_error("unterminated string literal"));
      res.tokens.push_back(Tok::str(std::move(value)));
      i = k + 1;
    } else if (is_digit(c) || (c == U'-' && is_digit(next))) {
      LexNumber num = lex_number(chars, i);
      if (!num.error.empty()) return fail(std::move(num.error));
      res.tokens.push_back(std::move(num.tok));
      i = num.end;
    } else if (ident_start(c)) {
      std::size_t k = i + 1;
      while (k < n && ident_continue(chars[k])) ++k;
      res.tokens.push_back(word_token(encode(std::span(chars).subspan(i, k - i))));
      i = k;
    } else {
      std::string shown;
      detail::append_utf8(shown, c);
      return fail(detail::syntax_error("unexpected character '{}'", shown));
    }
  }
  return res;
}

}  // namespace condition
