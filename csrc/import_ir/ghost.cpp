// Ghost convolution blocks of spiking detection backbones: a primary
// convolution plus a cheap depthwise convolution of its output, and the stem
// and residual blocks built from it. The blocks are plain convolution chains:
// no activation, normalisation or spiking step runs inside them.
#include <array>
#include <string>
#include <utility>

#include "import_ir/classes.h"
#include "import_ir/module_fields.h"
#include "py/arg_check.h"
#include "py/class_factory.h"
#include "py/fast_path.h"
#include "py/module_state.h"
#include "py/notes.h"

namespace vantle::import_ir {
namespace {

using namespace nb::literals;
using py::module_global;

constexpr std::array<const char*, 4> kGhostBuffers = {"primary_weight", "primary_bias",
                                                      "cheap_weight", "cheap_bias"};

// The four arrays of one ghost convolution, in constructor order.
using GhostArrays = std::array<nb::handle, 4>;

nb::tuple pair(nb::handle first, nb::handle second) {
  return nb::make_tuple(first, second);
}

nb::tuple pair(int64_t first, int64_t second) {
  return nb::make_tuple(first, second);
}

void require_nchw(nb::handle x, const char* block) {
  if (ndim_of(x) != 4) {
    fail(std::string(block) + " expects NCHW tensor, got shape " + py::shape_text(x));
  }
}

void require_input_channels(nb::handle x, nb::handle weight, const char* weight_label) {
  const int64_t given = dim_of(x, 1);
  const int64_t expected = dim_of(weight, 1);
  if (given != expected) {
    fail("Input channels (" + std::to_string(given) + ") do not match " + weight_label +
         " input channels (" + std::to_string(expected) + ")");
  }
}

// --- SGhostConvModule -----------------------------------------------------------

void validate_ghost_arrays(const GhostArrays& arrays) {
  const auto [primary_weight, primary_bias, cheap_weight, cheap_bias] = arrays;
  if (ndim_of(primary_weight) != 4 || ndim_of(cheap_weight) != 4) {
    fail("SGhostConv weights must be 4D");
  }
  if (ndim_of(primary_bias) != 1 || ndim_of(cheap_bias) != 1) fail("SGhostConv biases must be 1D");
  if (dim_of(cheap_weight, 1) != 1) {
    fail("cheap_weight must be depthwise with shape[1]=1, got " + reported_shape(cheap_weight));
  }
  const int64_t primary_out = dim_of(primary_weight, 0);
  const int64_t cheap_out = dim_of(cheap_weight, 0);
  if (primary_out != cheap_out) {
    fail("cheap output channels must match primary output channels, got " +
         std::to_string(cheap_out) + " and " + std::to_string(primary_out));
  }
  if (dim_of(primary_bias, 0) != primary_out) {
    fail("primary_bias length must match primary_weight output channels");
  }
  if (dim_of(cheap_bias, 0) != cheap_out) {
    fail("cheap_bias length must match cheap_weight output channels");
  }
}

void sghost_conv_init(nb::handle self, nb::handle primary_weight, nb::handle primary_bias,
                      nb::handle cheap_weight, nb::handle cheap_bias, nb::handle primary_stride,
                      nb::handle primary_padding, nb::handle cheap_stride,
                      nb::handle cheap_padding) {
  constexpr std::array<const char*, 4> kPairNames = {"primary_stride", "primary_padding",
                                                     "cheap_stride", "cheap_padding"};
  const std::array<nb::handle, 4> pairs = {primary_stride, primary_padding, cheap_stride,
                                           cheap_padding};
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    py::require_exact(pairs[i], &PyTuple_Type, kPairNames[i], "tuple");
  }
  init_module_base(self);
  const GhostArrays arrays = {primary_weight, primary_bias, cheap_weight, cheap_bias};
  validate_ghost_arrays(arrays);
  register_float32_buffers(self, kGhostBuffers, arrays);
  nb::object to_pair = module_global("_to_2tuple_int");
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    self.attr(kPairNames[i]) = to_pair(pairs[i]);
  }
}

