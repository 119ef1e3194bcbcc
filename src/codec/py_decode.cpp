// msgpack bytes to Python objects. The input is read in place and never past its end;
// the first error unwinds, releasing everything decoded so far through the owners.
#include <atomic>
#include <cstring>
#include <vector>

#include "codec/py_codec.hpp"
#include "module/error.hpp"

namespace codec {
namespace {

[[noreturn]] void malformed(const char* msg) {
  py::raise_value_error(std::string("msgpack decode error: ") + msg);
}

void check_read(ReadError e) {
  if (e == ReadError::EndOfInput) malformed("unexpected end of input");
  if (e == ReadError::LengthOverflow) malformed("length overflow");
}

[[noreturn]] void depth_error() {
  py::raise_value_error("value nests deeper than " + std::to_string(kMaxDepth) +
                        " levels (or is self-referential); the quorvalent msgpack codec "
                        "rejects it to protect the native stack");
}

bool all_ascii(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ull) return false;
  }
  for (; i < n; ++i)
    if (p[i] & 0x80) return false;
  return true;
}

py::Ref read_obj(Reader& r, int depth);

py::Ref new_ascii(const unsigned char* p, std::size_t n) {
  py::Ref s = py::check(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
  std::memcpy(PyUnicode_DATA(s.get()), p, n);
  return s;
}

// Map keys repeat across calls (the same field names in every record), so short ASCII
// keys are kept in a small process-wide table of str objects: a hit costs a compare
// instead of an allocation, and the reused str already carries its hash for the dict.
// Lock-free: on the free-threaded build a reader takes an entry out of its slot while it
// looks, so no entry is ever dropped while another thread still reads it.
class KeyCache {
 public:
  static constexpr std::size_t kMaxLen = 24;

  py::Ref get(const unsigned char* p, std::size_t n) {
    std::atomic<PyObject*>& slot = slots_[index(p, n)];
#ifdef Py_GIL_DISABLED
    PyObject* old = slot.exchange(nullptr, std::memory_order_acquire);
    if (old && matches(old, p, n)) {
      py::Ref hit = py::borrow(old);
      put_back(slot, old);
      return hit;
    }
    Py_XDECREF(old);  // a str: freeing it runs no Python code
    py::Ref fresh = new_ascii(p, n);
    put_back(slot, Py_NewRef(fresh.get()));
    return fresh;
#else
    // The interpreter lock serialises every thread that gets here.
    PyObject* cur = slot.load(std::memory_order_relaxed);
    if (cur && matches(cur, p, n)) return py::borrow(cur);
    py::Ref fresh = new_ascii(p, n);  // may run the collector, so the slot is read again
    Py_XDECREF(slot.exchange(Py_NewRef(fresh.get()), std::memory_order_relaxed));
    return fresh;
#endif
  }

 private:
  static constexpr std::size_t kSlots = 512;

  static std::size_t index(const unsigned char* p, std::size_t n) {
    std::uint64_t head = 0, tail = 0;
    std::size_t k = n < 8 ? n : 8;
    std::memcpy(&head, p, k);
    std::memcpy(&tail, p + n - k, k);
    std::uint64_t h = (head * 0x9e3779b97f4a7c15ull) ^ (tail + n) * 0xc2b2ae3d27d4eb4full;
    return static_cast<std::size_t>(h >> 32) & (kSlots - 1);
  }
  static bool matches(PyObject* s, const unsigned char* p, std::size_t n) {
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)) == n &&
           std::memcmp(PyUnicode_DATA(s), p, n) == 0;
  }
#ifdef Py_GIL_DISABLED
  static void put_back(std::atomic<PyObject*>& slot, PyObject* own) {
    PyObject* empty = nullptr;
    if (!slot.compare_exchange_strong(empty, own, std::memory_order_release,
                                      std::memory_order_relaxed))
      Py_DECREF(own);  // another thread filled it meanwhile
  }
#endif

  std::atomic<PyObject*> slots_[kSlots] = {};
};

