// Dense and convolution layers built without torch's random initialisation.
//
// Import replaces every weight and bias of these layers with the node's
// arrays, so the random values their constructors draw would be thrown away;
// for large layers drawing them costs several times the copy itself. So the
// layer is built on the meta device (its parameters own no memory) under a
// torch function mode that turns torch.nn.init's in-place initialisers into
// no-ops (on meta tensors they are still slow Python code), and import then
// puts new parameters holding the copied arrays in place. The mode is
// thread-local and active only for the constructor call. A layer of a shape
// built before is a copy of that first one (see bare_layer).
#include "import_ir/bare_layers.h"

#include <string_view>

#include "import_ir/weights.h"
#include "py/class_factory.h"
#include "py/module_state.h"

namespace vantle::import_ir {
namespace {

using py::module_global;

// torch.nn.init's public initialisers (uniform_, kaiming_uniform_, ...) are
// the names ending in an underscore; they fill their first argument in place.
bool is_initialiser(nb::handle func) {
  nb::object module = nb::getattr(func, "__module__", nb::none());
  if (module.is_none() || !nb::str("torch.nn.init").equal(module)) return false;
  nb::object name = nb::getattr(func, "__name__", nb::none());
  if (!nb::isinstance<nb::str>(name)) return false;
  const std::string_view text = nb::borrow<nb::str>(name).c_str();
  return text.size() > 1 && !text.starts_with('_') && text.ends_with('_');
}

nb::object skip_init_dispatch(nb::handle, nb::handle func, nb::handle, nb::handle args,
                              nb::handle kwargs) {
  if (is_initialiser(func)) {
    // The tensor to fill comes first, by position or as `tensor=`.
    if (nb::len(args) > 0) return nb::borrow(args[0]);
    return nb::borrow(kwargs["tensor"]);
  }
  PyObject* kw = kwargs.is_none() ? nullptr : kwargs.ptr();
  PyObject* result = PyObject_Call(func.ptr(), args.ptr(), kw);
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

// Enters the mode on construction and leaves it on destruction.
class ModeScope {
 public:
  explicit ModeScope(nb::handle mode_class) : mode_(mode_class()) { mode_.attr("__enter__")(); }
  ~ModeScope() {
    try {
      mode_.attr("__exit__")(nb::none(), nb::none(), nb::none());
    } catch (const nb::python_error&) {
      // Popping our own mode does not fail in practice; a destructor must not throw.
    }
  }
  ModeScope(const ModeScope&) = delete;
  ModeScope& operator=(const ModeScope&) = delete;

 private:
  nb::object mode_;
};

// `nn.<layer_name>(*args, **kwargs, device="meta")` with the initialisers off:
// the parameters have their shapes and dtype but no memory.
nb::object construct_bare(nb::handle layer_class, nb::handle args, nb::handle kwargs) {
  ModeScope scope(module_global("_SkipInitMode"));
  PyObject* layer = PyObject_Call(layer_class.ptr(), args.ptr(), kwargs.ptr());
  if (layer == nullptr) throw nb::python_error();
  return nb::steal(layer);
}

// A new module of the prototype's class whose attributes are the prototype's,
// each dictionary, list and set among them (the registries of parameters,
// buffers, children and hooks) a copy of its own: what the constructor would
// have made, without running its Python code again.
nb::object clone_module(nb::handle prototype) {
  nb::handle type(reinterpret_cast<PyObject*>(Py_TYPE(prototype.ptr())));
  nb::object layer =
      nb::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).attr("__new__")(type);
  nb::object source = nb::steal(PyObject_GenericGetDict(prototype.ptr(), nullptr));
  nb::object target = nb::steal(PyObject_GenericGetDict(layer.ptr(), nullptr));
  if (!source.is_valid() || !target.is_valid()) throw nb::python_error();
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(source.ptr(), &position, &key, &value)) {
    nb::object own = nb::borrow(value);
    if (PyDict_Check(value) || PyList_Check(value) || PyAnySet_Check(value)) {
      own = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(value)))(own);  // type(v)(v)
    }
    if (PyDict_SetItem(target.ptr(), key, own.ptr()) < 0) throw nb::python_error();
  }
  return layer;
}

