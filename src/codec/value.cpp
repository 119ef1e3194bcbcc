#include "codec/value.hpp"

namespace codec {

Value Value::str_checked(std::string s) {
  bool valid = is_valid_utf8(s);
  return str(std::move(s), valid);
}

Value::~Value() {
  bool deep = false;
  for (const Value& child : items_)
    if (!child.items_.empty()) {
      deep = true;
      break;
    }
  if (!deep) return;
  // Flatten the subtree into a work list, so every node dies with no children left.
  std::vector<Value> work = std::move(items_);
  while (!work.empty()) {
    Value last = std::move(work.back());
    work.pop_back();
    for (Value& child : last.items_)
      if (!child.items_.empty()) work.push_back(std::move(child));
  }
}

double Value::to_double() const noexcept {
  switch (kind_) {
    case Kind::Int:
      return flag_ ? static_cast<double>(i_) : static_cast<double>(u_);
    case Kind::F32:
      return static_cast<double>(f32_);
    case Kind::F64:
      return f64_;
    default:
      return 0.0;
  }
}

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Kind::Nil:
      return true;
    case Kind::Bool:
      return a.flag_ == b.flag_;
    case Kind::Int:
      // Same value, whichever view holds it; a negative never equals a non-negative.
      return a.flag_ == b.flag_ && a.u_ == b.u_;
    case Kind::F32:
      return a.f32_ == b.f32_;
    case Kind::F64:
      return a.f64_ == b.f64_;
    case Kind::Str:
      return a.flag_ == b.flag_ && a.bytes_ == b.bytes_;
    case Kind::Bin:
      return a.bytes_ == b.bytes_;
    case Kind::Ext:
      return a.ext_type_ == b.ext_type_ && a.bytes_ == b.bytes_;
    case Kind::Array:
    case Kind::Map:
      return a.items_ == b.items_;
  }
  return false;
}

bool is_valid_utf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    // Fast path over ASCII, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t w;
      __builtin_memcpy(&w, p, 8);
      if (w & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int n;
    unsigned lo = 0x80, hi = 0xbf;  // allowed range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
      n = 1;
    } else if (c == 0xe0) {
      n = 2, lo = 0xa0;
    } else if ((c >= 0xe1 && c <= 0xec) || c == 0xee || c == 0xef) {
      n = 2;
    } else if (c == 0xed) {
      n = 2, hi = 0x9f;  // no surrogates
    } else if (c == 0xf0) {
      n = 3, lo = 0x90;
    } else if (c >= 0xf1 && c <= 0xf3) {
      n = 3;
    } else if (c == 0xf4) {
      n = 3, hi = 0x8f;
    } else {
      return false;
    }
    if (end - p <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int k = 2; k <= n; ++k)
      if ((p[k] & 0xc0) != 0x80) return false;
    p += n + 1;
  }
  return true;
}

}  // namespace codec
