#include "condition/token.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "condition/unicode_tables.hpp"
#include "condition/utf8.hpp"

namespace condition {

bool operator==(const Tok& a, const Tok& b) noexcept {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case TokKind::Ident:
    case TokKind::Str:
      return a.text == b.text;
    case TokKind::Int:
      return a.int_value == b.int_value;
    case TokKind::Float:
      return a.float_value == b.float_value;
    case TokKind::Bool:
      return a.bool_value == b.bool_value;
    default:
      return true;
  }
}

std::string_view tok_kind_name(TokKind k) noexcept {
  static constexpr std::string_view names[] = {
      "Ident", "Str", "Int", "Float", "Bool", "Null", "And",    "Or",     "Not", "In",
      "Eq",    "Ne",  "Lt",  "Le",    "Gt",   "Ge",   "LParen", "RParen", "Dot"};
  return names[static_cast<std::size_t>(k)];
}

std::string render_string(std::string_view s) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < s.size()) {
    const char32_t c = detail::decode_utf8(s, i);
    switch (c) {
      case U'\\':
        out += "\\\\";
        continue;
      case U'"':
        out += "\\\"";
        continue;
      case U'\t':
        out += "\\t";
        continue;
      case U'\n':
        out += "\\n";
        continue;
      case U'\r':
        out += "\\r";
        continue;
      case U'\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    // A combining mark is escaped even though printable: standing alone after a quote
    // or an escape it would fuse with that and misrepresent the text.
    if (unicode::is_grapheme_extend(c) || !unicode::is_printable(c)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    } else {
      detail::append_utf8(out, c);
    }
  }
  out += '"';
  return out;
}

std::string render_float(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  if (d == 0.0) return std::signbit(d) ? "-0.0" : "0.0";

  // Shortest round-trip digits in scientific form, d.ddde±XX, then laid out ourselves.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (char ch : sci.substr(0, e)) {
    if (ch != '.') digits += ch;
  }
  const int exp = std::atoi(std::string(sci.substr(e + 1)).c_str());

  const double mag = std::fabs(d);
  if (mag >= 1e16 || mag < 1e-4) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += std::to_string(exp);
    return out;
  }
  if (exp >= 0) {
    const std::size_t int_len = static_cast<std::size_t>(exp) + 1;
    if (digits.size() <= int_len) {
      out += digits;
      out.append(int_len - digits.size(), '0');
      out += ".0";
    } else {
      out.append(digits, 0, int_len);
      out += '.';
      out.append(digits, int_len);
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
  }
  return out;
}

std::string render_tok(const Tok& t) {
  std::string out(tok_kind_name(t.kind));
  switch (t.kind) {
    case TokKind::Ident:
    case TokKind::Str:
      return out + "(" + render_string(t.text) + ")";
    case TokKind::Int:
      return out + "(" + std::to_string(t.int_value) + ")";
    case TokKind::Float:
      return out + "(" + render_float(t.float_value) + ")";
    case TokKind::Bool:
      return out + (t.bool_value ? "(true)" : "(false)");
    default:
      return out;
  }
}

}  // namespace condition
