#include "module/classes.hpp"

#include "graph/py_graph.hpp"
#include "store/py_store.hpp"

namespace qv {

namespace {
constexpr ClassEntry kClasses[] = {
    {"Store", store::store_type},
    {"Snapshot", store::snapshot_type},
    {"HandoffGraph", graph::handoff_graph_type},
};
}  // namespace

std::span<const ClassEntry> module_classes() noexcept { return kClasses; }

}  // namespace qv
