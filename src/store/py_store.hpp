// The Python classes `Store` and `Snapshot` over the engine.
#pragma once

#include <Python.h>

namespace store {

PyTypeObject* store_type() noexcept;     // borrowed; nullptr with an exception set
PyTypeObject* snapshot_type() noexcept;  // borrowed; nullptr with an exception set

}  // namespace store
