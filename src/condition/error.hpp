// The one way the lexer and the parser word a failure: a fixed message, with "{}"
// filled in when the message names the offending text. Failures of the language are
// plain strings; whoever exposes the language decides how to raise them.
#pragma once

#include <string>
#include <string_view>

namespace condition::detail {

std::string syntax_error(std::string_view message, std::string_view arg = {});

}  // namespace condition::detail