nb::object sghost_conv_forward(nb::handle self, nb::handle x) {
  require_nchw(x, "SGhostConv");
  nb::object primary_weight = self.attr("primary_weight");
  require_input_channels(x, primary_weight, "primary_weight");
  nb::object F = module_global("F");
  nb::object primary = F.attr("conv2d")(x, primary_weight, self.attr("primary_bias"),
                                        "stride"_a = self.attr("primary_stride"),
                                        "padding"_a = self.attr("primary_padding"));
  nb::object cheap_weight = self.attr("cheap_weight");
  // Depthwise: one group per primary output channel.
  nb::object cheap = F.attr("conv2d")(
      primary, cheap_weight, self.attr("cheap_bias"), "stride"_a = self.attr("cheap_stride"),
      "padding"_a = self.attr("cheap_padding"), "groups"_a = dim_of(cheap_weight, 0));
  return module_global("torch").attr("cat")(nb::make_tuple(primary, cheap), "dim"_a = 1);
}

// The ghost convolution of a block, from the block's arrays with names that
// start with `prefix`; its errors carry a note naming the prefix.
nb::object make_ghost_conv(const char* prefix, const GhostArrays& arrays, nb::handle primary_stride,
                           nb::handle primary_padding, nb::handle cheap_stride,
                           nb::handle cheap_padding) {
  try {
    return module_global("SGhostConvModule")(arrays[0], arrays[1], arrays[2], arrays[3],
                                             primary_stride, primary_padding, cheap_stride,
                                             cheap_padding);
  } catch (const nb::python_error& error) {
    py::add_note(error, "in the ghost convolution of fields '" + std::string(prefix) + "*'");
    throw;
  }
}

// --- SGhostEncoderLiteModule ----------------------------------------------------

// Half the kernel's height and width, the padding that keeps an odd kernel's
// output size. An array with fewer than four axes has no kernel; it gets (0, 0)
// here and its own "weights must be 4D" error when the ghost stage validates it.
nb::tuple same_padding(nb::handle weight) {
  if (ndim_of(weight) < 4) return pair(0, 0);
  return pair(dim_of(weight, 2) / 2, dim_of(weight, 3) / 2);
}

void encoder_init(nb::handle self, nb::handle conv1_weight, nb::handle conv1_bias,
                  nb::handle ghost_primary_weight, nb::handle ghost_primary_bias,
                  nb::handle ghost_cheap_weight, nb::handle ghost_cheap_bias, nb::handle stride) {
  nb::int_ stride_value = py::arg_pyint(stride, "stride");
  init_module_base(self);
  if (ndim_of(conv1_weight) != 4 || ndim_of(conv1_bias) != 1) {
    fail("conv1 weight/bias must be 4D/1D");
  }
  if (dim_of(conv1_weight, 0) != dim_of(conv1_bias, 0)) {
    fail("conv1_bias length must match conv1_weight output channels");
  }
  nb::tuple conv1_padding = same_padding(conv1_weight);

  constexpr std::array<const char*, 2> kConv1Buffers = {"conv1_weight", "conv1_bias"};
  const std::array<nb::handle, 2> conv1_arrays = {conv1_weight, conv1_bias};
  register_float32_buffers(self, kConv1Buffers, conv1_arrays);
  self.attr("stride") = stride_value;
  self.attr("conv1_padding") = conv1_padding;

  nb::tuple unit = pair(1, 1);
  self.attr("ghost") = make_ghost_conv(
      "ghost_", {ghost_primary_weight, ghost_primary_bias, ghost_cheap_weight, ghost_cheap_bias},
      unit, same_padding(ghost_primary_weight), unit, same_padding(ghost_cheap_weight));
}

nb::object encoder_forward(nb::handle self, nb::handle x) {
  require_nchw(x, "SGhostEncoderLite");
  nb::object conv1_weight = self.attr("conv1_weight");
  require_input_channels(x, conv1_weight, "conv1");
  nb::object stride = self.attr("stride");
  nb::object stem = module_global("F").attr("conv2d")(x, conv1_weight, self.attr("conv1_bias"),
                                                      "stride"_a = pair(stride, stride),
                                                      "padding"_a = self.attr("conv1_padding"));
  return self.attr("ghost")(stem);
}

// --- GhostBasicBlock1Module / GhostBasicBlock2Module ----------------------------

