// Python objects to msgpack bytes and to value trees. The checks follow one fixed order
// (depth, then type); exact built-in types are tried first because they are by far the
// most common, then subclasses in the same order.
#include <cstring>
#include <memory>
#include <string>

#include "codec/messages.hpp"
#include "codec/py_codec.hpp"
#include "codec/py_walk.hpp"

namespace codec {
namespace detail {

void length_error(const char* kind, std::uint64_t n) {
  py::raise_value_error(std::string(kind) + " of " + std::to_string(n) +
                        " items exceeds the 32-bit length msgpack allows");
}

}  // namespace detail

namespace {

using detail::u32_len;

[[noreturn]] void depth_error() { py::raise_value_error(depth_message()); }

[[noreturn]] void int_out_of_range() {
  py::raise_value_error("integer out of 64-bit range is not supported by the quorvalent codec");
}

[[noreturn]] void unsupported_type() {
  py::raise_type_error(
      "unsupported value type for the quorvalent msgpack codec (supported: None, bool, int, "
      "float, str, bytes, list, tuple, dict)");
}

std::string_view utf8_of(PyObject* s) {
  if (PyUnicode_IS_COMPACT_ASCII(s))
    return {static_cast<const char*>(PyUnicode_DATA(s)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (!p) throw py::Error{};
  return {p, static_cast<std::size_t>(n)};
}

// An int as sign and magnitude, read from the object itself (no __index__). False when it
// lies outside -2^63 .. 2^64 - 1.
struct IntParts {
  bool negative;
  std::uint64_t mag;
};

#if PyLong_SHIFT == 30 && defined(_PyLong_NON_SIZE_BITS) && defined(_PyLong_SIGN_MASK)
// The digits straight from the object, as the interpreter's own inline helpers read them:
// three 30-bit digits hold every magnitude up to 2^64 - 1, so anything wider is out of range.
inline bool int_parts(PyObject* obj, IntParts& out) {
  const auto& v = reinterpret_cast<PyLongObject*>(obj)->long_value;
  std::uintptr_t tag = v.lv_tag;
  std::uintptr_t ndigits = tag >> _PyLong_NON_SIZE_BITS;
  const digit* d = v.ob_digit;
  std::uint64_t mag;
  switch (ndigits) {
    case 0:
      mag = 0;
      break;
    case 1:
      mag = d[0];
      break;
    case 2:
      mag = d[0] | static_cast<std::uint64_t>(d[1]) << 30;
      break;
    case 3:
      if (d[2] >> 4) return false;  // 2^64 or more
      mag = d[0] | static_cast<std::uint64_t>(d[1]) << 30 | static_cast<std::uint64_t>(d[2]) << 60;
      break;
    default:
      return false;
  }
  out.negative = (tag & _PyLong_SIGN_MASK) == 2;
  if (out.negative && mag > (std::uint64_t{1} << 63)) return false;
  out.mag = mag;
  return true;
}
#else
// Any other digit layout: the interpreter's conversions.
inline bool int_parts(PyObject* obj, IntParts& out) {
  int overflow;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) throw py::Error{};
    out.negative = v < 0;
    out.mag = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    return true;
  }
  if (overflow < 0) return false;
  unsigned long long u = PyLong_AsUnsignedLongLong(obj);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::Error{};
    PyErr_Clear();
    return false;
  }
  out.negative = false;
  out.mag = u;
  return true;
}
#endif

// Compact ints are handled by the callers; this is the rest.
[[gnu::noinline]] void write_wide_int(Writer& w, PyObject* obj) {
  IntParts p;
  if (!int_parts(obj, p)) int_out_of_range();
  if (p.negative)
    w.write_i64(static_cast<std::int64_t>(0 - p.mag));
  else
    w.write_uint(p.mag);
}

void write_int(Writer& w, PyObject* obj) {
  auto* lo = reinterpret_cast<PyLongObject*>(obj);
  if (PyUnstable_Long_IsCompact(lo))
    return w.write_i64(static_cast<std::int64_t>(PyUnstable_Long_CompactValue(lo)));
  write_wide_int(w, obj);
}

void write_string(Writer& w, PyObject* obj) {
  std::string_view s = utf8_of(obj);
  w.write_str_header(u32_len(static_cast<Py_ssize_t>(s.size()), "string"));
  w.put(s.data(), s.size());
}

void write_bytes(Writer& w, PyObject* obj) {
  Py_ssize_t n = PyBytes_GET_SIZE(obj);
  w.write_bin_header(u32_len(n, "bytes"));
  w.put(PyBytes_AS_STRING(obj), static_cast<std::size_t>(n));
}

// The common exact scalar types of a container's element, written here without a call,
// in write()'s order of checks (depth first); false, writing nothing, for the rest.
inline bool write_scalar(Writer& w, PyObject* obj, int depth) {
  if (depth > kMaxDepth) return false;
  PyTypeObject* t = Py_TYPE(obj);
  if (t == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(obj)) {
    auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj));
    if (n >= 32) return false;
    w.put_fixstr(PyUnicode_DATA(obj), n);
    return true;
  }
  if (t == &PyFloat_Type) {
    w.write_f64(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (t == &PyLong_Type) {
    write_int(w, obj);
    return true;
  }
  return false;
}

// One encoding: the output and, on the free-threaded build, the references to elements
// collected from containers (see py_walk.hpp). In exact mode a value that would not come
// back with every type as it went in (a tuple, a subclass, a key other than str, any
// other type) is not written: it marks the encoding inexact, and the output is discarded.
struct Encoder {
  Writer& w;
  detail::ItemStack items;
  bool exact = false;
  bool inexact = false;

  void write(PyObject* obj, int depth);
  void write_dict(PyObject* obj, int depth);
  void write_list(PyObject* obj, int depth);
  void write_tuple(PyObject* obj, int depth);

  // write() for a container's element. `out` is `w`, passed along so that the loops over
  // elements keep it in a register: every byte they store could alias this object.
  void write_item(Writer& out, PyObject* obj, int depth) {
    if (!write_scalar(out, obj, depth)) write(obj, depth);
  }

  // write_item for an element of a container. On the free-threaded build the walk hands
  // these over after leaving the container's section, mostly because they are
  // containers themselves: those are tried first.
  void write_element(Writer& out, PyObject* obj, int depth) {
#ifdef Py_GIL_DISABLED
    if (depth <= kMaxDepth) {
      PyTypeObject* t = Py_TYPE(obj);
      if (t == &PyList_Type) return write_list(obj, depth);
      if (t == &PyDict_Type) return write_dict(obj, depth);
    }
#endif
    write_item(out, obj, depth);
  }

#ifdef Py_GIL_DISABLED
  // Under a container's critical section: writes `obj` when it is an exact scalar whose
  // encoding takes no other lock (a str whose UTF-8 form is at hand) and cannot fail;
  // otherwise writes nothing and returns false, leaving it to write_item outside.
  [[gnu::always_inline]] bool write_flat(PyObject* obj, int depth) {
    if (depth > kMaxDepth) return false;
    PyTypeObject* t = Py_TYPE(obj);
    if (t == &PyUnicode_Type) {
      Py_ssize_t n;
      const char* s = detail::utf8_at_hand(obj, n);
      if (!s || static_cast<std::uint64_t>(n) > kMaxLength) return false;
      if (n < 32) {
        w.put_fixstr(s, static_cast<std::size_t>(n));
      } else {
        w.write_str_header(static_cast<std::uint32_t>(n));
        w.put(s, static_cast<std::size_t>(n));
      }
      return true;
    }
    if (t == &PyLong_Type) {
      auto* lo = reinterpret_cast<PyLongObject*>(obj);
      if (PyUnstable_Long_IsCompact(lo)) {
        w.write_i64(static_cast<std::int64_t>(PyUnstable_Long_CompactValue(lo)));
        return true;
      }
      IntParts p;
      if (!int_parts(obj, p)) return false;
      if (p.negative)
        w.write_i64(static_cast<std::int64_t>(0 - p.mag));
      else
        w.write_uint(p.mag);
      return true;
    }
    if (t == &PyFloat_Type) {
      w.write_f64(PyFloat_AS_DOUBLE(obj));
      return true;
    }
    if (obj == Py_None) {
      w.put(0xc0);
      return true;
    }
    if (t == &PyBool_Type) {
      w.put(obj == Py_True ? 0xc3 : 0xc2);
      return true;
    }
    if (t == &PyBytes_Type && static_cast<std::uint64_t>(PyBytes_GET_SIZE(obj)) <= kMaxLength) {
      write_bytes(w, obj);
      return true;
    }
    // An empty list or dict: its size, one word the interpreter stores atomically, read
    // as zero is a state it had, and nothing else of it is read (common in records:
    // empty metadata, no tool calls).
    if (t == &PyDict_Type && detail::size_now(obj) == 0) {
      w.put(0x80);
      return true;
    }
    if (t == &PyList_Type && detail::size_now(obj) == 0) {
      w.put(0x90);
      return true;
    }
    return false;
  }
#else
  bool write_flat(PyObject*, int) { return false; }
#endif
};

void Encoder::write_dict(PyObject* obj, int depth) {
  Writer& out = w;
  const bool str_keys = exact;
  detail::walk_dict(
      items, obj, [&](Py_ssize_t n) { out.write_map_header(u32_len(n, "dict")); },
      [&](PyObject* k, PyObject* v) {
        if (str_keys && Py_TYPE(k) != &PyUnicode_Type) return false;
        const std::size_t mark = out.size();
        if (write_flat(k, depth + 1) && write_flat(v, depth + 1)) return true;
        out.truncate(mark);
        return false;
      },
      [&](PyObject* k, PyObject* v) {
        if (str_keys && Py_TYPE(k) != &PyUnicode_Type) inexact = true;
        write_item(out, k, depth + 1);
        write_element(out, v, depth + 1);
      });
}

void Encoder::write_list(PyObject* obj, int depth) {
  Writer& out = w;
  detail::walk_list(
      items, obj, [&](Py_ssize_t n) { out.write_array_header(u32_len(n, "list")); },
      [&](PyObject* item) { return write_flat(item, depth + 1); },
      [&](PyObject* item) { write_element(out, item, depth + 1); });
}

void Encoder::write_tuple(PyObject* obj, int depth) {
  Writer& out = w;
  Py_ssize_t n = PyTuple_GET_SIZE(obj);
  out.write_array_header(u32_len(n, "list"));
  for (Py_ssize_t i = 0; i < n; ++i) write_item(out, PyTuple_GET_ITEM(obj, i), depth + 1);
}

Value int_to_value(PyObject* obj) {
  IntParts p;
  if (!int_parts(obj, p)) int_out_of_range();
  return p.negative ? Value::sint(static_cast<std::int64_t>(0 - p.mag)) : Value::uint(p.mag);
}

void Encoder::write(PyObject* obj, int depth) {
  if (depth > kMaxDepth) depth_error();
  PyTypeObject* t = Py_TYPE(obj);
  if (t == &PyUnicode_Type) return write_string(w, obj);
  if (t == &PyLong_Type) return write_int(w, obj);
  if (t == &PyFloat_Type) return w.write_f64(PyFloat_AS_DOUBLE(obj));
  if (t == &PyDict_Type) return write_dict(obj, depth);
  if (t == &PyList_Type) return write_list(obj, depth);
  if (obj == Py_None) return w.put(0xc0);
  if (t == &PyBool_Type) return w.put(obj == Py_True ? 0xc3 : 0xc2);
  if (t == &PyBytes_Type) return write_bytes(w, obj);
  if (exact) {
    inexact = true;
    return;
  }
  if (t == &PyTuple_Type) return write_tuple(obj, depth);
  // Subclasses, in the fixed order.
  if (PyUnicode_Check(obj)) return write_string(w, obj);
  if (PyDict_Check(obj)) return write_dict(obj, depth);
  if (PyList_Check(obj)) return write_list(obj, depth);
  if (PyLong_Check(obj)) return write_int(w, obj);
  if (PyFloat_Check(obj)) return w.write_f64(PyFloat_AS_DOUBLE(obj));
  if (PyBytes_Check(obj)) return write_bytes(w, obj);
  if (PyTuple_Check(obj)) return write_tuple(obj, depth);
  unsupported_type();
}

}  // namespace

