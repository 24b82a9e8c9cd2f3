#include "export_ir/rules/env.h"

#include <cstdint>

#include "export_ir/common/findings.h"
#include "export_ir/rules/bridge_types.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {

using py::module_global;

Env::Env(nb::handle exporter)
    : exporter_(exporter),
      np_(module_global("np")),
      torch_(module_global("torch")),
      nn_(module_global("nn")),
      ir_(module_global("ir")),
      tensor_type_(torch_.attr("Tensor")),
      np_array_(np_.attr("array")),
      np_int64_(np_.attr("int64")),
      np_float32_(np_.attr("float32")),
      attrs_(nn_.attr("Module")),
      arrays_(np_, torch_) {}

nb::object Env::shape_array(nb::handle shape) const {
  // Most layers of a model share a few shapes: each node still gets an array
  // of its own, copied from the first one made for that shape (cheaper than
  // converting the tuple again).
  const bool plain = PyTuple_CheckExact(shape.ptr());
  if (plain) {
    PyObject* made = PyDict_GetItemWithError(shape_arrays_.ptr(), shape.ptr());
    if (made != nullptr) return checked(PyObject_CallMethodNoArgs(made, interned("copy").ptr()));
    if (PyErr_Occurred()) PyErr_Clear();  // an unhashable entry: no cache
  }
  // np.array(()) would be float64; shapes are integer arrays whatever their length.
  nb::object array = PyTuple_Check(shape.ptr()) && PyTuple_GET_SIZE(shape.ptr()) == 0
                         ? np_array_(shape, nb::arg("dtype") = np_int64_)
                         : checked(PyObject_CallOneArg(np_array_.ptr(), shape.ptr()));
  if (plain && PyDict_SetItem(shape_arrays_.ptr(), shape.ptr(), array.ptr()) == 0) {
    return checked(PyObject_CallMethodNoArgs(array.ptr(), interned("copy").ptr()));
  }
  PyErr_Clear();
  return array;
}

nb::object Env::port(const char* name, nb::handle shape) const {
  nb::dict port;
  port[interned(name)] = shape_array(shape);
  return port;
}

nb::object Env::zeros(nb::handle count) const {
  return np_.attr("zeros")(count, nb::arg("dtype") = np_float32_);
}

nb::object Env::ones(nb::handle count) const {
  return np_.attr("ones")(count, nb::arg("dtype") = np_float32_);
}

nb::object Env::features(nb::handle shape) const {
  if (PyTuple_Check(shape.ptr())) {
    const Py_ssize_t dims = PyTuple_GET_SIZE(shape.ptr());
    int64_t product = 1;
    bool exact = true;
    for (Py_ssize_t i = 0; i < dims && exact; ++i) {
      PyObject* item = PyTuple_GET_ITEM(shape.ptr(), i);
      int overflow = 0;
      const long long value =
          PyLong_Check(item) ? PyLong_AsLongLongAndOverflow(item, &overflow) : 0;
      exact =
          PyLong_Check(item) && overflow == 0 && !__builtin_mul_overflow(product, value, &product);
    }
    if (exact) return nb::int_(product);
  }
  // Not plain machine integers: let NumPy compute it, as the reference does.
  nb::object total = np_.attr("prod")(shape);
  return checked(PyNumber_Long(total.ptr()));
}

bool Env::is_nn_instance(std::size_t rule, const char* name, nb::handle module) {
  if (nn_tests_.size() <= rule) nn_tests_.resize(rule + 1);
  if (!nn_tests_[rule]) nn_tests_[rule].emplace(nn_.attr(interned(name)));
  return (*nn_tests_[rule])(module);
}

nb::object Env::ir_class(const char* name) const {
  PyObject* cls = PyObject_GetAttr(ir_.ptr(), interned(name).ptr());
  if (cls != nullptr) return nb::steal(cls);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::object();
}

const std::vector<nb::object>& Env::bridge_types() {
  if (!bridge_types_) bridge_types_ = unpack_exact(get_bridge_types(), kBridgeTypeCount);
  return *bridge_types_;
}

nb::handle Env::leaky_class() {
  if (!leaky_class_) {
    PyObject* snntorch = PyImport_ImportModule("snntorch");
    if (snntorch == nullptr) throw nb::python_error();  // ImportError is handled by the rule
    leaky_class_ = nb::steal(snntorch).attr("Leaky");
  }
  return *leaky_class_;
}

std::string Env::label() const {
  if (!label_.is_valid() || !py::truthy(label_)) return "the model";
  return "'" + str_of(label_) + "'";
}

void Env::report(std::string what, std::string consequence) {
  if (findings_ != nullptr) {
    findings_->add(std::move(what), std::move(consequence));
    return;
  }
  Findings now;
  now.add(std::move(what), std::move(consequence));
  now.report(py::truthy(optional_attr(exporter_, "_strict")));
}

}  // namespace vantle::export_ir
