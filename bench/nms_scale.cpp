// Greedy suppression at scale: nms_greedy (neighbour search) against
// nms_greedy_all_pairs (every kept box against every later box), timed in the
// same run on the same boxes, with the kept indices compared.
//
//   cmake --build build/cpp --target bench_nms_scale && build/cpp/bench_nms_scale
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#include "core/nms.h"

namespace {

struct Boxes {
  std::vector<float> corners;  // x1, y1, x2, y2 per box
  std::vector<double> scores;  // distinct
};

// `count` boxes jittered around `objects` objects in a 640 x 640 image, as the
// Python tests make them: sides 16 to 128, centre and size jitter of +-15%.
Boxes clustered(std::size_t count, std::size_t objects, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> cx(objects), cy(objects), w(objects), h(objects);
  for (std::size_t o = 0; o < objects; ++o) {
    cx[o] = unit(rng) * 640, cy[o] = unit(rng) * 640;
    w[o] = 16 + unit(rng) * 112, h[o] = 16 + unit(rng) * 112;
  }
  std::uniform_int_distribution<std::size_t> owner(0, objects - 1);
  Boxes b;
  b.corners.reserve(4 * count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t o = owner(rng);
    auto jitter = [&] { return (unit(rng) - 0.5f) * 0.3f; };
    const float x = cx[o] + jitter() * w[o], y = cy[o] + jitter() * h[o];
    const float bw = w[o] * (1 + jitter()), bh = h[o] * (1 + jitter());
    b.corners.insert(b.corners.end(), {x - bw / 2, y - bh / 2, x + bw / 2, y + bh / 2});
  }
  b.scores.resize(count);
  std::iota(b.scores.begin(), b.scores.end(), 1.0);
  std::shuffle(b.scores.begin(), b.scores.end(), rng);
  for (double& s : b.scores) s /= static_cast<double>(count + 1);
  return b;
}

template <typename Run>
double best_seconds(Run run, int repeats) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  constexpr double kThreshold = 0.45;
  std::printf("greedy NMS on clustered boxes, IoU threshold %.2f, best of repeats\n", kThreshold);
  std::printf("%9s %8s %7s %12s %12s %9s\n", "boxes", "objects", "kept", "all-pairs s",
              "neighbour s", "speed-up");
  const struct {
    std::size_t count, objects;
    int repeats;
  } cases[] = {{20'000, 300, 5}, {100'000, 3'000, 3}, {300'000, 10'000, 2}, {1'000'000, 30'000, 1}};
  for (const auto& c : cases) {
    const Boxes b = clustered(c.count, c.objects, static_cast<uint32_t>(c.count));
    const std::span<const float> corners(b.corners);
    const std::span<const double> scores(b.scores);
    std::vector<int64_t> fast, plain;
    const double t_fast = best_seconds(
        [&] { fast = vantle::core::nms_greedy(corners, scores, kThreshold); }, c.repeats);
    const double t_plain = best_seconds(
        [&] { plain = vantle::core::nms_greedy_all_pairs(corners, scores, kThreshold); }, 1);
    if (fast != plain) {
      std::printf("results differ on %zu boxes\n", c.count);
      return EXIT_FAILURE;
    }
    std::printf("%9zu %8zu %7zu %12.3f %12.4f %8.1fx\n", c.count, c.objects, fast.size(), t_plain,
                t_fast, t_plain / t_fast);
  }
  return EXIT_SUCCESS;
}
