// SpikeFunction (threshold with a surrogate gradient) and LIFModule (leaky
// integrate-and-fire neurons with zero reset).
#include <nanobind/stl/string.h>

#include <array>
#include <string>

#include "import_ir/classes.h"
#include "import_ir/lif_fused.h"
#include "import_ir/module_fields.h"
#include "import_ir/weights.h"
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
  init_module_base(self);

  const std::array<nb::handle, 4> arrays = {tau, r, v_leak, v_threshold};
  std::array<nb::object, 4> tensors;
  for (std::size_t i = 0; i < arrays.size(); ++i)
    tensors[i] = field_float32(arrays[i], kLifArrays[i]);
  // The arrays' own shapes, which a collapsed buffer no longer shows: export
  // writes the arrays back in them, so that a round trip keeps every neuron.
  nb::dict shapes;
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    shapes[kLifArrays[i]] = nb::tuple(tensors[i].attr("shape"));
    tensors[i] = collapse_uniform(torch, tensors[i]);
  }
  self.attr("_ir_shapes") = shapes;
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    self.attr("register_buffer")(kLifArrays[i], tensors[i]);
  }
  nb::object beta = nb::float_(1.0) - nb::float_(1.0) / self.attr("tau");
  self.attr("register_buffer")("beta", beta);
}

// Neurons work element by element: arrays that broadcast the input to a larger
// shape (a size-one array of more dimensions, per-neuron arrays of another
// layout) would move the batch axis and mix samples, not run the layer.
void require_input_shape(nb::handle self, nb::handle x, nb::handle potential) {
  nb::object tensor_type = module_global("torch").attr("Tensor");
  if (!nb::isinstance(x, tensor_type) || !nb::isinstance(potential, tensor_type)) return;
  if (py::shape_of(potential) == py::shape_of(x)) return;
  nb::object shapes = self.attr("_ir_shapes");
  const std::string message = "LIFModule: an input of shape " + py::shape_text(x) +
                              " gives membranes of shape " + py::shape_text(potential) +
                              "; tau, r, v_leak and v_threshold (shapes " +
                              nb::cast<std::string>(nb::str(nb::handle(shapes))) +
                              ") must each hold one value per neuron of the input, or one for all";
  throw nb::value_error(message.c_str());
}

bool any_requires_grad(const LifBuffers& buffers) {
  for (nb::handle buffer :
       {buffers.tau, buffers.r, buffers.v_leak, buffers.v_threshold, buffers.beta}) {
    if (py::truthy(buffer.attr("requires_grad"))) return true;
  }
  return false;
}

nb::object lif_forward(nb::handle self, nb::handle x, nb::handle mem) {
  nb::object torch = module_global("torch");
  // The buffer dictionary itself: cheaper than nn.Module.__getattr__ per buffer.
  nb::object buffers = self.attr("_buffers");
  const LifBuffers lif = lif_buffers(buffers);
  bool declined_for_autograd = false;
  if (nb::object fused = lif_step_fused(torch, lif, x, mem, declined_for_autograd);
      !fused.is_none()) {
    return fused;
  }
  // Under autograd, a step the kernel can take is one operation, LIFStepFunction, rather
  // than the ten of the composed expression; not with learned buffers, for which the
  // kernel gives no gradient.
  if (declined_for_autograd && !any_requires_grad(lif)) {
    return module_global("LIFStepFunction")
        .attr("apply")(x, mem, lif.tau, lif.r, lif.v_leak, lif.v_threshold, lif.beta);
  }

  nb::object membrane = mem.is_none() ? torch.attr("zeros_like")(x) : nb::borrow(mem);
  nb::object beta = buffers["beta"];
  nb::object drive = buffers["v_leak"] + buffers["r"] * x;
  // The gain is 1 / tau, not 1 - beta: for a long time constant beta rounds to 1
  // in float32 and 1 - beta would drop the input entirely. Divided per call rather
  // than kept as a buffer, so saved state dictionaries keep their five entries.
  nb::object gain = nb::float_(1.0) / buffers["tau"];
  nb::object potential = beta * membrane + gain * drive;
  require_input_shape(self, x, potential);
  nb::object spikes =
      module_global("SpikeFunction").attr("apply")(potential, buffers["v_threshold"]);
  nb::object reset = potential * (nb::int_(1) - spikes);
  return nb::make_tuple(spikes, reset);
}

