// One time step of a layer of leaky integrate-and-fire neurons, fused.
//
// Per neuron, in the order the composed tensor expression evaluates it:
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

// A per-neuron parameter: one value for every neuron (size 1) or one value per
// position of the innermost dimension (size == row_length).
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
// buffers must not overlap.
void lif_step(const LifParams& params, const float* x, const float* mem_in, float* spikes,
              float* mem_out, int64_t count, int64_t row_length);

}  // namespace vantle::core
