#include "import_ir/node_checks.h"

#include <array>
#include <utility>

#include "py/module_state.h"

namespace vantle::import_ir {

NodeChecks::NodeChecks() {
  constexpr std::array<std::pair<const char*, const char*>, 2> kChecks = {{
      {"check_node_types", "TYPE_CHECKED_KINDS"},
      {"check_node_shapes", "SHAPE_CHECKED_KINDS"},
  }};
  nb::object ir = py::module_global("ir");
  for (const auto& [function_name, kinds_name] : kChecks) {
    nb::object function = nb::getattr(ir, function_name, nb::none());
    nb::object kinds = nb::getattr(ir, kinds_name, nb::none());
    if (function.is_none() || kinds.is_none()) continue;
    checks_.push_back({function, py::InstanceTest(kinds)});
  }
}

void NodeChecks::operator()(nb::handle name, nb::handle node) {
  for (Check& check : checks_) {
    if (check.applies(node)) check.function(name, node);
  }
}

}  // namespace vantle::import_ir
