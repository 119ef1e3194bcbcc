// msgpack bytes to Python objects. The input is read in place and never past its end;
// the first error unwinds, releasing everything decoded so far through the owners.
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "bridge/error.hpp"
#include "codec/messages.hpp"
#include "codec/py_codec.hpp"

namespace codec {
namespace {

[[noreturn]] void malformed(std::string_view msg) { py::raise_value_error(decode_error(msg)); }

void check_read(ReadError e) {
  if (e == ReadError::EndOfInput) malformed(kEndOfInput);
  if (e == ReadError::LengthOverflow) malformed(kLengthOverflow);
}

[[noreturn]] void depth_error() { py::raise_value_error(depth_message()); }

std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
std::uint32_t load32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Short runs (keys, most small strings) are read with two overlapping loads instead of a
// loop over bytes: p[0..n) for n of 1 to 7 is covered by the first and last 4 bytes, or,
// below 4, by bytes 0, n/2 and n-1.
bool all_ascii(const unsigned char* p, std::size_t n) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  if (n < 8) {
    if (n >= 4) return ((load32(p) | load32(p + n - 4)) & 0x80808080u) == 0;
    return n == 0 || ((p[0] | p[n / 2] | p[n - 1]) & 0x80) == 0;
  }
  for (std::size_t i = 0; i + 8 <= n; i += 8)
    if (load64(p + i) & kHigh) return false;
  return (load64(p + n - 8) & kHigh) == 0;
}

// Whether a[0..n) equals b[0..n), n >= 1.
bool same_bytes(const unsigned char* a, const unsigned char* b, std::size_t n) {
  if (n < 8) {
    if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
  }
  for (std::size_t i = 0; i + 8 <= n; i += 8)
    if (load64(a + i) != load64(b + i)) return false;
  return load64(a + n - 8) == load64(b + n - 8);
}

py::Ref new_ascii(const unsigned char* p, std::size_t n) {
  // The interpreter keeps one str per character below 256; one-character text reuses it.
  if (n == 1) return py::check(PyUnicode_FromOrdinal(p[0]));
  py::Ref s = py::check(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
  std::memcpy(PyUnicode_DATA(s.get()), p, n);
  return s;
}

// Map keys repeat across the records of one value and across calls (the same field names
// in every value), so short ASCII keys are kept in a table per interpreter thread: a hit
// costs a compare instead of an allocation, and the reused str already carries its hash
// for the dict. The table lives in the thread state's dict and goes with it, so it is
// private to one thread (no atomics, no shared cache lines), holds at most 2 * kSets short
// strs whatever keys arrive, and is freed when its thread ends or the runtime finalizes.
// Two ways per set, so two colliding keys that alternate do not evict each other.
class KeyCache {
 public:
  static constexpr std::size_t kMaxLen = 24;
  // A map with more pairs than this is keyed by data (ids, names), not by field names: its
  // keys rarely come back, and caching them would only push out the ones that do.
  static constexpr std::uint64_t kMaxPairs = 256;

  // This thread's table, made on first use; null when the thread state has no dict.
  static KeyCache* current() {
    PyObject* dict = PyThreadState_GetDict();
    if (!dict) return nullptr;
    PyObject* found;
    py::check(PyDict_GetItemRef(dict, slot_key(), &found) >= 0);
    if (found) {
      // Still held by the dict after ours is dropped: only this thread reaches its thread
      // state's dict, and nothing that runs during a decode clears it.
      py::Ref cap = py::steal(found);
      if (!PyCapsule_IsValid(found, kName)) return nullptr;
      return static_cast<KeyCache*>(PyCapsule_GetPointer(found, kName));
    }
    auto made = std::make_unique<KeyCache>();
    py::Ref cap = py::check(PyCapsule_New(made.get(), kName, &KeyCache::release));
    KeyCache* cache = made.release();  // the capsule owns it from here
    py::check(PyDict_SetItem(dict, slot_key(), cap.get()) == 0);
    return cache;
  }

  py::Ref get(const unsigned char* p, std::size_t n) {
    py::Ref* set = sets_[index(p, n)];
    if (set[0] && matches(set[0].get(), p, n)) return py::borrow(set[0].get());
    if (set[1] && matches(set[1].get(), p, n)) {
      std::swap(set[0], set[1]);
      return py::borrow(set[0].get());
    }
    py::Ref fresh = new_ascii(p, n);
    set[1] = std::move(set[0]);  // the older entry of the set is dropped
    set[0] = py::borrow(fresh.get());
    return fresh;
  }

 private:
  static constexpr std::size_t kSets = 256;
  static constexpr const char* kName = "quorvalent.codec.keys";

  // The static capsule type: a key that no Python code puts into a thread state's dict.
  static PyObject* slot_key() { return reinterpret_cast<PyObject*>(&PyCapsule_Type); }
  static void release(PyObject* capsule) {
    delete static_cast<KeyCache*>(PyCapsule_GetPointer(capsule, kName));
  }
  static std::size_t index(const unsigned char* p, std::size_t n) {  // n >= 1
    std::uint64_t head, tail;
    if (n >= 8) {
      head = load64(p);
      tail = load64(p + n - 8);
    } else if (n >= 4) {
      head = load32(p);
      tail = load32(p + n - 4);
    } else {
      head = p[0] | static_cast<std::uint64_t>(p[n / 2]) << 8 |
             static_cast<std::uint64_t>(p[n - 1]) << 16;
      tail = 0;
    }
    std::uint64_t h = (head * 0x9e3779b97f4a7c15ull) ^ (tail + n) * 0xc2b2ae3d27d4eb4full;
    return static_cast<std::size_t>(h >> 40) & (kSets - 1);
  }
  static bool matches(PyObject* s, const unsigned char* p, std::size_t n) {
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)) == n &&
           same_bytes(static_cast<const unsigned char*>(PyUnicode_DATA(s)), p, n);
  }

