#include "module/classes.hpp"

namespace qv {

std::span<const ClassEntry> module_classes() noexcept { return {}; }

}  // namespace qv
