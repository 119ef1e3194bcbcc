// `Store` and `Snapshot`: argument conversion and encoding while attached, engine calls
// detached, decoding and result building attached again. No engine lock is ever waited
// for while attached, and no Python object is touched while detached.
#include "store/py_store.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bind.hpp"
#include "bridge/types.hpp"
#include "codec/check.hpp"
#include "codec/py_codec.hpp"
#include "store/engine.hpp"
#include "store/snapshot.hpp"

namespace store {
namespace {

using py::Ref;

Engine& engine(PyObject* self) { return py::native<Engine>(self); }
const SnapshotPtr& snap(PyObject* self) { return py::native<SnapshotPtr>(self); }

Ref make_snapshot(SnapshotPtr data) {
  PyTypeObject* type = snapshot_type();
  py::check(type != nullptr);
  return py::make_object<SnapshotPtr>(type, std::move(data));
}

Ref str_list(const std::vector<std::string>& items) {
  Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::str(items[i]).release());
  return list;
}

Ref pair_list(const std::vector<KeyPair>& pairs) {
  Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    Ref ns = py::str(pairs[i].first);
    Ref key = py::str(pairs[i].second);
    PyObject* t = PyTuple_Pack(2, ns.get(), key.get());
    if (!t) throw py::Error{};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list;
}

template <std::size_t N>
std::optional<std::string_view> optional_prefix(const py::Args<N>& a, std::size_t i) {
  if (a.absent_or_none(i)) return std::nullopt;
  return a.convert(i, py::as_utf8);
}

bool as_bool(PyObject* obj) {
  if (!PyBool_Check(obj)) py::raise_not_instance(obj, "bool");
  return obj == Py_True;
}

// A count through the index protocol; counts beyond the address space mean "all".
// Returns -1 for a negative count, which the caller reports.
Py_ssize_t as_count(PyObject* obj) {
  Ref idx = py::check(PyNumber_Index(obj));
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::Error{};
  if (overflow != 0) return overflow > 0 ? PY_SSIZE_T_MAX : -1;
  if (v < 0) return -1;
  return v > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(v);
}

// The decoded value, or the caller's default (argument i) when nothing was found.
template <std::size_t N>
Ref decoded_or_default(const EncodedValue& found, const py::Args<N>& a, std::size_t i) {
  if (!found) return a.absent_or_none(i) ? py::none() : py::borrow(a[i]);
  return codec::decode(found.view());
}

Ref decode_list(std::vector<EncodedValue>& found) {
  std::vector<Ref> decoded;
  decoded.reserve(found.size());
  for (auto& v : found) {
    decoded.push_back(v ? codec::decode(v.view()) : py::none());
    v = EncodedValue();
  }
  Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(decoded.size())));
  for (std::size_t i = 0; i < decoded.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), decoded[i].release());
  return list;
}

Ref raw_or_none(const EncodedValue& v) {
  if (!v) return py::none();
  return py::check(PyBytes_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
}

Ref raw_list(std::vector<EncodedValue>& found) {
  Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(found.size())));
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), raw_or_none(found[i]).release());
    found[i] = EncodedValue();
  }
  return list;
}

// One allocation: the encoding is copied once from the thread's buffer into its block.
EncodedValue encode_value(PyObject* obj) {
  EncodedValue out;
  codec::encode_to(
      obj,
      [](std::string_view bytes, void* ctx) {
        *static_cast<EncodedValue*>(ctx) = EncodedValue::copy_of(bytes);
      },
      &out);
  return out;
}

// ---- batches ----

// Walks a sequence argument whose elements must be tuples of `arity` items, calling
// f(tuple) for each in iteration order; the first bad element stops the walk. Shape and
// type errors are TypeErrors (the caller names the parameter); a wrong tuple length is a
// ValueError of its own.
template <class F>
void for_each_tuple(PyObject* seq, std::size_t arity, F&& f) {
  if (PyUnicode_Check(seq)) py::raise_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(seq)) py::raise_not_instance(seq, "Sequence");
  Ref it = py::check(PyObject_GetIter(seq));
  while (PyObject* item = PyIter_Next(it.get())) {
    Ref t = py::steal(item);
    if (!PyTuple_Check(t.get())) py::raise_not_instance(t.get(), "tuple");
    Py_ssize_t n = PyTuple_GET_SIZE(t.get());
    if (static_cast<std::size_t>(n) != arity) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length %zu, but got tuple of length %zd",
                   arity, n);
      throw py::Error{};
    }
    f(std::move(t));
  }
  if (PyErr_Occurred()) throw py::Error{};
}

// How many elements a batch argument has, when that is known without running Python code:
// only a hint for reserving (a list may change size while it is walked).
std::size_t size_hint(PyObject* seq) {
  if (PyList_CheckExact(seq)) return static_cast<std::size_t>(PyList_GET_SIZE(seq));
  if (PyTuple_CheckExact(seq)) return static_cast<std::size_t>(PyTuple_GET_SIZE(seq));
  return 0;
}

