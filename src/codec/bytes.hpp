// The msgpack byte writer and reader. No Python in here: the encoder and decoder in
// py_*.cpp walk Python objects and call these for every marker, length and payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "codec/limits.hpp"

namespace codec {

// Growable output buffer. Appends only; grows geometrically; never shrinks until reset.
// Not thread-safe; one writer per encoding.
class Writer {
 public:
  // Moves storage owned elsewhere to at least `cap` bytes, keeping the first `size`, and
  // returns it; throws on failure.
  using Regrow = unsigned char* (*)(void* ctx, std::size_t size, std::size_t cap);

  explicit Writer(std::size_t capacity = kInitialCapacity) { reserve_exact(capacity); }
  // Writes into storage the caller owns (e.g. the very object handed out at the end, so
  // the bytes are not copied again); `regrow` replaces it when it fills.
  Writer(unsigned char* data, std::size_t capacity, Regrow regrow, void* ctx) noexcept
      : data_(data), cap_(capacity), regrow_(regrow), ctx_(ctx) {}
  ~Writer() {
    if (!regrow_) std::free(data_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  const unsigned char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return cap_; }
  void clear() noexcept { size_ = 0; }
  // Drops what was written after `size` (an earlier size()).
  void truncate(std::size_t size) noexcept { size_ = size; }
  // Drops the storage when it grew past `keep`, so a reused buffer does not hoard memory.
  void reset(std::size_t keep) {
    size_ = 0;
    if (!regrow_ && cap_ > keep) {
      std::free(data_);
      data_ = nullptr;
      cap_ = 0;
      reserve_exact(kInitialCapacity);
    }
  }

  void put(unsigned char b) {
    if (size_ == cap_) grow(1);
    data_[size_++] = b;
  }
  void put(const void* p, std::size_t n) {
    if (cap_ - size_ < n) grow(n);
    if (n) std::memcpy(data_ + size_, p, n);
    size_ += n;
  }
  void put_be16(std::uint16_t v) {
    unsigned char b[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    put(b, 2);
  }
  void put_be32(std::uint32_t v) {
    v = __builtin_bswap32(v);
    put(&v, 4);
  }
  void put_be64(std::uint64_t v) {
    v = __builtin_bswap64(v);
    put(&v, 8);
  }
  void marker_be16(unsigned char m, std::uint16_t v) {
    unsigned char b[3] = {m, static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    put(b, 3);
  }
  void marker_be32(unsigned char m, std::uint32_t v) {
    unsigned char b[5];
    b[0] = m;
    v = __builtin_bswap32(v);
    std::memcpy(b + 1, &v, 4);
    put(b, 5);
  }
  void marker_be64(unsigned char m, std::uint64_t v) {
    unsigned char b[9];
    b[0] = m;
    v = __builtin_bswap64(v);
    std::memcpy(b + 1, &v, 8);
    put(b, 9);
  }

  // Headers for lengths already checked to fit 32 bits (see fits_u32).
  void write_array_header(std::uint32_t n) {
    if (n < 16)
      put(static_cast<unsigned char>(0x90 | n));
    else if (n < 65536)
      marker_be16(0xdc, static_cast<std::uint16_t>(n));
    else
      marker_be32(0xdd, n);
  }
  void write_map_header(std::uint32_t n) {
    if (n < 16)
      put(static_cast<unsigned char>(0x80 | n));
    else if (n < 65536)
      marker_be16(0xde, static_cast<std::uint16_t>(n));
    else
      marker_be32(0xdf, n);
  }
  void write_str_header(std::uint32_t n) {
    if (n < 32)
      put(static_cast<unsigned char>(0xa0 | n));
    else if (n < 256) {
      unsigned char b[2] = {0xd9, static_cast<unsigned char>(n)};
      put(b, 2);
    } else if (n < 65536)
      marker_be16(0xda, static_cast<std::uint16_t>(n));
    else
      marker_be32(0xdb, n);
  }
  void write_bin_header(std::uint32_t n) {
    if (n < 256) {
      unsigned char b[2] = {0xc4, static_cast<unsigned char>(n)};
      put(b, 2);
    } else if (n < 65536)
      marker_be16(0xc5, static_cast<std::uint16_t>(n));
    else
      marker_be32(0xc6, n);
  }
  // A str of fewer than 32 bytes: marker and text in one reservation.
  void put_fixstr(const void* p, std::size_t n) {
    if (cap_ - size_ < n + 1) grow(n + 1);
    data_[size_] = static_cast<unsigned char>(0xa0 | n);
    std::memcpy(data_ + size_ + 1, p, n);
    size_ += n + 1;
  }
  void write_str(std::string_view s) {  // length checked by the caller
    write_str_header(static_cast<std::uint32_t>(s.size()));
    put(s.data(), s.size());
  }

  // The smallest form: unsigned forms for non-negative values, signed for negative.
  void write_i64(std::int64_t v) {
    if (v >= -32 && v <= 127) {
      put(static_cast<unsigned char>(v));
    } else if (v >= 0) {
      write_uint_small(static_cast<std::uint64_t>(v));
    } else if (v >= -128) {
      unsigned char b[2] = {0xd0, static_cast<unsigned char>(v)};
      put(b, 2);
    } else if (v >= -32768) {
      marker_be16(0xd1, static_cast<std::uint16_t>(v));
    } else if (v >= INT64_C(-2147483648)) {
      marker_be32(0xd2, static_cast<std::uint32_t>(v));
    } else {
      marker_be64(0xd3, static_cast<std::uint64_t>(v));
    }
  }
  // Always uint 64: used for values above the signed range.
  void write_u64(std::uint64_t v) { marker_be64(0xcf, v); }
  // The smallest form for a non-negative value, the same bytes write_i64 gives it.
  void write_uint(std::uint64_t v) {
    if (v <= 127)
      put(static_cast<unsigned char>(v));
    else
      write_uint_small(v);
  }
  void write_f64(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    marker_be64(0xcb, bits);
  }

 private:
  void write_uint_small(std::uint64_t v) {  // 128 and above
    if (v <= 0xff) {
      unsigned char b[2] = {0xcc, static_cast<unsigned char>(v)};
      put(b, 2);
    } else if (v <= 0xffff) {
      marker_be16(0xcd, static_cast<std::uint16_t>(v));
    } else if (v <= 0xffffffffu) {
      marker_be32(0xce, static_cast<std::uint32_t>(v));
    } else {
      marker_be64(0xcf, v);
    }
  }
  void reserve_exact(std::size_t cap) {
    auto* p = static_cast<unsigned char*>(std::realloc(data_, cap));
    if (!p) throw std::bad_alloc();
    data_ = p;
    cap_ = cap;
  }
  void grow(std::size_t need) {
    std::size_t cap = cap_ ? cap_ : kInitialCapacity;
    while (cap - size_ < need) {
      if (cap > SIZE_MAX / 2) throw std::bad_alloc();
      cap *= 2;
    }
    if (regrow_) {
      data_ = regrow_(ctx_, size_, cap);
      cap_ = cap;
    } else {
      reserve_exact(cap);
    }
  }

  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
  Regrow regrow_ = nullptr;
  void* ctx_ = nullptr;
};

inline bool fits_u32(std::uint64_t n) noexcept { return n <= kMaxLength; }

// Cursor over one immutable input. Reads never move past the end; a failed read leaves
// the position where it was.
enum class ReadError : std::uint8_t { None, EndOfInput, LengthOverflow };

class Reader {
 public:
  Reader(const unsigned char* data, std::size_t length) noexcept : data_(data), len_(length) {}

  std::size_t position() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return len_ - pos_; }

  ReadError byte(unsigned char& out) noexcept {
    if (pos_ >= len_) return ReadError::EndOfInput;
    out = data_[pos_++];
    return ReadError::None;
  }
  ReadError take(std::uint64_t n, const unsigned char*& out) noexcept {
    std::uint64_t end;
    if (__builtin_add_overflow(static_cast<std::uint64_t>(pos_), n, &end))
      return ReadError::LengthOverflow;
    if (end > len_) return ReadError::EndOfInput;
    out = data_ + pos_;
    pos_ = static_cast<std::size_t>(end);
    return ReadError::None;
  }
  // The unread input, for callers that check the length themselves before skip().
  const unsigned char* cursor() const noexcept { return data_ + pos_; }
  void skip(std::size_t n) noexcept { pos_ += n; }  // n <= remaining()
  // The next byte without consuming it.
  bool peek(unsigned char& out) const noexcept {
    if (pos_ >= len_) return false;
    out = data_[pos_];
    return true;
  }
  // Next 1, 2, 4 or 8 bytes as a big-endian unsigned number.
  ReadError len_of(unsigned width, std::uint64_t& out) noexcept {
    if (len_ - pos_ < width) return ReadError::EndOfInput;
    const unsigned char* p = data_ + pos_;
    pos_ += width;
    switch (width) {
      case 1:
        out = p[0];
        break;
      case 2:
        out = static_cast<std::uint64_t>(p[0]) << 8 | p[1];
        break;
      case 4: {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        out = __builtin_bswap32(v);
        break;
      }
      default: {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        out = __builtin_bswap64(v);
      }
    }
    return ReadError::None;
  }

 private:
  const unsigned char* data_;
  std::size_t len_;
  std::size_t pos_ = 0;
};

}  // namespace codec
