// Reading a list or dict that another thread may change, as one state it actually had.
//
// Free-threaded build: the container's critical section is held for one pass over it.
// The size (and so the header) is read under it, and each element is first offered to
// `flat`, which handles values that take no other lock and run no Python code (scalars)
// right there. From the first element that `flat` declines onward, the remaining
// elements are only collected, with strong references, and the section is left; `deep`
// then handles them one by one outside it, so no two sections are ever held at once and
// a deep structure cannot deadlock against another thread. A collected element is kept
// alive by its reference even if another thread removes it meanwhile.
//
// GIL build: nothing can change a container while we walk it (the walk runs no Python
// code and never lets go of the interpreter), so every element goes to `deep`, borrowed.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "bridge/bind.hpp"
#include "bridge/error.hpp"
#include "codec/limits.hpp"

namespace codec::detail {

[[noreturn]] void length_error(const char* kind, std::uint64_t n);

inline std::uint32_t u32_len(Py_ssize_t n, const char* kind) {
  if (static_cast<std::uint64_t>(n) > kMaxLength) length_error(kind, static_cast<std::uint64_t>(n));
  return static_cast<std::uint32_t>(n);
}

#ifdef Py_GIL_DISABLED

// Strong references to elements collected under a container's section, for one whole
// encoding or conversion: a container's elements sit above those of its ancestors, which
// are still being handled, and are dropped when the container is done.
class ItemStack {
 public:
  ItemStack() noexcept = default;
  ItemStack(const ItemStack&) = delete;
  ItemStack& operator=(const ItemStack&) = delete;
  ~ItemStack() { release_to(0); }

  std::size_t size() const noexcept { return size_; }
  PyObject* operator[](std::size_t i) const noexcept { return data_[i]; }
  // Room for `more` pushes without growing.
  void reserve(std::size_t more) {
    if (cap_ - size_ < more) grow(size_ + more);
  }
  void push(PyObject* borrowed) {
    if (size_ == cap_) grow(cap_ * 2);
    data_[size_++] = Py_NewRef(borrowed);
  }
  // push() for each of n items, with room made once.
  void push_all(PyObject* const* items, std::size_t n) {
    reserve(n);
    PyObject** out = data_ + size_;
    for (std::size_t i = 0; i < n; ++i) out[i] = Py_NewRef(items[i]);
    size_ += n;
  }
  // Drops the references above `base`. A dropped reference may be the last one and run a
  // finalizer, so this is never called under a critical section.
  void release_to(std::size_t base) noexcept {
    while (size_ > base) Py_DECREF(data_[--size_]);
  }

 private:
  void grow(std::size_t cap) {
    cap = std::max(cap, cap_ * 2);
    auto bigger = std::make_unique_for_overwrite<PyObject*[]>(cap);
    std::memcpy(bigger.get(), data_, size_ * sizeof(PyObject*));
    heap_ = std::move(bigger);
    data_ = heap_.get();
    cap_ = cap;
  }
  static constexpr std::size_t kInline = 32;
  PyObject* inline_[kInline];
  std::unique_ptr<PyObject*[]> heap_;
  PyObject** data_ = inline_;
  std::size_t cap_ = kInline, size_ = 0;
};

// The elements a container collected: released when its walk ends, however it ends.
class Collected {
 public:
  explicit Collected(ItemStack& s) noexcept : s_(s), base_(s.size()) {}
  Collected(const Collected&) = delete;
  Collected& operator=(const Collected&) = delete;
  ~Collected() { s_.release_to(base_); }
  std::size_t begin() const noexcept { return base_; }
  std::size_t end() const noexcept { return s_.size(); }

