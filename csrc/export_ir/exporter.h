// Internal interface of the export module: the per-call environment, the
// conversion of one module to one node, and the pieces of VANTLEExporter.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "export_ir/dataflow/findings.h"
#include "export_ir/py_util.h"
#include "export_ir/tensor_arrays.h"
#include "py/instance_test.h"

namespace vantle::export_ir {

// Positions in the tuple that _get_bridge_types returns.
enum BridgeType : std::size_t {
  kLIFModule,
  kSkipModule,
  kSepConv2dModule,
  kChannelSplitModule,
  kConcatModule,
  kSGhostConvModule,
  kSGhostEncoderLiteModule,
  kGhostBasicBlock1Module,
  kGhostBasicBlock2Module,
  kSDDetectModule,
  kDFLDecodeModule,
  kDist2BBoxModule,
  kGraphExecutor,
  kBridgeTypeCount,
};

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

// --- helpers.cpp --------------------------------------------------------------

nb::object get_bridge_types();
// `fill_shape`, when given, is the shape a single value is repeated into
// (`size` elements in all); without it the result is one-dimensional.
nb::object to_array(nb::handle np, nb::handle torch, nb::handle value, nb::handle size,
                    nb::handle fill_shape = nb::handle());
nb::object to_int1d(nb::handle value, nb::handle default_value);
nb::dict extract_ir_metadata(const AttrReader::View& module);
// True when the module has none of the metadata attributes (a quick test).
bool carries_no_metadata(const AttrReader::View& module);

// --- convert.cpp --------------------------------------------------------------

// One module to one node, or None: the body of VANTLEExporter._convert_module.
nb::object convert_module(Env& env, nb::handle module, nb::handle in_shape, nb::handle out_shape);

// Everything a conversion rule needs about the module at hand.
struct Conversion {
  Env& env;
  nb::handle module;
  AttrReader::View attrs;
  nb::handle in_shape;
  nb::handle out_shape;

  nb::object in_type() const { return env.port("input", in_shape); }
  nb::object out_type() const { return env.port("output", out_shape); }
  // Product of the output shape, 1 for an empty shape.
  nb::object features() const;
  // X.detach().cpu().numpy() of the module's attribute `name`.
  nb::object array(const char* name) const;
  // A dimension index counted with the batch dimension as one counted without
  // it, floored at 0.
  nb::object batchless_dim(nb::handle dim) const;
  // Adds input_type, output_type and (when asked) the hardware metadata,
  // then builds the IR node `ir_name`.
  nb::object build(const char* ir_name, Keywords& keywords, bool metadata = false) const;
};

// Rules 1 to 20: the torch.nn layers. Returns true when one matched.
bool convert_torch_layer(Conversion& conversion, nb::object& node);
// Rules 21 to 33: the import module's classes and snnTorch's Leaky.
bool convert_bridge_module(Conversion& conversion, nb::object& node);
// Rule 33, snnTorch's Leaky: the node, or None for any other module.
nb::object convert_leaky(Conversion& conversion);
// The class whose rule of either group takes the module (without converting
// it), or an invalid handle when none does.
nb::object torch_rule_class(Env& env, nb::handle module);
nb::object bridge_rule_class(Env& env, nb::handle module);

// --- walk.cpp -----------------------------------------------------------------

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

// --- trace.cpp ----------------------------------------------------------------

struct Trace;

// The model's arguments for a sample: (sample,) for a tensor, the items of a
// tuple or list. Refuses empty tensors and samples without any tensor.
nb::tuple sample_arguments(nb::handle sample);

// Calls the model once per argument tuple in one traced pass (evaluation mode,
// no gradients, everything restored afterwards) and returns what it recorded.
// A graph executor, whose edges are known, gets its shapes recorded alone (and
// null returned) unless `always`. `fresh_state`: spiking layers that keep
// their membrane between calls start from rest.
std::unique_ptr<Trace> record_dataflow(nb::handle exporter, nb::handle model,
                                       const std::vector<nb::tuple>& calls, bool keep_values,
                                       bool always, bool fresh_state = false);

// A trace held by a Python object (the exporter keeps its last one), and back.
nb::object wrap_trace(std::unique_ptr<Trace> trace);
Trace* unwrap_trace(nb::handle holder);  // null when `holder` holds none

void capture_shapes(nb::handle exporter, nb::handle model, nb::handle sample);

// --- graphs.cpp ---------------------------------------------------------------

nb::object export_sequential(nb::handle exporter, nb::handle model, nb::handle sample,
                             nb::handle custom_map);
nb::object export_graph_executor(nb::handle exporter, nb::handle executor, nb::handle sample,
                                 nb::handle custom_map);

// --- module definitions, in the order the module defines them ---------------

void define_helpers(nb::module_ module);   // _get_bridge_types, to_array, _to_int1d, ...
void define_exporter(nb::module_ module);  // VANTLEExporter, export_ir
void define_check(nb::module_ module);     // check_export

}  // namespace vantle::export_ir
