// NMSModule: confidence filter, greedy non-maximum suppression and a cap on
// the number of detections, for the host-side end of a detection graph.
#include "core/nms.h"

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "import_ir/classes.h"
#include "import_ir/module_fields.h"
#include "py/arg_check.h"
#include "py/class_factory.h"
#include "py/fast_path.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::import_ir {
namespace {

using py::module_global;
using namespace nb::literals;

// float(value) as the interpreter converts a number; its own TypeError otherwise.
double interpreter_float(nb::handle value) {
  const double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return result;
}

nb::object all_rows() {
  return nb::slice(nb::none(), nb::none(), nb::none());
}

// tensor[:, index]
nb::object column(nb::handle tensor, int index) {
  return tensor[nb::make_tuple(all_rows(), nb::int_(index))];
}

// --- _nms_fallback: composed path -----------------------------------------------

// The greedy loop written with tensor operations, for inputs the kernel does
// not take (other dtypes, tensor subclasses, tracing). Equal scores are visited
// in index order, as in the kernel.
nb::object nms_composed(nb::handle torch, nb::handle boxes, nb::handle scores, double threshold) {
  nb::object order = torch.attr("argsort")(scores, "descending"_a = true, "stable"_a = true);
  nb::object sorted = boxes[order];
  nb::object x1 = column(sorted, 0), y1 = column(sorted, 1);
  nb::object x2 = column(sorted, 2), y2 = column(sorted, 3);
  const Py_ssize_t count = nb::len(sorted);
  nb::object device = boxes.attr("device");
  nb::object suppressed =
      torch.attr("zeros")(count, "dtype"_a = torch.attr("bool"), "device"_a = device);
  nb::list keep;
  for (Py_ssize_t i = 0; i < count; ++i) {
    nb::int_ position(i);
    if (py::truthy(suppressed[position])) continue;
    keep.append(position);
    nb::object open = torch.attr("where")(suppressed.attr("logical_not")())[nb::int_(0)];
    nb::object remaining = open[open.attr("__gt__")(position)];
    if (py::numel(remaining) == 0) continue;
    nb::object xi1 = torch.attr("maximum")(x1[position], x1[remaining]);
    nb::object yi1 = torch.attr("maximum")(y1[position], y1[remaining]);
    nb::object xi2 = torch.attr("minimum")(x2[position], x2[remaining]);
    nb::object yi2 = torch.attr("minimum")(y2[position], y2[remaining]);
    nb::object inter =
        torch.attr("clamp")(xi2 - xi1, "min"_a = 0) * torch.attr("clamp")(yi2 - yi1, "min"_a = 0);
    nb::object area_i = (x2[position] - x1[position]) * (y2[position] - y1[position]);
    nb::object area_r = (x2[remaining] - x1[remaining]) * (y2[remaining] - y1[remaining]);
    nb::object iou = inter / torch.attr("clamp")(area_i + area_r - inter, "min"_a = 1e-7);
    suppressed[remaining[iou.attr("__gt__")(threshold)]] = nb::bool_(true);
  }
  nb::object kept = torch.attr("tensor")(keep, "device"_a = device, "dtype"_a = torch.attr("long"));
  return order[kept];
}

// --- _nms_fallback: kernel path --------------------------------------------------

bool is_kernel_dtype(nb::handle torch, nb::handle tensor) {
  nb::object dtype = tensor.attr("dtype");
  return dtype.is(torch.attr("float32")) || dtype.is(torch.attr("float64"));
}

// A plain strided float tensor with real memory behind it (any device but
// meta; not a zero tensor, which has no memory at all).
bool kernel_tensor(nb::handle torch, nb::handle tensor) {
  if (!py::is_plain_tensor(torch, tensor)) return false;
  if (!is_kernel_dtype(torch, tensor)) return false;
  if (!tensor.attr("layout").is(torch.attr("strided"))) return false;
  if (nb::cast<bool>(tensor.attr("is_nested"))) return false;
  if (nb::cast<bool>(tensor.attr("_is_zerotensor")())) return false;
  return !nb::cast<bool>(tensor.attr("is_meta"));
}

// Boxes and scores (whose shapes were checked) on one device, with torch
// neither tracing nor compiling. Autograd does not matter: the result is
// indices, which carry no gradient.
bool kernel_allowed(nb::handle torch, nb::handle boxes, nb::handle scores) {
  if (!kernel_tensor(torch, boxes) || !kernel_tensor(torch, scores)) return false;
  if (!boxes.attr("device").equal(scores.attr("device"))) return false;
  return !py::tracing_or_compiling(torch);
}

// The values of a float32 or float64 tensor, copied to the host as T.
template <typename T>
std::vector<T> host_values(nb::handle torch, nb::handle tensor, const char* dtype) {
  nb::object host = tensor.attr("detach")()
                        .attr("to")("device"_a = "cpu", "dtype"_a = torch.attr(dtype))
                        .attr("resolve_neg")()
                        .attr("contiguous")();
  std::vector<T> values(static_cast<std::size_t>(py::numel(host)));
  // A storage resized away under the tensor raises here rather than being read.
  if (!values.empty() && py::has_element_memory(host, sizeof(T))) {
    const auto address = nb::cast<uintptr_t>(host.attr("data_ptr")());
    std::memcpy(values.data(), reinterpret_cast<const void*>(address), values.size() * sizeof(T));
  }
  return values;
}

template <typename T>
std::vector<int64_t> kernel_keep(nb::handle torch, nb::handle boxes, nb::handle scores,
                                 double threshold, const char* dtype) {
  // Copied while the GIL is held, so the loop below never reads memory another
  // thread could change or free.
  const std::vector<T> box_values = host_values<T>(torch, boxes, dtype);
  const std::vector<double> score_values = host_values<double>(torch, scores, "float64");
  nb::gil_scoped_release release;
  return core::nms_greedy(std::span<const T>(box_values), std::span<const double>(score_values),
                          threshold);
}

nb::object nms_kernel(nb::handle torch, nb::handle boxes, nb::handle scores, double threshold) {
  const bool wide = boxes.attr("dtype").is(torch.attr("float64"));
  const std::vector<int64_t> keep =
      wide ? kernel_keep<double>(torch, boxes, scores, threshold, "float64")
           : kernel_keep<float>(torch, boxes, scores, threshold, "float32");
  nb::object result =
      torch.attr("empty")(static_cast<Py_ssize_t>(keep.size()), "dtype"_a = torch.attr("int64"));
  if (!keep.empty()) {
    const auto address = nb::cast<uintptr_t>(result.attr("data_ptr")());
    std::memcpy(reinterpret_cast<void*>(address), keep.data(), keep.size() * sizeof(int64_t));
  }
  return result.attr("to")(boxes.attr("device"));
}

// The arguments torchvision.ops.nms takes: K x 4 boxes and K scores. Anything
// else would be read out of step (10 boxes, 9 scores) or fail deep inside the
// loop with a bare IndexError.
void check_nms_arguments(nb::handle torch, nb::handle boxes, nb::handle scores) {
  nb::object tensor_type = torch.attr("Tensor");
  if (!nb::isinstance(boxes, tensor_type)) py::raise_arg_type("boxes", "Tensor", boxes);
  if (!nb::isinstance(scores, tensor_type)) py::raise_arg_type("scores", "Tensor", scores);
  const auto box_shape = py::shape_of(boxes);
  if (box_shape.size() != 2 || box_shape[1] != 4) {
    const std::string message =
        "boxes must have shape (K, 4) (x1, y1, x2, y2), got " + py::shape_text(boxes);
    throw nb::value_error(message.c_str());
  }
  const auto score_shape = py::shape_of(scores);
  if (score_shape.size() != 1 || score_shape[0] != box_shape[0]) {
    const std::string message = "scores must have shape (K,) with one score per box, got " +
                                py::shape_text(scores) + " for " + std::to_string(box_shape[0]) +
                                " boxes";
    throw nb::value_error(message.c_str());
  }
}

nb::object nms_fallback(nb::handle boxes, nb::handle scores, nb::handle iou_threshold) {
  const double threshold = interpreter_float(iou_threshold);
  nb::object torch = module_global("torch");
  check_nms_arguments(torch, boxes, scores);
  if (kernel_allowed(torch, boxes, scores)) return nms_kernel(torch, boxes, scores, threshold);
  return nms_composed(torch, boxes, scores, threshold);
}

// --- NMSModule ---------------------------------------------------------------------

void nms_init(nb::handle self, nb::handle score_threshold, nb::handle iou_threshold,
              nb::handle max_detections) {
  const double score = interpreter_float(score_threshold);
  const double iou = interpreter_float(iou_threshold);
  nb::int_ cap = py::arg_pyint(max_detections, "max_detections");
  init_module_base(self);
  self.attr("score_threshold") = nb::float_(score);
  self.attr("iou_threshold") = nb::float_(iou);
  self.attr("max_detections") = cap;
}

// torchvision's suppression when it can be imported. A torchvision built for
// another torch fails at import with errors other than ImportError, so any
// failure to import it means "not available".
nb::object torchvision_nms() {
  try {
    nb::object import = nb::module_::import_("builtins").attr("__import__");
    nb::object ops = import("torchvision.ops", nb::none(), nb::none(), nb::make_tuple("nms"), 0);
    return ops.attr("nms");
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return nb::none();
  }
}

nb::object suppress(nb::handle self, nb::handle boxes, nb::handle scores) {
  nb::object threshold = self.attr("iou_threshold");
  if (nb::object tv_nms = torchvision_nms(); !tv_nms.is_none()) {
    try {
      return tv_nms(boxes, scores, threshold);
    } catch (nb::python_error& error) {
      if (!error.matches(PyExc_ImportError)) throw;
    }
  }
  return self.attr("_nms_fallback")(boxes, scores, threshold);
}

// Rows whose score (objectness times best class score) reaches the threshold.
nb::object filtered_scores(nb::handle torch, nb::handle detections) {
  nb::object objectness = column(detections, 4);
  if (py::shape_of(detections)[1] == 5) return objectness * torch.attr("ones_like")(objectness);
  nb::object classes =
      detections[nb::make_tuple(all_rows(), nb::slice(nb::int_(5), nb::none(), nb::none()))];
  return objectness * classes.attr("max")("dim"_a = 1).attr("values");
}

nb::object corner_boxes(nb::handle torch, nb::handle detections) {
  nb::object cx = column(detections, 0), cy = column(detections, 1);
  nb::object w = column(detections, 2), h = column(detections, 3);
  nb::float_ half(0.5);
  return torch.attr("stack")(
      nb::make_tuple(cx - w * half, cy - h * half, cx + w * half, cy + h * half), "dim"_a = 1);
}

nb::object capped(nb::handle keep, nb::handle max_detections) {
  nb::object zero = nb::int_(0);
  const int positive = PyObject_RichCompareBool(max_detections.ptr(), zero.ptr(), Py_GT);
  if (positive < 0) throw nb::python_error();
  if (positive == 0) return nb::borrow(keep);
  return keep[nb::slice(nb::none(), max_detections, nb::none())];
}

nb::object nms_forward(nb::handle self, nb::handle detections) {
  const auto shape = py::shape_of(detections);
  if (shape.size() != 2 || shape[1] < 5) {
    throw nb::value_error(("NMS expects (N, >=5), got " + py::shape_text(detections)).c_str());
  }
  if (shape[0] == 0) return nb::borrow(detections);
  nb::object torch = module_global("torch");
  nb::object scores = filtered_scores(torch, detections);
  nb::object mask = scores.attr("__ge__")(self.attr("score_threshold"));
  nb::object kept_rows = detections[mask];
  scores = scores[mask];
  if (py::shape_of(kept_rows)[0] == 0) return kept_rows;
  nb::object keep = suppress(self, corner_boxes(torch, kept_rows), scores);
  return kept_rows[capped(keep, self.attr("max_detections"))];
}

}  // namespace

