#include "import_ir/lif_fused.h"

#include <array>
#include <initializer_list>
#include <optional>
#include <vector>

#include "core/lif.h"
#include "py/fast_path.h"

namespace vantle::import_ir {
namespace {

using Shape = std::vector<int64_t>;

// Attribute names interned once: a step is called thousands of times a second,
// and a lookup by a ready string skips building and hashing a new one.
nb::handle name(const char* text) {
  return PyUnicode_InternFromString(text);
}

const nb::handle& attr_shape() {
  static const nb::handle value = name("shape");
  return value;
}

// Whether tensors may go to a kernel: an exact torch.Tensor whose memory holds
// its values as contiguous float32 on the CPU. (Whether a non-empty one has a
// data pointer to read is checked where its size is known.) The torch names
// are looked up once per call, not once per tensor.
class KernelGate {
 public:
  explicit KernelGate(nb::handle torch)
      : torch_(torch),
        tensor_type_(reinterpret_cast<PyTypeObject*>(torch.attr("Tensor").ptr())),
        memory_(torch) {}

  bool usable(nb::handle tensor) const {
    return Py_IS_TYPE(tensor.ptr(), tensor_type_) && memory_.holds_values(tensor);
  }

  bool usable(std::initializer_list<nb::handle> tensors) const {
    for (nb::handle tensor : tensors) {
      if (!tensor.is_none() && !usable(tensor)) return false;
    }
    return true;
  }

  bool records_autograd(std::initializer_list<nb::handle> tensors) const {
    static const nb::handle requires_grad = name("requires_grad");
    if (!nb::cast<bool>(torch_.attr("is_grad_enabled")())) return false;
    for (nb::handle tensor : tensors) {
      if (!tensor.is_none() && nb::cast<bool>(tensor.attr(requires_grad))) return true;
    }
    return false;
  }

  bool tracing_or_compiling() const { return py::tracing_or_compiling(torch_); }

  int threads() const { return nb::cast<int>(torch_.attr("get_num_threads")()); }

  static float* data(nb::handle tensor) {
    static const nb::handle data_ptr = name("data_ptr");
    return reinterpret_cast<float*>(nb::cast<uintptr_t>(tensor.attr(data_ptr)()));
  }

