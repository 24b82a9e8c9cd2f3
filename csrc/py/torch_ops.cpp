#include "py/torch_ops.h"

namespace vantle::py {

bool truthy(nb::handle obj) {
  const int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw nb::python_error();
  return result == 1;
}

namespace {

// NumPy's array interface (`__array_struct__`), as NumPy documents it.
struct ArrayInterface {
  int two;  // always 2: the version of the struct
  int nd;
  char typekind;
  int itemsize;
  int flags;
  Py_intptr_t* shape;
  Py_intptr_t* strides;
  void* data;
  PyObject* descr;
};
constexpr int kCContiguous = 0x0001;
constexpr int kAligned = 0x0100;
constexpr int kNotSwapped = 0x0200;

// Whether torch can copy the ndarray `value` as it lies: native, aligned
// float32 in C order. NumPy calls an array C-contiguous whatever the strides of
// its size-one dimensions (and of every dimension of an empty array), and its
// buffer protocol hands those strides over tidied, but torch refuses negative
// strides and those that are no multiple of the item size: the array's own
// strides are checked too.
bool plain_float32_block(nb::handle value) {
  PyObject* capsule = PyObject_GetAttrString(value.ptr(), "__array_struct__");
  if (capsule == nullptr) {
    PyErr_Clear();  // the conversion decides
    return false;
  }
  nb::object owner = nb::steal(capsule);
  auto* array = static_cast<const ArrayInterface*>(PyCapsule_GetPointer(capsule, nullptr));
  if (array == nullptr) {
    PyErr_Clear();
    return false;
  }
  constexpr int kPlain = kCContiguous | kAligned | kNotSwapped;
  bool plain = array->two == 2 && array->typekind == 'f' && array->itemsize == 4 &&
               (array->flags & kPlain) == kPlain && (array->nd == 0 || array->strides != nullptr);
  for (int i = 0; plain && i < array->nd; ++i) {
    plain = array->strides[i] >= 0 && array->strides[i] % array->itemsize == 0;
  }
  return plain;
}

}  // namespace

nb::object float32_tensor(nb::handle np, nb::handle torch, nb::handle value) {
  // A plain native float32 block is copied by torch itself: one pass into
  // memory from torch's allocator, which for large weights is about three times
  // faster than NumPy's copy into fresh pages.
  // Any other plain ndarray (strided, flipped, Fortran-ordered, byte-swapped,
  // another dtype) is cast and laid out in C order by NumPy in one copy.
  // Subclasses (whose `astype` is theirs) and other objects convert through
  // their own `astype`, as documented.
  nb::object ndarray = np.attr("ndarray");
  nb::object float32 = np.attr("float32");
  if (Py_TYPE(value.ptr()) != reinterpret_cast<PyTypeObject*>(ndarray.ptr())) {
    return torch.attr("from_numpy")(value.attr("astype")(float32));
  }
  if (plain_float32_block(value)) return torch.attr("tensor")(value);
  return torch.attr("from_numpy")(value.attr("astype")(float32, nb::arg("order") = "C"));
}

}  // namespace vantle::py
