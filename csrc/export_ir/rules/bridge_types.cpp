// The deferred fetch of the import module's classes: export must not import
// them when this module loads (the import module may load after it).
#include "export_ir/rules/bridge_types.h"

#include <array>
#include <string>

#include "export_ir/common/cpython.h"
#include "py/arg_check.h"
#include "py/module_state.h"

namespace vantle::export_ir {
namespace {

using py::module_global;

// The import module's classes, in the order of the cached tuple.
constexpr std::array<const char*, 12> kImportClasses = {
    "LIFModule",
    "SkipModule",
    "SepConv2dModule",
    "ChannelSplitModule",
    "ConcatModule",
    "SGhostConvModule",
    "SGhostEncoderLiteModule",
    "GhostBasicBlock1Module",
    "GhostBasicBlock2Module",
    "SDDetectModule",
    "DFLDecodeModule",
    "Dist2BBoxModule",
};

// A sibling module of this package, such as vantle.bridge.import_ir.
nb::object import_sibling(const char* name) {
  const std::string self_name = str_of(py::this_module().attr("__name__"));
  const std::string package = self_name.substr(0, self_name.rfind('.'));
  return nb::module_::import_((package + "." + name).c_str());
}

// `from module import name`, with the interpreter's ImportError when it is missing.
nb::object import_from(nb::handle module, const char* name) {
  PyObject* value = PyObject_GetAttrString(module.ptr(), name);
  if (value != nullptr) return nb::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  nb::object module_name = module.attr("__name__");
  nb::object path = optional_attr(module, "__file__");
  const std::string location = path.is_none() ? "unknown location" : str_of(path);
  const std::string message = "cannot import name '" + std::string(name) + "' from '" +
                              str_of(module_name) + "' (" + location + ")";
  PyErr_SetImportError(nb::str(message.c_str()).ptr(), module_name.ptr(), path.ptr());
  throw nb::python_error();
}

}  // namespace

nb::object get_bridge_types() {
  nb::object cached = module_global("_CACHED_TYPES");
  if (cached.is_none()) {
    nb::object import_ir = import_sibling("import_ir");
    nb::object types = checked(PyTuple_New(kBridgeTypeCount));
    for (std::size_t i = 0; i < kImportClasses.size(); ++i) {
      PyTuple_SET_ITEM(types.ptr(), i, import_from(import_ir, kImportClasses[i]).release().ptr());
    }
    nb::object executor = import_from(import_sibling("executor"), "GraphExecutor");
    PyTuple_SET_ITEM(types.ptr(), kGraphExecutor, executor.release().ptr());
    py::this_module().attr("_CACHED_TYPES") = types;
    cached = module_global("_CACHED_TYPES");
  }
  if (!PyTuple_Check(cached.ptr())) {
    const std::string message = "_CACHED_TYPES has incorrect type (expected tuple, got " +
                                py::python_type_name(cached) + ")";
    throw nb::type_error(message.c_str());
  }
  return cached;
}

bool is_executor(nb::handle model) {
  nb::object types = get_bridge_types();
  const Py_ssize_t count = PyTuple_GET_SIZE(types.ptr());
  if (count == 0) throw nb::value_error("not enough values to unpack (expected at least 1, got 0)");
  return is_instance(model, PyTuple_GET_ITEM(types.ptr(), count - 1));
}

}  // namespace vantle::export_ir