// --- One step, or whole sequences, as one autograd operation ----------------------

using FusedBackward = nb::object (*)(nb::handle torch, const LifBuffers& buffers,
                                     nb::handle potentials, nb::handle grad_spikes,
                                     nb::handle grad_mem_out, bool want_grad_mem, double slope);

LifBuffers buffers_of(nb::handle tau, nb::handle r, nb::handle v_leak, nb::handle v_threshold,
                      nb::handle beta) {
  return {nb::borrow(tau), nb::borrow(r), nb::borrow(v_leak), nb::borrow(v_threshold),
          nb::borrow(beta)};
}

// Keeps what a fused backward reads (the potentials before reset, and the buffers) and returns
// the forward's (spikes, mem).
nb::object save_for_fused_backward(nb::handle ctx, nb::handle result, const LifBuffers& buffers) {
  ctx.attr("save_for_backward")(result[2], buffers.tau, buffers.r, buffers.v_leak,
                                buffers.v_threshold, buffers.beta);
  // Unused outputs (usually the final membrane) get no gradient tensor of zeros.
  ctx.attr("set_materialize_grads")(false);
  return nb::make_tuple(result[0], result[1]);
}

// Gradients for (input, mem); the buffers, constants under these functions, get none.
nb::object fused_backward(nb::handle ctx, nb::handle grad_spikes, nb::handle grad_mem,
                          FusedBackward kernel) {
  nb::object torch = module_global("torch");
  nb::object saved = ctx.attr("saved_tensors");
  const LifBuffers buffers{saved[1], saved[2], saved[3], saved[4], saved[5]};
  const bool want_grad_mem = py::truthy(ctx.attr("needs_input_grad")[1]);
  nb::object grads =
      kernel(torch, buffers, saved[0], grad_spikes, grad_mem, want_grad_mem, kDefaultSlope);
  return nb::make_tuple(grads[0], grads[1], nb::none(), nb::none(), nb::none(), nb::none(),
                        nb::none());
}

nb::object step_function_forward(nb::handle ctx, nb::handle x, nb::handle mem, nb::handle tau,
                                 nb::handle r, nb::handle v_leak, nb::handle v_threshold,
                                 nb::handle beta) {
  const LifBuffers buffers = buffers_of(tau, r, v_leak, v_threshold, beta);
  nb::object result = lif_step_keeping_potential(module_global("torch"), buffers, x, mem);
  if (result.is_none()) {
    throw nb::type_error(
        "LIFStepFunction: the input, membrane and LIF buffers must be contiguous float32 CPU "
        "tensors, the membrane shaped like the input");
  }
  return save_for_fused_backward(ctx, result, buffers);
}

nb::object step_function_backward(nb::handle ctx, nb::handle grad_spikes, nb::handle grad_mem) {
  return fused_backward(ctx, grad_spikes, grad_mem, &lif_step_backward_fused);
}

nb::object scan_function_forward(nb::handle ctx, nb::handle x_seq, nb::handle mem, nb::handle tau,
                                 nb::handle r, nb::handle v_leak, nb::handle v_threshold,
                                 nb::handle beta) {
  const LifBuffers buffers = buffers_of(tau, r, v_leak, v_threshold, beta);
  nb::object result =
      lif_scan_fused(module_global("torch"), buffers, x_seq, mem, /*keep_potentials=*/true);
  return save_for_fused_backward(ctx, result, buffers);
}

nb::object scan_function_backward(nb::handle ctx, nb::handle grad_spikes, nb::handle grad_mem) {
  return fused_backward(ctx, grad_spikes, grad_mem, &lif_scan_backward_fused);
}

// Step by step through the module's own forward, for what the kernel cannot take.
nb::object scan_composed(nb::handle self, nb::handle torch, nb::handle x_seq, nb::handle mem) {
  nb::list spikes;
  nb::object membrane = nb::borrow(mem);
  for (nb::handle x : x_seq) {
    nb::object out = self.attr("forward")(x, membrane);
    spikes.append(out[0]);
    membrane = out[1];
  }
  return nb::make_tuple(torch.attr("stack")(spikes), membrane);
}

