// The trace between two shim calls: _capture_shapes leaves it on the exporter,
// _export_sequential called by hand afterwards assembles from it.
#include "export_ir/surface/surface.h"

namespace vantle::export_ir {
namespace {

constexpr const char* kCapsuleName = "vantle.export_ir.trace";

void release_trace(PyObject* capsule) {
  delete static_cast<Trace*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

nb::object hold_trace(std::unique_ptr<Trace> trace) {
  PyObject* capsule = PyCapsule_New(trace.get(), kCapsuleName, &release_trace);
  if (capsule == nullptr) throw nb::python_error();
  trace.release();
  return nb::steal(capsule);
}

const Trace* held_trace(nb::handle capsule) {
  if (!PyCapsule_IsValid(capsule.ptr(), kCapsuleName)) return nullptr;
  return static_cast<const Trace*>(PyCapsule_GetPointer(capsule.ptr(), kCapsuleName));
}

}  // namespace vantle::export_ir
