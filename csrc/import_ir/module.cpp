// vantle.bridge.import_ir: IR graphs become dictionaries of torch modules.
#include <nanobind/nanobind.h>

#include "import_ir/bare_layers.h"
#include "import_ir/classes.h"
#include "py/module_state.h"

namespace nb = nanobind;
using vantle::py::bind_from;
using vantle::py::bind_import;

namespace {

void bind_dependencies(nb::module_ m) {
  bind_from(m, "typing", {"Any", "Callable", "Dict", "List", "Optional", "Tuple", "Union"});
  bind_import(m, "numpy", "np");
  bind_import(m, "torch", "torch");
  bind_import(m, "torch.nn", "nn");
  bind_import(m, "torch.nn.functional", "F");
  bind_import(m, "vantle.ir", "ir");
  bind_from(m, "vantle.bridge.utils", {"to_tuple"});
}

}  // namespace

NB_MODULE(import_ir, m) {
  vantle::py::load_module(m, "import_ir", [](nb::module_ module) {
    module.doc() =
        "Turn VANTLE IR graphs into dictionaries of executable torch modules.\n\n"
        "    modules = import_ir(graph)\n"
        "    executor = GraphExecutor(modules, graph.edges)\n";
    bind_dependencies(module);
    vantle::import_ir::define_pairs(module);
    vantle::import_ir::define_routing(module);
    vantle::import_ir::define_ghost(module);
    vantle::import_ir::define_detect(module);
    vantle::import_ir::define_nms(module);
    vantle::import_ir::define_skip_sepconv(module);
    vantle::import_ir::define_spiking(module);
    vantle::import_ir::define_bare_layers(module);
    vantle::import_ir::define_convert(module);
  });
}