// Every pair of a sequence argument of 2-tuples, viewing strings that `keep` holds alive.
template <std::size_t N>
void extract_pairs(const py::Args<N>& a, std::size_t i, std::vector<Ref>& keep,
                   std::vector<KeyRef>& pairs) {
  keep.reserve(size_hint(a[i]));
  pairs.reserve(size_hint(a[i]));
  a.named(i, [&] {
    for_each_tuple(a[i], 2, [&](Ref t) {
      pairs.push_back(
          {py::as_utf8(PyTuple_GET_ITEM(t.get(), 0)), py::as_utf8(PyTuple_GET_ITEM(t.get(), 1))});
      keep.push_back(std::move(t));
    });
  });
}

// ---- Store ----

constexpr py::Signature<3> kNewSig{"Store.__new__()", {"backend", "codec", "max_history"}, 0};
constexpr py::Signature<3> kSetSig{"Store.set()", {"namespace", "key", "value"}, 3};
constexpr py::Signature<3> kGetSig{"Store.get()", {"namespace", "key", "default"}, 2};
constexpr py::Signature<2> kSetManySig{"Store.set_many()", {"items", "fallback"}, 1, 1};
constexpr py::Signature<1> kGetManySig{"Store.get_many()", {"pairs"}, 1};
constexpr py::Signature<2> kContainsSig{"Store.contains()", {"namespace", "key"}, 2};
constexpr py::Signature<2> kDeleteSig{"Store.delete()", {"namespace", "key"}, 2};
constexpr py::Signature<2> kKeysSig{"Store.keys()", {"namespace", "prefix"}, 1};
constexpr py::Signature<1> kMaxKeySig{"Store.max_key()", {"namespace"}, 1};
constexpr py::Signature<1> kNamespacesSig{"Store.namespaces()", {"prefix"}, 0};
constexpr py::Signature<1> kRestoreSig{"Store.restore()", {"snapshot"}, 1};
constexpr py::Signature<2> kCopyNamespaceSig{"Store.copy_namespace()", {"source", "target"}, 2};
constexpr py::Signature<1> kDropNamespaceSig{"Store.drop_namespace()", {"namespace"}, 1};
constexpr py::Signature<6> kScanSig{
    "Store.scan()", {"namespace", "prefix", "start", "stop", "reverse", "limit"}, 1, 2};
constexpr py::Signature<2> kGetRawSig{"Store.get_raw()", {"namespace", "key"}, 2};
constexpr py::Signature<1> kGetManyRawSig{"Store.get_many_raw()", {"pairs"}, 1};
constexpr py::Signature<3> kSetRawSig{"Store.set_raw()", {"namespace", "key", "data"}, 3};
constexpr py::Signature<3> kApplyRawSig{"Store.apply_raw()", {"items", "deletes", "base"}, 1};
constexpr py::Signature<3> kRestoreNamespaceSig{
    "Store.restore_namespace()", {"snapshot", "namespace", "base"}, 2};
constexpr py::Signature<1> kDiffSig{"Snapshot.diff()", {"base"}, 1};
constexpr py::Signature<2> kSnapGetRawSig{"Snapshot.get_raw()", {"namespace", "key"}, 2};
constexpr py::Signature<1> kSnapGetManyRawSig{"Snapshot.get_many_raw()", {"pairs"}, 1};
constexpr py::Signature<3> kSnapGetSig{"Snapshot.get()", {"namespace", "key", "default"}, 2};
constexpr py::Signature<1> kSnapGetManySig{"Snapshot.get_many()", {"pairs"}, 1};
constexpr py::Signature<2> kSnapKeysInSig{"Snapshot.keys_in()", {"namespace", "prefix"}, 1};
constexpr py::Signature<1> kSnapNamespacesSig{"Snapshot.namespaces()", {"prefix"}, 0};

Ref store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = py::bind(kNewSig, args, kwargs);
  std::string_view backend = "memory", codec = "msgpack";
  std::optional<std::uint64_t> max_history = 0;
  if (a.given(0)) backend = a.convert(0, py::as_utf8);
  if (a.given(1)) codec = a.convert(1, py::as_utf8);
  if (a.given(2)) {
    if (a[2] == Py_None)
      max_history = std::nullopt;
    else
      max_history = a.convert(2, py::as_u64_index);
  }
  if (backend != "memory")
    py::raise_value_error("backend '" + std::string(backend) +
                          "' is not available in this build (only 'memory')");
  if (codec != "msgpack")
    py::raise_value_error("codec '" + std::string(codec) + "' is not supported (only 'msgpack')");
  return py::make_object<Engine>(type, max_history);
}