nb::object lif_scan(nb::handle self, nb::handle x_seq, nb::handle mem) {
  nb::object torch = module_global("torch");
  const auto shape = py::shape_of(x_seq);
  if (shape.empty()) {
    throw nb::value_error("LIFModule.scan: x_seq must be time-major [T, ...], got a 0-d tensor");
  }
  // No steps leave the membrane as it was.
  if (shape[0] == 0) {
    return nb::make_tuple(torch.attr("empty_like")(x_seq), nb::borrow(mem));
  }
  const LifBuffers buffers = lif_buffers(self.attr("_buffers"));
  if (!lif_scan_qualifies(torch, buffers, x_seq, mem)) {
    return scan_composed(self, torch, x_seq, mem);
  }
  const bool grad_enabled = py::truthy(torch.attr("is_grad_enabled")());
  const bool input_grad =
      grad_enabled && (py::truthy(x_seq.attr("requires_grad")) ||
                       (!mem.is_none() && py::truthy(mem.attr("requires_grad"))));
  if (grad_enabled && any_requires_grad(buffers)) return scan_composed(self, torch, x_seq, mem);
  if (input_grad) {
    return module_global("LIFScanFunction")
        .attr("apply")(x_seq, mem, buffers.tau, buffers.r, buffers.v_leak, buffers.v_threshold,
                       buffers.beta);
  }
  nb::object result = lif_scan_fused(torch, buffers, x_seq, mem, /*keep_potentials=*/false);
  return nb::make_tuple(result[0], result[1]);
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
      .method("scan", &lif_scan, nb::arg("self").none(), nb::arg("x_seq").none(),
              nb::arg("mem").none() = nb::none(),
              "Runs a whole time-major sequence ``x_seq`` [T, ...] from membrane ``mem``\n"
              "(None: at rest) and returns ``(spikes [T, ...], mem)``, the same as calling\n"
              "the module once per step and passing the membrane on. Contiguous float32\n"
              "CPU tensors run in one fused kernel, under autograd as ``LIFScanFunction``.")
      .finish();

  py::ClassBuilder(module, "LIFStepFunction", torch.attr("autograd").attr("Function"),
                   "One LIF step as one autograd operation.\n\n"
                   "``LIFStepFunction.apply(x, mem, tau, r, v_leak, v_threshold, beta)``\n"
                   "returns ``(spikes, mem)`` like ``LIFModule.forward``, and backwards the\n"
                   "gradients the composed step would give ``x`` and ``mem``, from one fused\n"
                   "kernel each way. All tensors must be contiguous float32 CPU tensors.")
      .static_method("forward", &step_function_forward, nb::arg("ctx").none(), nb::arg("x").none(),
                     nb::arg("mem").none(), nb::arg("tau").none(), nb::arg("r").none(),
                     nb::arg("v_leak").none(), nb::arg("v_threshold").none(),
                     nb::arg("beta").none())
      .static_method("backward", &step_function_backward, nb::arg("ctx").none(),
                     nb::arg("grad_spikes").none(), nb::arg("grad_mem").none())
      .finish();

  py::ClassBuilder(module, "LIFScanFunction", torch.attr("autograd").attr("Function"),
                   "A LIF layer scanned through time as one autograd operation.\n\n"
                   "``LIFScanFunction.apply(x_seq, mem, tau, r, v_leak, v_threshold, beta)``\n"
                   "returns ``(spikes, mem)`` like ``LIFModule.scan``; backwards it passes the\n"
                   "surrogate gradient of ``SpikeFunction`` through time, and through the\n"
                   "reset, to ``x_seq`` and ``mem``. All tensors must be contiguous float32\n"
                   "CPU tensors.")
      .static_method("forward", &scan_function_forward, nb::arg("ctx").none(),
                     nb::arg("x_seq").none(), nb::arg("mem").none(), nb::arg("tau").none(),
                     nb::arg("r").none(), nb::arg("v_leak").none(), nb::arg("v_threshold").none(),
                     nb::arg("beta").none())
      .static_method("backward", &scan_function_backward, nb::arg("ctx").none(),
                     nb::arg("grad_spikes").none(), nb::arg("grad_mem").none())
      .finish();
}

}  // namespace vantle::import_ir
