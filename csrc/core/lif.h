// Leaky integrate-and-fire neurons, fused: one time step, a scan over a whole
// sequence, and the surrogate gradient of that scan through time.
//
// Per neuron and step, in the order the composed tensor expression evaluates it:
//   mem = beta * mem + (1 / tau) * (v_leak + r * x)
//   spk = mem >= v_threshold ? 1 : 0
//   mem = mem * (1 - spk)
// so results are bit-identical to the composed float32 path (built without
// floating-point contraction). The input gain is 1 / tau rather than 1 - beta:
// equal in exact arithmetic, but for a long time constant beta rounds to 1 in
// float32 and 1 - beta would silence the input altogether.
#pragma once

#include <cstdint>

namespace vantle::core {

// A per-neuron parameter over a row of `row_length` neurons: one value for all
// (size 1), or a pattern of `size` values that repeats along the row (size
// divides row_length; size == row_length is one value per neuron). Read in
// place, never copied.
struct NeuronParam {
  const float* values;
  int64_t size;
};

// In the order the layer keeps them; beta is the decay 1 - 1 / tau, passed as
// stored so the decay matches the composed path even for an edited buffer.
struct LifParams {
  NeuronParam tau, r, v_leak, v_threshold, beta;
};

// `x`, `mem_in`, `spikes` and `mem_out` hold `count` values laid out in rows of
// `row_length`; `mem_in` may be null for a membrane starting at zero. The four
// buffers must not overlap. Large layers are split over up to `threads` threads.
void lif_step(const LifParams& params, const float* x, const float* mem_in, float* spikes,
              float* mem_out, int64_t count, int64_t row_length, int threads = 1);

// A whole sequence, time-major: `x`, `spikes` and `potentials` hold `steps`
// blocks of `count` values; `mem_in` and `mem_out` one block. `potentials`
// (the membrane before reset at every step, what the backward pass needs) may
// be null; so may `mem_in` (start at zero). No two buffers overlap.
struct LifSequence {
  const float* x;
  const float* mem_in;
  float* spikes;
  float* potentials;
  float* mem_out;
  int64_t steps, count, row_length;
};

// Equal, bit for bit, to `steps` calls of lif_step passing the membrane on.
void lif_scan(const LifParams& params, const LifSequence& sequence, int threads = 1);

// Gradients of a scan, from its saved potentials. The spike's surrogate
// derivative is slope * exp(-slope * |potential - v_threshold|), and the reset
// mem * (1 - spk) is differentiated through both factors, as autograd does for
// the composed step. Null `grad_spikes` / `grad_mem_out` count as zeros; a null
// `grad_mem_in` is not computed.
struct LifSequenceGrad {
  const float* potentials;
  const float* grad_spikes;
  const float* grad_mem_out;
  float* grad_x;
  float* grad_mem_in;
  int64_t steps, count, row_length;
  float slope;
};

void lif_scan_backward(const LifParams& params, const LifSequenceGrad& grad, int threads = 1);

}  // namespace vantle::core
