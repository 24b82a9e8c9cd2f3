// Quantization-aware training: forward hooks that fake-quantize module outputs.
#include "py/arg_check.h"
#include "py/class_factory.h"
#include "py/module_state.h"
#include "py/no_grad.h"
#include "py/torch_ops.h"
#include "quantize/quantize.h"

namespace vantle::quantize {
namespace {

using py::module_global;

void hook_init(nb::handle self, nb::handle bits, nb::handle symmetric) {
  // Settings are fixed here: later changes to the configuration do not reach the hook.
  nb::setattr(self, "bits", py::arg_pyint(bits, "bits"));
  nb::setattr(self, "symmetric", nb::bool_(py::truthy(symmetric)));
}

nb::object hook_call(nb::handle self, nb::handle, nb::handle, nb::handle output) {
  const bool is_tuple = PyTuple_Check(output.ptr()) != 0;
  if (is_tuple && PyTuple_GET_SIZE(output.ptr()) == 0) return nb::borrow(output);
  nb::handle value = is_tuple ? PyTuple_GET_ITEM(output.ptr(), 0) : output.ptr();
  nb::object torch = module_global("torch");
  if (!nb::isinstance(value, torch.attr("Tensor"))) return nb::borrow(output);

  nb::object bits = self.attr("bits");
  nb::object symmetric = self.attr("symmetric");
  nb::tuple scale_zp;
  {
    py::NoGrad no_grad(torch);
    nb::float_ low(to_double(value.attr("min")()));
    nb::float_ high(to_double(value.attr("max")()));
    scale_zp = compute_scale_zp(low, high, bits, symmetric);
  }
  nb::object quantized = quantize_tensor(value, scale_zp[0], scale_zp[1], bits, symmetric);
  if (!is_tuple) return quantized;

  // A plain tuple, also for named tuples: the quantized first element, the rest as they were.
  const Py_ssize_t size = PyTuple_GET_SIZE(output.ptr());
  nb::object result = nb::steal(PyTuple_New(size));
  PyTuple_SET_ITEM(result.ptr(), 0, quantized.release().ptr());
  for (Py_ssize_t i = 1; i < size; ++i) {
    PyTuple_SET_ITEM(result.ptr(), i,
                     nb::borrow(PyTuple_GET_ITEM(output.ptr(), i)).release().ptr());
  }
  return result;
}

nb::object prepare_model(nb::handle model, nb::handle config) {
  nb::object per_node = per_node_precision(config);
  check_per_node_names(model, config, per_node);
  nb::object hook_class = module_global("_FakeQuantHook");
  for_each_named_module(model, [&](nb::handle name, nb::handle module) {
    nb::object bits = annotate_precision(config, per_node, name, module);
    if (full_width(bits)) return;
    check_accumulator(config, name, module, bits);
    module.attr("register_forward_hook")(hook_class(bits, config.attr("symmetric")));
  });
  return nb::borrow(model);
}

}  // namespace

void define_training(nb::module_ module) {
  py::ClassBuilder(module, "_FakeQuantHook", reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                   "Forward hook that fake-quantizes a module's output (the first element of\n"
                   "a tuple) onto the ``bits``-bit grid of its own range in every call, with a\n"
                   "straight-through gradient.")
      .method("__init__", &hook_init, nb::arg("self").none(), nb::arg("bits").none(),
              nb::arg("symmetric").none())
      .method("__call__", &hook_call, nb::arg("self").none(), nb::arg("module").none(),
              nb::arg("inputs").none(), nb::arg("output").none())
      .finish();

  module.def("quantize_aware_training", &prepare_model, nb::arg("model").none(),
             nb::arg("config").none(),
             "Prepare ``model`` for quantization-aware training and return it.\n\n"
             "Every module gets ``_vantle_precision`` and ``_vantle_accumulator_bits``;\n"
             "every module narrower than 32 bits gets a forward hook that fake-quantizes\n"
             "its output with the range measured from that output. Weights are untouched;\n"
             "call ``quantize`` with the same configuration after training.");
}

}  // namespace vantle::quantize
