// SpikeFunction (threshold with a surrogate gradient) and LIFModule (leaky
// integrate-and-fire neurons with zero reset).
#include <array>

#include "core/lif.h"
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
constexpr double kDefaultSlope = 25.0;
constexpr std::array<const char*, 4> kLifArrays = {"tau", "r", "v_leak", "v_threshold"};

// --- SpikeFunction ------------------------------------------------------------

nb::object spike_forward(nb::handle ctx, nb::handle mem, nb::handle threshold, nb::handle slope) {
  const double slope_value = py::arg_float(slope, "slope");
  nb::object torch = module_global("torch");
  ctx.attr("save_for_backward")(mem, threshold);
  ctx.attr("slope") = slope_value;
  // Spikes share the membrane's dtype, so half and double models run too.
  return torch.attr("ge")(mem, threshold).attr("to")(mem.attr("dtype"));
}

nb::object spike_backward(nb::handle ctx, nb::handle grad_output) {
  nb::object torch = module_global("torch");
  nb::object saved = ctx.attr("saved_tensors");
  nb::object mem = saved[0];
  nb::object threshold = saved[1];
  const double slope = nb::cast<double>(ctx.attr("slope"));
  nb::object distance = torch.attr("abs")(mem - threshold);
  nb::object surrogate = torch.attr("exp")(nb::float_(-slope) * distance);
  nb::object grad = (grad_output * nb::float_(slope)) * surrogate;
  return nb::make_tuple(grad, nb::none(), nb::none());
}

// --- LIFModule ------------------------------------------------------------------

// A tensor whose entries all equal its first slice shrinks to that slice.
nb::object collapse_uniform(nb::handle torch, nb::object tensor) {
  if (py::numel(tensor) <= 1) return tensor;
  nb::object first = tensor[nb::int_(0)];
  if (!py::truthy(torch.attr("eq")(tensor, first).attr("all")())) return tensor;
  // A copy, so the buffer does not keep the full original storage alive.
  return tensor[nb::slice(0, 1)].attr("clone")();
}

void lif_init(nb::handle self, nb::handle tau, nb::handle r, nb::handle v_leak,
              nb::handle v_threshold) {
  nb::object torch = module_global("torch");
  nb::object np = module_global("np");
  init_module_base(self);

  const std::array<nb::handle, 4> arrays = {tau, r, v_leak, v_threshold};
  std::array<nb::object, 4> tensors;
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    tensors[i] = py::float32_tensor(np, torch, arrays[i]);
  }
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    tensors[i] = collapse_uniform(torch, tensors[i]);
  }
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    self.attr("register_buffer")(kLifArrays[i], tensors[i]);
  }
  nb::object beta = nb::float_(1.0) - nb::float_(1.0) / self.attr("tau");
  self.attr("register_buffer")("beta", beta);
}

// A buffer the fused kernel can index: one value, or one per innermost position.
bool kernel_param(nb::handle buffer, int64_t x_dims, int64_t row_length, core::NeuronParam& param) {
  const auto shape = py::shape_of(buffer);
  const int64_t count = py::numel(buffer);
  const bool single = count == 1 && static_cast<int64_t>(shape.size()) <= x_dims;
  const bool per_column = shape.size() == 1 && count == row_length;
  if (!single && !per_column) return false;
  param = {py::float_data(buffer), count};
  return true;
}

