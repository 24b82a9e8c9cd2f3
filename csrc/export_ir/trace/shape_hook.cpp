#include "export_ir/trace/shape_hook.h"

#include "export_ir/common/cpython.h"
#include "export_ir/trace/tensor_shape.h"

namespace vantle::export_ir {
namespace {

// The hook: records the shape of the first positional input and of the output
// (the first element of a tuple output) when they are tensors. Dictionaries,
// lists and other values have no single shape and record nothing.
void record_shapes(nb::handle inputs, nb::handle outputs, nb::handle tensor_type, nb::handle module,
                   nb::handle args, nb::handle output) {
  if (PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) > 0) {
    nb::handle first = PyTuple_GET_ITEM(args.ptr(), 0);
    if (is_instance(first, tensor_type)) inputs[module] = shape_without_batch(first);
  }
  nb::handle result = output;
  if (PyTuple_Check(result.ptr())) {
    if (PyTuple_GET_SIZE(result.ptr()) == 0) return;
    result = PyTuple_GET_ITEM(result.ptr(), 0);
  }
  if (is_instance(result, tensor_type)) outputs[module] = shape_without_batch(result);
}

// hook(module, args, output), called once per module call: a plain C function
// whose `self` is the state tuple (inputs, outputs, tensor type), so the call
// costs no more than a builtin's.
PyObject* shape_hook(PyObject* state, PyObject* const* args, Py_ssize_t count) {
  if (count != 3) {
    PyErr_Format(PyExc_TypeError, "shape hook takes 3 positional arguments (%zd given)", count);
    return nullptr;
  }
  return none_or_error([&] {
    record_shapes(PyTuple_GET_ITEM(state, 0), PyTuple_GET_ITEM(state, 1),
                  PyTuple_GET_ITEM(state, 2), args[0], args[1], args[2]);
  });
}

PyMethodDef shape_hook_definition = {
    "shape_hook", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&shape_hook)),
    METH_FASTCALL, "Records the traced input and output shape of a module."};

}  // namespace

nb::object make_shape_hook(nb::object inputs, nb::object outputs, nb::object tensor_type) {
  nb::object state = nb::make_tuple(inputs, outputs, tensor_type);
  return checked(PyCFunction_New(&shape_hook_definition, state.ptr()));
}

}  // namespace vantle::export_ir
