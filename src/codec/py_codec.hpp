// The Python side of the codec: Python objects to msgpack bytes and value trees, and
// msgpack bytes back to Python objects. All of it runs attached to the interpreter and
// throws py::Error with the Python exception set.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "bridge/ref.hpp"
#include "codec/bytes.hpp"
#include "codec/value.hpp"

namespace codec {

// Appends the encoding of `obj` at `depth`. On failure the buffer holds a partial
// encoding that the caller must discard.
void write_obj(Writer& w, PyObject* obj, int depth);

// The whole encoding of one value. Strong guarantee.
std::string encode(PyObject* obj);

// Encodes `obj` in this thread's reused buffer and hands the bytes to `sink`, which must
// copy what it keeps. Saves the allocations of `encode` where the caller copies anyway.
void encode_to(PyObject* obj, void (*sink)(std::string_view bytes, void* ctx), void* ctx);

// encode_to in exact mode: hands the encoding to `sink` and returns true only if decoding
// it gives `obj` back with every type as it was (the types and limits of roundtrips);
// else returns false, raising nothing and calling nothing.
bool encode_exact_to(PyObject* obj, void (*sink)(std::string_view bytes, void* ctx), void* ctx);

// The value tree of `obj` (routing state), with the encoder's type rules and errors.
Value py_to_value_at(PyObject* obj, int depth);

// One value decoded from the start of `data`; trailing bytes are ignored.
py::Ref decode(std::string_view data);

// Whether decoding the encoding of `obj` gives it back with every type as it was (exact
// built-in types the decoder returns as such, str keys, within the encoder's limits).
// False, raising nothing, for everything else, also for what the encoder would reject.
bool roundtrips(PyObject* obj);

// The module-level functions.
PyObject* codec_dumps(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
PyObject* codec_loads(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
PyObject* codec_roundtrips(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept;

}  // namespace codec
