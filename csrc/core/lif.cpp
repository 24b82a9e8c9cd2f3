#include "core/lif.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <stdexcept>

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

#include "core/parallel.h"

namespace vantle::core {
namespace {

// Neurons are processed in tiles: short enough that a tile's parameters and
// membrane stay in L1 over a whole sequence, long enough to vectorise well.
constexpr int64_t kTile = 512;
// Below this many neuron-steps per thread, starting a thread costs more than it saves.
constexpr int64_t kMinWorkPerThread = int64_t{1} << 17;

using TileBuffer = std::array<float, kTile>;

// Where a tile of columns [first, first + n) finds one parameter's values: in
// place when the parameter has one value per column or one for all (`splat`,
// filled once per thread), else gathered from its repeating pattern into `scratch`.
class ParamTile {
 public:
  ParamTile(const NeuronParam& param, int64_t row_length) : param_(param) {
    per_column_ = param.size == row_length;
    if (param.size == 1) splat_.fill(param.values[0]);
  }

  const float* at(int64_t first, int64_t n) {
    // One value for all comes first: with rows of one column it is also "per
    // column", and a uniform tau is read a whole tile long.
    if (param_.size == 1) return splat_.data();
    if (per_column_) return param_.values + first;
    for (int64_t j = 0; j < n; ++j) scratch_[j] = param_.values[(first + j) % param_.size];
    return scratch_.data();
  }

 private:
  NeuronParam param_;
  bool per_column_ = false;
  // Filled before they are read (splat_ only for a single value): no zeroing per call.
  TileBuffer splat_, scratch_;
};

// The five parameters, positioned on one tile.
struct Tile {
  const float *beta, *r, *v_leak, *v_threshold;
  TileBuffer gain;  // 1 / tau, divided once per tile as the composed path divides its buffer
};

class TileParams {
 public:
  TileParams(const LifParams& params, int64_t row_length)
      : tau_(params.tau, row_length),
        r_(params.r, row_length),
        v_leak_(params.v_leak, row_length),
        v_threshold_(params.v_threshold, row_length),
        beta_(params.beta, row_length),
        uniform_tau_(params.tau.size == 1) {}

  // `tile` must be the same object on every call (it keeps a uniform gain between tiles).
  void load(Tile& tile, int64_t first, int64_t n) {
    tile.beta = beta_.at(first, n);
    tile.r = r_.at(first, n);
    tile.v_leak = v_leak_.at(first, n);
    tile.v_threshold = v_threshold_.at(first, n);
    if (uniform_tau_ && gain_ready_) return;
    const float* __restrict tau = tau_.at(first, uniform_tau_ ? kTile : n);
    for (int64_t j = 0; j < (uniform_tau_ ? kTile : n); ++j) tile.gain[j] = 1.0f / tau[j];
    gain_ready_ = true;
  }

