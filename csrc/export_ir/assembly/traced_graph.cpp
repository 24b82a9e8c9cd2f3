// The graph of an ordinary model: edges that follow the traced data flow.
#include "export_ir/assembly/assembly.h"
#include "export_ir/assembly/dataflow_graph.h"
#include "export_ir/common/cpython.h"
#include "export_ir/rules/module_converter.h"
#include "export_ir/trace/module_tree.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {

nb::object assemble_traced_graph(nb::handle exporter, ModuleConverter& converter, nb::handle model,
                                 const Trace& trace) {
  Env& env = converter.env();
  ModuleKinds kinds(env);
  const ModulePaths paths(trace.named_modules.is_valid() ? nb::borrow<nb::list>(trace.named_modules)
                                                         : named_modules(env.nn(), model));
  CallFlow flow(trace, 0, converter, kinds, paths);
  Findings findings;
  BuiltGraph built = build_dataflow_graph(flow, converter, findings);
  findings.report(py::truthy(optional_attr(exporter, "_strict")));
  return built.graph;
}

}  // namespace vantle::export_ir
