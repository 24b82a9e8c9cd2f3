// Detection head and box decoding: SDDetectModule (box and class branches of
// three convolutions each), DFLDecodeModule (expected bin value of each box
// side's distribution) and Dist2BBoxModule (side distances to centre-size
// boxes in pixels).
#include <nanobind/stl/string.h>

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/format.h"
#include "import_ir/classes.h"
#include "import_ir/module_fields.h"
#include "py/arg_check.h"
#include "py/class_factory.h"
#include "py/fast_path.h"
#include "py/module_state.h"

namespace vantle::import_ir {
namespace {

using namespace nb::literals;
using py::module_global;

// Box branch first, weight before bias, stage 0 to 2: also the state-dict order.
constexpr std::array<const char*, 12> kHeadBuffers = {"cv2_w0", "cv2_b0", "cv2_w1", "cv2_b1",
                                                      "cv2_w2", "cv2_b2", "cv3_w0", "cv3_b0",
                                                      "cv3_w1", "cv3_b1", "cv3_w2", "cv3_b2"};

std::string decimal(nb::handle value) {
  return nb::cast<std::string>(nb::str(value));
}

// --- SDDetectModule -------------------------------------------------------------

void detect_init(nb::handle self, nb::handle num_classes, nb::handle reg_max, nb::handle stride,
                 nb::handle cv2_w0, nb::handle cv2_b0, nb::handle cv2_w1, nb::handle cv2_b1,
                 nb::handle cv2_w2, nb::handle cv2_b2, nb::handle cv3_w0, nb::handle cv3_b0,
                 nb::handle cv3_w1, nb::handle cv3_b1, nb::handle cv3_w2, nb::handle cv3_b2) {
  nb::int_ classes = py::arg_pyint(num_classes, "num_classes");
  nb::int_ bins = py::arg_pyint(reg_max, "reg_max");
  nb::int_ pixels = py::arg_pyint(stride, "stride");
  init_module_base(self);
  self.attr("num_classes") = classes;
  self.attr("reg_max") = bins;
  self.attr("stride") = pixels;
  const std::array<nb::handle, 12> arrays = {cv2_w0, cv2_b0, cv2_w1, cv2_b1, cv2_w2, cv2_b2,
                                             cv3_w0, cv3_b0, cv3_w1, cv3_b1, cv3_w2, cv3_b2};
  register_float32_buffers(self, kHeadBuffers, arrays);
}

// Three plain convolutions; stages 0 and 1 are padded by one pixel, stage 2 not.
nb::object head_branch(nb::handle self, const std::string& branch, nb::handle x) {
  nb::object conv2d = module_global("F").attr("conv2d");
  auto buffer = [&](const char* kind, int stage) {
    const std::string name = branch + "_" + kind + std::to_string(stage);
    return nb::getattr(self, name.c_str());
  };
  nb::tuple one = nb::make_tuple(1, 1);
  nb::object y = conv2d(x, buffer("w", 0), buffer("b", 0), "padding"_a = one);
  y = conv2d(y, buffer("w", 1), buffer("b", 1), "padding"_a = one);
  return conv2d(y, buffer("w", 2), buffer("b", 2));
}

nb::object detect_forward(nb::handle self, nb::handle x) {
  if (ndim_of(x) != 4) fail("SDDetect expects NCHW tensor, got shape " + py::shape_text(x));
  nb::object first_weight = self.attr("cv2_w0");
  if (ndim_of(first_weight) != 4) {
    fail("SDDetect weights must be 4D [out, in, kH, kW], got cv2_w0 of shape " +
         reported_shape(first_weight));
  }
  const int64_t given = dim_of(x, 1);
  const int64_t expected = dim_of(first_weight, 1);
  if (given != expected) {
    fail("Input channels (" + std::to_string(given) + ") do not match SDDetect channels (" +
         std::to_string(expected) + ")");
  }
  nb::object boxes = head_branch(self, "cv2", x);
  nb::object classes = head_branch(self, "cv3", x);
  return module_global("torch").attr("cat")(nb::make_tuple(boxes, classes), "dim"_a = 1);
}

// --- DFLDecodeModule ------------------------------------------------------------

void dfl_init(nb::handle self, nb::handle reg_max, nb::handle dfl_weights) {
  nb::int_ bins = py::arg_pyint(reg_max, "reg_max");
  init_module_base(self);
  self.attr("reg_max") = bins;
  auto length_matches = [&] {
    nb::object length = dfl_weights.attr("shape")[0];
    return nb::int_(nb::handle(length)).equal(bins);
  };
  const bool fits = ndim_of(dfl_weights) == 1 && length_matches();
  if (!fits) {
    fail("dfl_weights must be 1D with length " + decimal(bins) + ", got " +
         reported_shape(dfl_weights));
  }
  constexpr std::array<const char*, 1> kNames = {"dfl_weights"};
  const std::array<nb::handle, 1> arrays = {dfl_weights};
  register_float32_buffers(self, kNames, arrays);
}

// Channel s*R + k holds bin k of side s; each output is the softmax-weighted
// mean of the bin values over the R bins of one side.
nb::object dfl_forward(nb::handle self, nb::handle logits) {
  const int64_t dims = ndim_of(logits);
  if (dims < 2 || dims > 4) {
    fail("DFLDecode expects 2D/3D/4D tensor, got shape " + py::shape_text(logits));
  }
  const int64_t channels = dim_of(logits, dims >= 3 ? 1 : 0);
  nb::object reg_max = self.attr("reg_max");
  const int64_t bins = nb::cast<int64_t>(nb::int_(nb::handle(reg_max)));
  const int64_t expected = 4 * bins;
  if (channels != expected) {
    fail("DFLDecode expects " + std::to_string(expected) + " channels, got " +
         std::to_string(channels));
  }

  nb::object torch = module_global("torch");
  nb::object weights = self.attr("dfl_weights").attr("to")("dtype"_a = logits.attr("dtype"));
  if (dims == 2) {
    const int64_t positions = dim_of(logits, 1);
    nb::object p = torch.attr("softmax")(logits.attr("reshape")(4, bins, positions), "dim"_a = 1);
    return (p * weights.attr("view")(1, bins, 1)).attr("sum")("dim"_a = 1);
  }
  const int64_t batch = dim_of(logits, 0);
  const int64_t positions = dims == 3 ? dim_of(logits, 2) : dim_of(logits, 2) * dim_of(logits, 3);
  nb::object p =
      torch.attr("softmax")(logits.attr("reshape")(batch, 4, bins, positions), "dim"_a = 2);
  nb::object distances = (p * weights.attr("view")(1, 1, bins, 1)).attr("sum")("dim"_a = 2);
  if (dims == 3) return distances;
  return distances.attr("reshape")(batch, 4, dim_of(logits, 2), dim_of(logits, 3));
}

// --- Dist2BBoxModule ------------------------------------------------------------

void dist2bbox_init(nb::handle self, nb::handle stride) {
  nb::int_ pixels = py::arg_pyint(stride, "stride");
  init_module_base(self);
  self.attr("stride") = pixels;
}

// A given anchor on the distances' device and dtype, with a batch axis added to an H x W grid.
nb::object batched_anchor(nb::handle anchor, nb::handle distances) {
  nb::object moved =
      anchor.attr("to")("device"_a = distances.attr("device"), "dtype"_a = distances.attr("dtype"));
  if (ndim_of(moved) == 2) return moved.attr("unsqueeze")(0);
  return moved;
}

// Cell indices without a half-cell offset: x = column, y = row, shared across the batch.
std::pair<nb::object, nb::object> grid_anchors(nb::handle distances, int64_t batch, int64_t height,
                                               int64_t width) {
  nb::object torch = module_global("torch");
  auto arange = [&](int64_t n) {
    return torch.attr("arange")(n, "device"_a = distances.attr("device"),
                                "dtype"_a = distances.attr("dtype"));
  };
  nb::object grids = torch.attr("meshgrid")(arange(height), arange(width), "indexing"_a = "ij");
  auto spread = [&](nb::handle grid) {
    return grid.attr("view")(1, height, width).attr("expand")(batch, height, width);
  };
  return {spread(grids[1]), spread(grids[0])};
}

nb::object dist2bbox_forward(nb::handle self, nb::handle distances, nb::handle anchor_x,
                             nb::handle anchor_y) {
  if (ndim_of(distances) != 4 || dim_of(distances, 1) != 4) {
    fail("Dist2BBox expects tensor of shape [B,4,H,W], got " + py::shape_text(distances));
  }
  const int64_t batch = dim_of(distances, 0);
  const int64_t height = dim_of(distances, 2);
  const int64_t width = dim_of(distances, 3);

  nb::object ax;
  nb::object ay;
  if (!anchor_x.is_none() && !anchor_y.is_none()) {
    ax = batched_anchor(anchor_x, distances);
    ay = batched_anchor(anchor_y, distances);
    const std::vector<int64_t> expected = {batch, height, width};
    if (py::shape_of(ax) != expected || py::shape_of(ay) != expected) {
      fail("anchor_x/anchor_y must have shape " + core::format_shape(expected) + ", got " +
           py::shape_text(ax) + " and " + py::shape_text(ay));
    }
  } else {
    std::tie(ax, ay) = grid_anchors(distances, batch, height, width);
  }

  nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
  auto side = [&](int index) { return distances[nb::make_tuple(all, nb::int_(index))]; };
  nb::object x1 = ax - side(0);
  nb::object y1 = ay - side(1);
  nb::object x2 = ax + side(2);
  nb::object y2 = ay + side(3);

  nb::object stride = self.attr("stride");
  nb::object half = nb::float_(0.5);
  nb::object cx = (x1 + x2) * half * stride;
  nb::object cy = (y1 + y2) * half * stride;
  nb::object bw = (x2 - x1) * stride;
  nb::object bh = (y2 - y1) * stride;
  return module_global("torch").attr("stack")(nb::make_tuple(cx, cy, bw, bh), "dim"_a = 1);
}

}  // namespace

void define_detect(nb::module_ module) {
  nb::object base = module_global("nn").attr("Module");

  py::ClassBuilder(module, "SDDetectModule", base,
                   "Detection head: a box branch (``cv2_*``) and a class branch (``cv3_*``)\n"
                   "of three convolutions each, run on the same input; returns the box\n"
                   "channels followed by the class channels.\n\n"
                   "``SDDetectModule(num_classes, reg_max, stride, cv2_w0, cv2_b0, cv2_w1,\n"
                   "cv2_b1, cv2_w2, cv2_b2, cv3_w0, cv3_b0, cv3_w1, cv3_b1, cv3_w2, cv3_b2)``.\n"
                   "Stages 0 and 1 are padded by one pixel, stage 2 not; the three counts\n"
                   "are kept as metadata.")
      .method("__init__", &detect_init, nb::arg("self").none(), nb::arg("num_classes").none(),
              nb::arg("reg_max").none(), nb::arg("stride").none(), nb::arg("cv2_w0").none(),
              nb::arg("cv2_b0").none(), nb::arg("cv2_w1").none(), nb::arg("cv2_b1").none(),
              nb::arg("cv2_w2").none(), nb::arg("cv2_b2").none(), nb::arg("cv3_w0").none(),
              nb::arg("cv3_b0").none(), nb::arg("cv3_w1").none(), nb::arg("cv3_b1").none(),
              nb::arg("cv3_w2").none(), nb::arg("cv3_b2").none())
      .method("forward", &detect_forward, nb::arg("self").none(), nb::arg("x").none())
      .finish();

  py::ClassBuilder(module, "DFLDecodeModule", base,
                   "Distribution decoding of box sides: for each of the four sides, the\n"
                   "softmax over ``reg_max`` bins weighted by the bin values ``dfl_weights``.\n\n"
                   "``DFLDecodeModule(reg_max, dfl_weights)``; ``forward(logits)`` takes\n"
                   "B x 4R x H x W, B x 4R x N or 4R x N logits (channel s*R + k is bin k of\n"
                   "side s) and returns B x 4 x H x W, B x 4 x N or 4 x N.")
      .method("__init__", &dfl_init, nb::arg("self").none(), nb::arg("reg_max").none(),
              nb::arg("dfl_weights").none())
      .method("forward", &dfl_forward, nb::arg("self").none(), nb::arg("logits").none())
      .finish();

  py::ClassBuilder(module, "Dist2BBoxModule", base,
                   "Distances to the left, top, right and bottom box sides, in grid cells,\n"
                   "become (centre x, centre y, width, height) boxes in pixels.\n\n"
                   "``Dist2BBoxModule(stride)``; ``forward(distances, anchor_x=None,\n"
                   "anchor_y=None)`` takes B x 4 x H x W distances and optional B x H x W (or\n"
                   "H x W) cell coordinates; without both anchors cell (i, j) sits at x = j,\n"
                   "y = i.")
      .method("__init__", &dist2bbox_init, nb::arg("self").none(), nb::arg("stride").none())
      .method("forward", &dist2bbox_forward, nb::arg("self").none(), nb::arg("distances").none(),
              nb::arg("anchor_x").none() = nb::none(), nb::arg("anchor_y").none() = nb::none())
      .finish();
}

}  // namespace vantle::import_ir
