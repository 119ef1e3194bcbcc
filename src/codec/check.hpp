// Checking msgpack bytes without decoding them: whether `loads` would read them, and
// whether they are one value as the store keeps it. No Python in here: the store checks
// bytes handed to it (set_raw, apply_raw) before it takes them as an encoded value.
//
// The walk mirrors the decoder step for step (the same markers, the same depth test before
// each value, the same reads that run out of input), so that a loose check fails exactly
// where `loads` fails and with its message. A strict check also wants what a stored value
// must be: nothing after the value, and every str valid UTF-8 (the decoder would hand back
// invalid text as bytes, a value `dumps` never writes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace codec {

enum class Flaw : std::uint8_t {
  None,
  EndOfInput,      // "unexpected end of input"
  LengthOverflow,  // "length overflow"
  ReservedMarker,  // 0xc1
  Extension,       // an ext marker
  TooDeep,         // a value below kMaxDepth levels
  UnhashableKey,   // an array or map as a map key: the decoder's dict refuses it
  InvalidUtf8,     // strict only
  Trailing,        // strict only
};

struct Checked {
  Flaw flaw = Flaw::None;
  // Without a flaw: where the value ends. With one: where the flawed item starts (the
  // marker of the str, of the map key, or the first byte after the value), or where the
  // input ran out or the bad marker sits.
  std::size_t at = 0;
  std::size_t size = 0;  // of the whole input
};

// Checks `data` from its first byte. Loose: what `loads` accepts, trailing bytes ignored
// (`at` tells where the value ended). Strict: one value exactly, with valid UTF-8 text.
// O(n), no allocation, noexcept; recursion is bounded by the depth limit.
Checked check_value(std::string_view data, bool strict) noexcept;

// The ValueError text for a flaw: the decoder's own message where `loads` fails the same
// way, else one in its style naming the byte offset. Allocates; throws std::bad_alloc.
std::string flaw_message(const Checked& c);

}  // namespace codec