KeyCache key_cache;

py::Ref finish_str(const unsigned char* p, std::size_t n);

py::Ref read_str(Reader& r, std::uint64_t n) {
  const unsigned char* p;
  check_read(r.take(n, p));
  if (all_ascii(p, n)) return new_ascii(p, n);
  return finish_str(p, n);
}

py::Ref finish_str(const unsigned char* p, std::size_t n) {
  // The strict decoder accepts exactly what is_valid_utf8 does, so it validates and
  // decodes in one pass; text that is not valid UTF-8 comes back unchanged as bytes.
  const char* c = reinterpret_cast<const char*>(p);
  if (PyObject* s = PyUnicode_DecodeUTF8(c, static_cast<Py_ssize_t>(n), "strict"))
    return py::steal(s);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::Error{};
  PyErr_Clear();
  return py::check(PyBytes_FromStringAndSize(c, static_cast<Py_ssize_t>(n)));
}

py::Ref read_bin(Reader& r, std::uint64_t n) {
  const unsigned char* p;
  check_read(r.take(n, p));
  return py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), n));
}

// read_obj for a container's element: small ints, floats and short ASCII strings that
// are complete in the input are made here, without the call; anything else, including
// every error, goes through read_obj.
inline py::Ref read_item(Reader& r, int depth) {
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
  }
  return read_obj(r, depth);
}

py::Ref read_array(Reader& r, std::uint64_t n, int depth) {
  if (n <= r.remaining()) {
    // Every element takes at least one byte, so the input itself bounds this list. It
    // stays out of the collector's sight until every slot holds an element.
    py::Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(n)));
    PyObject_GC_UnTrack(list.get());
    for (std::uint64_t i = 0; i < n; ++i)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), read_item(r, depth + 1).release());
    PyObject_GC_Track(list.get());
    return list;
  }
  // A count the input cannot hold (it will run out): elements arrive before the list is
  // made, so a forged count reserves at most kMaxUnprovenSlots.
  std::vector<py::Ref> items;
  items.reserve(n < kMaxUnprovenSlots ? n : kMaxUnprovenSlots);
  for (std::uint64_t i = 0; i < n; ++i) items.push_back(read_obj(r, depth + 1));
  py::Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::uint64_t i = 0; i < n; ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
  return list;
}

// A map key: short ASCII fixstr keys come from the key cache, anything else from read_obj.
py::Ref read_key(Reader& r, int depth) {
  unsigned char m;
  if (depth <= kMaxDepth && r.peek(m) && m >= 0xa1 && m <= 0xa0 + KeyCache::kMaxLen) {
    std::size_t n = m & 0x1f;
    const unsigned char* p;
    r.byte(m);
    check_read(r.take(n, p));
    if (all_ascii(p, n)) return key_cache.get(p, n);
    return finish_str(p, n);
  }
  return read_obj(r, depth);
}

py::Ref read_map(Reader& r, std::uint64_t n, int depth) {
  py::Ref d = py::check(PyDict_New());
  for (std::uint64_t i = 0; i < n; ++i) {
    py::Ref k = read_key(r, depth + 1);
    py::Ref v = read_item(r, depth + 1);
    py::check(PyDict_SetItem(d.get(), k.get(), v.get()) == 0);
  }
  return d;
}

std::uint64_t read_len(Reader& r, unsigned width) {
  std::uint64_t n;
  check_read(r.len_of(width, n));
  return n;
}

py::Ref from_i64(std::int64_t v) { return py::check(PyLong_FromLongLong(v)); }
py::Ref from_u64(std::uint64_t v) { return py::check(PyLong_FromUnsignedLongLong(v)); }

py::Ref read_obj(Reader& r, int depth) {
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
      malformed("reserved marker 0xc1");
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
      py::raise_value_error("msgpack extension types are not supported by the quorvalent codec");
  }
}

}  // namespace

py::Ref decode(std::string_view data) {
  Reader r(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  return read_obj(r, 0);
}

}  // namespace codec
