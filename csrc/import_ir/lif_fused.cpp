#include "import_ir/lif_fused.h"

#include <array>
#include <initializer_list>
#include <optional>
#include <vector>

#include "core/lif.h"
#include "py/fast_path.h"
#include "py/tensor_fields.h"
#include "py/vouched_tensors.h"

namespace vantle::import_ir {
namespace {

using Shape = std::vector<int64_t>;

// Attribute names interned once: a step is called thousands of times a second,
// and a lookup by a ready string skips building and hashing a new one.
nb::handle name(const char* text) {
  return PyUnicode_InternFromString(text);
}

// Whether tensors may go to a kernel: an exact torch.Tensor whose memory holds
// its values as contiguous float32 on the CPU. (Whether a non-empty one has a
// data pointer to read is checked where its size is known.) A step runs
// thousands of times a second, so the torch names are looked up once, when
// the gate is made (see kernel_gate), and tensors met on every call (buffers,
// the membrane the last step wrote) go through the table of vouched tensors.
class KernelGate {
 public:
  explicit KernelGate(nb::handle torch)
      : torch_(nb::borrow(torch)),
        tensor_type_(reinterpret_cast<PyTypeObject*>(torch.attr("Tensor").ptr())),
        memory_(torch),
        is_grad_enabled_(torch.attr("is_grad_enabled")),
        // What torch.jit.is_tracing() asks outside TorchScript, without its Python frame.
        is_tracing_(torch.attr("_C").attr("_is_tracing")),
        is_compiling_(torch.attr("compiler").attr("is_compiling")),
        get_num_threads_(torch.attr("get_num_threads")),
        empty_like_(torch.attr("empty_like")) {}

  bool serves(nb::handle torch) const { return torch_.is(torch); }

  bool usable(nb::handle tensor) const {
    return Py_IS_TYPE(tensor.ptr(), tensor_type_) && memory_.holds_values(tensor);
  }

  bool usable(std::initializer_list<nb::handle> tensors) const {
    for (nb::handle tensor : tensors) {
      if (!tensor.is_none() && !usable(tensor)) return false;
    }
    return true;
  }

  // The layout of a usable tensor that is usually the same from call to call
  // (through the table of vouched tensors); nothing when it is not usable.
  std::optional<py::TensorLayout> known_layout(nb::handle tensor) const {
    if (!Py_IS_TYPE(tensor.ptr(), tensor_type_)) return std::nullopt;
    return py::VouchedTensors::shared().layout(memory_, tensor);
  }

  bool records_autograd(std::initializer_list<nb::handle> tensors) const {
    static const nb::handle requires_grad = name("requires_grad");
    if (!truth(is_grad_enabled_)) return false;
    for (nb::handle tensor : tensors) {
      if (!tensor.is_none() && nb::cast<bool>(tensor.attr(requires_grad))) return true;
    }
    return false;
  }

  bool tracing_or_compiling() const { return truth(is_tracing_) || truth(is_compiling_); }

  int threads() const { return nb::cast<int>(checked_call(get_num_threads_)); }

  // A new tensor like `tensor` (contiguous float32 when it is).
  nb::object new_like(nb::handle tensor) const {
    PyObject* made = PyObject_CallOneArg(empty_like_.ptr(), tensor.ptr());
    if (made == nullptr) throw nb::python_error();
    return nb::steal(made);
  }

 private:
  static nb::object checked_call(const nb::object& function) {
    PyObject* result = PyObject_CallNoArgs(function.ptr());
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
  }
  static bool truth(const nb::object& function) { return nb::cast<bool>(checked_call(function)); }

