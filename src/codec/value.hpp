// The value tree: the codec's in-memory msgpack model, used as routing state and as
// the operand and result type of guard evaluation. No Python in here.
//
// Layout: one tagged node. Scalars sit in a union; strings, binary data and extension
// payloads in `bytes_`; arrays hold their elements in `items_`, maps hold their pairs
// flattened as key, value, key, value (source order kept, never hashed).
//
// States: a node's kind is fixed at construction. Nodes are plain values: copying deep-
// copies, moving steals. Not thread-safe to mutate; any number of threads may read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace codec {

enum class Kind : std::uint8_t { Nil, Bool, Int, F32, F64, Str, Bin, Array, Map, Ext };

class Value {
 public:
  Value() noexcept = default;  // nil
  Value(const Value&) = default;
  Value(Value&&) noexcept = default;
  Value& operator=(const Value&) = default;
  Value& operator=(Value&&) noexcept = default;
  // Iterative: routing state can nest as deep as a guard's path is long, far deeper than
  // the native stack allows recursion.
  ~Value();

  static Value nil() noexcept { return Value(); }
  static Value boolean(bool b) noexcept {
    Value v(Kind::Bool);
    v.flag_ = b;
    return v;
  }
  // Non-negative integers are held as unsigned, negative ones as signed.
  static Value uint(std::uint64_t u) noexcept {
    Value v(Kind::Int);
    v.u_ = u;
    return v;
  }
  static Value sint(std::int64_t i) noexcept {
    if (i >= 0) return uint(static_cast<std::uint64_t>(i));
    Value v(Kind::Int);
    v.flag_ = true;
    v.i_ = i;
    return v;
  }
  static Value f32(float f) noexcept {
    Value v(Kind::F32);
    v.f32_ = f;
    return v;
  }
  static Value f64(double d) noexcept {
    Value v(Kind::F64);
    v.f64_ = d;
    return v;
  }
  // `valid` says whether the bytes are valid UTF-8 text; callers that have not checked
  // use str_checked().
  static Value str(std::string s, bool valid) {
    Value v(Kind::Str);
    v.flag_ = valid;
    v.bytes_ = std::move(s);
    return v;
  }
  static Value str_checked(std::string s);
  static Value bin(std::string b) {
    Value v(Kind::Bin);
    v.bytes_ = std::move(b);
    return v;
  }
  static Value array(std::vector<Value> items) {
    Value v(Kind::Array);
    v.items_ = std::move(items);
    return v;
  }
  // `flat` holds key, value, key, value ...; its size must be even.
  static Value map_flat(std::vector<Value> flat) {
    Value v(Kind::Map);
    v.items_ = std::move(flat);
    return v;
  }
  static Value ext(std::int8_t type, std::string data) {
    Value v(Kind::Ext);
    v.ext_type_ = type;
    v.bytes_ = std::move(data);
    return v;
  }

  Kind kind() const noexcept { return kind_; }
  bool is_nil() const noexcept { return kind_ == Kind::Nil; }
  bool is_numeric() const noexcept {
    return kind_ == Kind::Int || kind_ == Kind::F32 || kind_ == Kind::F64;
  }

  bool as_bool() const noexcept { return flag_; }
  // Integers: `is_negative` tells which of the two views holds the value.
  bool is_negative() const noexcept { return kind_ == Kind::Int && flag_; }
  std::uint64_t as_uint() const noexcept { return u_; }
  std::int64_t as_sint() const noexcept { return i_; }
  float as_f32() const noexcept { return f32_; }
  double as_f64() const noexcept { return f64_; }
  // The double value of a numeric node (integers round to nearest).
  double to_double() const noexcept;

  bool is_valid_str() const noexcept { return kind_ == Kind::Str && flag_; }
  std::string_view bytes() const noexcept { return bytes_; }  // Str, Bin, Ext
  std::int8_t ext_type() const noexcept { return ext_type_; }

  const std::vector<Value>& items() const noexcept { return items_; }  // Array
  std::size_t map_size() const noexcept { return items_.size() / 2; }
  const Value& map_key(std::size_t i) const noexcept { return items_[2 * i]; }
  const Value& map_value(std::size_t i) const noexcept { return items_[2 * i + 1]; }

  // Structural equality: same kind and equal content; floats by IEEE equality, maps
  // pair by pair in order. Integer 1 never equals float 1.0 here.
  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  explicit Value(Kind k) noexcept : kind_(k) {}

  Kind kind_ = Kind::Nil;
  bool flag_ = false;  // Bool: the value; Int: negative; Str: valid UTF-8
  std::int8_t ext_type_ = 0;
  union {
    std::uint64_t u_ = 0;
    std::int64_t i_;
    float f32_;
    double f64_;
  };
  std::string bytes_;
  std::vector<Value> items_;
};

// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view s) noexcept;

}  // namespace codec
