// VANTLEExporter and export_ir: argument checks and the export flow, which
// runs the phases directly (trace -> assembly) and keeps the documented
// underscore methods as shims over them.
#include <nanobind/stl/string.h>

#include <array>
#include <memory>
#include <string>

#include "export_ir/assembly/assembly.h"
#include "export_ir/common/cpython.h"
#include "export_ir/rules/bridge_types.h"
#include "export_ir/rules/module_converter.h"
#include "export_ir/rules/rules.h"
#include "export_ir/surface/surface.h"
#include "export_ir/trace/traced_pass.h"
#include "py/arg_check.h"
#include "py/class_factory.h"
#include "py/instance_test.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

using py::module_global;

void check_custom_map(nb::handle custom_map) {
  py::require_exact(custom_map, &PyDict_Type, "custom_map", "dict", true);
}

struct BitWidths {
  nb::object weight_bits;
  nb::object accumulator_bits;
};

// A bit width of zero or less describes no hardware.
nb::object positive_width(nb::handle value, const char* name) {
  nb::int_ width = py::arg_pyint(value, name);
  if (!(width > nb::int_(0))) {
    const std::string message = std::string(name) + " must be a positive integer, got " +
                                nb::cast<std::string>(nb::str(width));
    throw nb::value_error(message.c_str());
  }
  return width;
}

BitWidths check_settings(nb::handle spike_mode, nb::handle weight_bits,
                         nb::handle accumulator_bits) {
  py::arg_str(spike_mode, "spike_mode");
  nb::object weight = positive_width(weight_bits, "weight_bits");
  return {weight, positive_width(accumulator_bits, "accumulator_bits")};
}

void exporter_init(nb::handle self, nb::handle spiking, nb::handle spike_mode,
                   nb::handle weight_bits, nb::handle accumulator_bits, nb::handle strict) {
  const BitWidths bits = check_settings(spike_mode, weight_bits, accumulator_bits);
  self.attr("_input_shapes") = nb::dict();
  self.attr("_output_shapes") = nb::dict();
  self.attr("_spiking") = nb::bool_(py::truthy(spiking));
  self.attr("_spike_mode") = spike_mode;
  self.attr("_weight_bits") = bits.weight_bits;
  self.attr("_accumulator_bits") = bits.accumulator_bits;
  self.attr("_strict") = nb::bool_(py::truthy(strict));
  // The trace _capture_shapes leaves for a later _export_sequential.
  self.attr("_dataflow") = nb::none();
}

// The cyclic garbage collector stays off for one export: the trace makes
// thousands of small containers that live to the end, and collections in
// between would walk them again and again (a tenth of an export's time).
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

// The methods through which export runs its phases; a subclass or an instance
// that replaces one gets every phase called as a method, as export always did.
constexpr std::array<const char*, 3> kPhaseMethods = {"_capture_shapes", "_export_sequential",
                                                      "_export_graph_executor"};

bool phases_replaced(nb::handle self) {
  nb::object base = module_global("VANTLEExporter");
  if (!PyType_Check(base.ptr())) return true;
  auto* base_type = reinterpret_cast<PyTypeObject*>(base.ptr());
  PyTypeObject* type = Py_TYPE(self.ptr());
  if (!py::has_generic_getattribute(type)) return true;
  nb::object dict = instance_dict(self);
  for (const char* name : kPhaseMethods) {
    if (type != base_type && type_lookup(type, name) != type_lookup(base_type, name)) return true;
    if (PyDict_Check(dict.ptr())) {
      const int own = PyDict_Contains(dict.ptr(), interned(name).ptr());
      if (own < 0) throw nb::python_error();
      if (own == 1) return true;
    }
  }
  return false;
}

// The traced pass of the export phases: the exporter's last trace is dropped
// once the sample is known to be usable.
std::unique_ptr<Trace> traced_pass(nb::handle self, nb::handle model, nb::handle sample) {
  nb::tuple args = sample_arguments(sample);
  self.attr("_dataflow") = nb::none();
  return record_dataflow(self, model, {args}, false, false);
}

nb::object export_through_methods(nb::handle self, nb::handle model, nb::handle sample,
                                  nb::handle custom_map) {
  self.attr("_capture_shapes")(model, sample);
  if (is_executor(model)) return self.attr("_export_graph_executor")(model, sample, custom_map);
  return self.attr("_export_sequential")(model, sample, custom_map);
}

nb::object exporter_export(nb::handle self, nb::handle model, nb::handle sample,
                           nb::handle custom_map) {
  check_custom_map(custom_map);
  CollectorPause no_collections;
  self.attr("_input_shapes").attr("clear")();
  self.attr("_output_shapes").attr("clear")();
  if (phases_replaced(self)) return export_through_methods(self, model, sample, custom_map);

  // trace -> assembly, the trace handed over as a C++ value.
  std::unique_ptr<Trace> trace = traced_pass(self, model, sample);
  if (is_executor(model)) return export_graph_executor(self, model, sample, custom_map);
  ModuleConverter converter(self, custom_map);
  if (!trace) trace = record_dataflow(self, model, {sample_arguments(sample)}, false, true);
  return assemble_traced_graph(self, converter, model, *trace);
}

