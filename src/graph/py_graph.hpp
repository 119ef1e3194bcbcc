// The Python class `HandoffGraph` over the graph core.
#pragma once

#include <Python.h>

namespace graph {

PyTypeObject* handoff_graph_type() noexcept;  // borrowed; nullptr with an exception set

}  // namespace graph