void write_obj(Writer& w, PyObject* obj, int depth) { Encoder{w, {}}.write(obj, depth); }

namespace {

// Encodings go through one reused buffer per thread, freed when the thread exits (a server
// with a thread per request must not keep one per finished thread). A finalizer run by a
// reference we drop could call dumps again on the same thread, so a buffer in use is never
// shared.
struct ScratchWriter {
  static constexpr std::size_t kKeep = 1 << 20;  // larger buffers go back to the allocator
  struct Slot {
    std::unique_ptr<Writer> cached;
    bool busy = false;
  };
  static thread_local Slot slot;
  Writer* w;
  std::unique_ptr<Writer> owned;
  ScratchWriter() {
    Slot& s = slot;
    if (!s.busy) {
      if (!s.cached) s.cached = std::make_unique<Writer>();
      w = s.cached.get();
      s.busy = true;
    } else {
      owned = std::make_unique<Writer>();
      w = owned.get();
    }
  }
  ScratchWriter(const ScratchWriter&) = delete;
  ScratchWriter& operator=(const ScratchWriter&) = delete;
  ~ScratchWriter() {
    if (!owned) {
      w->reset(kKeep);
      slot.busy = false;
    }
  }
};
thread_local ScratchWriter::Slot ScratchWriter::slot;

}  // namespace