Ref store_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kSetSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::string_view key = a.convert(1, py::as_utf8);
  EncodedValue value = encode_value(a[2]);
  py::detached([&] { engine(self).set(ns, key, std::move(value)); });
  return py::none();
}

Ref store_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kGetSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::string_view key = a.convert(1, py::as_utf8);
  EncodedValue found = py::detached([&] { return engine(self).get(ns, key); });
  return decoded_or_default(found, a, 2);
}

Ref store_set_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kSetManySig, args, nargs, kwnames);
  if (!a.absent_or_none(1) && !PyCallable_Check(a[1]))
    a.named(1, [&] { py::raise_not_instance(a[1], "Callable"); });
  // The whole batch is extracted before anything is encoded, so a shape or type error
  // always wins over an encoding error. The tuples keep the strings `pairs` views alive.
  std::vector<Ref> triples;
  std::vector<KeyRef> pairs;
  triples.reserve(size_hint(a[0]));
  pairs.reserve(size_hint(a[0]));
  a.named(0, [&] {
    for_each_tuple(a[0], 3, [&](Ref t) {
      pairs.push_back(
          {py::as_utf8(PyTuple_GET_ITEM(t.get(), 0)), py::as_utf8(PyTuple_GET_ITEM(t.get(), 1))});
      triples.push_back(std::move(t));
    });
  });
  std::vector<EncodedValue> values;
  values.reserve(triples.size());
  if (a.absent_or_none(1)) {
    for (const Ref& t : triples) values.push_back(encode_value(PyTuple_GET_ITEM(t.get(), 2)));
  } else {
    // Each value as itself if it comes back so, else what `fallback` makes of it: one walk
    // over the value either way until it turns out inexact.
    PyObject* fallback = a[1];
    for (const Ref& t : triples) {
      PyObject* v = PyTuple_GET_ITEM(t.get(), 2);
      EncodedValue out;
      if (!codec::encode_exact_to(
              v,
              [](std::string_view bytes, void* ctx) {
                *static_cast<EncodedValue*>(ctx) = EncodedValue::copy_of(bytes);
              },
              &out)) {
        Ref other = py::check(PyObject_CallOneArg(fallback, v));
        out = encode_value(other.get());
      }
      values.push_back(std::move(out));
    }
  }
  py::detached([&] { engine(self).set_many(pairs, values); });
  return py::none();
}

Ref store_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kGetManySig, args, nargs, kwnames);
  std::vector<Ref> tuples;  // keep the strings that `pairs` views alive
  std::vector<KeyRef> pairs;
  extract_pairs(a, 0, tuples, pairs);
  std::vector<EncodedValue> found = py::detached([&] { return engine(self).get_many(pairs); });
  return decode_list(found);
}

Ref store_get_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kGetRawSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::string_view key = a.convert(1, py::as_utf8);
  EncodedValue found = py::detached([&] { return engine(self).get(ns, key); });
  return raw_or_none(found);
}

Ref store_get_many_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kGetManyRawSig, args, nargs, kwnames);
  std::vector<Ref> tuples;
  std::vector<KeyRef> pairs;
  extract_pairs(a, 0, tuples, pairs);
  std::vector<EncodedValue> found =
      py::detached([&] { return engine(self).get_many_atomic(pairs); });
  return raw_list(found);
}

Ref store_set_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kSetRawSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::string_view key = a.convert(1, py::as_utf8);
  std::string_view data = a.convert(2, py::as_bytes);
  // The bytes object is immutable and held by the caller: checked and copied detached.
  const codec::Checked checked = py::detached([&] {
    const codec::Checked c = codec::check_value(data, true);
    if (c.flaw == codec::Flaw::None) engine(self).set(ns, key, EncodedValue::copy_of(data));
    return c;
  });
  if (checked.flaw != codec::Flaw::None) py::raise_value_error(codec::flaw_message(checked));
  return py::none();
}

const SnapshotPtr& as_snapshot(PyObject* obj) {
  PyTypeObject* type = snapshot_type();
  py::check(type != nullptr);
  if (!PyObject_TypeCheck(obj, type)) py::raise_not_instance(obj, "Snapshot");
  return snap(obj);
}

