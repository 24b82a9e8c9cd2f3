// The per-call environment of the conversion rules: the names every rule
// reads, read once per export, and where rules report what they cannot carry.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

#include "export_ir/common/cpython.h"
#include "export_ir/common/module_attrs.h"
#include "export_ir/rules/tensor_arrays.h"
#include "py/instance_test.h"

namespace vantle::export_ir {

class Findings;

// What one export (or one direct _convert_module call) reads from the module's
// namespace up front, so that the per-module loop does no name lookups. Names
// are read when the call starts, never cached across calls: a caller who
// replaced `np`, `ir` or `torch` is honoured on the next call.
class Env {
 public:
  explicit Env(nb::handle exporter);

  nb::handle exporter() const { return exporter_; }
  nb::handle np() const { return np_; }
  nb::handle torch() const { return torch_; }
  nb::handle nn() const { return nn_; }
  nb::handle ir() const { return ir_; }
  nb::handle tensor_type() const { return tensor_type_; }
  const AttrReader& attrs() const { return attrs_; }
  // tensor.detach().cpu().numpy(), copied.
  nb::object array_of(nb::handle tensor) const { return arrays_(tensor); }

  // np.array(shape); an empty shape gets an integer dtype too.
  nb::object shape_array(nb::handle shape) const;
  // {name: np.array(shape)}
  nb::object port(const char* name, nb::handle shape) const;
  // np.zeros / np.ones (count, dtype=np.float32)
  nb::object zeros(nb::handle count) const;
  nb::object ones(nb::handle count) const;
  // The product of a shape's sizes (1 for an empty shape), the number of
  // features a layer of that output shape has; NumPy computes it when the
  // sizes are not machine integers or their product overflows.
  nb::object features(nb::handle shape) const;

  // isinstance(module, torch.nn.<name>); the class is looked up once per
  // environment and the answers are kept per module type (rule: its position).
  bool is_nn_instance(std::size_t rule, const char* name, nb::handle module);
  // The IR node class, or an invalid handle when `ir` lacks it.
  nb::object ir_class(const char* name) const;

  // The 13 bridge classes, fetched and unpacked on first use.
  const std::vector<nb::object>& bridge_types();

  // snntorch's Leaky class; None when snntorch cannot be imported.
  nb::handle leaky_class();

  // Where conversion rules report what they cannot carry over exactly, and the
  // module's name for those messages. Without a sink a report is a warning at
  // once (an error when the exporter is strict).
  void set_findings(Findings* sink) { findings_ = sink; }
  // `path`: the module's dotted path (a str, "" for the model itself).
  void set_label(nb::handle path) { label_ = nb::borrow(path); }
  // "the model", or the module's path in quotes.
  std::string label() const;
  void report(std::string what, std::string consequence);

 private:
  nb::handle exporter_;
  nb::object np_, torch_, nn_, ir_, tensor_type_;
  nb::object np_array_, np_int64_, np_float32_;
  nb::dict shape_arrays_;  // shape tuple -> the array first made for it (copied, never handed out)
  AttrReader attrs_;
  TensorArrays arrays_;
  std::vector<std::optional<py::InstanceTest>> nn_tests_;
  std::optional<std::vector<nb::object>> bridge_types_;
  std::optional<nb::object> leaky_class_;
  Findings* findings_ = nullptr;
  nb::object label_;
};

}  // namespace vantle::export_ir
