// `HandoffGraph`: the access flag around every member, argument conversion, projection of
// a dict state through the node's guard path index, and guard evaluation detached from
// the interpreter.
#include "graph/py_graph.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "codec/py_codec.hpp"
#include "codec/scratch.hpp"
#include "graph/graph.hpp"
#include "module/bind.hpp"
#include "module/types.hpp"

namespace graph {
namespace {

using py::Ref;

struct GraphObject {
  explicit GraphObject(CyclePolicy policy) noexcept : graph(policy) {}
  py::AccessFlag access;
  Graph graph;
};

GraphObject& native(PyObject* self) { return py::native<GraphObject>(self); }

constexpr py::Signature<1> kNewSig{"HandoffGraph.__new__()", {"on_cycle"}, 0};
constexpr py::Signature<1> kAddNodeSig{"HandoffGraph.add_node()", {"name"}, 1};
constexpr py::Signature<3> kAddEdgeSig{"HandoffGraph.add_edge()", {"from_node", "to", "when"}, 2};
constexpr py::Signature<2> kRouteSig{"HandoffGraph.route()", {"node", "state"}, 1};
constexpr py::Signature<1> kEdgesSig{"HandoffGraph.edges()", {"node"}, 1};
constexpr py::Signature<1> kHasNodeSig{"HandoffGraph.has_node()", {"node"}, 1};

Ref graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto a = py::bind(kNewSig, args, kwargs);
  std::string_view text = "error";
  if (a.given(0)) text = a.convert(0, py::as_utf8);
  std::optional<CyclePolicy> policy = cycle_policy_from(text);
  if (!policy) py::raise_value_error(std::string(k_bad_cycle_policy));
  return py::make_object<GraphObject>(type, *policy);
}

Ref graph_add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kAddNodeSig, args, nargs, kwnames);
  GraphObject& g = native(self);
  py::ExclusiveAccess exclusive(g.access);
  std::string_view name = a.convert(0, py::as_utf8);
  g.graph.add_node(name);
  return py::none();
}

Ref graph_add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kAddEdgeSig, args, nargs, kwnames);
  GraphObject& g = native(self);
  py::ExclusiveAccess exclusive(g.access);
  std::string_view from = a.convert(0, py::as_utf8);
  std::string_view to = a.convert(1, py::as_utf8);
  std::optional<std::string_view> when;
  if (!a.absent_or_none(2)) when = a.convert(2, py::as_utf8);
  if (std::optional<EdgeError> err = g.graph.add_edge(from, to, when))
    py::raise_value_error(err->message);
  return py::none();
}

// Identifier segments are ASCII: copying the bytes skips the UTF-8 decoder.
Ref key_str(const PathTrie::Node& node) {
  if (!node.ascii) return py::str(node.segment);
  Ref s = py::check(PyUnicode_New(static_cast<Py_ssize_t>(node.segment.size()), 127));
  std::memcpy(PyUnicode_DATA(s.get()), node.segment.data(), node.segment.size());
  return s;
}

// A dict state is read only at the node's guard paths, segment by segment in each dict's
// own storage (no __getitem__ or __missing__ of a subclass runs); `roots[i]` gets the
// value found at path i, converted, and stays nil where the path leads nowhere. Each trie
// node is looked up at most once, in the object found at its parent, with a key str made
// for that lookup: paths sharing leading segments share those lookups.
void project(const PathTrie& trie, PyObject* state, std::span<codec::Value> roots) {
  codec::ScratchArray<Ref, 16> found(trie.size());  // per trie node, once looked up
  codec::ScratchArray<bool, 16> tried(trie.size());
  found[0] = py::borrow(state);
  for (std::size_t p = 0; p < trie.path_count(); ++p) {
    PyObject* cur = nullptr;
    for (std::uint32_t id : trie.chain(p)) {
      cur = nullptr;
      if (found[id]) {
        cur = found[id].get();
        continue;
      }
      if (tried[id]) break;
      tried[id] = true;
      PyObject* parent = found[trie.node(id).parent].get();
      if (!PyDict_Check(parent)) break;
      const Ref key = key_str(trie.node(id));
      PyObject* item = nullptr;
      const int r = PyDict_GetItemRef(parent, key.get(), &item);
      py::check(r >= 0);
      if (r == 0) break;
      found[id] = py::steal(item);
      cur = item;
    }
    if (cur) roots[p] = codec::py_to_value_at(cur, 0);
  }
}

