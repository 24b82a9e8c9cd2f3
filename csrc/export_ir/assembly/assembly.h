// Graph assembly: the exported graph of a traced model, with edges that follow
// its data flow, and of a GraphExecutor, which keeps its own edges.
#pragma once

#include <nanobind/nanobind.h>

#include "export_ir/trace/trace.h"

namespace vantle::export_ir {

class ModuleConverter;

// The graph of `model` from its traced pass; what the graph cannot carry is
// reported (warnings, or one ValueError when the exporter is strict).
nb::object assemble_traced_graph(nb::handle exporter, ModuleConverter& converter, nb::handle model,
                                 const Trace& trace);

// The graph of a GraphExecutor from its edges and the shapes of the last pass.
nb::object export_graph_executor(nb::handle exporter, nb::handle executor, nb::handle sample,
                                 nb::handle custom_map);

}  // namespace vantle::export_ir