 private:
  nb::handle torch_;
  PyTypeObject* tensor_type_;
  py::Float32Memory memory_;
};

Shape shape_of(nb::handle tensor) {
  nb::object shape = tensor.attr(attr_shape());
  const Py_ssize_t dims = PyTuple_GET_SIZE(shape.ptr());
  Shape result(static_cast<std::size_t>(dims));
  for (Py_ssize_t i = 0; i < dims; ++i) {
    result[static_cast<std::size_t>(i)] = PyLong_AsLongLong(PyTuple_GET_ITEM(shape.ptr(), i));
  }
  return result;
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

// The kernel's view of the buffers for steps of shape `step`, or false when a
// buffer does not fit. Rows are as long as the longest period (the periods of
// shape suffixes divide each other), or the whole step when all are uniform.
bool kernel_params(const LifBuffers& buffers, const Shape& step, core::LifParams& params,
                   int64_t& row_length) {
  const std::array<std::pair<nb::handle, core::NeuronParam*>, 5> fields = {{
      {buffers.tau, &params.tau},
      {buffers.r, &params.r},
      {buffers.v_leak, &params.v_leak},
      {buffers.v_threshold, &params.v_threshold},
      {buffers.beta, &params.beta},
  }};
  row_length = 1;
  for (const auto& [buffer, param] : fields) {
    int64_t period = 0;
    if (!fits_step(shape_of(buffer), step, period)) return false;
    *param = {KernelGate::data(buffer), period};
    row_length = std::max(row_length, period);
  }
  if (row_length == 1) row_length = product(step.begin(), step.end());
  return true;
}

nb::object new_like(nb::handle torch, nb::handle tensor) {
  return torch.attr("empty_like")(tensor);
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
  return tensor.is_none() ? nullptr : KernelGate::data(tensor);
}

}  // namespace

LifBuffers lif_buffers(nb::handle buffer_dict) {
  static const std::array<nb::handle, 5> keys = {name("tau"), name("r"), name("v_leak"),
                                                 name("v_threshold"), name("beta")};
  const auto item = [&](std::size_t i) { return nb::object(buffer_dict[keys[i]]); };
  return {item(0), item(1), item(2), item(3), item(4)};
}

nb::object lif_step_fused(nb::handle torch, const LifBuffers& buffers, nb::handle x,
                          nb::handle mem) {
  const KernelGate gate(torch);
  const std::initializer_list<nb::handle> all = {
      x, mem, buffers.tau, buffers.r, buffers.v_leak, buffers.v_threshold, buffers.beta};
  if (!gate.usable(all) || gate.records_autograd(all) || gate.tracing_or_compiling()) {
    return nb::none();
  }
  const Shape step = shape_of(x);
  if (step.empty() || (!mem.is_none() && shape_of(mem) != step)) return nb::none();
  core::LifParams params{};
  int64_t row_length = 0;
  const int64_t count = product(step.begin(), step.end());
  if (!kernel_params(buffers, step, params, row_length)) return nb::none();

  nb::object spikes = new_like(torch, x);
  nb::object new_mem = new_like(torch, x);
  const float* x_data = KernelGate::data(x);
  const float* mem_data = optional_data(mem);
  float* spike_data = KernelGate::data(spikes);
  float* mem_out = KernelGate::data(new_mem);
  const int threads = gate.threads();
  {
    nb::gil_scoped_release release;
    core::lif_step(params, x_data, mem_data, spike_data, mem_out, count, row_length, threads);
  }
  return nb::make_tuple(spikes, new_mem);
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
  if (!gate.usable({x_seq, mem, buffers.tau, buffers.r, buffers.v_leak, buffers.v_threshold,
                    buffers.beta}) ||
      gate.tracing_or_compiling()) {
    return std::nullopt;
  }
  ScanPlan plan{shape_of(x_seq)};
  if (plan.shape.size() < 2) return std::nullopt;
  const Shape step(plan.shape.begin() + 1, plan.shape.end());
  if (!mem.is_none() && shape_of(mem) != step) return std::nullopt;
  if (!kernel_params(buffers, step, plan.params, plan.row_length)) return std::nullopt;
  return plan;
}

}  // namespace

bool lif_scan_qualifies(nb::handle torch, const LifBuffers& buffers, nb::handle x_seq,
                        nb::handle mem) {
  return scan_plan(KernelGate(torch), buffers, x_seq, mem).has_value();
}

nb::object lif_scan_fused(nb::handle torch, const LifBuffers& buffers, nb::handle x_seq,
                          nb::handle mem, bool keep_potentials) {
  const KernelGate gate(torch);
  const std::optional<ScanPlan> plan = scan_plan(gate, buffers, x_seq, mem);
  if (!plan) {
    throw nb::type_error(
        "LIFScanFunction: the input, membrane and LIF buffers must be contiguous float32 CPU "
        "tensors, the input time-major [T, ...] and the membrane shaped like one step");
  }
  const Shape& shape = plan->shape;
  const Shape step(shape.begin() + 1, shape.end());

  nb::object spikes = new_like(torch, x_seq);
  nb::object potentials = keep_potentials ? new_like(torch, x_seq) : nb::none();
  nb::object mem_out = new_like(torch, x_seq[nb::int_(0)]);
  const core::LifSequence sequence{KernelGate::data(x_seq),           optional_data(mem),
                                   KernelGate::data(spikes),          optional_data(potentials),
                                   KernelGate::data(mem_out),         shape[0],
                                   product(step.begin(), step.end()), plan->row_length};
  const int threads = gate.threads();
  {
    nb::gil_scoped_release release;
    core::lif_scan(plan->params, sequence, threads);
  }
  return nb::make_tuple(spikes, mem_out, potentials);
}

nb::object lif_scan_backward_fused(nb::handle torch, const LifBuffers& buffers,
                                   nb::handle potentials, nb::handle grad_spikes,
                                   nb::handle grad_mem_out, bool want_grad_mem, double slope) {
  const KernelGate gate(torch);
  const Shape shape = shape_of(potentials);
  const Shape step(shape.begin() + 1, shape.end());
  core::LifParams params{};
  int64_t row_length = 0;
  if (!kernel_params(buffers, step, params, row_length)) {
    throw nb::value_error("LIFScanFunction: the LIF buffers changed shape since the forward pass");
  }
  nb::object spikes_grad = grad_memory(gate, grad_spikes);
  nb::object mem_grad = grad_memory(gate, grad_mem_out);
  nb::object grad_x = new_like(torch, potentials);
  nb::object grad_mem = want_grad_mem ? new_like(torch, potentials[nb::int_(0)]) : nb::none();
  const core::LifSequenceGrad grad{KernelGate::data(potentials),      optional_data(spikes_grad),
                                   optional_data(mem_grad),           KernelGate::data(grad_x),
                                   optional_data(grad_mem),           shape[0],
                                   product(step.begin(), step.end()), row_length,
                                   static_cast<float>(slope)};
  const int threads = gate.threads();
  {
    nb::gil_scoped_release release;
    core::lif_scan_backward(params, grad, threads);
  }
  return nb::make_tuple(grad_x, grad_mem);
}

}  // namespace vantle::import_ir