Ref store_apply_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kApplyRawSig, args, nargs, kwnames);
  std::vector<Ref> triples;  // keep the strings and bytes that the views below see
  std::vector<KeyRef> pairs;
  std::vector<std::string_view> data;
  triples.reserve(size_hint(a[0]));
  pairs.reserve(size_hint(a[0]));
  data.reserve(size_hint(a[0]));
  a.named(0, [&] {
    for_each_tuple(a[0], 3, [&](Ref t) {
      pairs.push_back(
          {py::as_utf8(PyTuple_GET_ITEM(t.get(), 0)), py::as_utf8(PyTuple_GET_ITEM(t.get(), 1))});
      data.push_back(py::as_bytes(PyTuple_GET_ITEM(t.get(), 2)));
      triples.push_back(std::move(t));
    });
  });
  std::vector<Ref> dels;
  std::vector<KeyRef> deletes;
  if (a.given(1)) extract_pairs(a, 1, dels, deletes);
  SnapshotPtr base;
  if (!a.absent_or_none(2)) base = a.convert(2, as_snapshot);
  std::vector<EncodedValue> values(pairs.size());
  std::size_t bad = 0;
  // Every item is checked before anything changes; the engine then applies the batch as
  // one change.
  const codec::Checked checked = py::detached([&] {
    for (; bad < data.size(); ++bad) {
      const codec::Checked c = codec::check_value(data[bad], true);
      if (c.flaw != codec::Flaw::None) return c;
    }
    for (std::size_t i = 0; i < data.size(); ++i) values[i] = EncodedValue::copy_of(data[i]);
    engine(self).apply(deletes, pairs, values, base.get());
    return codec::Checked{};
  });
  if (checked.flaw != codec::Flaw::None) {
    PyObject* t = triples[bad].get();
    PyErr_Format(PyExc_ValueError, "items[%zu] (%R, %R): %s", bad, PyTuple_GET_ITEM(t, 0),
                 PyTuple_GET_ITEM(t, 1), codec::flaw_message(checked).c_str());
    throw py::Error{};
  }
  return py::none();
}

Ref store_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kContainsSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::string_view key = a.convert(1, py::as_utf8);
  bool found = py::detached([&] { return engine(self).contains(ns, key); });
  return py::boolean(found);
}

Ref store_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kDeleteSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::string_view key = a.convert(1, py::as_utf8);
  bool removed = py::detached([&] { return engine(self).erase(ns, key); });
  return py::boolean(removed);
}

Ref store_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kKeysSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::optional<std::string_view> prefix = optional_prefix(a, 1);
  std::vector<std::string> keys = py::detached([&] { return engine(self).keys(ns, prefix); });
  return str_list(keys);
}

Ref store_max_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kMaxKeySig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::optional<std::string> key = py::detached([&] { return engine(self).max_key(ns); });
  return key ? py::str(*key) : py::none();
}

Ref store_namespaces(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kNamespacesSig, args, nargs, kwnames);
  std::optional<std::string_view> prefix;
  if (!a.absent_or_none(0)) prefix = a.convert(0, py::as_utf8);
  std::vector<std::string> names = py::detached([&] { return engine(self).namespaces(prefix); });
  return str_list(names);
}

Ref store_copy_namespace(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  auto a = py::bind(kCopyNamespaceSig, args, nargs, kwnames);
  std::string_view source = a.convert(0, py::as_utf8);
  std::string_view target = a.convert(1, py::as_utf8);
  py::detached([&] { engine(self).copy_namespace(source, target); });
  return py::none();
}

Ref store_drop_namespace(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  auto a = py::bind(kDropNamespaceSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  const std::uint64_t n = py::detached([&] { return engine(self).drop_namespace(ns); });
  return py::integer(n);
}

Ref store_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kScanSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  ScanRange range;
  range.prefix = optional_prefix(a, 1);
  range.start = optional_prefix(a, 2);
  range.stop = optional_prefix(a, 3);
  if (a.given(4)) range.reverse = a.convert(4, as_bool);
  if (!a.absent_or_none(5)) {
    Py_ssize_t limit = a.convert(5, as_count);
    if (limit < 0) py::raise_value_error("limit must be non-negative");
    range.limit = static_cast<std::size_t>(limit);
  }
  std::vector<std::string> keys = py::detached([&] { return engine(self).scan(ns, range); });
  return str_list(keys);
}

Ref store_clear(PyObject* self) {
  py::detached([&] { engine(self).clear(); });
  return py::none();
}

Ref store_snapshot(PyObject* self) {
  SnapshotPtr data = py::detached([&] { return engine(self).snapshot(); });
  return make_snapshot(std::move(data));
}

Ref store_history(PyObject* self) {
  std::vector<SnapshotPtr> retained = py::detached([&] { return engine(self).history(); });
  Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(retained.size())));
  for (std::size_t i = 0; i < retained.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    make_snapshot(std::move(retained[i])).release());
  return list;
}

Ref store_clear_history(PyObject* self) {
  py::detached([&] { engine(self).clear_history(); });
  return py::none();
}

Ref store_restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kRestoreSig, args, nargs, kwnames);
  SnapshotPtr data = a.convert(0, as_snapshot);
  py::detached([&] { engine(self).restore(*data); });
  return py::none();
}

