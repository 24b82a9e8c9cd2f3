#include "core/lif.h"

namespace vantle::core {
namespace {

inline float at(const NeuronParam& param, int64_t column) {
  return param.values[param.size == 1 ? 0 : column];
}

}  // namespace

void lif_step(const LifParams& params, const float* x, const float* mem_in, float* spikes,
              float* mem_out, int64_t count, int64_t row_length) {
  if (count == 0) return;
  for (int64_t start = 0; start < count; start += row_length) {
    for (int64_t column = 0; column < row_length; ++column) {
      const int64_t i = start + column;
      const float beta = at(params.beta, column);
      const float previous = mem_in != nullptr ? mem_in[i] : 0.0f;
      const float drive = at(params.v_leak, column) + at(params.r, column) * x[i];
      const float mem = beta * previous + (1.0f - beta) * drive;
      const float spike = mem >= at(params.v_threshold, column) ? 1.0f : 0.0f;
      spikes[i] = spike;
      mem_out[i] = mem * (1.0f - spike);
    }
  }
}

}  // namespace vantle::core
