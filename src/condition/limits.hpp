// Fixed limits of the condition language.
#pragma once

namespace condition {

// Deepest nesting level the parser enters. Each parenthesis pair costs five levels and
// each `not` one, so this admits 12 pairs or 60 `not`s; it bounds the parser's and the
// evaluator's recursion, which is what keeps untrusted guard text from exhausting the
// native stack. Chains of `and`/`or` are walked by loops and cost nothing here.
inline constexpr int k_max_depth = 64;

}  // namespace condition