// Prototypes by (class, arguments): constructing a layer runs a few dozen
// Python calls, more than copying a mid-sized layer's weights, and graphs
// repeat their layer shapes. Bounded, so that a long-lived process importing
// many graphs keeps only recent shapes.
nb::object bare_layer(const char* layer_name, nb::handle args, nb::dict kwargs) {
  constexpr Py_ssize_t kMaxPrototypes = 256;
  static auto* prototypes = new nb::dict();  // never destroyed: it outlives the interpreter
  nb::object layer_class = module_global("nn").attr(layer_name);
  kwargs["device"] = "meta";
  nb::object key = nb::make_tuple(layer_class, args, nb::tuple(kwargs.attr("items")()));
  if (PyObject_Hash(key.ptr()) == -1) {  // an argument that cannot be a key
    PyErr_Clear();
    return construct_bare(layer_class, args, kwargs);
  }
  PyObject* prototype = PyDict_GetItemWithError(prototypes->ptr(), key.ptr());
  if (prototype != nullptr) return clone_module(prototype);
  if (PyErr_Occurred()) throw nb::python_error();
  nb::object made = construct_bare(layer_class, args, kwargs);
  if (PyDict_GET_SIZE(prototypes->ptr()) >= kMaxPrototypes) PyDict_Clear(prototypes->ptr());
  if (PyDict_SetItem(prototypes->ptr(), key.ptr(), made.ptr()) < 0) throw nb::python_error();
  return clone_module(made);
}

// Puts a new trainable parameter holding a float32 copy of `array` (the node
// field `name`) in place.
void adopt_parameter(nb::handle layer, const char* name, nb::handle array) {
  nb::object parameter = module_global("nn").attr("Parameter")(field_float32(array, name));
  nb::setattr(layer, name, parameter);
}

// Below this many weight elements the plain constructor is cheaper: entering
// the mode costs more than drawing a few random numbers.
constexpr Py_ssize_t kBareMinElements = Py_ssize_t{1} << 14;

bool large(nb::handle weight) {
  nb::object size = nb::getattr(weight, "size", nb::none());
  if (!PyLong_Check(size.ptr())) return false;
  const Py_ssize_t elements = PyLong_AsSsize_t(size.ptr());
  if (elements == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return true;  // larger than Py_ssize_t
  }
  return elements >= kBareMinElements;
}

}  // namespace

nb::object layer_with_weights(const char* layer_name, nb::handle args, nb::dict kwargs,
                              nb::handle node, nb::handle weight) {
  if (large(weight)) {
    nb::object layer = bare_layer(layer_name, args, kwargs);
    adopt_parameter(layer, "weight", weight);
    adopt_parameter(layer, "bias", node.attr("bias"));
    return layer;
  }
  PyObject* built =
      PyObject_Call(module_global("nn").attr(layer_name).ptr(), args.ptr(), kwargs.ptr());
  if (built == nullptr) throw nb::python_error();
  nb::object layer = nb::steal(built);
  load_field(layer, "weight", weight);
  load_field(layer, "bias", node.attr("bias"));
  return layer;
}

void define_bare_layers(nb::module_ module) {
  nb::object base = nb::module_::import_("torch.overrides").attr("TorchFunctionMode");
  py::ClassBuilder(module, "_SkipInitMode", base,
                   "Torch function mode in which torch.nn.init's initialisers do nothing.")
      .method("__torch_function__", &skip_init_dispatch, nb::arg("self"), nb::arg("func"),
              nb::arg("types"), nb::arg("args") = nb::tuple(),
              nb::arg("kwargs").none() = nb::none())
      .finish();
}

}  // namespace vantle::import_ir