// _capture_shapes: the traced pass, its trace left on the exporter for a
// _export_sequential call by hand.
void exporter_capture_shapes(nb::handle self, nb::handle model, nb::handle sample) {
  std::unique_ptr<Trace> trace = traced_pass(self, model, sample);
  if (trace) self.attr("_dataflow") = hold_trace(std::move(trace));
}

// _export_sequential: assembles from the exporter's last trace of this model,
// or from a traced pass of its own when there is none.
nb::object exporter_export_sequential(nb::handle self, nb::handle model, nb::handle sample,
                                      nb::handle custom_map) {
  ModuleConverter converter(self, custom_map);
  nb::object holder = optional_attr(self, "_dataflow");
  const Trace* trace = held_trace(holder);
  if (trace == nullptr || !trace->model.is(model)) {
    holder = hold_trace(record_dataflow(self, model, {sample_arguments(sample)}, false, true));
    self.attr("_dataflow") = holder;
    trace = held_trace(holder);
  }
  return assemble_traced_graph(self, converter, model, *trace);
}

nb::object exporter_convert_module(nb::handle self, nb::handle module, nb::handle in_shape,
                                   nb::handle out_shape) {
  Env env(self);
  return convert_module(env, module, in_shape, out_shape);
}

nb::object export_ir(nb::handle model, nb::handle sample, nb::handle custom_map, nb::handle spiking,
                     nb::handle spike_mode, nb::handle weight_bits, nb::handle accumulator_bits,
                     nb::handle strict) {
  check_custom_map(custom_map);
  const BitWidths bits = check_settings(spike_mode, weight_bits, accumulator_bits);
  nb::object exporter = module_global("VANTLEExporter")(
      spiking, spike_mode, bits.weight_bits, bits.accumulator_bits, nb::arg("strict") = strict);
  return exporter.attr("export")(model, sample, custom_map);
}

}  // namespace

void define_exporter(nb::module_ module) {
  py::ClassBuilder(
      module, "VANTLEExporter", nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)),
      "Turns a torch model and one sample input into a VANTLE IR graph.\n\n"
      "``export`` runs the model once on the sample and records what each module and\n"
      "operation consumed and produced (shapes without the batch dimension, and which\n"
      "tensor came from where). Every supported module becomes its IR node, residual\n"
      "additions, concatenations, splits, flattening views, functional activations and\n"
      "pooling become theirs, and the edges follow the data. Anything on the data path\n"
      "without an IR form is reported with a UserWarning naming it (``strict=True``: a\n"
      "ValueError) and skipped. A loop over time steps exports as one step's graph. A\n"
      "GraphExecutor keeps its own edges, so an imported multi-branch graph comes back\n"
      "whole. With ``spiking`` true, ``nn.Linear`` becomes ``ir.SpikingAffine`` carrying\n"
      "``spike_mode``, ``weight_bits`` and ``accumulator_bits``.")
      .method("__init__", &exporter_init, nb::arg("self").none(), nb::arg("spiking").none() = false,
              nb::arg("spike_mode").none() = "binary", nb::arg("weight_bits").none() = 8,
              nb::arg("accumulator_bits").none() = 16, nb::arg("strict").none() = false)
      .method("export", &exporter_export, nb::arg("self").none(), nb::arg("model").none(),
              nb::arg("sample").none(), nb::arg("custom_map").none() = nb::none(),
              "Trace ``model`` on ``sample`` and return its ``ir.Graph``.")
      .method("_capture_shapes", &exporter_capture_shapes, nb::arg("self").none(),
              nb::arg("model").none(), nb::arg("sample").none())
      .method("_convert_module", &exporter_convert_module, nb::arg("self").none(),
              nb::arg("m").none(), nb::arg("in_shape").none(), nb::arg("out_shape").none())
      .method("_export_sequential", &exporter_export_sequential, nb::arg("self").none(),
              nb::arg("model").none(), nb::arg("sample").none(),
              nb::arg("custom_map").none() = nb::none())
      .method("_export_graph_executor", &export_graph_executor, nb::arg("self").none(),
              nb::arg("executor").none(), nb::arg("sample").none(),
              nb::arg("custom_map").none() = nb::none())
      .finish();

  module.def("export_ir", &export_ir, nb::arg("model").none(), nb::arg("sample").none(),
             nb::arg("custom_map").none() = nb::none(), nb::arg("spiking").none() = false,
             nb::arg("spike_mode").none() = "binary", nb::arg("weight_bits").none() = 8,
             nb::arg("accumulator_bits").none() = 16, nb::arg("strict").none() = false,
             "Export ``model`` to an ``ir.Graph`` by tracing it on ``sample``.\n\n"
             "    graph = export_ir(model, torch.randn(1, 784))\n"
             "    ir.write(\"model.vx2\", graph)\n\n"
             "``sample`` is the model's input with the batch dimension first, or a tuple or\n"
             "list of its arguments. ``custom_map`` maps a module class (exact match) to a\n"
             "callable that returns the node for such a module; it takes precedence over the\n"
             "built-in conversions. What the graph cannot carry exactly (a layer without IR\n"
             "form, a spiking setting the IR's LIF does not have) is reported with a\n"
             "UserWarning naming it; ``strict=True`` raises ValueError instead.");
}

}  // namespace vantle::export_ir