// y[:, :h], y[:, h:] for h = half of y's channels: views, no copies.
std::pair<nb::object, nb::object> channel_halves(nb::handle y, const char* parity_message) {
  const int64_t channels = dim_of(y, 1);
  if (channels % 2 != 0) fail(parity_message + std::to_string(channels));
  nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
  nb::object half = nb::int_(channels / 2);
  nb::object first = y[nb::make_tuple(all, nb::slice(nb::none(), half, nb::none()), all, all)];
  nb::object second = y[nb::make_tuple(all, nb::slice(half, nb::none(), nb::none()), all, all)];
  return {first, second};
}

nb::object join_channels(nb::handle first, nb::handle second) {
  return module_global("torch").attr("cat")(nb::make_tuple(first, second), "dim"_a = 1);
}

void block1_init(nb::handle self, nb::handle cvres_primary_weight, nb::handle cvres_primary_bias,
                 nb::handle cvres_cheap_weight, nb::handle cvres_cheap_bias,
                 nb::handle cv0_primary_weight, nb::handle cv0_primary_bias,
                 nb::handle cv0_cheap_weight, nb::handle cv0_cheap_bias,
                 nb::handle cv2_primary_weight, nb::handle cv2_primary_bias,
                 nb::handle cv2_cheap_weight, nb::handle cv2_cheap_bias, nb::handle stride) {
  nb::int_ stride_value = py::arg_pyint(stride, "stride");
  init_module_base(self);
  self.attr("stride") = stride_value;
  nb::tuple strided = pair(stride_value, stride_value);
  nb::tuple unit = pair(1, 1);
  self.attr("cvres") = make_ghost_conv(
      "cvres_", {cvres_primary_weight, cvres_primary_bias, cvres_cheap_weight, cvres_cheap_bias},
      strided, pair(0, 0), unit, unit);
  self.attr("cv0") = make_ghost_conv(
      "cv0_", {cv0_primary_weight, cv0_primary_bias, cv0_cheap_weight, cv0_cheap_bias}, strided,
      unit, unit, unit);
  self.attr("cv2") = make_ghost_conv(
      "cv2_", {cv2_primary_weight, cv2_primary_bias, cv2_cheap_weight, cv2_cheap_bias}, unit, unit,
      unit, unit);
}

nb::object block1_forward(nb::handle self, nb::handle x) {
  nb::object y = self.attr("cv0")(x);
  nb::object residual = self.attr("cvres")(x);
  auto [kept, refined] = channel_halves(y, "GhostBasicBlock1 requires even main channels, got ");
  nb::object merged = self.attr("cv2")(refined) + residual;
  return join_channels(kept, merged);
}

void block2_init(nb::handle self, nb::handle cv0_primary_weight, nb::handle cv0_primary_bias,
                 nb::handle cv0_cheap_weight, nb::handle cv0_cheap_bias,
                 nb::handle cv2_primary_weight, nb::handle cv2_primary_bias,
                 nb::handle cv2_cheap_weight, nb::handle cv2_cheap_bias) {
  init_module_base(self);
  nb::tuple unit = pair(1, 1);
  self.attr("cv0") = make_ghost_conv(
      "cv0_", {cv0_primary_weight, cv0_primary_bias, cv0_cheap_weight, cv0_cheap_bias}, unit,
      pair(0, 0), unit, unit);
  self.attr("cv2") = make_ghost_conv(
      "cv2_", {cv2_primary_weight, cv2_primary_bias, cv2_cheap_weight, cv2_cheap_bias}, unit, unit,
      unit, unit);
}

nb::object block2_forward(nb::handle self, nb::handle x) {
  nb::object y = self.attr("cv0")(x);
  auto [kept, refined] = channel_halves(y, "GhostBasicBlock2 requires even channels, got ");
  return join_channels(kept, self.attr("cv2")(refined));
}

}  // namespace

