// Tokenizer of the condition language: whole text in, every token or one message out.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "condition/token.hpp"

namespace condition {

// `error` is empty on success; on failure `tokens` is empty.
struct LexResult {
  std::vector<Tok> tokens;
  std::string error;
  bool ok() const noexcept { return error.empty(); }
};

// Text is UTF-8 (malformed bytes read as U+FFFD). Blank text gives no tokens.
LexResult tokenize(std::string_view text);

struct LexNumber {
  Tok tok;
  std::size_t end = 0;  // index just after the number
  std::string error;    // "invalid number '...'" or empty
};

// Scans an integer or a float at chars[start], which is a digit or a '-' before one.
LexNumber lex_number(std::span<const char32_t> chars, std::size_t start);

}  // namespace condition
