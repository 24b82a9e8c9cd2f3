// Pieces shared by the module classes' constructors and forwards: the base
// initialisation, reading the arrays they receive (NumPy arrays, or anything
// with `ndim`, `shape` and a NumPy conversion), and storing them as buffers
// the module owns.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <string>

namespace vantle::import_ir {

namespace nb = nanobind;

// torch.nn.Module.__init__(self)
void init_module_base(nb::handle self);

// int(array.ndim)
int64_t ndim_of(nb::handle array);

// int(array.shape[axis])
int64_t dim_of(nb::handle array, int64_t axis);

// str(array.shape): the shape as the array itself prints it, e.g. "(8, 2, 3, 3)".
std::string reported_shape(nb::handle array);

// Raises ValueError(message).
[[noreturn]] void fail(const std::string& message);

// Float32 copies of `arrays` registered on `self` as buffers `names[i]`, in
// order. All arrays convert before the first registration, so a failed
// conversion leaves no partial state behind. The copies never share memory
// with the arrays, so a module never writes into the graph it came from. A
// failed conversion carries a note naming the array (the node field of that name).
void register_float32_buffers(nb::handle self, std::span<const char* const> names,
                              std::span<const nb::handle> arrays);

}  // namespace vantle::import_ir