  py::Ref sets_[kSets][2];
};

// The reader plus what one decode keeps while it runs.
struct Input : Reader {
  using Reader::Reader;
  // Elements that the open lists made at full size still wait for; each needs at least
  // one byte of the input that is left.
  std::uint64_t owed = 0;
  // This thread's key table, looked up at the first key that could use it.
  KeyCache* keys = nullptr;
  bool keys_looked_up = false;
};

py::Ref read_obj(Input& r, int depth);

py::Ref finish_str(const unsigned char* p, std::size_t n);

py::Ref read_str(Input& r, std::uint64_t n) {
  const unsigned char* p;
  check_read(r.take(n, p));
  if (all_ascii(p, n)) return new_ascii(p, n);
  return finish_str(p, n);
}

py::Ref finish_str(const unsigned char* p, std::size_t n) {
  // The strict decoder accepts exactly what is_valid_utf8 does, so it validates and
  // decodes in one pass; text that is not valid UTF-8 comes back unchanged as bytes. No
  // error handler named (the default is strict) keeps the interpreter's fast path.
  const char* c = reinterpret_cast<const char*>(p);
  if (PyObject* s = PyUnicode_DecodeUTF8(c, static_cast<Py_ssize_t>(n), nullptr))
    return py::steal(s);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::Error{};
  PyErr_Clear();
  return py::check(PyBytes_FromStringAndSize(c, static_cast<Py_ssize_t>(n)));
}

py::Ref read_bin(Input& r, std::uint64_t n) {
  const unsigned char* p;
  check_read(r.take(n, p));
  return py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), n));
}

