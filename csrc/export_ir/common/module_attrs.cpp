#include "export_ir/common/module_attrs.h"

#include "py/instance_test.h"

namespace vantle::export_ir {

AttrReader::AttrReader(nb::handle nn_module_class) {
  nb::object module_dict = nn_module_class.attr("__dict__");
  module_getattr_ = module_dict["__getattr__"];
}

AttrReader::View AttrReader::view(nb::handle obj) const {
  View view;
  view.obj_ = obj;
  PyTypeObject* type = Py_TYPE(obj.ptr());
  if (type_lookup(type, "__getattr__") != module_getattr_.ptr() ||
      !py::has_generic_getattribute(type)) {
    return view;
  }
  nb::object dict = instance_dict(obj);
  if (dict.is_none()) return view;
  // The instance dict first, then the registries in the order nn.Module searches them.
  view.dicts_.push_back(dict);
  for (const char* name : {"_parameters", "_buffers", "_modules"}) {
    if (nb::handle registry = registry_of(dict, name); registry.is_valid()) {
      view.dicts_.push_back(nb::borrow(registry));
    }
  }
  view.fast_ = true;
  return view;
}

nb::object AttrReader::View::find(const char* name, bool& found) const {
  if (!fast_ || type_lookup(Py_TYPE(obj_.ptr()), name) != nullptr) {
    // Class attributes and descriptors take the interpreter's full path.
    PyObject* value = PyObject_GetAttr(obj_.ptr(), interned(name).ptr());
    found = value != nullptr;
    if (found) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::none();
  }
  nb::handle key = interned(name);
  for (const nb::object& dict : dicts_) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value != nullptr) {
      found = true;
      return nb::borrow(value);
    }
    if (PyErr_Occurred()) throw nb::python_error();
  }
  found = false;
  return nb::none();
}

bool AttrReader::View::may_have_prefixed(std::initializer_list<std::string_view> prefixes,
                                         std::initializer_list<const char*> class_names) const {
  if (!fast_) return true;
  PyTypeObject* type = Py_TYPE(obj_.ptr());
  for (const char* name : class_names) {
    if (type_lookup(type, name) != nullptr) return true;
  }
  for (const nb::object& dict : dicts_) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(dict.ptr(), &position, &key, &value)) {
      if (!PyUnicode_Check(key)) return true;  // not a name this scan can judge
      Py_ssize_t length = 0;
      const char* text = PyUnicode_AsUTF8AndSize(key, &length);
      if (text == nullptr) {
        PyErr_Clear();
        return true;
      }
      const std::string_view name(text, static_cast<std::size_t>(length));
      for (std::string_view prefix : prefixes) {
        if (name.substr(0, prefix.size()) == prefix) return true;
      }
    }
  }
  return false;
}

nb::object AttrReader::View::optional(const char* name) const {
  bool found = false;
  return find(name, found);
}

nb::object AttrReader::View::required(const char* name) const {
  bool found = false;
  nb::object value = find(name, found);
  if (found) return value;
  // Let the interpreter raise its own AttributeError.
  return checked(PyObject_GetAttr(obj_.ptr(), interned(name).ptr()));
}

// --- Unpacking ------------------------------------------------------------------

}  // namespace vantle::export_ir