 private:
  ParamTile tau_, r_, v_leak_, v_threshold_, beta_;
  bool uniform_tau_;
  bool gain_ready_ = false;
};

void check_layout(const LifParams& params, int64_t row_length) {
  for (const NeuronParam* param :
       {&params.tau, &params.r, &params.v_leak, &params.v_threshold, &params.beta}) {
    if (param->size < 1 || row_length % param->size != 0) {
      throw std::invalid_argument("LIF parameter size must be 1 or divide the row length");
    }
  }
}

// Runs `body(tile, offset, n)` for every tile of neurons, each through all
// `steps`; tiles are one row's columns [first, first + n) and split over threads.
template <typename Body>
void for_tiles(const LifParams& params, int64_t count, int64_t row_length, int64_t steps,
               int threads, Body body) {
  const int64_t tiles_per_row = (row_length + kTile - 1) / kTile;
  const int64_t units = count / row_length * tiles_per_row;
  const int parts = threads_for(count * steps, kMinWorkPerThread, threads);
  parallel_for(units, parts, [&](int64_t begin, int64_t end) {
    TileParams tile_params(params, row_length);
    Tile tile;
    for (int64_t unit = begin; unit < end; ++unit) {
      const int64_t row = unit / tiles_per_row;
      const int64_t first = unit % tiles_per_row * kTile;
      const int64_t n = std::min(kTile, row_length - first);
      tile_params.load(tile, first, n);
      body(tile, row * row_length + first, n);
    }
  });
}

// One step over one tile. Every pointer is a parameter marked restrict, which is
// what lets the compiler vectorise the loop (it ignores restrict on locals).
template <bool kKeepPotentials>
void step_tile(const float* __restrict beta, const float* __restrict gain,
               const float* __restrict r, const float* __restrict v_leak,
               const float* __restrict v_threshold, const float* __restrict x,
               float* __restrict mem, float* __restrict spikes, float* __restrict potentials,
               int64_t n) {
  for (int64_t j = 0; j < n; ++j) {
    const float drive = v_leak[j] + r[j] * x[j];
    const float potential = beta[j] * mem[j] + gain[j] * drive;
    const float spike = static_cast<float>(potential >= v_threshold[j]);
    spikes[j] = spike;
    if constexpr (kKeepPotentials) potentials[j] = potential;
    mem[j] = potential * (1.0f - spike);
  }
}

template <bool kKeepPotentials>
void scan_tile(const Tile& p, const LifSequence& s, int64_t offset, int64_t n) {
  // The membrane lives in the output through the whole scan: a tile of it stays in L1.
  float* mem = s.mem_out + offset;
  if (s.mem_in != nullptr) {
    std::copy_n(s.mem_in + offset, n, mem);
  } else {
    std::fill_n(mem, n, 0.0f);
  }
  for (int64_t t = 0; t < s.steps; ++t) {
    const int64_t base = t * s.count + offset;
    step_tile<kKeepPotentials>(p.beta, p.gain.data(), p.r, p.v_leak, p.v_threshold, s.x + base, mem,
                               s.spikes + base, kKeepPotentials ? s.potentials + base : nullptr, n);
  }
}

// exp(v) for v <= 0, in a form the compiler vectorises (std::exp is a library
// call per element): Cody-Waite reduction v = n ln2 + f, a degree-6 polynomial
// for exp(f), and 2^n from the exponent bits. Within 2 ulp of exp; 0 below -87,
// where exp(v) < 2^-125 no longer matters next to the other gradient terms.
float exp_nonpositive(float v) {
  const float clamped = v < -87.0f ? -87.0f : v;
  constexpr float kRound = 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
  const float shifted = clamped * 1.44269504088896341f + kRound;
  const float n = shifted - kRound;
  const int32_t exponent = std::bit_cast<int32_t>(shifted) - std::bit_cast<int32_t>(kRound);
  const float f = (clamped - n * 0.693359375f) - n * -2.12194440e-4f;
  float poly = 1.9875691500e-4f;
  poly = poly * f + 1.3981999507e-3f;
  poly = poly * f + 8.3334519073e-3f;
  poly = poly * f + 4.1665795894e-2f;
  poly = poly * f + 1.6666665459e-1f;
  poly = poly * f + 5.0000001201e-1f;
  const float value = (poly * (f * f) + f) + 1.0f;
  const float scale = std::bit_cast<float>((exponent + 127) << 23);
  return v < -87.0f ? 0.0f : value * scale;
}

// One step backwards over one tile, mirroring autograd on the composed step:
//   d(mem * (1 - spk)) gives grad_mem * (1 - spk) to the potential and
//   -(grad_mem * potential) to the spike, which adds to the spike's own gradient;
//   the spike passes (grad * slope) * exp(-slope * |potential - threshold|) on;
//   the potential passes grad * beta to the previous membrane and
//   (grad * gain) * r to the input.
template <bool kHasGradSpikes>
void step_tile_backward(const float* __restrict beta, const float* __restrict gain,
                        const float* __restrict r, const float* __restrict v_threshold,
                        const float* __restrict potentials, const float* __restrict grad_spikes,
                        float* __restrict grad_mem, float* __restrict grad_x, float slope,
                        int64_t n) {
  for (int64_t j = 0; j < n; ++j) {
    const float potential = potentials[j];
    const float spike = static_cast<float>(potential >= v_threshold[j]);
    const float from_reset = -(grad_mem[j] * potential);
    const float grad_spike = kHasGradSpikes ? grad_spikes[j] + from_reset : from_reset;
    const float distance = std::fabs(potential - v_threshold[j]);
    const float surrogate = exp_nonpositive(-slope * distance);
    const float grad_potential = grad_mem[j] * (1.0f - spike) + (grad_spike * slope) * surrogate;
    grad_x[j] = (grad_potential * gain[j]) * r[j];
    grad_mem[j] = grad_potential * beta[j];
  }
}

// Gradients below the smallest normal float become zero while it lives (on x86;
// elsewhere they stay as they are). The surrogate makes such values wherever a
// potential lies far from the threshold, and arithmetic on them takes a slow
// path, in this kernel and in every layer the gradient reaches next (a
// convolution's backward ran twice as long). Values under 1.2e-38 change no
// training step; the forward pass is never flushed, so spikes stay exact.
class SubnormalsFlushed {
 public:
#if defined(__SSE__) || defined(_M_X64)
  SubnormalsFlushed() : saved_(_mm_getcsr()) {
    _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero);
  }
  ~SubnormalsFlushed() { _mm_setcsr(saved_); }