// read_obj for a container's element: small ints, floats and short ASCII strings that
// are complete in the input are made here, without the call; anything else, including
// every error, goes through read_obj.
inline py::Ref read_item(Input& r, int depth) {
  if (depth <= kMaxDepth && r.remaining() != 0) {
    const unsigned char* p = r.cursor();
    unsigned char m = p[0];
    if (m <= 0x7f) {
      r.skip(1);
      return py::check(PyLong_FromLong(m));
    }
    if (m == 0xcb && r.remaining() >= 9) {
      std::uint64_t bits;
      std::memcpy(&bits, p + 1, 8);
      bits = __builtin_bswap64(bits);
      double d;
      std::memcpy(&d, &bits, 8);
      r.skip(9);
      return py::check(PyFloat_FromDouble(d));
    }
    if ((m & 0xe0) == 0xa0) {
      std::size_t n = m & 0x1f;
      if (n < r.remaining() && all_ascii(p + 1, n)) {
        r.skip(n + 1);
        return new_ascii(p + 1, n);
      }
    }
    if (m >= 0xcc && m <= 0xd3) {  // the sized integers: uint 8 to 64, then int 8 to 64
      std::size_t width = std::size_t{1} << ((m - 0xcc) & 3);
      if (r.remaining() > width) {
        std::uint64_t raw;
        if (width == 1) {
          raw = p[1];
        } else if (width == 2) {
          raw = static_cast<std::uint64_t>(p[1]) << 8 | p[2];
        } else if (width == 4) {
          raw = __builtin_bswap32(load32(p + 1));
        } else {
          raw = __builtin_bswap64(load64(p + 1));
        }
        r.skip(width + 1);
        if (m == 0xcf) return py::check(PyLong_FromUnsignedLongLong(raw));
        if (m <= 0xce) return py::check(PyLong_FromLongLong(static_cast<long long>(raw)));
        unsigned shift = 64 - 8 * static_cast<unsigned>(width);  // sign-extend
        return py::check(PyLong_FromLongLong(static_cast<long long>(raw << shift) >> shift));
      }
    }
  }
  return read_obj(r, depth);
}

py::Ref read_array(Input& r, std::uint64_t n, int depth) {
  // Every element takes at least one byte, and so does every element the enclosing lists
  // still wait for: when the input left can back them all, the list is made at its final
  // size and filled in place. It is made before its elements, so the collector sees the
  // parent ahead of its children, as for any list built in Python.
  std::uint64_t left = r.remaining();
  if (r.owed <= left && n <= left - r.owed) {
    py::Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(n)));
    r.owed += n;
    for (std::uint64_t i = 0; i < n; ++i) {
      --r.owed;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), read_item(r, depth + 1).release());
    }
    return list;
  }
  // A count the input cannot back (it will run out): elements arrive before the list is
  // made, so forged counts, even nested, reserve at most kMaxUnprovenSlots per level.
  std::vector<py::Ref> items;
  items.reserve(n < kMaxUnprovenSlots ? n : kMaxUnprovenSlots);
  for (std::uint64_t i = 0; i < n; ++i) items.push_back(read_obj(r, depth + 1));
  py::Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::uint64_t i = 0; i < n; ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
  return list;
}

// A map key: short ASCII fixstr keys of record-sized maps come from the key cache, anything
// else from read_obj.
py::Ref read_key(Input& r, int depth, bool cached) {
  unsigned char m;
  if (depth <= kMaxDepth && r.peek(m) && m >= 0xa1 && m <= 0xa0 + KeyCache::kMaxLen) {
    std::size_t n = m & 0x1f;
    const unsigned char* p;
    r.byte(m);
    check_read(r.take(n, p));
    if (!all_ascii(p, n)) return finish_str(p, n);
    if (!cached) return new_ascii(p, n);
    if (!r.keys_looked_up) {
      r.keys = KeyCache::current();
      r.keys_looked_up = true;
    }
    return r.keys ? r.keys->get(p, n) : new_ascii(p, n);
  }
  return read_obj(r, depth);
}

