#include "core/lif.h"

#include <vector>

namespace vantle::core {
namespace {

// One value per column, so the inner loop is branch-free and vectorises.
std::vector<float> per_column(const NeuronParam& param, int64_t row_length) {
  if (param.size == 1)
    return std::vector<float>(static_cast<std::size_t>(row_length), param.values[0]);
  return {param.values, param.values + row_length};
}

// The input gain 1 / tau per column, divided once per call as the composed
// path divides its tau buffer, so both round identically.
std::vector<float> gain_per_column(const NeuronParam& tau, int64_t row_length) {
  auto gain = per_column(tau, row_length);
  for (float& value : gain) value = 1.0f / value;
  return gain;
}

template <bool kHasMembrane>
void run_rows(const float* __restrict beta, const float* __restrict gain, const float* __restrict r,
              const float* __restrict v_leak, const float* __restrict v_threshold,
              const float* __restrict x, const float* __restrict mem_in, float* __restrict spikes,
              float* __restrict mem_out, int64_t count, int64_t row_length) {
  for (int64_t start = 0; start < count; start += row_length) {
    for (int64_t column = 0; column < row_length; ++column) {
      const int64_t i = start + column;
      const float previous = kHasMembrane ? mem_in[i] : 0.0f;
      const float drive = v_leak[column] + r[column] * x[i];
      const float mem = beta[column] * previous + gain[column] * drive;
      const float spike = static_cast<float>(mem >= v_threshold[column]);
      spikes[i] = spike;
      mem_out[i] = mem * (1.0f - spike);
    }
  }
}

}  // namespace

void lif_step(const LifParams& params, const float* x, const float* mem_in, float* spikes,
              float* mem_out, int64_t count, int64_t row_length) {
  if (count == 0 || row_length == 0) return;
  const auto beta = per_column(params.beta, row_length);
  const auto gain = gain_per_column(params.tau, row_length);
  const auto r = per_column(params.r, row_length);
  const auto v_leak = per_column(params.v_leak, row_length);
  const auto v_threshold = per_column(params.v_threshold, row_length);
  if (mem_in != nullptr) {
    run_rows<true>(beta.data(), gain.data(), r.data(), v_leak.data(), v_threshold.data(), x, mem_in,
                   spikes, mem_out, count, row_length);
  } else {
    run_rows<false>(beta.data(), gain.data(), r.data(), v_leak.data(), v_threshold.data(), x,
                    mem_in, spikes, mem_out, count, row_length);
  }
}

}  // namespace vantle::core