void define_nms(nb::module_ module) {
  py::ClassBuilder(module, "NMSModule", module_global("nn").attr("Module"),
                   "Non-maximum suppression of detection rows.\n\n"
                   "``NMSModule(score_threshold=0.25, iou_threshold=0.45, max_detections=300)``.\n"
                   "``forward(detections)`` takes N x D rows (cx, cy, w, h, objectness, class\n"
                   "scores...), keeps rows whose objectness times best class score is at least\n"
                   "``score_threshold``, suppresses rows overlapping a better one by an IoU\n"
                   "above ``iou_threshold`` (classes are ignored), and returns at most\n"
                   "``max_detections`` rows (no cap when it is 0 or less), best first.\n"
                   "Suppression uses ``torchvision.ops.nms`` when it imports, else\n"
                   "``_nms_fallback``.")
      .method("__init__", &nms_init, nb::arg("self").none(),
              nb::arg("score_threshold").none() = 0.25, nb::arg("iou_threshold").none() = 0.45,
              nb::arg("max_detections").none() = 300)
      .method("forward", &nms_forward, nb::arg("self").none(), nb::arg("detections").none())
      .static_method("_nms_fallback", &nms_fallback, nb::arg("boxes").none(),
                     nb::arg("scores").none(), nb::arg("iou_threshold").none(),
                     "Greedy suppression with the contract of ``torchvision.ops.nms``.\n\n"
                     "``boxes`` is K x 4 (x1, y1, x2, y2), ``scores`` has K entries. Returns the\n"
                     "int64 indices of the kept boxes, best score first (equal scores by\n"
                     "index), on the device of ``boxes``. A box is suppressed when its IoU with\n"
                     "a kept, better box is strictly greater than ``iou_threshold``.")
      .finish();
}

}  // namespace vantle::import_ir
