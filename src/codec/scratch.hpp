// Per-call scratch storage that lives on the stack while small: the hot paths that
// use it (routing, guard evaluation) run per call and would otherwise allocate each time.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

namespace codec {

// Exactly n value-initialised elements, inline when n <= N, otherwise one heap block.
// Not copyable or movable: the inline elements may be referenced from elsewhere.
template <class T, std::size_t N>
class ScratchArray {
  static_assert(std::is_nothrow_default_constructible_v<T>);

 public:
  explicit ScratchArray(std::size_t n) : size_(n) {
    if (n > N) {
      heap_ = std::make_unique<T[]>(n);
      data_ = heap_.get();
    } else {
      data_ = reinterpret_cast<T*>(inline_);
      for (std::size_t i = 0; i < n; ++i) ::new (static_cast<void*>(data_ + i)) T();
    }
  }
  ScratchArray(const ScratchArray&) = delete;
  ScratchArray& operator=(const ScratchArray&) = delete;
  ~ScratchArray() {
    if (!heap_) std::destroy_n(data_, size_);
  }

  // Destroys every element now, e.g. at a moment cheaper than scope exit; size becomes 0.
  void clear() noexcept {
    if (heap_) {
      heap_.reset();
    } else {
      std::destroy_n(data_, size_);
    }
    size_ = 0;
  }

  std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  std::span<T> span() noexcept { return {data_, size_}; }
  std::span<const T> span() const noexcept { return {data_, size_}; }

 private:
  alignas(T) unsigned char inline_[N * sizeof(T)];
  std::unique_ptr<T[]> heap_;
  T* data_;
  std::size_t size_;
};

// A stack of trivially copyable items: the first N inline, the rest spilled to the heap.
template <class T, std::size_t N>
class ScratchStack {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  ScratchStack() = default;
  ScratchStack(const ScratchStack&) = delete;
  ScratchStack& operator=(const ScratchStack&) = delete;

  void push_back(T item) {
    if (size_ < N) {
      inline_[size_] = item;
    } else {
      spill_.push_back(item);
    }
    ++size_;
  }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }
  T operator[](std::size_t i) const noexcept { return i < N ? inline_[i] : spill_[i - N]; }

 private:
  T inline_[N];
  std::vector<T> spill_;
  std::size_t size_ = 0;
};

}  // namespace codec
