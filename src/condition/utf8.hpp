// UTF-8 stepping for the lexer and the renderer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace condition::detail {

inline constexpr char32_t k_replacement = 0xFFFD;

// Decodes the code point at s[i] and advances i past it. A malformed sequence yields
// U+FFFD and advances by one byte, so the caller always makes progress.
char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept;

void append_utf8(std::string& out, char32_t c);

}  // namespace condition::detail