std::string encode(PyObject* obj) {
  ScratchWriter s;
  write_obj(*s.w, obj, 0);
  return std::string(reinterpret_cast<const char*>(s.w->data()), s.w->size());
}

void encode_to(PyObject* obj, void (*sink)(std::string_view bytes, void* ctx), void* ctx) {
  ScratchWriter s;
  write_obj(*s.w, obj, 0);
  sink({reinterpret_cast<const char*>(s.w->data()), s.w->size()}, ctx);
}

bool encode_exact_to(PyObject* obj, void (*sink)(std::string_view bytes, void* ctx), void* ctx) {
  ScratchWriter s;
  Encoder e{*s.w, {}, true};
  try {
    e.write(obj, 0);
  } catch (const py::Error&) {
    // Past a limit (depth, length, integer range) or text that is not valid Unicode: not
    // exact either. Anything else (no memory, a container changed meanwhile) propagates.
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
    PyErr_Clear();
    return false;
  }
  if (e.inexact) return false;
  sink({reinterpret_cast<const char*>(s.w->data()), s.w->size()}, ctx);
  return true;
}

namespace {

// One conversion to a value tree; the same walks as the encoder's, with the elements
// handled under a container's section appended in order before the collected ones.
struct Converter {
  detail::ItemStack items;

