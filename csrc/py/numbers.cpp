#include "py/numbers.h"

namespace vantle::py {

nb::object python_int(nb::handle value) {
  PyObject* result = PyNumber_Long(value.ptr());
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

}  // namespace vantle::py
