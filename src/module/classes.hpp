// The classes the module exports, in the order they are added to it.
#pragma once

#include <Python.h>

#include <span>

namespace qv {

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)() noexcept;  // borrowed; nullptr with an exception set
};

std::span<const ClassEntry> module_classes() noexcept;

}  // namespace qv
