// ChannelSplitModule and ConcatModule: the routing nodes of branching graphs.
// The executor does the fan-out and the concatenation; these modules carry the
// metadata (and the split itself) so export can write the same nodes back.
#include <string>

#include "import_ir/classes.h"
#include "import_ir/module_fields.h"
#include "py/arg_check.h"
#include "py/class_factory.h"
#include "py/fast_path.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::import_ir {
namespace {

using py::module_global;
using namespace nb::literals;

std::string text(nb::handle value) {
  return nb::str(value).c_str();
}

// --- ChannelSplitModule ------------------------------------------------------------

void split_init(nb::handle self, nb::handle split_sections, nb::handle dim) {
  nb::tuple sections = py::arg_tuple(split_sections, "split_sections");
  nb::int_ axis = py::arg_pyint(dim, "dim");
  init_module_base(self);
  if (nb::len(sections) == 0) throw nb::value_error("split_sections must be non-empty");
  nb::list sizes;
  for (nb::handle entry : sections) {
    nb::int_ size(entry);
    if (!py::truthy(size.attr("__gt__")(nb::int_(0)))) {
      throw nb::value_error("All split_sections must be positive integers");
    }
    sizes.append(size);
  }
  self.attr("split_sections") = nb::tuple(sizes);
  self.attr("dim") = axis;
}

// The split axis counted from the front; raises when it is out of range.
int64_t split_axis(nb::handle dim, int64_t rank) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(dim.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw nb::python_error();
  const int64_t axis = value >= 0 ? value : rank + value;
  if (overflow != 0 || axis < 0 || axis >= rank) {
    throw nb::value_error(
        ("Split dim " + text(dim) + " out of range for rank " + std::to_string(rank)).c_str());
  }
  return axis;
}

nb::object split_forward(nb::handle self, nb::handle x) {
  const auto shape = py::shape_of(x);
  const auto rank = static_cast<int64_t>(shape.size());
  if (rank < 2) {
    throw nb::value_error(
        ("ChannelSplit expects at least 2D input, got shape " + py::shape_text(x)).c_str());
  }
  nb::object sections = self.attr("split_sections");
  const int64_t axis = split_axis(self.attr("dim"), rank);
  nb::object expected = nb::int_(0);
  for (nb::handle size : sections) expected = expected + size;
  nb::int_ actual(shape[axis]);
  if (!expected.equal(actual)) {
    throw nb::value_error(("Split sections sum (" + text(expected) +
                           ") must match input size along dim " + std::to_string(axis) + " (" +
                           text(actual) + ")")
                              .c_str());
  }
  return module_global("torch").attr("split")(x, sections, "dim"_a = axis);
}

// --- ConcatModule ------------------------------------------------------------------

void concat_init(nb::handle self, nb::handle num_inputs, nb::handle dim) {
  nb::int_ inputs = py::arg_pyint(num_inputs, "num_inputs");
  nb::int_ axis = py::arg_pyint(dim, "dim");
  init_module_base(self);
  if (py::truthy(inputs.attr("__lt__")(nb::int_(2)))) {
    throw nb::value_error(("Concat requires at least 2 inputs, got " + text(inputs)).c_str());
  }
  self.attr("num_inputs") = inputs;
  self.attr("dim") = axis;
  self.attr("skip_type") = nb::str("concatenate");
}

// The executor has already joined the inputs; the node passes the result on.
nb::object pass_through(nb::handle, nb::handle x) {
  return nb::borrow(x);
}

}  // namespace

void define_routing(nb::module_ module) {
  nb::object module_base = module_global("nn").attr("Module");

  py::ClassBuilder(module, "ChannelSplitModule", module_base,
                   "Cuts a tensor into consecutive chunks along one axis.\n\n"
                   "``ChannelSplitModule(split_sections, dim=1)``: ``split_sections`` is a tuple\n"
                   "of positive chunk sizes that must add up to the input's size along\n"
                   "``dim``. ``forward(x)`` returns the chunks as a tuple of views; the\n"
                   "executor gives the i-th outgoing edge the i-th chunk.")
      .add("_is_multi_output", nb::bool_(true))
      .method("__init__", &split_init, nb::arg("self").none(), nb::arg("split_sections").none(),
              nb::arg("dim").none() = 1)
      .method("forward", &split_forward, nb::arg("self").none(), nb::arg("x").none())
      .finish();

  py::ClassBuilder(module, "ConcatModule", module_base,
                   "Marks where the executor concatenates several inputs.\n\n"
                   "``ConcatModule(num_inputs=2, dim=1)``; ``skip_type`` is \"concatenate\", so\n"
                   "the executor joins the node's inputs along ``dim`` before calling it.\n"
                   "``forward(x)`` returns ``x`` itself.")
      .method("__init__", &concat_init, nb::arg("self").none(), nb::arg("num_inputs").none() = 2,
              nb::arg("dim").none() = 1)
      .method("forward", &pass_through, nb::arg("self").none(), nb::arg("x").none())
      .finish();
}

}  // namespace vantle::import_ir