  nb::object torch_;
  PyTypeObject* tensor_type_;
  py::Float32Memory memory_;
  nb::object is_grad_enabled_, is_tracing_, is_compiling_, get_num_threads_, empty_like_;
};

// The gate for `torch`, made once (and again should the module's torch be replaced).
const KernelGate& kernel_gate(nb::handle torch) {
  // Never destroyed: it holds Python objects past the interpreter's end, and a
  // replaced gate may still be in use by a kernel running without the GIL.
  static KernelGate* gate = nullptr;
  if (gate == nullptr || !gate->serves(torch)) gate = new KernelGate(torch);
  return *gate;
}

int64_t product(Shape::const_iterator begin, Shape::const_iterator end) {
  int64_t total = 1;
  for (auto it = begin; it != end; ++it) total *= *it;
  return total;
}

// A buffer broadcasts against one step of shape `step` into exactly that shape
// when its own shape, without leading ones, ends `step` (and it has no more
// dimensions than `step`). Its values then repeat with a period of their count.
bool fits_step(const Shape& buffer, const Shape& step, int64_t& period) {
  if (buffer.size() > step.size()) return false;
  auto first = buffer.begin();
  while (first != buffer.end() && *first == 1) ++first;
  const auto kept = static_cast<std::size_t>(buffer.end() - first);
  if (!std::equal(first, buffer.end(), step.end() - static_cast<std::ptrdiff_t>(kept))) {
    return false;
  }
  period = product(first, buffer.end());
  return true;
}

// The buffers' layouts, in LifBuffers order.
using BufferLayouts = std::array<py::TensorLayout, 5>;

std::array<nb::handle, 5> buffer_list(const LifBuffers& buffers) {
  return {buffers.tau, buffers.r, buffers.v_leak, buffers.v_threshold, buffers.beta};
}

// The layouts of usable buffers, or nothing when one is not usable.
std::optional<BufferLayouts> known_layouts(const KernelGate& gate, const LifBuffers& buffers) {
  BufferLayouts layouts;
  const std::array<nb::handle, 5> list = buffer_list(buffers);
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::optional<py::TensorLayout> layout = gate.known_layout(list[i]);
    if (!layout) return std::nullopt;
    layouts[i] = std::move(*layout);
  }
  return layouts;
}

// The layouts of buffers the caller already vouched for (saved by a forward pass).
BufferLayouts read_layouts(const LifBuffers& buffers) {
  BufferLayouts layouts;
  const std::array<nb::handle, 5> list = buffer_list(buffers);
  for (std::size_t i = 0; i < list.size(); ++i) {
    layouts[i] = {reinterpret_cast<uintptr_t>(py::float_data(list[i])), py::shape_of(list[i])};
  }
  return layouts;
}

// The kernel's view of the buffers for steps of shape `step`, or false when a
// buffer does not fit. Rows are as long as the longest period (the periods of
// shape suffixes divide each other), or the whole step when all are uniform.
bool kernel_params(const BufferLayouts& buffers, const Shape& step, core::LifParams& params,
                   int64_t& row_length) {
  const std::array<core::NeuronParam*, 5> fields = {&params.tau, &params.r, &params.v_leak,
                                                    &params.v_threshold, &params.beta};
  row_length = 1;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    int64_t period = 0;
    if (!fits_step(buffers[i].shape, step, period)) return false;
    *fields[i] = {reinterpret_cast<const float*>(buffers[i].data), period};
    row_length = std::max(row_length, period);
  }
  if (row_length == 1) row_length = product(step.begin(), step.end());
  return true;
}

// A gradient as the kernel reads it: None, or contiguous float32 memory.
nb::object grad_memory(const KernelGate& gate, nb::handle grad) {
  if (grad.is_none()) return nb::none();
  nb::object dense = grad.attr("contiguous")();
  if (!gate.usable(dense)) {
    throw nb::type_error("LIFScanFunction: gradients must be float32 CPU tensors");
  }
  return dense;
}

float* optional_data(nb::handle tensor) {
  return tensor.is_none() ? nullptr : py::float_data(tensor);
}

}  // namespace

LifBuffers lif_buffers(nb::handle buffer_dict) {
  static const std::array<nb::handle, 5> keys = {name("tau"), name("r"), name("v_leak"),
                                                 name("v_threshold"), name("beta")};
  const auto item = [&](std::size_t i) { return nb::object(buffer_dict[keys[i]]); };
  return {item(0), item(1), item(2), item(3), item(4)};
}

