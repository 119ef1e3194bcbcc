#include "condition/utf8.hpp"

namespace condition::detail {

char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned c = byte(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  int n;
  char32_t cp;
  unsigned lo = 0x80, hi = 0xbf;  // allowed range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    n = 1, cp = c & 0x1f;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 2, cp = c & 0x0f;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;  // no surrogates
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 3, cp = c & 0x07;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  } else {
    ++i;
    return k_replacement;
  }
  if (s.size() - i <= static_cast<std::size_t>(n)) {
    ++i;
    return k_replacement;
  }
  for (int k = 1; k <= n; ++k) {
    const unsigned b = byte(i + k);
    if (k == 1 ? (b < lo || b > hi) : (b & 0xc0) != 0x80) {
      ++i;
      return k_replacement;
    }
    cp = (cp << 6) | (b & 0x3f);
  }
  i += n + 1;
  return cp;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

}  // namespace condition::detail