Ref store_restore_namespace(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  auto a = py::bind(kRestoreNamespaceSig, args, nargs, kwnames);
  SnapshotPtr data = a.convert(0, as_snapshot);
  std::string_view ns = a.convert(1, py::as_utf8);
  SnapshotPtr base;
  if (!a.absent_or_none(2)) base = a.convert(2, as_snapshot);
  const bool done =
      py::detached([&] { return engine(self).restore_namespace(*data, ns, base.get()); });
  return py::boolean(done);
}

Py_ssize_t store_len(PyObject* self) {
  const std::uint64_t n = py::detached([&] { return engine(self).entry_count(); });
  return py::to_ssize(n);
}

bool store_contains_namespace(PyObject* self, PyObject* arg) {
  std::string_view ns;
  try {
    ns = py::as_utf8(arg);
  } catch (const py::Error&) {
    py::detail::wrap_argument_error("namespace");
    throw;
  }
  return py::detached([&] { return engine(self).contains_namespace(ns); });
}

Ref store_repr(PyObject* self) {
  const std::uint64_t n = py::detached([&] { return engine(self).entry_count(); });
  return py::check(PyUnicode_FromFormat("Store(backend='memory', codec='msgpack', entries=%llu)",
                                        static_cast<unsigned long long>(n)));
}

Ref store_get_codec(PyObject*) { return py::check(PyUnicode_FromString("msgpack")); }

Ref store_get_max_history(PyObject* self) {
  std::optional<std::uint64_t> n = engine(self).max_history();
  return n ? py::integer(*n) : py::none();
}

#define QV_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::fastcall<f>))