namespace {

// What the kernels need of a qualifying step.
struct StepPlan {
  Shape step;  // of x
  std::optional<py::TensorLayout> mem;
  core::LifParams params{};
  int64_t row_length = 0;
};

// The plan for input `x` and membrane `mem`, autograd aside; nothing where they
// do not qualify.
std::optional<StepPlan> step_plan(const KernelGate& gate, const LifBuffers& buffers, nb::handle x,
                                  nb::handle mem) {
  // The input is new on every step; the membrane is the one the last step
  // wrote, and the buffers rarely change.
  if (!gate.usable(x)) return std::nullopt;
  StepPlan plan;
  if (!mem.is_none() && !(plan.mem = gate.known_layout(mem))) return std::nullopt;
  const std::optional<BufferLayouts> layouts = known_layouts(gate, buffers);
  if (!layouts || gate.tracing_or_compiling()) return std::nullopt;
  plan.step = py::shape_of(x);
  if (plan.step.empty() || (plan.mem && plan.mem->shape != plan.step)) return std::nullopt;
  if (!kernel_params(*layouts, plan.step, plan.params, plan.row_length)) return std::nullopt;
  return plan;
}

// A new membrane tensor like `x`, vouched for: the next step usually gets it back.
nb::object new_membrane(const KernelGate& gate, nb::handle x, const Shape& step) {
  nb::object mem = gate.new_like(x);
  py::VouchedTensors::shared().vouch(mem, {reinterpret_cast<uintptr_t>(py::float_data(mem)), step});
  return mem;
}

const float* mem_data(const StepPlan& plan) {
  return plan.mem ? reinterpret_cast<const float*>(plan.mem->data) : nullptr;
}

}  // namespace

nb::object lif_step_fused(nb::handle torch, const LifBuffers& buffers, nb::handle x, nb::handle mem,
                          bool& declined_for_autograd) {
  const KernelGate& gate = kernel_gate(torch);
  const std::optional<StepPlan> plan = step_plan(gate, buffers, x, mem);
  declined_for_autograd =
      plan && gate.records_autograd({x, mem, buffers.tau, buffers.r, buffers.v_leak,
                                     buffers.v_threshold, buffers.beta});
  if (!plan || declined_for_autograd) return nb::none();
  const int64_t count = product(plan->step.begin(), plan->step.end());
  nb::object spikes = gate.new_like(x);
  nb::object new_mem = new_membrane(gate, x, plan->step);
  const float* x_data = py::float_data(x);
  float* spike_data = py::float_data(spikes);
  float* mem_out = py::float_data(new_mem);
  const int threads = gate.threads();
  {
    nb::gil_scoped_release release;
    core::lif_step(plan->params, x_data, mem_data(*plan), spike_data, mem_out, count,
                   plan->row_length, threads);
  }
  return nb::make_tuple(spikes, new_mem);
}

nb::object lif_step_keeping_potential(nb::handle torch, const LifBuffers& buffers, nb::handle x,
                                      nb::handle mem) {
  const KernelGate& gate = kernel_gate(torch);
  const std::optional<StepPlan> plan = step_plan(gate, buffers, x, mem);
  if (!plan) return nb::none();
  nb::object spikes = gate.new_like(x);
  nb::object potential = gate.new_like(x);
  nb::object new_mem = new_membrane(gate, x, plan->step);
  // One step is a scan of length one, which keeps the potential before the reset.
  const core::LifSequence sequence{py::float_data(x),
                                   mem_data(*plan),
                                   py::float_data(spikes),
                                   py::float_data(potential),
                                   py::float_data(new_mem),
                                   1,
                                   product(plan->step.begin(), plan->step.end()),
                                   plan->row_length};
  const int threads = gate.threads();
  {
    nb::gil_scoped_release release;
    core::lif_scan(plan->params, sequence, threads);
  }
  return nb::make_tuple(spikes, new_mem, potential);
}

namespace {

// What the scan kernel needs of a qualifying sequence.
struct ScanPlan {
  Shape shape;  // of x_seq: [T, step...]
  core::LifParams params{};
  int64_t row_length = 0;
};

std::optional<ScanPlan> scan_plan(const KernelGate& gate, const LifBuffers& buffers,
                                  nb::handle x_seq, nb::handle mem) {
  if (!gate.usable({x_seq, mem}) || gate.tracing_or_compiling()) return std::nullopt;
  const std::optional<BufferLayouts> layouts = known_layouts(gate, buffers);
  if (!layouts) return std::nullopt;
  ScanPlan plan{py::shape_of(x_seq)};
  if (plan.shape.size() < 2) return std::nullopt;
  const Shape step(plan.shape.begin() + 1, plan.shape.end());
  if (!mem.is_none() && py::shape_of(mem) != step) return std::nullopt;
  if (!kernel_params(*layouts, step, plan.params, plan.row_length)) return std::nullopt;
  return plan;
}

}  // namespace

