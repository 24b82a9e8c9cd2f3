#include "py/class_factory.h"

#include <nanobind/stl/string.h>

namespace vantle::py {

ClassBuilder::ClassBuilder(nb::module_ module, const char* name, nb::handle base, const char* doc)
    : module_(std::move(module)), name_(name), base_(base) {
  namespace_["__module__"] = module_.attr("__name__");
  namespace_["__qualname__"] = name;
  if (doc != nullptr) namespace_["__doc__"] = doc;
}

ClassBuilder& ClassBuilder::add(const char* name, nb::handle value) {
  namespace_[name] = value;
  return *this;
}

nb::object ClassBuilder::finish() {
  nb::handle metaclass(reinterpret_cast<PyObject*>(Py_TYPE(base_.ptr())));
  nb::object cls = metaclass(name_, nb::make_tuple(base_), namespace_);
  module_.attr(name_.c_str()) = cls;
  return cls;
}

std::string ClassBuilder::binding_name(const char* name) const {
  const std::string text(name);
  if (text.size() > 4 && text.starts_with("__") && text.ends_with("__")) {
    return name_ + "_" + text.substr(2, text.size() - 4);
  }
  return text;
}

nb::object ClassBuilder::instance_method(nb::handle callable) {
  PyObject* method = PyInstanceMethod_New(callable.ptr());
  if (method == nullptr) throw nb::python_error();
  return nb::steal(method);
}

}  // namespace vantle::py
