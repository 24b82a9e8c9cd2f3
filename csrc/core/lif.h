// One time step of a layer of leaky integrate-and-fire neurons, fused.
//
// Per neuron, in the order the composed tensor expression evaluates it:
//   mem = beta * mem + (1 - beta) * (v_leak + r * x)
//   spk = mem >= v_threshold ? 1 : 0
//   mem = mem * (1 - spk)
// so results are bit-identical to the composed float32 path (built without
// floating-point contraction).
#pragma once

#include <cstdint>

namespace vantle::core {

// A per-neuron parameter: one value for every neuron (size 1) or one value per
// position of the innermost dimension (size == row_length).
struct NeuronParam {
  const float* values;
  int64_t size;
};

struct LifParams {
  NeuronParam beta, r, v_leak, v_threshold;
};

// `x`, `mem_in`, `spikes` and `mem_out` hold `count` values laid out in rows of
// `row_length`; `mem_in` may be null for a membrane starting at zero. The four
// buffers must not overlap.
void lif_step(const LifParams& params, const float* x, const float* mem_in, float* spikes,
              float* mem_out, int64_t count, int64_t row_length);

}  // namespace vantle::core
