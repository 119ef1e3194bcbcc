// Names for the rows of parametrized tests. GoogleTest's default prints a row's bytes,
// pointers included, so names changed between runs and `ctest -R` could not pick a row.
// A row's name is its index and a readable form of its text: stable, unique, and made
// only of the letters, digits and underscores GoogleTest allows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace testnames {

inline std::string readable(std::string_view text, std::size_t limit = 40) {
  static constexpr struct {
    std::string_view op, word;
  } kWords[] = {{"==", "eq"}, {"!=", "ne"}, {"<=", "le"}, {">=", "ge"}, {"<", "lt"},
                {">", "gt"},  {"(", "lp"},  {")", "rp"},  {".", "dot"}, {"-", "minus"}};
  std::string out;
  const auto sep = [&out] {
    if (!out.empty() && out.back() != '_') out += '_';
  };
  for (std::size_t i = 0; i < text.size() && out.size() < limit;) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    bool named = false;
    for (const auto& w : kWords) {
      if (text.substr(i).starts_with(w.op)) {
        sep();
        out += w.word;
        out += '_';
        i += w.op.size();
        named = true;
        break;
      }
    }
    if (named) continue;
    sep();
    if (c >= 0x80 || c < 0x20) {  // raw bytes, as hex
      out += 'x';
      out += "0123456789ABCDEF"[c >> 4];
      out += "0123456789ABCDEF"[c & 15];
      out += '_';
    }
    ++i;
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out;
}

// Bytes as hex digits, for rows whose text is binary data.
inline std::string hex(std::string_view bytes) {
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out += "0123456789ABCDEF"[c >> 4];
    out += "0123456789ABCDEF"[c & 15];
  }
  return out;
}

// "<index>_<text>", the index zero-padded so that rows list in table order.
inline std::string case_name(std::size_t index, std::string_view text) {
  std::string name = (index < 10 ? "0" : "") + std::to_string(index);
  const std::string words = readable(text);
  return words.empty() ? name : name + "_" + words;
}

}  // namespace testnames