PyMethodDef kStoreMethods[] = {
    {"set", QV_FASTCALL(&store_set), METH_FASTCALL | METH_KEYWORDS,
     "set($self, namespace, key, value)\n--\n\n"
     "Store `value` under `(namespace, key)`, replacing any existing value."},
    {"get", QV_FASTCALL(&store_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, namespace, key, default=None)\n--\n\n"
     "Return the value at `(namespace, key)`, or `default` (None) if absent."},
    {"set_many", QV_FASTCALL(&store_set_many), METH_FASTCALL | METH_KEYWORDS,
     "set_many($self, items, *, fallback=None)\n--\n\n"
     "Store many `(namespace, key, value)` triples in one call.\n\n"
     "Values are encoded under the GIL, then written with the GIL released,\n"
     "locking each shard once for the whole batch (not once per item). This\n"
     "spreads the per-call crossing and lock overhead over the whole batch.\n\n"
     "With `fallback`, a value is stored as itself only if it comes back with\n"
     "every type as it went in (see `roundtrips`); any other value is replaced by\n"
     "`fallback(value)`, stored as usual. Nothing is stored if a call raises."},
    {"get_many", QV_FASTCALL(&store_get_many), METH_FASTCALL | METH_KEYWORDS,
     "get_many($self, pairs)\n--\n\n"
     "Fetch many `(namespace, key)` pairs in one call, preserving input order.\n\n"
     "Missing pairs come back as `None`. Bytes are read with the GIL released\n"
     "(one read lock per shard for the batch), then decoded under the GIL."},
    {"get_raw", QV_FASTCALL(&store_get_raw), METH_FASTCALL | METH_KEYWORDS,
     "get_raw($self, namespace, key)\n--\n\n"
     "The encoded bytes stored at `(namespace, key)`, or `None` if absent.\n\n"
     "Nothing is decoded: these are the bytes `dumps` wrote (or `set_raw` took),\n"
     "for callers that keep values elsewhere as they are, such as a durable copy\n"
     "of the store."},
    {"get_many_raw", QV_FASTCALL(&store_get_many_raw), METH_FASTCALL | METH_KEYWORDS,
     "get_many_raw($self, pairs)\n--\n\n"
     "The encoded bytes of many `(namespace, key)` pairs, in input order.\n\n"
     "Missing pairs come back as `None`. The read locks of the shards touched are\n"
     "held together, so the batch is one moment of the store: a change made by\n"
     "`apply_raw` is seen whole or not at all."},
    {"set_raw", QV_FASTCALL(&store_set_raw), METH_FASTCALL | METH_KEYWORDS,
     "set_raw($self, namespace, key, data)\n--\n\n"
     "Store encoded bytes under `(namespace, key)` as they are.\n\n"
     "`data` must be exactly one value that `loads` reads, within the codec's\n"
     "limits, with valid UTF-8 text and nothing after it; otherwise ValueError\n"
     "is raised and nothing is stored. Nothing is decoded or re-encoded."},
    {"apply_raw", QV_FASTCALL(&store_apply_raw), METH_FASTCALL | METH_KEYWORDS,
     "apply_raw($self, items, deletes=(), base=None)\n--\n\n"
     "Remove `deletes`, then store `items`, as one change.\n\n"
     "`deletes` holds `(namespace, key)` pairs, `items` `(namespace, key, data)`\n"
     "triples; a pair in both ends up stored. Every `data` is checked as\n"
     "`set_raw` checks it before anything changes, and the shards touched are\n"
     "write-locked together, so no reader and no snapshot sees part of the change.\n\n"
     "With a `base` snapshot, each delete and item takes effect only where the\n"
     "store still holds what `base` holds for its pair (the same bytes, or\n"
     "neither holds it), judged at the moment of the change: pairs changed since\n"
     "`base` keep their value."},
    {"restore_namespace", QV_FASTCALL(&store_restore_namespace), METH_FASTCALL | METH_KEYWORDS,
     "restore_namespace($self, snapshot, namespace, base=None)\n--\n\n"
     "Roll one namespace back to what it holds in `snapshot`.\n\n"
     "The namespace is removed when the snapshot lacks it. It shares the\n"
     "snapshot's key map (no key or value is copied), and `snapshot` may come\n"
     "from another store. With a `base` snapshot, this happens only if the\n"
     "namespace is still as `base` has it (the very same key map, or absent\n"
     "from both). Returns whether the namespace was restored."},
    {"contains", QV_FASTCALL(&store_contains), METH_FASTCALL | METH_KEYWORDS,
     "contains($self, namespace, key)\n--\n\n"
     "Return whether `(namespace, key)` exists."},
    {"delete", QV_FASTCALL(&store_delete), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, namespace, key)\n--\n\n"
     "Delete `(namespace, key)`. Returns True if a value was removed.\n\n"
     "A namespace that loses its last key is dropped as well: otherwise empty\n"
     "namespaces pile up forever in [`Store::namespaces`], which callers scan\n"
     "(the LangGraph adapter does, on every `list()` / `delete_thread()`)."},
    {"keys", QV_FASTCALL(&store_keys), METH_FASTCALL | METH_KEYWORDS,
     "keys($self, namespace, prefix=None)\n--\n\n"
     "Keys within `namespace`, optionally only those starting with `prefix`.\n\n"
     "Empty list if the namespace is unknown."},
    {"max_key", QV_FASTCALL(&store_max_key), METH_FASTCALL | METH_KEYWORDS,
     "max_key($self, namespace)\n--\n\n"
     "The greatest key in `namespace`, or `None` if it holds nothing.\n\n"
     "Scans the namespace without building a key list, which is what callers\n"
     "after \"the newest entry\" actually need (the LangGraph adapter resolves\n"
     "the latest checkpoint id this way)."},
    {"namespaces", QV_FASTCALL(&store_namespaces), METH_FASTCALL | METH_KEYWORDS,
     "namespaces($self, prefix=None)\n--\n\n"
     "Namespaces in the store, optionally only those starting with `prefix`.\n\n"
     "Filtering happens here rather than in the caller so that a prefix scan\n"
     "copies only the names it returns. Callers that key namespaces by tenant\n"
     "or thread (the LangGraph adapter does) would otherwise pay for a full\n"
     "copy of every name on each lookup."},
    {"scan", QV_FASTCALL(&store_scan), METH_FASTCALL | METH_KEYWORDS,
     "scan($self, namespace, prefix=None, *, start=None, stop=None, reverse=False, limit=None)\n"
     "--\n\n"
     "Keys of `namespace` in key order, optionally only those starting with\n"
     "`prefix` and within `[start, stop)`.\n\n"
     "Keys compare bytewise, as in [`Store::max_key`]; `reverse=True` lists the\n"
     "greatest first. `limit` keeps the first `limit` keys of that order and\n"
     "selects them without sorting the whole namespace, so the newest few\n"
     "checkpoints before an id cost one call (the LangGraph adapter's\n"
     "`list(before=..., limit=...)`)."},
    {"copy_namespace", QV_FASTCALL(&store_copy_namespace), METH_FASTCALL | METH_KEYWORDS,
     "copy_namespace($self, source, target)\n--\n\n"
     "Make `target` an exact copy of `source`, replacing what it held.\n\n"
     "No key or value is copied: `target` shares the source's persistent key map,\n"
     "and later writes to either namespace stay in that namespace. An empty or\n"
     "unknown `source` leaves `target` empty."},
    {"drop_namespace", QV_FASTCALL(&store_drop_namespace), METH_FASTCALL | METH_KEYWORDS,
     "drop_namespace($self, namespace)\n--\n\n"
     "Remove `namespace` with all its keys in one step.\n\n"
     "Returns how many keys it held (0 if the namespace is unknown)."},
    {"clear", py::noargs<&store_clear>, METH_NOARGS,
     "clear($self)\n--\n\n"
     "Remove all entries (does not clear snapshot history)."},
    {"snapshot", py::noargs<&store_snapshot>, METH_NOARGS,
     "snapshot($self)\n--\n\n"
     "Capture a cheap, immutable snapshot of the current state.\n\n"
     "Read-locks every shard (in order) so the clone is a consistent\n"
     "point-in-time view, then clones each shard map (O(1) structural share)."},
    {"history", py::noargs<&store_history>, METH_NOARGS,
     "history($self)\n--\n\n"
     "Snapshots retained by this store, oldest first.\n\n"
     "Empty unless the store was built with `max_history`; the snapshots\n"
     "returned by [`Store::snapshot`] are always valid on their own."},
    {"clear_history", py::noargs<&store_clear_history>, METH_NOARGS,
     "clear_history($self)\n--\n\n"
     "Drop every retained snapshot, releasing the state they pin."},
    {"restore", QV_FASTCALL(&store_restore), METH_FASTCALL | METH_KEYWORDS,
     "restore($self, snapshot)\n--\n\n"
     "Roll the store back to a previously captured snapshot."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kStoreGetSet[] = {
    {"codec", py::getter<&store_get_codec>, nullptr,
     "The serialization codec (currently always `\"msgpack\"`).", nullptr},
    {"max_history", py::getter<&store_get_max_history>, nullptr,
     "How many snapshots the store retains: `0` none, `n` the last `n`,\n`None` unlimited.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStoreSlots[] = {
    {Py_tp_doc, const_cast<char*>("Store(backend=\"memory\", codec=\"msgpack\", max_history=...)\n"
                                  "--\n\n"
                                  "Framework-agnostic state store with immutable snapshots.")},
    {Py_tp_new, reinterpret_cast<void*>(py::newfunc<&store_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::object_dealloc<Engine>)},
    {Py_tp_methods, kStoreMethods},
    {Py_tp_getset, kStoreGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(py::reprfunc<&store_repr>)},
    {Py_sq_length, reinterpret_cast<void*>(py::lenfunc<&store_len>)},
    {Py_sq_contains, reinterpret_cast<void*>(py::containsfunc<&store_contains_namespace>)},
    {0, nullptr},
};

PyType_Spec kStoreSpec = {
    "quorvalent._core.Store", sizeof(py::Object<Engine>), 0, Py_TPFLAGS_DEFAULT, kStoreSlots,
};

// ---- Snapshot ----

Ref snapshot_get_id(PyObject* self) { return py::integer(snap(self)->id()); }
Ref snapshot_get_timestamp(PyObject* self) {
  return py::check(PyFloat_FromDouble(snap(self)->timestamp()));
}
Ref snapshot_get_parent(PyObject* self) {
  auto p = snap(self)->parent();
  return p ? py::integer(*p) : py::none();
}
Ref snapshot_get_size_bytes(PyObject* self) { return py::integer(snap(self)->size_bytes()); }
Ref snapshot_get_keys(PyObject* self) { return pair_list(snap(self)->keys()); }

Ref snapshot_diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kDiffSig, args, nargs, kwnames);
  SnapshotPtr base = a.convert(0, as_snapshot);
  Diff d = snap(self)->diff(*base);
  Ref result = py::check(PyDict_New());
  Ref added = pair_list(d.added), removed = pair_list(d.removed), changed = pair_list(d.changed);
  py::check(PyDict_SetItemString(result.get(), "added", added.get()) == 0);
  py::check(PyDict_SetItemString(result.get(), "removed", removed.get()) == 0);
  py::check(PyDict_SetItemString(result.get(), "changed", changed.get()) == 0);
  return result;
}

