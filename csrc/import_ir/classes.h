// Definitions of the import module's classes and functions, one group per file.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::import_ir {

namespace nb = nanobind;

void define_spiking(nb::module_ module);

}  // namespace vantle::import_ir
