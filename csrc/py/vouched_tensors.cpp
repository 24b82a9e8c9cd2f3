#include "py/vouched_tensors.h"

#include <memory>
#include <type_traits>

#include "py/module_state.h"

namespace vantle::py {
namespace {

nb::handle interned(const char* text) {
  return PyUnicode_InternFromString(text);
}

// Whether the weak reference `ref` still refers to `object`.
bool refers_to(PyObject* ref, PyObject* object) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* target = nullptr;
  if (PyWeakref_GetRef(ref, &target) < 0) {
    PyErr_Clear();
    return false;
  }
  Py_XDECREF(target);  // only compared: `object` is alive in the caller
  return target == object;
#else
  return PyWeakref_GetObject(ref) == object;
#endif
}

// Reads one field of torch.Tensor objects, an attribute or a method without
// arguments, by calling its C implementation straight from the class's
// descriptor: the generic lookup and call would cost several times the read.
// Objects of another class, or a field that is not a C descriptor there, take
// the generic path.
class FieldReader {
 public:
  FieldReader(PyTypeObject* type, const char* name, bool method)
      : type_(type), name_(interned(name)), method_(method) {
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
      PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
      PyObject* found = dict == nullptr ? nullptr : PyDict_GetItemWithError(dict, name_.ptr());
      if (found == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        continue;
      }
      if (!method && Py_IS_TYPE(found, &PyGetSetDescr_Type)) {
        getset_ = reinterpret_cast<PyGetSetDescrObject*>(found)->d_getset;
      } else if (method && Py_IS_TYPE(found, &PyMethodDescr_Type)) {
        PyMethodDef* definition = reinterpret_cast<PyMethodDescrObject*>(found)->d_method;
        if ((definition->ml_flags & METH_NOARGS) != 0) method_def_ = definition;
      }
      break;  // the first definition along the MRO is the one Python uses
    }
  }

  // A new reference, or null with the error set.
  PyObject* read(PyObject* object) const {
    if (Py_TYPE(object) == type_) {
      if (getset_ != nullptr && getset_->get != nullptr)
        return getset_->get(object, getset_->closure);
      if (method_def_ != nullptr) return method_def_->ml_meth(object, nullptr);
    }
    return method_ ? PyObject_CallMethodNoArgs(object, name_.ptr())
                   : PyObject_GetAttr(object, name_.ptr());
  }

 private:
  PyTypeObject* type_;
  nb::handle name_;
  bool method_;
  PyGetSetDef* getset_ = nullptr;
  PyMethodDef* method_def_ = nullptr;
};

}  // namespace

// The fields a stamp reads.
struct VouchedTensors::Fields {
  explicit Fields(PyTypeObject* tensor)
      : dtype(tensor, "dtype", false),
        version(tensor, "_version", false),
        data_ptr(tensor, "data_ptr", true),
        numel(tensor, "numel", true),
        is_contiguous(tensor, "is_contiguous", true) {}
  FieldReader dtype, version, data_ptr, numel, is_contiguous;
};

VouchedTensors& VouchedTensors::shared() {
  // Never destroyed: its weak references must not be released after the
  // interpreter has finalised.
  static auto* table = new VouchedTensors(module_global("torch"));
  return *table;
}

VouchedTensors::VouchedTensors(nb::handle torch)
    : float32_(torch.attr("float32")),
      fields_(
          std::make_unique<Fields>(reinterpret_cast<PyTypeObject*>(torch.attr("Tensor").ptr()))) {}

VouchedTensors::~VouchedTensors() = default;

VouchedTensors::Entry& VouchedTensors::slot_of(nb::handle tensor) {
  // Fibonacci hashing: objects allocated one after another spread over the
  // whole table instead of crowding into neighbouring slots.
  const uint64_t mixed = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(tensor.ptr())) *
                         UINT64_C(0x9E3779B97F4A7C15);
  return entries_[mixed >> (64 - kSlotBits)];
}

bool VouchedTensors::stamp(nb::handle tensor, Stamp& out) const {
  // Read with the C API: some tensors refuse a field (an inference tensor has
  // no version counter), and such a tensor is simply not remembered.
  const auto read = [&](PyObject* value, auto& field) {
    if (value == nullptr) return false;
    nb::object held = nb::steal(value);
    if (!PyLong_Check(value)) return false;
    using Field = std::remove_reference_t<decltype(field)>;
    field = static_cast<Field>(PyLong_AsUnsignedLongLongMask(value));
    return true;
  };
  PyObject* object = tensor.ptr();
  nb::object kind = nb::steal(fields_->dtype.read(object));
  nb::object contiguous;
  const bool readable = kind.is(float32_) && read(fields_->version.read(object), out.version) &&
                        read(fields_->data_ptr.read(object), out.data) &&
                        read(fields_->numel.read(object), out.count) &&
                        (contiguous = nb::steal(fields_->is_contiguous.read(object))).is_valid();
  if (!readable) {
    PyErr_Clear();
    return false;
  }
  // Only contiguous tensors are vouched for; an expanded view of the same
  // address and count would otherwise pass for the tensor it replaced.
  return contiguous.ptr() == Py_True;
}

std::optional<TensorLayout> VouchedTensors::remember(nb::handle tensor) {
  Stamp now;
  if (!stamp(tensor, now)) return std::nullopt;
  TensorLayout layout{now.data, shape_of(tensor)};
  PyObject* ref = PyWeakref_NewRef(tensor.ptr(), nullptr);
  if (ref == nullptr) {
    PyErr_Clear();  // a tensor without weak references is checked in full every time
    return layout;
  }
  Entry& entry = slot_of(tensor);
  entry.ref = nb::steal(ref);
  entry.stamp = now;
  entry.shape = layout.shape;
  return layout;
}

std::optional<TensorLayout> VouchedTensors::layout(const Float32Memory& memory, nb::handle tensor) {
  const Entry& entry = slot_of(tensor);
  if (entry.ref.is_valid() && refers_to(entry.ref.ptr(), tensor.ptr())) {
    Stamp now;
    if (stamp(tensor, now) && now == entry.stamp) return TensorLayout{now.data, entry.shape};
  }
  if (!memory.holds_values(tensor)) return std::nullopt;
  if (std::optional<TensorLayout> known = remember(tensor)) return known;
  return TensorLayout{reinterpret_cast<uintptr_t>(float_data(tensor)), shape_of(tensor)};
}

void VouchedTensors::vouch(nb::handle tensor) {
  remember(tensor);
}

}  // namespace vantle::py
