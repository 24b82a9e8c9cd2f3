#include "py/module_state.h"

#include <cstdint>
#include <optional>
#include <string>

#include "py/signed_function.h"

namespace vantle::py {
namespace {

std::optional<int64_t> loaded_interpreter;
bool initialised = false;
PyObject* module_object = nullptr;  // owned by the interpreter's sys.modules

// Imports a dependency; a failure becomes the load's ImportError with the
// interpreter's own text ("No module named 'x'").
nb::object import_dependency(const char* name) {
  try {
    return nb::module_::import_(name);
  } catch (nb::python_error& error) {
    throw nb::import_error(nb::str(error.value()).c_str());
  }
}

}  // namespace

void claim_module_load(nb::module_ module, const char* short_name) {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (loaded_interpreter && *loaded_interpreter != interpreter) {
    throw nb::import_error(
        "Interpreter change detected - this module can only be loaded into one interpreter per "
        "process.");
  }
  if (initialised) {
    throw nb::import_error(("Module '" + std::string(short_name) +
                            "' has already been imported. Re-initialisation is not supported.")
                               .c_str());
  }
  loaded_interpreter = interpreter;
  // Kept alive for the life of the process: classes and functions refer to it.
  Py_XDECREF(module_object);
  module_object = module.inc_ref().ptr();
}

void finish_module_load() {
  initialised = true;
}

void publish_signatures(nb::module_ module) {
  nb::module_::import_("vantle.bridge._signatures")
      .attr("publish")(module, nb::cpp_function(&signed_function));
}

nb::module_ this_module() {
  return nb::borrow<nb::module_>(module_object);
}

nb::object module_global(const char* name) {
  nb::dict globals = nb::borrow<nb::dict>(PyModule_GetDict(module_object));
  PyObject* value = PyDict_GetItemString(globals.ptr(), name);
  if (value == nullptr) {
    throw nb::attribute_error(("module '" + std::string(PyModule_GetName(module_object)) +
                               "' has no attribute '" + name + "'")
                                  .c_str());
  }
  return nb::borrow(value);
}

nb::object bind_import(nb::module_ module, const char* name, const char* as) {
  nb::object imported = import_dependency(name);
  module.attr(as) = imported;
  return imported;
}

void bind_from(nb::module_ module, const char* module_name,
               std::initializer_list<const char*> names) {
  nb::object source = import_dependency(module_name);
  for (const char* name : names) module.attr(name) = source.attr(name);
}

}  // namespace vantle::py
