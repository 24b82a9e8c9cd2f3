// vantle.bridge.export_ir: torch models become VANTLE IR graphs.
#include <nanobind/nanobind.h>

#include "export_ir/surface/surface.h"
#include "export_ir/trace/recorder.h"
#include "py/module_state.h"

namespace nb = nanobind;
using vantle::py::bind_from;
using vantle::py::bind_import;

namespace {

void bind_dependencies(nb::module_ m) {
  bind_from(m, "typing", {"Any", "Callable", "Dict", "List", "Optional", "Tuple", "Type", "Union"});
  bind_import(m, "numpy", "np");
  bind_import(m, "torch", "torch");
  bind_import(m, "torch.nn", "nn");
  bind_import(m, "vantle.ir", "ir");
  bind_from(m, "vantle.bridge.utils", {"sanitize_module_name"});
  // The import module's classes are fetched on the first export, not here.
  m.attr("_CACHED_TYPES") = nb::none();
  // The longest wait of an export for another thread's export of the same modules.
  m.attr("_TURN_WAIT_SECONDS") = nb::float_(60.0);
}

}  // namespace

NB_MODULE(export_ir, m) {
  vantle::py::load_module(m, "export_ir", [](nb::module_ module) {
    module.doc() =
        "Turn torch models into VANTLE IR graphs.\n\n"
        "    graph = export_ir(model, torch.randn(1, 784))\n"
        "    ir.write(\"model.vx2\", graph)\n";
    bind_dependencies(module);
    vantle::export_ir::define_helpers(module);
    vantle::export_ir::define_trace_mode(module);
    vantle::export_ir::define_exporter(module);
    vantle::export_ir::define_check(module);
  });
}
