// Builds Python classes that derive from torch.nn.Module or
// torch.autograd.Function, with C++ callables as their methods.
//
// The class is made by calling the base's metaclass with (name, bases,
// namespace), so torch's own class machinery runs as for a class written in
// Python; `__module__` and `__qualname__` point at the extension module, so
// pickle, copy.deepcopy and torch.save find the class again.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <utility>

namespace vantle::py {

namespace nb = nanobind;

class ClassBuilder {
 public:
  ClassBuilder(nb::module_ module, const char* name, nb::handle base, const char* doc = nullptr);

  // A method bound like a Python method: the callable's first parameter is `self`.
  template <typename Func, typename... Extra>
  ClassBuilder& method(const char* name, Func&& func, const Extra&... extra) {
    const std::string callable_name = binding_name(name);
    nb::object callable =
        nb::cpp_function(std::forward<Func>(func), nb::name(callable_name.c_str()), extra...);
    return add(name, instance_method(callable));
  }

  template <typename Func, typename... Extra>
  ClassBuilder& static_method(const char* name, Func&& func, const Extra&... extra) {
    const std::string callable_name = binding_name(name);
    nb::object callable =
        nb::cpp_function(std::forward<Func>(func), nb::name(callable_name.c_str()), extra...);
    return add(name, nb::module_::import_("builtins").attr("staticmethod")(callable));
  }

  // Any other class attribute (constants, class-level flags).
  ClassBuilder& add(const char* name, nb::handle value);

  // Creates the class, stores it in the module under its name and returns it.
  nb::object finish();

 private:
  // Binding libraries special-case callables named `__init__` and friends, so
  // dunder methods get a plain name of their own, e.g. LIFModule_init.
  std::string binding_name(const char* name) const;
  static nb::object instance_method(nb::handle callable);

  nb::module_ module_;
  std::string name_;
  nb::handle base_;
  nb::dict namespace_;
};

}  // namespace vantle::py