// The fused step on raw memory; returns None when the tensors do not qualify.
nb::object lif_step_fused(nb::handle torch, nb::handle buffers, nb::handle x, nb::handle mem) {
  nb::object tau = buffers["tau"];
  nb::object r = buffers["r"];
  nb::object v_leak = buffers["v_leak"];
  nb::object v_threshold = buffers["v_threshold"];
  nb::object beta = buffers["beta"];
  nb::handle membrane = mem.is_none() ? x : mem;
  if (!py::kernel_allowed(torch, {x, membrane, tau, r, v_leak, v_threshold, beta})) {
    return nb::none();
  }

  const auto shape = py::shape_of(x);
  if (shape.empty() || py::shape_of(membrane) != shape) return nb::none();
  const auto x_dims = static_cast<int64_t>(shape.size());
  const int64_t row_length = shape.back();
  core::LifParams params{};
  if (!kernel_param(tau, x_dims, row_length, params.tau) ||
      !kernel_param(r, x_dims, row_length, params.r) ||
      !kernel_param(v_leak, x_dims, row_length, params.v_leak) ||
      !kernel_param(v_threshold, x_dims, row_length, params.v_threshold) ||
      !kernel_param(beta, x_dims, row_length, params.beta)) {
    return nb::none();
  }

  nb::object spikes = torch.attr("empty_like")(x);
  nb::object new_mem = torch.attr("empty_like")(x);
  const float* x_data = py::float_data(x);
  const float* mem_data = mem.is_none() ? nullptr : py::float_data(mem);
  float* spike_data = py::float_data(spikes);
  float* mem_out = py::float_data(new_mem);
  const int64_t count = py::numel(x);
  if (row_length > 0) {
    nb::gil_scoped_release release;
    core::lif_step(params, x_data, mem_data, spike_data, mem_out, count, row_length);
  }
  return nb::make_tuple(spikes, new_mem);
}

nb::object lif_forward(nb::handle self, nb::handle x, nb::handle mem) {
  nb::object torch = module_global("torch");
  // The buffer dictionary itself: cheaper than nn.Module.__getattr__ per buffer.
  nb::object buffers = self.attr("_buffers");
  if (nb::object fused = lif_step_fused(torch, buffers, x, mem); !fused.is_none()) return fused;

  nb::object membrane = mem.is_none() ? torch.attr("zeros_like")(x) : nb::borrow(mem);
  nb::object beta = buffers["beta"];
  nb::object drive = buffers["v_leak"] + buffers["r"] * x;
  // The gain is 1 / tau, not 1 - beta: for a long time constant beta rounds to 1
  // in float32 and 1 - beta would drop the input entirely. Divided per call rather
  // than kept as a buffer, so saved state dictionaries keep their five entries.
  nb::object gain = nb::float_(1.0) / buffers["tau"];
  nb::object potential = beta * membrane + gain * drive;
  nb::object spikes =
      module_global("SpikeFunction").attr("apply")(potential, buffers["v_threshold"]);
  nb::object reset = potential * (nb::int_(1) - spikes);
  return nb::make_tuple(spikes, reset);
}

}  // namespace

void define_spiking(nb::module_ module) {
  nb::object torch = module_global("torch");

  py::ClassBuilder(module, "SpikeFunction", torch.attr("autograd").attr("Function"),
                   "Heaviside spike with an exponential surrogate gradient.\n\n"
                   "``SpikeFunction.apply(mem, threshold[, slope])`` returns 1.0 where\n"
                   "``mem >= threshold`` and 0.0 elsewhere, in the dtype of ``mem``. Backwards,\n"
                   "the gradient is ``grad * slope * exp(-slope * |mem - threshold|)``.")
      .static_method("forward", &spike_forward, nb::arg("ctx").none(), nb::arg("mem").none(),
                     nb::arg("threshold").none(), nb::arg("slope").none() = kDefaultSlope)
      .static_method("backward", &spike_backward, nb::arg("ctx").none(),
                     nb::arg("grad_output").none())
      .finish();

  py::ClassBuilder(module, "LIFModule", module_global("nn").attr("Module"),
                   "Leaky integrate-and-fire neurons with zero reset.\n\n"
                   "``LIFModule(tau, r, v_leak, v_threshold)`` takes one array per parameter\n"
                   "(one value per neuron, or one value for all). Each call\n"
                   "``spk, mem = lif(x, mem)`` advances one time step:\n\n"
                   "    mem = beta * mem + (1/tau) * (v_leak + r * x),  beta = 1 - 1/tau\n"
                   "    spk = mem >= v_threshold;  mem = mem * (1 - spk)\n\n"
                   "Pass the returned ``mem`` back on the next step; ``mem=None`` starts at 0.")
      .method("__init__", &lif_init, nb::arg("self").none(), nb::arg("tau").none(),
              nb::arg("r").none(), nb::arg("v_leak").none(), nb::arg("v_threshold").none())
      .method("forward", &lif_forward, nb::arg("self").none(), nb::arg("x").none(),
              nb::arg("mem").none() = nb::none())
      .finish();
}

}  // namespace vantle::import_ir
