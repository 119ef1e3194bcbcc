// Unicode character classes of the condition language, from tables that
// tools/gen_unicode.py generates into unicode_tables.cpp (version in k_unicode_version).
// Each test is a binary search over sorted ranges: O(log n), no allocation, thread-safe.
#pragma once

namespace condition::unicode {

extern const char* const k_unicode_version;

// White_Space property: skipped between tokens.
bool is_white_space(char32_t c) noexcept;
// Alphabetic property: may start or continue an identifier.
bool is_alphabetic(char32_t c) noexcept;
// General category Nd, Nl or No: may continue an identifier.
bool is_numeric(char32_t c) noexcept;
// Grapheme_Extend property: escaped when rendering a string, as it would attach to the
// preceding character (or the opening quote).
bool is_grapheme_extend(char32_t c) noexcept;
// Assigned and not Cc, Cf, Cs, Co, Zs, Zl or Zp, plus U+0020: stands as itself when
// rendering a string; anything else is written as \u{...}.
bool is_printable(char32_t c) noexcept;

}  // namespace condition::unicode
