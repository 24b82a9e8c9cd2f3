#include "core/fake_quant.h"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vantle::core {
namespace {

// Below this many values per thread, starting a thread costs more than it saves.
constexpr int64_t kMinValuesPerThread = int64_t{1} << 18;
// Chunk borders on whole cache lines, so threads never share one.
constexpr int64_t kChunkAlignment = 16;

inline float fake_quantize_one(const FakeQuantGrid& grid, float value) {
  // nearbyint rounds half to even in the default rounding mode, as torch.round does.
  float q = std::nearbyint(value / grid.scale) + grid.zero_point;
  // Written so that NaN compares false and survives, like torch.clamp.
  q = q < grid.qmin ? grid.qmin : q;
  q = grid.qmax < q ? grid.qmax : q;
  return (q - grid.zero_point) * grid.scale;
}

void fake_quantize_scalar(const FakeQuantGrid& grid, const float* in, float* out, int64_t count) {
  for (int64_t i = 0; i < count; ++i) out[i] = fake_quantize_one(grid, in[i]);
}

#if defined(__x86_64__)
// Eight values at a time. roundps rounds half to even like nearbyint; maxps and
// minps return their second operand when one is NaN, so NaN survives as above.
__attribute__((target("avx2"))) void fake_quantize_avx2(const FakeQuantGrid& grid, const float* in,
                                                        float* out, int64_t count) {
  const __m256 scale = _mm256_set1_ps(grid.scale);
  const __m256 zero_point = _mm256_set1_ps(grid.zero_point);
  const __m256 qmin = _mm256_set1_ps(grid.qmin);
  const __m256 qmax = _mm256_set1_ps(grid.qmax);
  int64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m256 q = _mm256_div_ps(_mm256_loadu_ps(in + i), scale);
    q = _mm256_round_ps(q, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    q = _mm256_add_ps(q, zero_point);
    q = _mm256_max_ps(qmin, q);
    q = _mm256_min_ps(qmax, q);
    _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_sub_ps(q, zero_point), scale));
  }
  fake_quantize_scalar(grid, in + i, out + i, count - i);
}
#endif

void fake_quantize_range(const FakeQuantGrid grid, const float* in, float* out, int64_t count) {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) {
    fake_quantize_avx2(grid, in, out, count);
    return;
  }
#endif
  fake_quantize_scalar(grid, in, out, count);
}

}  // namespace

FakeQuantGrid make_grid(double scale, int64_t zero_point, int bits, bool symmetric) {
  const int64_t qmin = symmetric ? -(int64_t{1} << (bits - 1)) : 0;
  const int64_t qmax = symmetric ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
  return {static_cast<float>(scale), static_cast<float>(zero_point), static_cast<float>(qmin),
          static_cast<float>(qmax)};
}

void fake_quantize(const FakeQuantGrid& grid, const float* in, float* out, int64_t count,
                   int max_threads) {
  const int64_t by_size = count / kMinValuesPerThread;
  const int64_t threads = std::max<int64_t>(1, std::min<int64_t>(max_threads, by_size));
  if (threads == 1) {
    fake_quantize_range(grid, in, out, count);
    return;
  }
  int64_t chunk = (count + threads - 1) / threads;
  chunk = (chunk + kChunkAlignment - 1) / kChunkAlignment * kChunkAlignment;
  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(threads - 1));
  // The calling thread takes the first chunk and whatever no thread could be started for.
  int64_t start = chunk;
  try {
    for (; start < count; start += chunk) {
      const int64_t length = std::min(chunk, count - start);
      workers.emplace_back(fake_quantize_range, grid, in + start, out + start, length);
    }
  } catch (const std::system_error&) {
    fake_quantize_range(grid, in + start, out + start, count - start);
  }
  fake_quantize_range(grid, in, out, std::min(chunk, count));
  for (std::thread& worker : workers) worker.join();
}

}  // namespace vantle::core
