// The traced pass: one forward call of the model (per argument tuple) with
// hooks on every module, recording each module's input and output shape and,
// for every model but a graph executor, the data flow between modules and
// operations (see trace/trace.h).
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <vector>

#include "export_ir/trace/trace.h"

namespace vantle::export_ir {

// The model's arguments for a sample: (sample,) for a tensor, the items of a
// tuple or list. Refuses empty tensors and samples without any tensor.
nb::tuple sample_arguments(nb::handle sample);

// Calls the model once per argument tuple in one traced pass (evaluation mode,
// no gradients, everything restored afterwards) and returns what it recorded.
// Shapes go into the exporter's _input_shapes and _output_shapes. A graph
// executor, whose edges are known, gets its shapes recorded alone (and null
// returned) unless `always`. `fresh_state`: spiking layers that keep their
// membrane between calls start from rest. `single_steps`: a model with
// spikingjelly layers in multi-step mode, whose calls take time-major
// sequences, is traced one time step per call (every step of every call when
// values are kept, else the first step alone; trace/single_stepping.h).
std::unique_ptr<Trace> record_dataflow(nb::handle exporter, nb::handle model,
                                       const std::vector<nb::tuple>& calls, bool keep_values,
                                       bool always, bool fresh_state = false,
                                       bool single_steps = true);

}  // namespace vantle::export_ir
