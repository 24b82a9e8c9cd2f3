// The plain-Sequential fast path of the traced pass: a Sequential of leaves
// needs no hooks on its layers, the recorder calls them in turn itself.
#pragma once

#include <nanobind/nanobind.h>

#include <unordered_set>
#include <vector>

#include "export_ir/trace/module_tree.h"

namespace vantle::export_ir {

class ModuleKinds;

// Leaves registered in a plain Sequential: called with the mode off, they
// need no pre-hook (see Recorder::set_quiet).
std::unordered_set<PyObject*> quiet_leaves(const ModuleTree& tree, nb::handle sequential,
                                           ModuleKinds& kinds);

// The children a plain Sequential model calls, in order, when calling them in
// turn is all that model(*args) would do and each is a quiet leaf without
// pre-hooks of its own (which could change what it receives); else nothing.
std::vector<nb::object> children_in_turn(nb::handle model, nb::handle sequential,
                                         const std::vector<nb::tuple>& calls,
                                         const std::unordered_set<PyObject*>& quiet);

}  // namespace vantle::export_ir
