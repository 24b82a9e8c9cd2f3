// Shared pieces of the quantization module, one group per source file.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

namespace vantle::quantize {

namespace nb = nanobind;

// --- Definitions, in the order the module makes them --------------------------
void define_precision(nb::module_ module);      // _PRECISION_BITS, QuantizationConfig, _get_bits,
                                                // get_precision_map
void define_grid(nb::module_ module);           // _compute_scale_zp, _quantize_tensor
void define_calibration(nb::module_ module);    // _collect_statistics
void define_post_training(nb::module_ module);  // quantize
void define_training(nb::module_ module);       // quantize_aware_training

// --- precision.cpp ---------------------------------------------------------------
// Bit width of a precision name from the module's `_PRECISION_BITS`.
nb::object get_bits(nb::handle precision);
// True for widths that leave a module unquantized (32 bits and more).
bool full_width(nb::handle bits);
// The configuration's per-module overrides, or a new empty dict when it has none.
nb::object per_node_precision(nb::handle config);
// Resolves a module's precision, writes the two precision attributes onto it
// and returns its bit width.
nb::object annotate_precision(nb::handle config, nb::handle per_node, nb::handle name,
                              nb::handle module);

// --- misconfiguration.cpp ------------------------------------------------------------
// Names in `per_node` that are no module of `model`: a UserWarning, or a
// ValueError with the configuration's `strict`.
void check_per_node_names(nb::handle model, nb::handle config, nb::handle per_node);
// A UserWarning when the configuration's accumulator is narrower than the
// module's `bits`-bit weights summed over their fan-in need.
void check_accumulator(nb::handle config, nb::handle name, nb::handle module, nb::handle bits);

// --- grid.cpp ----------------------------------------------------------------------
nb::tuple compute_scale_zp(nb::handle min_val, nb::handle max_val, nb::handle bits,
                           nb::handle symmetric);
// `symmetric` None picks the grid by the zero point (0: symmetric).
nb::object quantize_tensor(nb::handle tensor, nb::handle scale, nb::handle zero_point,
                           nb::handle bits, nb::handle symmetric);

// --- calibration.cpp ------------------------------------------------------------
// Runs the calibration inputs through `model` and returns the activation ranges.
nb::dict collect_statistics(nb::handle model, nb::handle calibration_data, nb::handle config);

// --- ranks.cpp ----------------------------------------------------------------------
// With an initialised torch.distributed process group, every rank measured its
// share of the calibration data: the ranges of `names` become those of all the
// data (smallest minimum, largest maximum over the ranks), the same on every rank.
void reduce_across_ranks(nb::dict stats, const nb::list& names);

// --- model_walk.cpp ----------------------------------------------------------------
// Calls `visit(name, module)` for each item of `model.named_modules()`, unpacking
// each item as `name, module = item` would.
void for_each_named_module(nb::handle model,
                           const std::function<void(nb::handle, nb::handle)>& visit);

// Python's float(value) of a number or one-element tensor.
double to_double(nb::handle value);

}  // namespace vantle::quantize