// Walks the edges, detached from the interpreter only when a guard must be evaluated;
// `evaluate` routes against the state, `drop` frees it (detached too, when detached).
template <class Evaluate, class Drop>
std::optional<std::string_view> decide(std::span<const Edge> edges, Evaluate evaluate, Drop drop) {
  if (edges.empty()) return std::nullopt;  // no reason to let go of the interpreter
  // The edges live in the graph, not in the span; reach them through data() so the
  // returned view is not taken for one into the span object.
  const Edge& first = edges.data()[0];
  if (!first.guard) return std::string_view(first.to);
  py::Detach detached;
  std::optional<std::string_view> target = evaluate();
  drop();
  return target;
}

Ref graph_route(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kRouteSig, args, nargs, kwnames);
  GraphObject& g = native(self);
  py::SharedAccess shared(g.access);
  std::string_view node = a.convert(0, py::as_utf8);
  const Graph::NodeView view = g.graph.view(node);
  PyObject* state = a[1];
  std::optional<std::string_view> target;
  if (state && state != Py_None && PyDict_Check(state)) {
    // Guards read the projected values directly: no state tree is built.
    codec::ScratchArray<codec::Value, 8> roots(view.trie ? view.trie->path_count() : 0);
    if (view.trie) project(*view.trie, state, roots.span());
    target = decide(
        view.edges, [&] { return Graph::route_projected(view.edges, roots.span()); },
        [&] { roots.clear(); });
  } else {
    codec::Value tree =
        state && state != Py_None ? codec::py_to_value_at(state, 0) : codec::Value::map_flat({});
    target = decide(
        view.edges, [&] { return Graph::route_edges(view.edges, tree); },
        [&] { tree = codec::Value(); });
  }
  return target ? py::str(*target) : py::none();
}

Ref graph_nodes(PyObject* self) {
  GraphObject& g = native(self);
  py::SharedAccess shared(g.access);
  std::vector<std::string> names = g.graph.nodes();
  Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(names.size())));
  for (std::size_t i = 0; i < names.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::str(names[i]).release());
  return list;
}

Ref graph_edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kEdgesSig, args, nargs, kwnames);
  GraphObject& g = native(self);
  py::SharedAccess shared(g.access);
  std::string_view node = a.convert(0, py::as_utf8);
  std::span<const Edge> edges = g.graph.edges(node);
  Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(edges.size())));
  for (std::size_t i = 0; i < edges.size(); ++i) {
    Ref to = py::str(edges[i].to);
    Ref when = edges[i].when ? py::str(*edges[i].when) : py::none();
    PyObject* pair = PyTuple_Pack(2, to.get(), when.get());
    if (!pair) throw py::Error{};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

Ref graph_has_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::bind(kHasNodeSig, args, nargs, kwnames);
  GraphObject& g = native(self);
  py::SharedAccess shared(g.access);
  return py::boolean(g.graph.has_node(a.convert(0, py::as_utf8)));
}

Ref graph_is_dag(PyObject* self) {
  GraphObject& g = native(self);
  py::SharedAccess shared(g.access);
  return py::boolean(g.graph.is_dag());
}

Py_ssize_t graph_len(PyObject* self) {
  GraphObject& g = native(self);
  py::SharedAccess shared(g.access);
  return py::to_ssize(g.graph.node_count());
}

