// Module-level helpers: the deferred fetch of the import module's classes,
// neuron-parameter arrays, 1-D convolution settings and hardware metadata.
#include <array>
#include <string>

#include "export_ir/exporter.h"
#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

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

// A metadata value: its key, the current attribute and the legacy one.
struct MetadataField {
  const char* key;
  const char* current;
  const char* legacy;
};

constexpr std::array<MetadataField, 5> kMetadataFields = {{
    {"weight_t", "_vantle_weight_t", "_vx2_weight_t"},
    {"bias_t", "_vantle_bias_t", "_vx2_bias_t"},
    {"accum_t", "_vantle_accum_t", "_vx2_accum_t"},
    {"result_t", "_vantle_result_t", "_vx2_result_t"},
    {"reuse_factor", "_vantle_reuse_factor", "_vx2_reuse_factor"},
}};
constexpr MetadataField kPrecision = {"precision", "_vantle_precision", "_vx2_precision"};
constexpr MetadataField kAccumulatorBits = {"accumulator_bits", "_vantle_accumulator_bits",
                                            "_vx2_accumulator_bits"};

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

nb::object python_int(nb::handle value) {
  return checked(PyNumber_Long(value.ptr()));
}

bool is_falsy(nb::handle value) {
  return !py::truthy(value);
}

// The current attribute, or the legacy one when the current is falsy.
nb::object current_or_legacy(const AttrReader::View& module, const MetadataField& field) {
  nb::object value = module.optional(field.current);
  if (is_falsy(value)) value = module.optional(field.legacy);
  return value;
}

// str(dtype) without the "torch." prefix, or None when the object has no dtype.
nb::object dtype_name(nb::handle observer) {
  nb::object dtype = optional_attr(observer, "dtype");
  if (dtype.is_none()) return dtype;
  return nb::str(dtype).attr("replace")("torch.", "");
}

nb::dict extract_metadata_of(nb::handle module) {
  AttrReader reader(module_global("nn").attr("Module"));
  return extract_ir_metadata(reader.view(module));
}

nb::object to_array_binding(nb::handle value, nb::handle size) {
  return to_array(module_global("np"), module_global("torch"), value, size);
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

nb::object to_array(nb::handle np, nb::handle torch, nb::handle value, nb::handle size,
                    nb::handle fill_shape) {
  nb::object count = py::arg_pyint(size, "size");
  nb::object source = nb::borrow(value);
  if (is_instance(source, torch.attr("Tensor"))) source = TensorArrays(np, torch)(source);
  nb::object float32 = np.attr("float32");
  nb::object array = np.attr("atleast_1d")(np.attr("asarray")(source, nb::arg("dtype") = float32));
  if (nb::cast<Py_ssize_t>(array.attr("size")) == 1) {
    nb::handle target = fill_shape.is_valid() ? fill_shape : nb::handle(count);
    return np.attr("full")(target, array.attr("item")(), nb::arg("dtype") = float32);
  }
  return array.attr("astype")(float32);
}

nb::object to_int1d(nb::handle value, nb::handle default_value) {
  nb::object fallback = py::arg_pyint(default_value, "default");
  if (value.is_none()) return fallback;
  if (PyLong_Check(value.ptr())) return python_int(value);
  if ((PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) &&
      PySequence_Size(value.ptr()) > 0) {
    return python_int(checked(PySequence_GetItem(value.ptr(), 0)));
  }
  if (nb::hasattr(value, "tolist")) {
    nb::object listed = value.attr("tolist")();
    if (PyList_Check(listed.ptr()) || PyTuple_Check(listed.ptr())) {
      listed = checked(PySequence_GetItem(listed.ptr(), 0));
    }
    return python_int(listed);
  }
  return python_int(value);
}

bool carries_no_metadata(const AttrReader::View& module) {
  // Most modules carry none: one scan of their names instead of a lookup each.
  return !module.may_have_prefixed(
      {"_vantle_", "_vx2_", "qconfig"},
      {"_vantle_weight_t", "_vx2_weight_t", "_vantle_bias_t", "_vx2_bias_t", "_vantle_accum_t",
       "_vx2_accum_t", "_vantle_result_t", "_vx2_result_t", "_vantle_reuse_factor",
       "_vx2_reuse_factor", "_vantle_precision", "_vx2_precision", "_vantle_accumulator_bits",
       "_vx2_accumulator_bits", "qconfig"});
}

nb::dict extract_ir_metadata(const AttrReader::View& module) {
  nb::dict metadata;
  if (carries_no_metadata(module)) {
    for (const MetadataField& field : kMetadataFields) metadata[interned(field.key)] = nb::none();
    return metadata;
  }
  for (const MetadataField& field : kMetadataFields) {
    metadata[interned(field.key)] = current_or_legacy(module, field);
  }
  nb::object precision = current_or_legacy(module, kPrecision);
  nb::object accumulator_bits = current_or_legacy(module, kAccumulatorBits);

  // Fallbacks fill only what no explicit per-field attribute gave.
  if (!is_falsy(precision)) {
    if (metadata["weight_t"].is_none()) metadata["weight_t"] = precision;
    if (metadata["bias_t"].is_none()) metadata["bias_t"] = precision;
  }
  if (!accumulator_bits.is_none() && metadata["accum_t"].is_none()) {
    metadata["accum_t"] = nb::str("int") + nb::str(accumulator_bits);
  }

  nb::object qconfig = module.optional("qconfig");
  if (!qconfig.is_none()) {
    if (metadata["weight_t"].is_none()) {
      nb::object weight = qconfig.attr("weight");
      if (!weight.is_none()) {
        if (nb::object name = dtype_name(weight); !name.is_none()) metadata["weight_t"] = name;
      }
    }
    if (metadata["result_t"].is_none()) {
      nb::object activation = qconfig.attr("activation");
      if (!activation.is_none()) {
        if (nb::object name = dtype_name(activation); !name.is_none()) metadata["result_t"] = name;
      }
    }
  }
  return metadata;
}

void define_helpers(nb::module_ module) {
  module.def("_get_bridge_types", &get_bridge_types,
             "The import module's twelve module classes and GraphExecutor, imported on first use\n"
             "and cached in ``_CACHED_TYPES``.");
  module.def("to_array", &to_array_binding, nb::arg("val").none(), nb::arg("size").none(),
             "A neuron parameter as a 1-D float32 array: a single value is repeated ``size``\n"
             "times, a longer array is kept (as float32) with its own length.");
  module.def("_to_int1d", &to_int1d, nb::arg("val").none(), nb::arg("default").none() = 1,
             "A 1-D convolution setting (int, 1-tuple, tensor, None) as a plain int.");
  module.def("_extract_ir_metadata", &extract_metadata_of, nb::arg("m").none(),
             "The hardware metadata a module carries: ``weight_t``, ``bias_t``, ``accum_t``,\n"
             "``result_t`` and ``reuse_factor``, each a value or None.");
}

}  // namespace vantle::export_ir