  Value convert(PyObject* obj, int depth);

#ifdef Py_GIL_DISABLED
  // Under a container's critical section: appends the value of an exact scalar whose
  // conversion takes no other lock and cannot fail; false, appending nothing, otherwise.
  static bool convert_flat(PyObject* obj, int depth, std::vector<Value>& out) {
    if (depth > kMaxDepth) return false;
    PyTypeObject* t = Py_TYPE(obj);
    if (t == &PyUnicode_Type) {
      Py_ssize_t n;
      const char* s = detail::utf8_at_hand(obj, n);
      if (!s) return false;
      out.push_back(Value::str(std::string(s, static_cast<std::size_t>(n)), true));
      return true;
    }
    if (t == &PyLong_Type) {
      IntParts p;
      if (!int_parts(obj, p)) return false;
      out.push_back(p.negative ? Value::sint(static_cast<std::int64_t>(0 - p.mag))
                               : Value::uint(p.mag));
      return true;
    }
    if (t == &PyFloat_Type) {
      out.push_back(Value::f64(PyFloat_AS_DOUBLE(obj)));
      return true;
    }
    if (obj == Py_None) {
      out.push_back(Value::nil());
      return true;
    }
    if (t == &PyBool_Type) {
      out.push_back(Value::boolean(obj == Py_True));
      return true;
    }
    if (t == &PyBytes_Type) {
      out.push_back(Value::bin(std::string(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj))));
      return true;
    }
    return false;
  }
#else
  static bool convert_flat(PyObject*, int, std::vector<Value>&) { return false; }
#endif
};

