// The model's modules, walked as nn.Module walks them.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

namespace vantle::export_ir {

namespace nb = nanobind;

// list(model.named_modules()) and list(model.modules()); `nn` is torch.nn.
nb::list named_modules(nb::handle nn, nb::handle model);
std::vector<nb::object> modules(nb::handle nn, nb::handle model);

// Both, from one walk where the model keeps nn.Module's methods.
struct ModuleTree {
  nb::list named;
  std::vector<nb::object> modules;
  std::vector<int32_t> parents;  // each module's parent in `modules` (-1: none); may be empty
};
ModuleTree module_tree(nb::handle nn, nb::handle model);

}  // namespace vantle::export_ir