 private:
  static constexpr unsigned kFlushToZero = 0x8000;
  static constexpr unsigned kDenormalsAreZero = 0x0040;
  unsigned saved_;
#endif
};

void scan_tile_backward(const Tile& p, const LifSequenceGrad& g, int64_t offset, int64_t n) {
  const SubnormalsFlushed flushed;
  TileBuffer grad_mem;
  for (int64_t j = 0; j < n; ++j) {
    grad_mem[j] = g.grad_mem_out != nullptr ? g.grad_mem_out[offset + j] : 0.0f;
  }
  for (int64_t t = g.steps - 1; t >= 0; --t) {
    const int64_t base = t * g.count + offset;
    if (g.grad_spikes != nullptr) {
      step_tile_backward<true>(p.beta, p.gain.data(), p.r, p.v_threshold, g.potentials + base,
                               g.grad_spikes + base, grad_mem.data(), g.grad_x + base, g.slope, n);
    } else {
      step_tile_backward<false>(p.beta, p.gain.data(), p.r, p.v_threshold, g.potentials + base,
                                nullptr, grad_mem.data(), g.grad_x + base, g.slope, n);
    }
  }
  if (g.grad_mem_in != nullptr) std::copy_n(grad_mem.data(), n, g.grad_mem_in + offset);
}

}  // namespace

void lif_scan(const LifParams& params, const LifSequence& sequence, int threads) {
  if (sequence.steps <= 0 || sequence.count <= 0 || sequence.row_length <= 0) return;
  check_layout(params, sequence.row_length);
  for_tiles(params, sequence.count, sequence.row_length, sequence.steps, threads,
            [&](const Tile& tile, int64_t offset, int64_t n) {
              if (sequence.potentials != nullptr) {
                scan_tile<true>(tile, sequence, offset, n);
              } else {
                scan_tile<false>(tile, sequence, offset, n);
              }
            });
}

void lif_scan_backward(const LifParams& params, const LifSequenceGrad& grad, int threads) {
  if (grad.steps <= 0 || grad.count <= 0 || grad.row_length <= 0) return;
  check_layout(params, grad.row_length);
  for_tiles(params, grad.count, grad.row_length, grad.steps, threads,
            [&](const Tile& tile, int64_t offset, int64_t n) {
              scan_tile_backward(tile, grad, offset, n);
            });
}

void lif_step(const LifParams& params, const float* x, const float* mem_in, float* spikes,
              float* mem_out, int64_t count, int64_t row_length, int threads) {
  lif_scan(params, {x, mem_in, spikes, nullptr, mem_out, 1, count, row_length}, threads);
}

}  // namespace vantle::core