Value Converter::convert(PyObject* obj, int depth) {
  if (depth > kMaxDepth) depth_error();
  if (obj == Py_None) return Value::nil();
  if (PyBool_Check(obj)) return Value::boolean(obj == Py_True);
  if (PyLong_Check(obj)) return int_to_value(obj);
  if (PyFloat_Check(obj)) return Value::f64(PyFloat_AS_DOUBLE(obj));
  if (PyUnicode_Check(obj)) return Value::str(std::string(utf8_of(obj)), true);
  if (PyBytes_Check(obj))
    return Value::bin(std::string(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj)));
  if (PyDict_Check(obj)) {
    std::vector<Value> flat;
    detail::walk_dict(
        items, obj, [&](Py_ssize_t n) { flat.reserve(2 * static_cast<std::size_t>(n)); },
        [&](PyObject* k, PyObject* v) {
          if (!convert_flat(k, depth + 1, flat)) return false;
          if (convert_flat(v, depth + 1, flat)) return true;
          flat.pop_back();
          return false;
        },
        [&](PyObject* k, PyObject* v) {
          flat.push_back(convert(k, depth + 1));
          flat.push_back(convert(v, depth + 1));
        });
    return Value::map_flat(std::move(flat));
  }
  if (PyList_Check(obj)) {
    std::vector<Value> elems;
    detail::walk_list(
        items, obj, [&](Py_ssize_t n) { elems.reserve(static_cast<std::size_t>(n)); },
        [&](PyObject* item) { return convert_flat(item, depth + 1, elems); },
        [&](PyObject* item) { elems.push_back(convert(item, depth + 1)); });
    return Value::array(std::move(elems));
  }
  if (PyTuple_Check(obj)) {
    std::vector<Value> elems;
    Py_ssize_t n = PyTuple_GET_SIZE(obj);
    elems.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
      elems.push_back(convert(PyTuple_GET_ITEM(obj, i), depth + 1));
    return Value::array(std::move(elems));
  }
  unsupported_type();
}

}  // namespace

Value py_to_value_at(PyObject* obj, int depth) { return Converter{}.convert(obj, depth); }

bool roundtrips(PyObject* obj) {
  return encode_exact_to(obj, [](std::string_view, void*) {}, nullptr);
}