 private:
  ItemStack& s_;
  std::size_t base_;
};

#else

// Nothing is collected on the GIL build.
struct ItemStack {};

#endif

// Calls header(n) with the size n of list `l`, then handles its n elements in order,
// each with flat(item) -> bool or, where that declines (and for every later element),
// with deep(item). A declining `flat` must leave no trace.
template <class Header, class Flat, class Deep>
void walk_list(ItemStack& stack, PyObject* l, Header&& header, Flat&& flat, Deep&& deep) {
#ifdef Py_GIL_DISABLED
  Collected rest(stack);
  {
    py::CriticalSection cs(l);
    const Py_ssize_t n = PyList_GET_SIZE(l);
    header(n);
    PyObject** items = reinterpret_cast<PyListObject*>(l)->ob_item;
    Py_ssize_t i = 0;
    while (i < n && flat(items[i])) ++i;
    if (i < n) stack.push_all(items + i, static_cast<std::size_t>(n - i));
  }
  for (std::size_t j = rest.begin(); j < rest.end(); ++j) deep(stack[j]);
#else
  (void)stack;
  (void)flat;
  const Py_ssize_t n = PyList_GET_SIZE(l);
  header(n);
  for (Py_ssize_t i = 0; i < n; ++i) deep(PyList_GET_ITEM(l, i));
#endif
}

// The same for the pairs of dict `d`, in its iteration order: flat(key, value) -> bool,
// deep(key, value).
template <class Header, class Flat, class Deep>
void walk_dict(ItemStack& stack, PyObject* d, Header&& header, Flat&& flat, Deep&& deep) {
  Py_ssize_t n, pos = 0, seen = 0;
  PyObject *k, *v;
#ifdef Py_GIL_DISABLED
  Collected rest(stack);
  {
    py::CriticalSection cs(d);
    n = PyDict_GET_SIZE(d);
    header(n);
    bool collecting = false;
    while (PyDict_Next(d, &pos, &k, &v)) {
      ++seen;
      if (!collecting) {
        if (flat(k, v)) continue;
        collecting = true;
        stack.reserve(2 * static_cast<std::size_t>(n - seen + 1));
      }
      stack.push(k);
      stack.push(v);
    }
  }
  // Under the section the dict cannot change; this only guards the invariant that the
  // header and the pairs written agree.
  if (seen != n) py::raise_panic("dictionary changed size during iteration");
  for (std::size_t j = rest.begin(); j < rest.end(); j += 2) deep(stack[j], stack[j + 1]);
#else
  (void)stack;
  (void)flat;
  n = PyDict_GET_SIZE(d);
  header(n);
  while (PyDict_Next(d, &pos, &k, &v)) {
    if (++seen > n) py::raise_panic("dictionary keys changed during iteration");
    deep(k, v);
  }
  if (seen != n) py::raise_panic("dictionary changed size during iteration");
#endif
}

#ifdef Py_GIL_DISABLED
// The number of items of a list or dict right now, without its lock: the word its
// lock holder updates with an atomic store.
inline Py_ssize_t size_now(PyObject* o) noexcept {
  const Py_ssize_t* p = PyList_Check(o) ? &reinterpret_cast<PyVarObject*>(o)->ob_size
                                        : &reinterpret_cast<PyDictObject*>(o)->ma_used;
  return __atomic_load_n(p, __ATOMIC_RELAXED);
}

// The UTF-8 form of a str if the interpreter has it at hand without any work: the text
// itself for compact ASCII, else the cached encoding. Filling the cache takes the str's
// own critical section, which must not happen under another one; null if not at hand.
inline const char* utf8_at_hand(PyObject* s, Py_ssize_t& n) noexcept {
  if (PyUnicode_IS_COMPACT_ASCII(s)) {
    n = PyUnicode_GET_LENGTH(s);
    return static_cast<const char*>(PyUnicode_DATA(s));
  }
  if (!PyUnicode_IS_COMPACT(s)) return nullptr;
  auto* c = reinterpret_cast<PyCompactUnicodeObject*>(s);
  // Published with a release store after the length is set.
  const char* p = __atomic_load_n(&c->utf8, __ATOMIC_ACQUIRE);
  if (p) n = c->utf8_length;
  return p;
}
#endif

}  // namespace codec::detail