Ref snapshot_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kSnapGetSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::string_view key = a.convert(1, py::as_utf8);
  EncodedValue found = snap(self)->find(ns, key);
  return decoded_or_default(found, a, 2);
}

// The values a snapshot holds at the (namespace, key) pairs of argument 0, in order.
std::vector<EncodedValue> find_pairs(const SnapshotData& data, const py::Args<1>& a) {
  std::vector<EncodedValue> found;
  a.named(0, [&] {
    for_each_tuple(a[0], 2, [&](Ref t) {
      std::string_view ns = py::as_utf8(PyTuple_GET_ITEM(t.get(), 0));
      std::string_view key = py::as_utf8(PyTuple_GET_ITEM(t.get(), 1));
      found.push_back(data.find(ns, key));
    });
  });
  return found;
}

Ref snapshot_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kSnapGetManySig, args, nargs, kwnames);
  std::vector<EncodedValue> found = find_pairs(*snap(self), a);
  return decode_list(found);
}

Ref snapshot_get_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kSnapGetRawSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::string_view key = a.convert(1, py::as_utf8);
  return raw_or_none(snap(self)->find(ns, key));
}

Ref snapshot_get_many_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  auto a = py::bind(kSnapGetManyRawSig, args, nargs, kwnames);
  std::vector<EncodedValue> found = find_pairs(*snap(self), a);
  return raw_list(found);
}

