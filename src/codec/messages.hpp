// The codec's fixed error texts, in one place so that the decoder, the encoder and the
// byte checker say the same.
#pragma once

#include <string>
#include <string_view>

#include "codec/limits.hpp"

namespace codec {

// Decode errors read "msgpack decode error: " and then what went wrong.
inline constexpr std::string_view kDecodeErrorPrefix = "msgpack decode error: ";
inline constexpr std::string_view kEndOfInput = "unexpected end of input";
inline constexpr std::string_view kLengthOverflow = "length overflow";
inline constexpr std::string_view kReservedMarker = "reserved marker 0xc1";
// Without the prefix: the input is well formed, just outside what the codec takes.
inline constexpr std::string_view kExtensionMessage =
    "msgpack extension types are not supported by the quorvalent codec";

inline std::string depth_message() {
  return "value nests deeper than " + std::to_string(kMaxDepth) +
         " levels (or is self-referential); the quorvalent msgpack codec rejects it to protect "
         "the native stack";
}

inline std::string decode_error(std::string_view what) {
  return std::string(kDecodeErrorPrefix) + std::string(what);
}

}  // namespace codec
