// Recursive-descent parser of the condition language, four precedence levels:
//   or-expr  := and-expr { "or" and-expr }
//   and-expr := not-expr { "and" not-expr }
//   not-expr := "not" not-expr | primary [ ("=="|"!="|"<"|"<="|">"|">="|"in") primary ]
//   primary  := ident { "." ident } | literal | "(" or-expr ")"
// Recursion is bounded by k_max_depth; `and`/`or` chains are loops and add no depth.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "condition/expr.hpp"
#include "condition/token.hpp"

namespace condition {

// Exactly one of the two is set: `expr` on success, `error` (a message) on failure.
struct ParseResult {
  ExprPtr expr;
  std::string error;
  bool ok() const noexcept { return expr != nullptr; }
};

// Tokenizes and parses a whole guard text. Tokenizer messages pass through unchanged.
ParseResult parse(std::string_view text);

class Parser {
 public:
  explicit Parser(std::vector<Tok> tokens) : tokens_(std::move(tokens)) {}

  // The token at pos, advancing past it; nothing at the end.
  std::optional<Tok> next();

  // Each returns the subtree, or nullptr with error() set; `d` is the nesting depth.
  ExprPtr parse_or(int d);
  ExprPtr parse_and(int d);
  ExprPtr parse_not(int d);
  ExprPtr parse_primary(int d);

  std::size_t pos() const noexcept { return pos_; }
  bool at_end() const noexcept { return pos_ >= tokens_.size(); }
  const std::vector<Tok>& tokens() const noexcept { return tokens_; }
  const std::string& error() const noexcept { return error_; }

 private:
  bool peek_is(TokKind k) const noexcept { return !at_end() && tokens_[pos_].kind == k; }
  ExprPtr fail(std::string message);

  std::vector<Tok> tokens_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace condition