bool graph_contains(PyObject* self, PyObject* arg) {
  GraphObject& g = native(self);
  py::SharedAccess shared(g.access);
  std::string_view node;
  try {
    node = py::as_utf8(arg);
  } catch (const py::Error&) {
    py::detail::wrap_argument_error("node");
    throw;
  }
  return g.graph.has_node(node);
}

Ref graph_repr(PyObject* self) {
  GraphObject& g = native(self);
  py::SharedAccess shared(g.access);
  return py::str(g.graph.repr());
}

Ref graph_get_on_cycle(PyObject* self) {
  GraphObject& g = native(self);
  py::SharedAccess shared(g.access);
  return py::str(cycle_policy_name(g.graph.on_cycle()));
}

#define QV_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py::fastcall<f>))

PyMethodDef kMethods[] = {
    {"add_node", QV_FASTCALL(&graph_add_node), METH_FASTCALL | METH_KEYWORDS,
     "add_node($self, name)\n--\n\n"
     "Register a node with no edges (edges also register their endpoints)."},
    {"add_edge", QV_FASTCALL(&graph_add_edge), METH_FASTCALL | METH_KEYWORDS,
     "add_edge($self, from_node, to, when=None)\n--\n\n"
     "Add a directed edge `from -> to`, optionally guarded by a `when`\n"
     "condition (see the condition mini-language).\n\n"
     "Raises `ValueError` on an invalid condition, or \u2014 when `on_cycle` is\n"
     "`\"error\"` \u2014 if the edge would create a cycle."},
    {"route", QV_FASTCALL(&graph_route), METH_FASTCALL | METH_KEYWORDS,
     "route($self, node, state=None)\n--\n\n"
     "Resolve the next node from `node` given `state`.\n\n"
     "Evaluates outgoing edges in insertion order and returns the first whose\n"
     "condition is satisfied (an edge with no condition always matches).\n"
     "Returns `None` if no edge matches."},
    {"nodes", py::noargs<&graph_nodes>, METH_NOARGS,
     "nodes($self)\n--\n\n"
     "All nodes in the graph (sorted for stable output)."},
    {"edges", QV_FASTCALL(&graph_edges), METH_FASTCALL | METH_KEYWORDS,
     "edges($self, node)\n--\n\n"
     "Outgoing edges of `node` as `(to, when)` pairs, in insertion order."},
    {"has_node", QV_FASTCALL(&graph_has_node), METH_FASTCALL | METH_KEYWORDS,
     "has_node($self, node)\n--\n\n"
     "Whether `node` exists in the graph."},
    {"is_dag", py::noargs<&graph_is_dag>, METH_NOARGS,
     "is_dag($self)\n--\n\n"
     "Whether the graph is currently acyclic.\n\n"
     "Kahn's algorithm: O(V+E) and iterative. The previous reachability search\n"
     "per edge was O(V\u00b7E) \u2014 half a second on a 3000-node chain \u2014 and recursed\n"
     "once per node, so a deep graph could overflow the stack."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"on_cycle", py::getter<&graph_get_on_cycle>, nullptr,
     "Behaviour on cycle detection: `\"error\"` or `\"allow\"`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("HandoffGraph(on_cycle=\"error\")\n--\n\n"
                                  "A deterministic routing graph over named nodes with "
                                  "conditional edges.")},
    {Py_tp_new, reinterpret_cast<void*>(py::newfunc<&graph_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::object_dealloc<GraphObject>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(py::reprfunc<&graph_repr>)},
    {Py_sq_length, reinterpret_cast<void*>(py::lenfunc<&graph_len>)},
    {Py_sq_contains, reinterpret_cast<void*>(py::containsfunc<&graph_contains>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quorvalent._core.HandoffGraph", sizeof(py::Object<GraphObject>), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

py::LazyType lazy{&kSpec, "HandoffGraph"};

}  // namespace

PyTypeObject* handoff_graph_type() noexcept { return lazy.get(); }

}  // namespace graph
