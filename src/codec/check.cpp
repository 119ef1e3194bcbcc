#include "codec/check.hpp"

#include "codec/bytes.hpp"
#include "codec/limits.hpp"
#include "codec/messages.hpp"
#include "codec/value.hpp"

namespace codec {
namespace {

// One pass over the input in the decoder's order; the first flaw stops it.
class Walk {
 public:
  Walk(std::string_view data, bool strict) noexcept
      : r_(reinterpret_cast<const unsigned char*>(data.data()), data.size()), strict_(strict) {}

  Checked run() noexcept {
    bool container;
    if (value(0, container)) {
      out_.at = r_.position();
      if (strict_ && r_.remaining() != 0) flaw(Flaw::Trailing, r_.position());
    }
    out_.size = r_.position() + r_.remaining();
    return out_;
  }

 private:
  bool flaw(Flaw f, std::size_t at) noexcept {
    out_.flaw = f;
    out_.at = at;
    return false;
  }
  bool read(ReadError e) noexcept {
    if (e == ReadError::None) return true;
    return flaw(e == ReadError::EndOfInput ? Flaw::EndOfInput : Flaw::LengthOverflow,
                r_.position());
  }
  bool skip(std::uint64_t n) noexcept {
    const unsigned char* p;
    return read(r_.take(n, p));
  }
  bool length(unsigned width, std::uint64_t& n) noexcept { return read(r_.len_of(width, n)); }

  bool str(std::uint64_t n, std::size_t start) noexcept {
    const unsigned char* p;
    if (!read(r_.take(n, p))) return false;
    if (strict_ && !is_valid_utf8(std::string_view(reinterpret_cast<const char*>(p),
                                                   static_cast<std::size_t>(n))))
      return flaw(Flaw::InvalidUtf8, start);
    return true;
  }

  bool array(std::uint64_t n, int depth) noexcept {
    bool container;
    for (std::uint64_t i = 0; i < n; ++i)
      if (!value(depth + 1, container)) return false;
    return true;
  }

  // The decoder reads a pair's key, then its value, and only then finds that the key
  // cannot go into a dict.
  bool map(std::uint64_t n, int depth) noexcept {
    bool key_container, value_container;
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::size_t key_at = r_.position();
      if (!value(depth + 1, key_container) || !value(depth + 1, value_container)) return false;
      if (key_container) return flaw(Flaw::UnhashableKey, key_at);
    }
    return true;
  }

  bool value(int depth, bool& container) noexcept {
    container = false;
    if (depth > kMaxDepth) return flaw(Flaw::TooDeep, r_.position());
    const std::size_t start = r_.position();
    unsigned char m;
    if (!read(r_.byte(m))) return false;
    if (m <= 0x7f || m >= 0xe0) return true;
    std::uint64_t n;
    if (m <= 0x8f) return container = true, map(m & 0x0f, depth);
    if (m <= 0x9f) return container = true, array(m & 0x0f, depth);
    if (m <= 0xbf) return str(m & 0x1f, start);
    switch (m) {
      case 0xc0:
      case 0xc2:
      case 0xc3:
        return true;
      case 0xc1:
        return flaw(Flaw::ReservedMarker, start);
      case 0xc4:
      case 0xc5:
      case 0xc6:
        return length(1u << (m - 0xc4), n) && skip(n);
      case 0xca:
        return skip(4);
      case 0xcb:
        return skip(8);
      case 0xcc:
      case 0xcd:
      case 0xce:
      case 0xcf:
      case 0xd0:
      case 0xd1:
      case 0xd2:
      case 0xd3:
        return length(1u << ((m - 0xcc) & 3), n);
      case 0xd9:
      case 0xda:
      case 0xdb:
        return length(1u << (m - 0xd9), n) && str(n, start);
      case 0xdc:
      case 0xdd:
        return length(m == 0xdc ? 2 : 4, n) && (container = true, array(n, depth));
      case 0xde:
      case 0xdf:
        return length(m == 0xde ? 2 : 4, n) && (container = true, map(n, depth));
      default:  // 0xc7-0xc9, 0xd4-0xd8: extensions, refused before their payload
        return flaw(Flaw::Extension, start);
    }
  }

  Reader r_;
  bool strict_;
  Checked out_;
};

}  // namespace

Checked check_value(std::string_view data, bool strict) noexcept {
  return Walk(data, strict).run();
}

std::string flaw_message(const Checked& c) {
  switch (c.flaw) {
    case Flaw::None:
      return {};
    case Flaw::EndOfInput:
      return decode_error(kEndOfInput);
    case Flaw::LengthOverflow:
      return decode_error(kLengthOverflow);
    case Flaw::ReservedMarker:
      return decode_error(kReservedMarker);
    case Flaw::Extension:
      return std::string(kExtensionMessage);
    case Flaw::TooDeep:
      return depth_message();
    case Flaw::UnhashableKey:
      return decode_error("the map key at byte " + std::to_string(c.at) +
                          " is an array or a map, which cannot be a dict key");
    case Flaw::InvalidUtf8:
      return decode_error("the str at byte " + std::to_string(c.at) + " is not valid UTF-8");
    case Flaw::Trailing:
      return decode_error("trailing data after the value, at byte " + std::to_string(c.at) +
                          " of " + std::to_string(c.size));
  }
  return {};
}

}  // namespace codec
