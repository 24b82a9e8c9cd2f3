// vantle.bridge.quantize: mixed-precision post-training quantization and
// quantization-aware training, with precision metadata for the exporter.
#include <nanobind/nanobind.h>

#include "py/module_state.h"
#include "quantize/quantize.h"

namespace nb = nanobind;
using vantle::py::bind_from;
using vantle::py::bind_import;

namespace {

void bind_dependencies(nb::module_ m) {
  bind_from(m, "dataclasses", {"dataclass", "field"});
  bind_from(m, "typing", {"Any", "Dict", "List", "Optional", "Tuple"});
  bind_import(m, "numpy", "np");
  bind_import(m, "torch", "torch");
  bind_import(m, "torch.nn", "nn");
}

}  // namespace

NB_MODULE(quantize, m) {
  vantle::py::load_module(m, "quantize", [](nb::module_ module) {
    module.doc() =
        "Mixed-precision fixed-point quantization of torch models.\n\n"
        "    config = QuantizationConfig(default_precision=\"int8\")\n"
        "    quantize(model, config, calibration_data=[sample])   # in place\n"
        "    quantize_aware_training(model, config)               # before training\n"
        "    get_precision_map(model)                             # name -> precision\n";
    bind_dependencies(module);
    vantle::quantize::define_precision(module);
    vantle::quantize::define_grid(module);
    vantle::quantize::define_calibration(module);
    vantle::quantize::define_post_training(module);
    vantle::quantize::define_training(module);
  });
}