void define_ghost(nb::module_ module) {
  nb::object base = module_global("nn").attr("Module");
  nb::tuple unit = pair(1, 1);
  nb::tuple zero = pair(0, 0);

  py::ClassBuilder(module, "SGhostConvModule", base,
                   "Ghost convolution: a primary convolution, then a cheap depthwise\n"
                   "convolution of its output; returns both concatenated along channels\n"
                   "(primary first).\n\n"
                   "``SGhostConvModule(primary_weight, primary_bias, cheap_weight, cheap_bias,\n"
                   "primary_stride=(1, 1), primary_padding=(0, 0), cheap_stride=(1, 1),\n"
                   "cheap_padding=(0, 0))`` takes NumPy arrays [P, Cin, kH, kW], [P],\n"
                   "[P, 1, kh, kw], [P] and stores float32 copies as buffers.")
      .method("__init__", &sghost_conv_init, nb::arg("self").none(),
              nb::arg("primary_weight").none(), nb::arg("primary_bias").none(),
              nb::arg("cheap_weight").none(), nb::arg("cheap_bias").none(),
              nb::arg("primary_stride").none() = unit, nb::arg("primary_padding").none() = zero,
              nb::arg("cheap_stride").none() = unit, nb::arg("cheap_padding").none() = zero)
      .method("forward", &sghost_conv_forward, nb::arg("self").none(), nb::arg("x").none())
      .finish();

  py::ClassBuilder(module, "SGhostEncoderLiteModule", base,
                   "Stem block: a strided convolution (padding half its kernel), then a\n"
                   "size-preserving ghost convolution held as the sub-module ``ghost``.\n\n"
                   "``SGhostEncoderLiteModule(conv1_weight, conv1_bias, ghost_primary_weight,\n"
                   "ghost_primary_bias, ghost_cheap_weight, ghost_cheap_bias, stride=2)``")
      .method("__init__", &encoder_init, nb::arg("self").none(), nb::arg("conv1_weight").none(),
              nb::arg("conv1_bias").none(), nb::arg("ghost_primary_weight").none(),
              nb::arg("ghost_primary_bias").none(), nb::arg("ghost_cheap_weight").none(),
              nb::arg("ghost_cheap_bias").none(), nb::arg("stride").none() = 2)
      .method("forward", &encoder_forward, nb::arg("self").none(), nb::arg("x").none())
      .finish();

  py::ClassBuilder(module, "GhostBasicBlock1Module", base,
                   "Downsampling ghost block: ``y = cv0(x)``, ``res = cvres(x)`` (both with\n"
                   "stride ``stride``); the second half of ``y``'s channels goes through\n"
                   "``cv2`` and is added to ``res``; returns the first half of ``y`` and that\n"
                   "sum, concatenated along channels.\n\n"
                   "``GhostBasicBlock1Module(cvres_*, cv0_*, cv2_*, stride=2)``, each prefix\n"
                   "followed by primary_weight, primary_bias, cheap_weight, cheap_bias.")
      .method("__init__", &block1_init, nb::arg("self").none(),
              nb::arg("cvres_primary_weight").none(), nb::arg("cvres_primary_bias").none(),
              nb::arg("cvres_cheap_weight").none(), nb::arg("cvres_cheap_bias").none(),
              nb::arg("cv0_primary_weight").none(), nb::arg("cv0_primary_bias").none(),
              nb::arg("cv0_cheap_weight").none(), nb::arg("cv0_cheap_bias").none(),
              nb::arg("cv2_primary_weight").none(), nb::arg("cv2_primary_bias").none(),
              nb::arg("cv2_cheap_weight").none(), nb::arg("cv2_cheap_bias").none(),
              nb::arg("stride").none() = 2)
      .method("forward", &block1_forward, nb::arg("self").none(), nb::arg("x").none())
      .finish();

  py::ClassBuilder(module, "GhostBasicBlock2Module", base,
                   "Ghost block without stride: ``y = cv0(x)``; the second half of ``y``'s\n"
                   "channels goes through ``cv2``; returns the first half of ``y`` and that\n"
                   "result, concatenated along channels.\n\n"
                   "``GhostBasicBlock2Module(cv0_*, cv2_*)``, each prefix followed by\n"
                   "primary_weight, primary_bias, cheap_weight, cheap_bias.")
      .method("__init__", &block2_init, nb::arg("self").none(),
              nb::arg("cv0_primary_weight").none(), nb::arg("cv0_primary_bias").none(),
              nb::arg("cv0_cheap_weight").none(), nb::arg("cv0_cheap_bias").none(),
              nb::arg("cv2_primary_weight").none(), nb::arg("cv2_primary_bias").none(),
              nb::arg("cv2_cheap_weight").none(), nb::arg("cv2_cheap_bias").none())
      .method("forward", &block2_forward, nb::arg("self").none(), nb::arg("x").none())
      .finish();
}

}  // namespace vantle::import_ir
