#include "py/vouched_tensors.h"

#include <memory>
#include <type_traits>

#include "py/module_state.h"
#include "py/tensor_fields.h"

namespace vantle::py {
namespace {

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

}  // namespace

VouchedTensors& VouchedTensors::shared() {
  // Never destroyed: its weak references must not be released after the
  // interpreter has finalised.
  static auto* table = new VouchedTensors(module_global("torch"));
  return *table;
}

VouchedTensors::VouchedTensors(nb::handle torch) : float32_(torch.attr("float32")) {}

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
  const TensorFields& fields = tensor_fields();
  PyObject* object = tensor.ptr();
  nb::object kind = nb::steal(fields.dtype.read(object));
  nb::object contiguous;
  const bool readable = kind.is(float32_) && read(fields.version.read(object), out.version) &&
                        read(fields.data_ptr.read(object), out.data) &&
                        read(fields.numel.read(object), out.count) &&
                        (contiguous = nb::steal(fields.is_contiguous.read(object))).is_valid();
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
  store(tensor, now, layout.shape);
  return layout;
}

void VouchedTensors::store(nb::handle tensor, const Stamp& stamp,
                           const std::vector<int64_t>& shape) {
  PyObject* ref = PyWeakref_NewRef(tensor.ptr(), nullptr);
  if (ref == nullptr) {
    PyErr_Clear();  // a tensor without weak references is checked in full every time
    return;
  }
  Entry& entry = slot_of(tensor);
  entry.ref = nb::steal(ref);
  entry.stamp = stamp;
  entry.shape = shape;
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

void VouchedTensors::vouch(nb::handle tensor, const TensorLayout& layout) {
  // Only the version counter is read: an inference tensor has none, and is not remembered.
  PyObject* version = tensor_fields().version.read(tensor.ptr());
  if (version == nullptr) {
    PyErr_Clear();
    return;
  }
  nb::object held = nb::steal(version);
  int64_t count = 1;
  for (int64_t dim : layout.shape) count *= dim;
  store(tensor, {static_cast<int64_t>(PyLong_AsUnsignedLongLongMask(version)), layout.data, count},
        layout.shape);
}

}  // namespace vantle::py
