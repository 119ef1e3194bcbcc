// EncodedValue: the immutable msgpack bytes of one stored value, shared by reference.
//
// Layout: a pointer to one heap block, a Blob header (refcount, size, kind) followed
// either by the bytes themselves (small values: one allocation per value) or by a
// std::string adopted from the encoder (large values: no byte copy). The bytes never
// change after construction, so any number of threads may read them; copies only touch
// the atomic refcount. A default-constructed EncodedValue is null (no bytes, size 0).
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace store {
namespace detail {

// 16 bytes: the kind shares a word with the size, since no value reaches 2^63 bytes.
struct Blob {
  static constexpr std::size_t kAdoptedBit = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);
  std::atomic<std::size_t> refs{1};
  std::size_t size_and_kind = 0;

  std::size_t size() const noexcept { return size_and_kind & ~kAdoptedBit; }
  bool adopted() const noexcept { return (size_and_kind & kAdoptedBit) != 0; }
};

}  // namespace detail

class EncodedValue {
 public:
  // Null value. O(1), no allocation, noexcept.
  EncodedValue() noexcept = default;

  // Takes the encoder's output. Small buffers are copied into a single block, large ones
  // are moved in. O(n) for small n, O(1) otherwise; one allocation; throws std::bad_alloc
  // (strong guarantee: `bytes` is untouched unless adopted).
  explicit EncodedValue(std::string&& bytes);

  // Copies `bytes` into a single block. O(n), one allocation, throws std::bad_alloc.
  static EncodedValue copy_of(std::string_view bytes);

  // Copying shares the block (atomic increment); moving steals it. noexcept.
  EncodedValue(const EncodedValue& other) noexcept : blob_(other.blob_) { retain(); }
  EncodedValue(EncodedValue&& other) noexcept : blob_(std::exchange(other.blob_, nullptr)) {}
  EncodedValue& operator=(const EncodedValue& other) noexcept {
    EncodedValue(other).swap(*this);
    return *this;
  }
  EncodedValue& operator=(EncodedValue&& other) noexcept {
    EncodedValue(std::move(other)).swap(*this);
    return *this;
  }
  ~EncodedValue() { release(); }

  void swap(EncodedValue& other) noexcept { std::swap(blob_, other.blob_); }

  // Accessors: O(1), noexcept, safe from any thread.
  explicit operator bool() const noexcept { return blob_ != nullptr; }
  std::size_t size() const noexcept { return blob_ ? blob_->size() : 0; }
  const char* data() const noexcept;
  std::string_view view() const noexcept { return {data(), size()}; }

  // Whether both name the very same stored block (not merely equal bytes).
  bool same_block(const EncodedValue& other) const noexcept { return blob_ == other.blob_; }

  // Same block, or equal bytes. O(n) at worst, noexcept.
  friend bool operator==(const EncodedValue& a, const EncodedValue& b) noexcept {
    return a.blob_ == b.blob_ || a.view() == b.view();
  }

 private:
  explicit EncodedValue(detail::Blob* blob) noexcept : blob_(blob) {}
  void retain() noexcept {
    if (blob_) blob_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept {
    if (blob_ && blob_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(blob_);
  }
  static void destroy(detail::Blob* blob) noexcept;

  detail::Blob* blob_ = nullptr;
};

}  // namespace store
