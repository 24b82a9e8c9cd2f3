// The LIF kernels of csrc/core on tensor memory: when tensors qualify, and the
// calls themselves. Each function returns None when its tensors do not qualify,
// so the caller runs the composed torch expression instead.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::import_ir {

namespace nb = nanobind;

// The five buffers of a LIFModule, in its order. Owned, so that a thread that
// replaces a buffer while a kernel runs without the GIL cannot free its memory.
struct LifBuffers {
  nb::object tau, r, v_leak, v_threshold, beta;
};

// From a module's buffer dictionary.
LifBuffers lif_buffers(nb::handle buffer_dict);

// One step: (spikes, mem) for input `x` and membrane `mem` (None: at rest).
// Qualifies only where no autograd graph is needed. None otherwise, with
// `declined_for_autograd` set when the tensors qualify and only the graph autograd
// would record stands in the way.
nb::object lif_step_fused(nb::handle torch, const LifBuffers& buffers, nb::handle x, nb::handle mem,
                          bool& declined_for_autograd);

// One step as one autograd operation records it: (spikes, mem, potential
// before the reset). Qualifies as lif_step_fused does, autograd aside.
nb::object lif_step_keeping_potential(nb::handle torch, const LifBuffers& buffers, nb::handle x,
                                      nb::handle mem);

// Gradients of such a step from its saved potential: (grad_x, grad_mem or None).
nb::object lif_step_backward_fused(nb::handle torch, const LifBuffers& buffers,
                                   nb::handle potential, nb::handle grad_spikes,
                                   nb::handle grad_mem_out, bool want_grad_mem, double slope);

// Whether a time-major sequence `x_seq` [T, ...] and membrane `mem` (None, or
// the shape of one step) can be scanned by the kernel, autograd aside.
bool lif_scan_qualifies(nb::handle torch, const LifBuffers& buffers, nb::handle x_seq,
                        nb::handle mem);

// The scan of a qualifying sequence: (spikes [T, ...], mem after the last
// step, potentials [T, ...] before each reset or None unless `keep_potentials`).
nb::object lif_scan_fused(nb::handle torch, const LifBuffers& buffers, nb::handle x_seq,
                          nb::handle mem, bool keep_potentials);

// Gradients of a scan from its saved potentials: (grad_x, grad_mem or None).
// `grad_spikes` / `grad_mem_out` may be None (zero); `want_grad_mem` asks for
// the gradient of the initial membrane.
nb::object lif_scan_backward_fused(nb::handle torch, const LifBuffers& buffers,
                                   nb::handle potentials, nb::handle grad_spikes,
                                   nb::handle grad_mem_out, bool want_grad_mem, double slope);

}  // namespace vantle::import_ir