Ref snapshot_keys_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kSnapKeysInSig, args, nargs, kwnames);
  std::string_view ns = a.convert(0, py::as_utf8);
  std::optional<std::string_view> prefix = optional_prefix(a, 1);
  return str_list(snap(self)->keys(ns, prefix));
}

Ref snapshot_namespaces(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  auto a = py::bind(kSnapNamespacesSig, args, nargs, kwnames);
  std::optional<std::string_view> prefix = optional_prefix(a, 0);
  return str_list(snap(self)->namespaces(prefix));
}

Ref snapshot_repr(PyObject* self) {
  const SnapshotData& s = *snap(self);
  std::string parent = s.parent() ? "Some(" + std::to_string(*s.parent()) + ")" : "None";
  std::string text = "Snapshot(id=" + std::to_string(s.id()) +
                     ", size_bytes=" + std::to_string(s.size_bytes()) + ", parent=" + parent + ")";
  return py::str(text);
}

PyMethodDef kSnapshotMethods[] = {
    {"diff", QV_FASTCALL(&snapshot_diff), METH_FASTCALL | METH_KEYWORDS,
     "diff($self, base)\n--\n\n"
     "Incremental diff describing how to go from `base` to `self`.\n\n"
     "Returns a dict with keys `\"added\"`, `\"removed\"`, and `\"changed\"`, each\n"
     "mapping to a list of `(namespace, key)` tuples."},
    {"get", QV_FASTCALL(&snapshot_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, namespace, key, default=None)\n--\n\n"
     "Return the value at `(namespace, key)` in the snapshot, or `default` (None)\n"
     "if absent."},
    {"get_many", QV_FASTCALL(&snapshot_get_many), METH_FASTCALL | METH_KEYWORDS,
     "get_many($self, pairs)\n--\n\n"
     "Fetch many `(namespace, key)` pairs from the snapshot, preserving input order.\n\n"
     "Missing pairs come back as `None`."},
    {"get_raw", QV_FASTCALL(&snapshot_get_raw), METH_FASTCALL | METH_KEYWORDS,
     "get_raw($self, namespace, key)\n--\n\n"
     "The encoded bytes at `(namespace, key)` in the snapshot, or `None` if absent."},
    {"get_many_raw", QV_FASTCALL(&snapshot_get_many_raw), METH_FASTCALL | METH_KEYWORDS,
     "get_many_raw($self, pairs)\n--\n\n"
     "The encoded bytes of many `(namespace, key)` pairs, in input order.\n\n"
     "Missing pairs come back as `None`."},
    {"keys_in", QV_FASTCALL(&snapshot_keys_in), METH_FASTCALL | METH_KEYWORDS,
     "keys_in($self, namespace, prefix=None)\n--\n\n"
     "Keys within `namespace` in the snapshot, optionally only those starting\n"
     "with `prefix`.\n\n"
     "Empty list if the namespace is unknown. The `keys` attribute lists every\n"
     "`(namespace, key)` pair instead."},
    {"namespaces", QV_FASTCALL(&snapshot_namespaces), METH_FASTCALL | METH_KEYWORDS,
     "namespaces($self, prefix=None)\n--\n\n"
     "Namespaces in the snapshot, optionally only those starting with `prefix`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSnapshotGetSet[] = {
    {"id", py::getter<&snapshot_get_id>, nullptr, "Monotonic id assigned by the originating store.",
     nullptr},
    {"timestamp", py::getter<&snapshot_get_timestamp>, nullptr,
     "Seconds since the Unix epoch when the snapshot was taken.", nullptr},
    {"parent", py::getter<&snapshot_get_parent>, nullptr,
     "Id of the previous snapshot from the same store (for incremental diffs).", nullptr},
    {"size_bytes", py::getter<&snapshot_get_size_bytes>, nullptr,
     "Total size in bytes of all stored (serialized) values.", nullptr},
    {"keys", py::getter<&snapshot_get_keys>, nullptr,
     "All `(namespace, key)` pairs present in the snapshot.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSnapshotSlots[] = {
    {Py_tp_doc, const_cast<char*>("A cheap, immutable point-in-time view of a [`Store`].")},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::object_dealloc<SnapshotPtr>)},
    {Py_tp_methods, kSnapshotMethods},
    {Py_tp_getset, kSnapshotGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(py::reprfunc<&snapshot_repr>)},
    {0, nullptr},
};

PyType_Spec kSnapshotSpec = {
    "quorvalent._core.Snapshot",
    sizeof(py::Object<SnapshotPtr>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSnapshotSlots,
};

py::LazyType store_lazy{&kStoreSpec, "Store"};
py::LazyType snapshot_lazy{&kSnapshotSpec, "Snapshot"};

}  // namespace

PyTypeObject* store_type() noexcept { return store_lazy.get(); }
PyTypeObject* snapshot_type() noexcept { return snapshot_lazy.get(); }

}  // namespace store