py::Ref read_map(Input& r, std::uint64_t n, int depth) {
  // Sized up front, like a list, when it would otherwise grow (above 5 pairs) and the input
  // left can back every pair (two bytes each) besides what the enclosing containers still
  // wait for; otherwise grown as pairs arrive.
  std::uint64_t left = r.remaining();
  bool backed = n > 5 && r.owed <= left && n <= (left - r.owed) / 2;
  py::Ref d = py::check(backed ? _PyDict_NewPresized(static_cast<Py_ssize_t>(n)) : PyDict_New());
  std::uint64_t owed = backed ? 2 * n : 0;
  r.owed += owed;
  bool cached = n <= KeyCache::kMaxPairs;
  for (std::uint64_t i = 0; i < n; ++i) {
    if (backed) r.owed -= 1;
    py::Ref k = read_key(r, depth + 1, cached);
    if (backed) r.owed -= 1;
    py::Ref v = read_item(r, depth + 1);
    py::check(PyDict_SetItem(d.get(), k.get(), v.get()) == 0);
  }
  return d;
}

std::uint64_t read_len(Input& r, unsigned width) {
  std::uint64_t n;
  check_read(r.len_of(width, n));
  return n;
}

py::Ref from_i64(std::int64_t v) { return py::check(PyLong_FromLongLong(v)); }
py::Ref from_u64(std::uint64_t v) { return py::check(PyLong_FromUnsignedLongLong(v)); }

py::Ref read_obj(Input& r, int depth) {
  if (depth > kMaxDepth) depth_error();
  unsigned char m;
  check_read(r.byte(m));
  if (m <= 0x7f) return from_i64(m);
  if (m >= 0xe0) return from_i64(static_cast<std::int8_t>(m));
  if (m <= 0x8f) return read_map(r, m & 0x0f, depth);
  if (m <= 0x9f) return read_array(r, m & 0x0f, depth);
  if (m <= 0xbf) return read_str(r, m & 0x1f);
  switch (m) {
    case 0xc0:
      return py::borrow(Py_None);
    case 0xc1:
      malformed(kReservedMarker);
    case 0xc2:
      return py::borrow(Py_False);
    case 0xc3:
      return py::borrow(Py_True);
    case 0xc4:
      return read_bin(r, read_len(r, 1));
    case 0xc5:
      return read_bin(r, read_len(r, 2));
    case 0xc6:
      return read_bin(r, read_len(r, 4));
    case 0xca: {
      std::uint32_t bits = static_cast<std::uint32_t>(read_len(r, 4));
      float f;
      std::memcpy(&f, &bits, 4);
      return py::check(PyFloat_FromDouble(static_cast<double>(f)));
    }
    case 0xcb: {
      std::uint64_t bits = read_len(r, 8);
      double d;
      std::memcpy(&d, &bits, 8);
      return py::check(PyFloat_FromDouble(d));
    }
    case 0xcc:
      return from_u64(read_len(r, 1));
    case 0xcd:
      return from_u64(read_len(r, 2));
    case 0xce:
      return from_u64(read_len(r, 4));
    case 0xcf:
      return from_u64(read_len(r, 8));
    case 0xd0:
      return from_i64(static_cast<std::int8_t>(read_len(r, 1)));
    case 0xd1:
      return from_i64(static_cast<std::int16_t>(read_len(r, 2)));
    case 0xd2:
      return from_i64(static_cast<std::int32_t>(read_len(r, 4)));
    case 0xd3:
      return from_i64(static_cast<std::int64_t>(read_len(r, 8)));
    case 0xd9:
      return read_str(r, read_len(r, 1));
    case 0xda:
      return read_str(r, read_len(r, 2));
    case 0xdb:
      return read_str(r, read_len(r, 4));
    case 0xdc:
      return read_array(r, read_len(r, 2), depth);
    case 0xdd:
      return read_array(r, read_len(r, 4), depth);
    case 0xde:
      return read_map(r, read_len(r, 2), depth);
    case 0xdf:
      return read_map(r, read_len(r, 4), depth);
    default:  // 0xc7-0xc9, 0xd4-0xd8: extensions
      py::raise_value_error(std::string(kExtensionMessage));
  }
}

}  // namespace

py::Ref decode(std::string_view data) {
  Input r(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  return read_obj(r, 0);
}

}  // namespace codec