namespace {

// Large enough that a second copy of the payload costs more than the extra checks.
constexpr Py_ssize_t kBlobDirect = 4096;

// A lone large bytes or str is copied straight into a result of its exact size after its
// header: no buffer to grow.
// Returns null, with no exception set, when `obj` is not such a value.
py::Ref dumps_blob(PyObject* obj) {
  std::string_view payload;
  bool is_str;
  if (Py_TYPE(obj) == &PyBytes_Type && PyBytes_GET_SIZE(obj) >= kBlobDirect) {
    payload = {PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
    is_str = false;
  } else if (Py_TYPE(obj) == &PyUnicode_Type && PyUnicode_GET_LENGTH(obj) >= kBlobDirect) {
    payload = utf8_of(obj);
    is_str = true;
  } else {
    return {};
  }
  // A header takes at most 5 bytes, so this stack buffer never needs to grow.
  unsigned char head[16];
  Writer w(
      head, sizeof head,
      [](void*, std::size_t, std::size_t) -> unsigned char* { throw std::bad_alloc(); }, nullptr);
  auto n = u32_len(static_cast<Py_ssize_t>(payload.size()), is_str ? "string" : "bytes");
  if (is_str)
    w.write_str_header(n);
  else
    w.write_bin_header(n);
  py::Ref out = py::check(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(w.size() + payload.size())));
  char* dst = PyBytes_AS_STRING(out.get());
  std::memcpy(dst, w.data(), w.size());
  std::memcpy(dst + w.size(), payload.data(), payload.size());
  return out;
}

// dumps writes into the bytes object it returns, so the output is not copied once more
// at the end. The first size tried is this thread's previous result (capped): records of
// one shape come out at one size, so most calls allocate once and never resize.
class BytesResult {
 public:
  static constexpr std::size_t kMinGuess = 64;
  static constexpr std::size_t kMaxGuess = 1 << 20;

  BytesResult() : obj_(alloc(guess)), w(data(obj_.get()), guess, &regrow, this) {}
  BytesResult(const BytesResult&) = delete;
  BytesResult& operator=(const BytesResult&) = delete;

  PyObject* finish() {
    std::size_t n = w.size();
    if (n != w.capacity()) {
      resize(n);
      guess = n < kMinGuess ? kMinGuess : n > kMaxGuess ? kMaxGuess : n;
    }
    return obj_.release();
  }

 private:
  static thread_local std::size_t guess;
  py::Ref obj_;

 public:
  Writer w;

 private:
  // Never empty: the empty bytes object is shared and cannot be resized.
  static py::Ref alloc(std::size_t n) {
    return py::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  }
  static unsigned char* data(PyObject* b) {
    return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(b));
  }
  void resize(std::size_t n) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    // The object is ours alone until returned; a failed resize has already freed it.
    PyObject* b = obj_.release();
    if (_PyBytes_Resize(&b, static_cast<Py_ssize_t>(n)) < 0) throw py::Error{};
    obj_ = py::steal(b);
  }
  static unsigned char* regrow(void* ctx, std::size_t, std::size_t cap) {
    auto* self = static_cast<BytesResult*>(ctx);
    self->resize(cap);
    return data(self->obj_.get());
  }
};
thread_local std::size_t BytesResult::guess = BytesResult::kMinGuess;

constexpr py::Signature<1> kDumpsSig{"dumps()", {"obj"}, 1};
constexpr py::Signature<1> kLoadsSig{"loads()", {"data"}, 1};
constexpr py::Signature<1> kRoundtripsSig{"roundtrips()", {"obj"}, 1};

}  // namespace

PyObject* codec_dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto a = py::bind(kDumpsSig, args, nargs, kwnames);
    if (py::Ref blob = dumps_blob(a[0])) return blob.release();
    BytesResult out;
    write_obj(out.w, a[0], 0);
    return out.finish();
  });
}

PyObject* codec_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto a = py::bind(kLoadsSig, args, nargs, kwnames);
    std::string_view data = a.convert(0, py::as_bytes);
    return decode(data).release();
  });
}

PyObject* codec_roundtrips(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto a = py::bind(kRoundtripsSig, args, nargs, kwnames);
    return Py_NewRef(roundtrips(a[0]) ? Py_True : Py_False);
  });
}

}  // namespace codec
