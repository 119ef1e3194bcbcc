#include "condition/parser.hpp"

#include "condition/error.hpp"
#include "condition/lexer.hpp"
#include "condition/limits.hpp"

namespace condition {

namespace {

std::optional<CmpOp> cmp_op(TokKind k) noexcept {
  switch (k) {
    case TokKind::Eq:
      return CmpOp::Eq;
    case TokKind::Ne:
      return CmpOp::Ne;
    case TokKind::Lt:
      return CmpOp::Lt;
    case TokKind::Le:
      return CmpOp::Le;
    case TokKind::Gt:
      return CmpOp::Gt;
    case TokKind::Ge:
      return CmpOp::Ge;
    case TokKind::In:
      return CmpOp::In;
    default:
      return std::nullopt;
  }
}

constexpr std::string_view k_too_deep = "condition nested too deeply";

}  // namespace

std::optional<Tok> Parser::next() {
  if (at_end()) return std::nullopt;
  return tokens_[pos_++];
}

ExprPtr Parser::fail(std::string message) {
  error_ = std::move(message);
  return nullptr;
}

ExprPtr Parser::parse_or(int d) {
  if (d > k_max_depth) return fail(detail::syntax_error(k_too_deep));
  ExprPtr left = parse_and(d + 1);
  while (left && peek_is(TokKind::Or)) {
    ++pos_;
    ExprPtr right = parse_and(d + 1);
    if (!right) return nullptr;
    left = Expr::make_binary(ExprKind::Or, std::move(left), std::move(right));
  }
  return left;
}

ExprPtr Parser::parse_and(int d) {
  if (d > k_max_depth) return fail(detail::syntax_error(k_too_deep));
  ExprPtr left = parse_not(d + 1);
  while (left && peek_is(TokKind::And)) {
    ++pos_;
    ExprPtr right = parse_not(d + 1);
    if (!right) return nullptr;
    left = Expr::make_binary(ExprKind::And, std::move(left), std::move(right));
  }
  return left;
}

ExprPtr Parser::parse_not(int d) {
  if (d > k_max_depth) return fail(detail::syntax_error(k_too_deep));
  if (peek_is(TokKind::Not)) {
    ++pos_;
    ExprPtr child = parse_not(d + 1);
    return child ? Expr::make_not(std::move(child)) : nullptr;
  }
  ExprPtr left = parse_primary(d + 2);
  if (!left || at_end()) return left;
  const std::optional<CmpOp> op = cmp_op(tokens_[pos_].kind);
  if (!op) return left;
  ++pos_;
  ExprPtr right = parse_primary(d + 2);
  if (!right) return nullptr;
  return Expr::make_cmp(*op, std::move(left), std::move(right));
}

ExprPtr Parser::parse_primary(int d) {
  if (d > k_max_depth) return fail(detail::syntax_error(k_too_deep));
  std::optional<Tok> tok = next();
  if (!tok) return fail(detail::syntax_error("unexpected token {}", "None"));
  switch (tok->kind) {
    case TokKind::Ident: {
      Path path{std::move(tok->text)};
      while (peek_is(TokKind::Dot)) {
        ++pos_;
        std::optional<Tok> seg = next();
        if (!seg || seg->kind != TokKind::Ident) {
          return fail(detail::syntax_error("expected identifier after '.'"));
        }
        path.push_back(std::move(seg->text));
      }
      return Expr::make_path(std::move(path));
    }
    case TokKind::Str:
      return Expr::make_str(std::move(tok->text));
    case TokKind::Int:
      return Expr::make_int(tok->int_value);
    case TokKind::Float:
      return Expr::make_float(tok->float_value);
    case TokKind::Bool:
      return Expr::make_bool(tok->bool_value);
    case TokKind::Null:
      return Expr::make_null();
    case TokKind::LParen: {
      ExprPtr inner = parse_or(d + 1);
      if (!inner) return nullptr;
      std::optional<Tok> close = next();
      if (!close || close->kind != TokKind::RParen) {
        return fail(detail::syntax_error("expected ')'"));
      }
      return inner;
    }
    default:
      return fail(detail::syntax_error("unexpected token {}", "Some(" + render_tok(*tok) + ")"));
  }
}

ParseResult parse(std::string_view text) {
  ParseResult res;
  LexResult lexed = tokenize(text);
  if (!lexed.ok()) {
    res.error = std::move(lexed.error);
    return res;
  }
  if (lexed.tokens.empty()) {
    res.error = detail::syntax_error("empty condition");
    return res;
  }
  Parser parser(std::move(lexed.tokens));
  ExprPtr tree = parser.parse_or(0);
  if (!tree) {
    res.error = parser.error();
    return res;
  }
  if (!parser.at_end()) {
    res.error = detail::syntax_error("unexpected trailing token {}",
                                     render_tok(parser.tokens()[parser.pos()]));
    return res;
  }
  res.expr = std::move(tree);
  return res;
}

}  // namespace condition