bool lif_scan_qualifies(nb::handle torch, const LifBuffers& buffers, nb::handle x_seq,
                        nb::handle mem) {
  return scan_plan(kernel_gate(torch), buffers, x_seq, mem).has_value();
}

nb::object lif_scan_fused(nb::handle torch, const LifBuffers& buffers, nb::handle x_seq,
                          nb::handle mem, bool keep_potentials) {
  const KernelGate& gate = kernel_gate(torch);
  const std::optional<ScanPlan> plan = scan_plan(gate, buffers, x_seq, mem);
  if (!plan) {
    throw nb::type_error(
        "LIFScanFunction: the input, membrane and LIF buffers must be contiguous float32 CPU "
        "tensors, the input time-major [T, ...] and the membrane shaped like one step");
  }
  const Shape& shape = plan->shape;
  const Shape step(shape.begin() + 1, shape.end());

  nb::object spikes = gate.new_like(x_seq);
  nb::object potentials = keep_potentials ? gate.new_like(x_seq) : nb::none();
  nb::object mem_out = gate.new_like(x_seq[nb::int_(0)]);
  const core::LifSequence sequence{py::float_data(x_seq),
                                   optional_data(mem),
                                   py::float_data(spikes),
                                   optional_data(potentials),
                                   py::float_data(mem_out),
                                   shape[0],
                                   product(step.begin(), step.end()),
                                   plan->row_length};
  const int threads = gate.threads();
  {
    nb::gil_scoped_release release;
    core::lif_scan(plan->params, sequence, threads);
  }
  return nb::make_tuple(spikes, mem_out, potentials);
}

namespace {

// Gradients from potentials of `steps` steps of shape `step`; the membrane's
// gradient is shaped like `mem_like`.
nb::object backward(const KernelGate& gate, const LifBuffers& buffers, nb::handle potentials,
                    int64_t steps, const Shape& step, nb::handle mem_like, nb::handle grad_spikes,
                    nb::handle grad_mem_out, bool want_grad_mem, double slope) {
  core::LifParams params{};
  int64_t row_length = 0;
  if (!kernel_params(read_layouts(buffers), step, params, row_length)) {
    throw nb::value_error("LIFScanFunction: the LIF buffers changed shape since the forward pass");
  }
  nb::object spikes_grad = grad_memory(gate, grad_spikes);
  nb::object mem_grad = grad_memory(gate, grad_mem_out);
  nb::object grad_x = gate.new_like(potentials);
  nb::object grad_mem = want_grad_mem ? gate.new_like(mem_like) : nb::none();
  const core::LifSequenceGrad grad{py::float_data(potentials),        optional_data(spikes_grad),
                                   optional_data(mem_grad),           py::float_data(grad_x),
                                   optional_data(grad_mem),           steps,
                                   product(step.begin(), step.end()), row_length,
                                   static_cast<float>(slope)};
  const int threads = gate.threads();
  {
    nb::gil_scoped_release release;
    core::lif_scan_backward(params, grad, threads);
  }
  return nb::make_tuple(grad_x, grad_mem);
}

}  // namespace

nb::object lif_scan_backward_fused(nb::handle torch, const LifBuffers& buffers,
                                   nb::handle potentials, nb::handle grad_spikes,
                                   nb::handle grad_mem_out, bool want_grad_mem, double slope) {
  const Shape shape = py::shape_of(potentials);
  const Shape step(shape.begin() + 1, shape.end());
  return backward(kernel_gate(torch), buffers, potentials, shape[0], step, potentials[nb::int_(0)],
                  grad_spikes, grad_mem_out, want_grad_mem, slope);
}

nb::object lif_step_backward_fused(nb::handle torch, const LifBuffers& buffers,
                                   nb::handle potential, nb::handle grad_spikes,
                                   nb::handle grad_mem_out, bool want_grad_mem, double slope) {
  return backward(kernel_gate(torch), buffers, potential, 1, py::shape_of(potential), potential,
                  grad_spikes, grad_mem_out, want_grad_mem, slope);
}

}  // namespace vantle::import_ir
