// The Python-facing surface of the export module: what NB_MODULE defines, in
// the order it defines it, and the trace the exporter's shims keep between
// _capture_shapes and _export_sequential.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

#include "export_ir/trace/trace.h"

namespace vantle::export_ir {

void define_helpers(nb::module_ module);   // _get_bridge_types, to_array, _to_int1d, ...
void define_exporter(nb::module_ module);  // VANTLEExporter, export_ir
void define_check(nb::module_ module);     // check_export

// A trace held by a Python object (the exporter's _dataflow), and back.
nb::object hold_trace(std::unique_ptr<Trace> trace);
const Trace* held_trace(nb::handle holder);  // null when `holder` holds none

}  // namespace vantle::export_ir
