#include "import_ir/module_fields.h"

#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "import_ir/weights.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::import_ir {

void init_module_base(nb::handle self) {
  py::module_global("nn").attr("Module").attr("__init__")(self);
}

int64_t ndim_of(nb::handle array) {
  nb::object dims = array.attr("ndim");
  return nb::cast<int64_t>(nb::int_(nb::handle(dims)));
}

int64_t dim_of(nb::handle array, int64_t axis) {
  nb::object size = array.attr("shape")[nb::int_(axis)];
  return nb::cast<int64_t>(nb::int_(nb::handle(size)));
}

std::string reported_shape(nb::handle array) {
  nb::object shape = array.attr("shape");
  return nb::cast<std::string>(nb::str(nb::handle(shape)));
}

void fail(const std::string& message) {
  throw nb::value_error(message.c_str());
}

void register_float32_buffers(nb::handle self, std::span<const char* const> names,
                              std::span<const nb::handle> arrays) {
  std::vector<nb::object> tensors;
  tensors.reserve(arrays.size());
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    tensors.push_back(field_float32(arrays[i], names[i]));
  }
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    self.attr("register_buffer")(names[i], tensors[i]);
  }
}

}  // namespace vantle::import_ir
