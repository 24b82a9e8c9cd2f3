// Scale and zero point of a value range, and fake quantization of tensors onto
// the integer grid they define.
#include <cmath>
#include <cstdint>

#include "core/fake_quant.h"
#include "py/arg_check.h"
#include "py/class_factory.h"
#include "py/fast_path.h"
#include "py/module_state.h"
#include "py/torch_ops.h"
#include "quantize/quantize.h"

namespace vantle::quantize {
namespace {

using py::module_global;

constexpr double kMinScale = 1e-8;

// Python's max(a, b) and min(a, b): the first argument unless the second is
// strictly beyond it, so a NaN in front survives.
double py_max(double a, double b) {
  return b > a ? b : a;
}
double py_min(double a, double b) {
  return b < a ? b : a;
}

// Python's round(value) to an integer, halves to even.
nb::int_ round_to_int(double value) {
  // PyLong_FromDouble raises the interpreter's own errors for NaN and infinities.
  PyObject* result = PyLong_FromDouble(std::nearbyint(value));
  if (result == nullptr) throw nb::python_error();
  return nb::steal<nb::int_>(result);
}

[[noreturn]] void raise_empty_grid() {
  PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
  throw nb::python_error();
}

nb::tuple symmetric_scale_zp(double min_val, double max_val, int64_t bits) {
  // One bit leaves no positive level (qmax = 0) to spread the range over.
  if (bits < 2) raise_empty_grid();
  const double abs_max = py_max(std::fabs(min_val), std::fabs(max_val));
  const double qmax = static_cast<double>((int64_t{1} << (bits - 1)) - 1);
  const double scale = py_max(abs_max, kMinScale) / qmax;
  return nb::make_tuple(py_max(scale, kMinScale), 0);
}

nb::tuple asymmetric_scale_zp(double min_val, double max_val, int64_t bits) {
  if (bits < 1) raise_empty_grid();
  // The range always holds zero, so that zero is exact on the grid and a range
  // away from zero is neither shifted nor clipped.
  min_val = py_min(min_val, 0.0);
  max_val = py_max(max_val, 0.0);
  const int64_t qmax = (int64_t{1} << bits) - 1;
  const double scale = py_max(max_val - min_val, kMinScale) / static_cast<double>(qmax);
  nb::int_ zero_point = round_to_int(0.0 - min_val / scale);
  // Clamp as Python ints: the rounded value may exceed any C integer.
  nb::int_ low(0);
  nb::int_ high(qmax);
  if (zero_point < low) zero_point = low;
  if (zero_point > high) zero_point = high;
  return nb::make_tuple(py_max(scale, kMinScale), zero_point);
}

// --- straight-through gradient ------------------------------------------------

// Forward values are the composed expression; backward passes the gradient
// where the rounded value fell inside the grid and zeroes it where it was clamped.
nb::object straight_through_forward(nb::handle ctx, nb::handle x, nb::handle scale,
                                    nb::handle zero_point, nb::handle qmin, nb::handle qmax) {
  nb::object torch = module_global("torch");
  nb::object shifted = torch.attr("round")(x / scale) + zero_point;
  nb::object inside =
      torch.attr("logical_and")(torch.attr("ge")(shifted, qmin), torch.attr("le")(shifted, qmax));
  ctx.attr("save_for_backward")(inside);
  return (torch.attr("clamp")(shifted, qmin, qmax) - zero_point) * scale;
}

nb::object straight_through_backward(nb::handle ctx, nb::handle grad_output) {
  nb::object inside = ctx.attr("saved_tensors")[nb::int_(0)];
  nb::object grad = grad_output.attr("masked_fill")(inside.attr("logical_not")(), 0.0);
  return nb::make_tuple(grad, nb::none(), nb::none(), nb::none(), nb::none());
}

// --- _quantize_tensor ------------------------------------------------------------

// 2 ** exponent with Python's semantics (an int, or a float for negative exponents).
nb::object power_of_two(nb::handle exponent) {
  PyObject* result = PyNumber_Power(nb::int_(2).ptr(), exponent.ptr(), Py_None);
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

struct GridBounds {
  nb::object qmin, qmax;
};

GridBounds grid_bounds(nb::handle bits, bool symmetric) {
  if (symmetric) {
    nb::object half = power_of_two(bits - nb::int_(1));
    return {-half, half - nb::int_(1)};
  }
  return {nb::int_(0), power_of_two(bits) - nb::int_(1)};
}

bool fits_int64(nb::handle value, int64_t& out) {
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (result == -1 && PyErr_Occurred()) throw nb::python_error();
  out = result;
  return overflow == 0;
}

// The fused kernel; None when the tensor or the values do not qualify.
nb::object quantize_fused(nb::handle torch, nb::handle tensor, double scale, nb::handle zero_point,
                          nb::handle bits, bool symmetric) {
  int64_t width = 0;
  int64_t zp = 0;
  if (!fits_int64(bits, width) || width < 1 || width > 31) return nb::none();
  if (!fits_int64(zero_point, zp)) return nb::none();
  if (!py::kernel_allowed(torch, {tensor})) return nb::none();

  const core::FakeQuantGrid grid = core::make_grid(scale, zp, static_cast<int>(width), symmetric);
  nb::object result = torch.attr("empty_like")(tensor);
  const float* in = py::float_data(tensor);
  float* out = py::float_data(result);
  const int64_t count = py::numel(tensor);
  const int threads = nb::cast<int>(torch.attr("get_num_threads")());
  {
    nb::gil_scoped_release release;
    core::fake_quantize(grid, in, out, count, threads);
  }
  return result;
}

nb::object quantize_tensor_entry(nb::handle tensor, nb::handle scale, nb::handle zero_point,
                                 nb::handle bits, nb::handle symmetric) {
  return quantize_tensor(tensor, scale, zero_point, bits, symmetric);
}

nb::tuple compute_scale_zp_entry(nb::handle min_val, nb::handle max_val, nb::handle bits,
                                 nb::handle symmetric) {
  return compute_scale_zp(min_val, max_val, bits, symmetric);
}

}  // namespace

nb::tuple compute_scale_zp(nb::handle min_val, nb::handle max_val, nb::handle bits,
                           nb::handle symmetric) {
  const double low = py::arg_float(min_val, "min_val");
  const double high = py::arg_float(max_val, "max_val");
  nb::int_ width = py::arg_pyint(bits, "bits");
  const bool is_symmetric = py::truthy(symmetric);
  if (full_width(width)) return nb::make_tuple(1.0, 0);
  int64_t narrow = 0;
  // Hugely negative widths make no grid either.
  if (!fits_int64(width, narrow)) raise_empty_grid();
  return is_symmetric ? symmetric_scale_zp(low, high, narrow)
                      : asymmetric_scale_zp(low, high, narrow);
}

nb::object quantize_tensor(nb::handle tensor, nb::handle scale, nb::handle zero_point,
                           nb::handle bits, nb::handle symmetric) {
  const double scale_value = py::arg_float(scale, "scale");
  nb::int_ zp = py::arg_pyint(zero_point, "zero_point");
  nb::int_ width = py::arg_pyint(bits, "bits");
  if (full_width(width)) return nb::borrow(tensor);
  const bool grid_symmetric = symmetric.is_none() ? zp.equal(nb::int_(0)) : py::truthy(symmetric);

  nb::object torch = module_global("torch");
  nb::object fused = quantize_fused(torch, tensor, scale_value, zp, width, grid_symmetric);
  if (!fused.is_none()) return fused;

  const auto [qmin, qmax] = grid_bounds(width, grid_symmetric);
  nb::float_ scale_object(scale_value);
  const bool is_tensor = nb::isinstance(tensor, torch.attr("Tensor"));
  if (is_tensor && py::needs_autograd(torch, {tensor})) {
    return module_global("_FakeQuantize").attr("apply")(tensor, scale_object, zp, qmin, qmax);
  }
  nb::object rounded = torch.attr("round")(tensor / scale_object) + zp;
  return (torch.attr("clamp")(rounded, qmin, qmax) - zp) * scale_object;
}

void define_grid(nb::module_ module) {
  module.def("_compute_scale_zp", &compute_scale_zp_entry, nb::arg("min_val").none(),
             nb::arg("max_val").none(), nb::arg("bits").none(), nb::arg("symmetric").none(),
             "(scale, zero_point) of the ``bits``-bit grid covering [min_val, max_val].\n\n"
             "Symmetric: scale = max(|min|, |max|) / (2^(bits-1) - 1), zero point 0.\n"
             "Asymmetric: the range is widened to include 0, scale = range / (2^bits - 1)\n"
             "and the zero point is where 0 falls on the grid [0, 2^bits - 1]. Scales\n"
             "never drop below 1e-8; 32 bits and more give (1.0, 0).");
  module.def("_quantize_tensor", &quantize_tensor_entry, nb::arg("tensor").none(),
             nb::arg("scale").none(), nb::arg("zero_point").none(), nb::arg("bits").none(),
             nb::kw_only(), nb::arg("symmetric").none() = nb::none(),
             "``(clamp(round(tensor / scale) + zero_point, qmin, qmax) - zero_point) * scale``.\n\n"
             "The grid is [-2^(bits-1), 2^(bits-1) - 1] when ``symmetric`` is true and\n"
             "[0, 2^bits - 1] when it is false; with ``symmetric=None`` a zero point of 0\n"
             "picks the symmetric grid. 32 bits and more return ``tensor`` itself. Under\n"
             "autograd the gradient passes straight through where the value was not clamped.");

  py::ClassBuilder(module, "_FakeQuantize",
                   module_global("torch").attr("autograd").attr("Function"),
                   "Fake quantization with a straight-through gradient.\n\n"
                   "``_FakeQuantize.apply(x, scale, zero_point, qmin, qmax)``.")
      .static_method("forward", &straight_through_forward, nb::arg("ctx").none(),
                     nb::arg("x").none(), nb::arg("scale").none(), nb::arg("zero_point").none(),
                     nb::arg("qmin").none(), nb::arg("qmax").none())
      .static_method("backward", &straight_through_backward, nb::arg("ctx").none(),
                     nb::arg("grad_output").none())
      .finish();
}

}  // namespace vantle::quantize
