// Fake quantization of float32 values onto an integer grid, fused into one pass.
//
// Per value, in the order the composed tensor expression evaluates it:
//   q   = clamp(round_half_even(x / scale) + zero_point, qmin, qmax)
//   out = (q - zero_point) * scale
// with every operation in float32 (true division, not multiplication by the
// reciprocal), so results are bit-identical to the composed float32 path
// (built without floating-point contraction). NaN stays NaN, infinities clamp.
#pragma once

#include <cstdint>

namespace vantle::core {

// All four values as the composed float32 path sees them (already float32).
struct FakeQuantGrid {
  float scale;
  float zero_point;
  float qmin;
  float qmax;
};

// The grid of `bits` bits (1 to 31): symmetric [-2^(bits-1), 2^(bits-1) - 1]
// or asymmetric [0, 2^bits - 1], bounds as float32 like a clamp on float32 sees them.
FakeQuantGrid make_grid(double scale, int64_t zero_point, int bits, bool symmetric);

// `out` may alias `in`. Up to `max_threads` threads share large inputs; the
// result does not depend on how many run.
void fake_quantize(const FakeQuantGrid& grid, const float* in, float* out, int64_t count,
                   int max_threads = 1);

}  // namespace vantle::core
