#include "export_ir/trace/single_stepping.h"

#include <string>

#include "export_ir/common/cpython.h"
#include "py/arg_check.h"
#include "py/module_state.h"

namespace vantle::export_ir {
namespace {

bool from_spikingjelly_type(nb::handle type) {
  nb::object package = optional_attr(type, "__module__");
  return PyUnicode_Check(package.ptr()) && str_of(package).rfind("spikingjelly.", 0) == 0;
}

bool from_spikingjelly(nb::handle module) {
  return from_spikingjelly_type(reinterpret_cast<PyObject*>(Py_TYPE(module.ptr())));
}

// Containers whose multi-step forward runs their layers over the sequence,
// and whose single step is their layers in turn.
bool steps_its_layers(nb::handle module) {
  const std::string name = py::python_type_name(module);
  return name == "SeqToANNContainer" || name == "MultiStepContainer";
}

// Modules that take sequences only (spikingjelly's MultiStepModule), which
// have no step mode to set.
bool is_multi_step_only(nb::handle module) {
  for (nb::handle base :
       nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(module.ptr()))).attr("__mro__")) {
    if (str_of(base.attr("__name__")) == "MultiStepModule" && from_spikingjelly_type(base)) {
      return true;
    }
  }
  return false;
}

bool has_single_step_mode(nb::handle module) {
  nb::object supported = optional_attr(module, "supported_step_mode");
  if (!PyCallable_Check(supported.ptr())) return false;
  nb::object modes = supported();
  const int found = PySequence_Contains(modes.ptr(), nb::str("s").ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

}  // namespace

SingleStepping::SingleStepping(const std::vector<nb::object>& modules) {
  for (const nb::object& module : modules) {
    if (!from_spikingjelly(module)) continue;
    nb::object dict = instance_dict(module);
    const int own_forward =
        PyDict_Check(dict.ptr()) ? PyDict_Contains(dict.ptr(), interned("forward").ptr()) : 1;
    if (own_forward < 0) throw nb::python_error();
    if (steps_its_layers(module)) {
      if (own_forward == 0) {
        containers_.push_back(module);
      } else {
        possible_ = false;
      }
      continue;
    }
    nb::object mode = optional_attr(module, "step_mode");
    const bool multi =
        PyUnicode_Check(mode.ptr()) ? !nb::str("s").equal(mode) : is_multi_step_only(module);
    if (!multi) continue;
    if (nb::str("m").equal(mode) && has_single_step_mode(module)) {
      layers_.push_back(module);
    } else {
      possible_ = false;  // time-last layouts and the like: no single step to take
    }
  }
}

SingleStepping::~SingleStepping() {
  if (!on_) return;
  // Only an exception on the way here leaves the switch on; keep it pending.
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    undo();
  } catch (...) {
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

void SingleStepping::switch_on() {
  on_ = true;
  for (const nb::object& layer : layers_) layer.attr("step_mode") = nb::str("s");
  nb::object in_turn = py::module_global("nn").attr("Sequential").attr("forward");
  for (const nb::object& container : containers_) {
    nb::object bound = checked(PyMethod_New(in_turn.ptr(), container.ptr()));
    if (PyObject_GenericSetAttr(container.ptr(), interned("forward").ptr(), bound.ptr()) < 0) {
      throw nb::python_error();
    }
  }
}

void SingleStepping::undo() {
  if (!on_) return;
  on_ = false;
  for (const nb::object& layer : layers_) layer.attr("step_mode") = nb::str("m");
  for (const nb::object& container : containers_) {
    nb::object dict = instance_dict(container);
    if (PyDict_Check(dict.ptr()) && PyDict_DelItem(dict.ptr(), interned("forward").ptr()) < 0) {
      PyErr_Clear();
    }
  }
}

std::vector<nb::tuple> time_step_calls(const std::vector<nb::tuple>& calls, bool all_steps) {
  nb::object torch = py::module_global("torch");
  nb::object tensor_type = torch.attr("Tensor");
  nb::object strided = torch.attr("strided");
  std::vector<nb::tuple> steps;
  Py_ssize_t length = -1;  // one for every tensor of every call
  for (const nb::tuple& args : calls) {
    for (nb::handle arg : args) {
      if (!is_instance(arg, tensor_type)) continue;
      // A sparse sequence may slice into steps where the model's own multi-step
      // code (which reshapes) refuses it: such a model is traced as it runs.
      if (!arg.attr("layout").equal(strided)) return {};
      nb::object shape = arg.attr("shape");
      if (PySequence_Size(shape.ptr()) < 2) return {};  // [T, batch, ...] at the least
      const auto count = nb::cast<Py_ssize_t>(shape[nb::int_(0)]);
      if (length >= 0 && count != length) return {};
      length = count;
    }
  }
  if (length <= 0) return {};
  for (const nb::tuple& args : calls) {
    for (Py_ssize_t t = 0; t < length; ++t) {
      nb::list step;
      for (nb::handle arg : args) {
        step.append(is_instance(arg, tensor_type) ? nb::object(arg[nb::int_(t)]) : nb::borrow(arg));
      }
      steps.push_back(nb::tuple(step));
      if (!all_steps) return steps;
    }
  }
  return steps;
}

}  // namespace vantle::export_ir
