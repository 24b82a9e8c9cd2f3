#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/fake_quant.h"

using vantle::core::fake_quantize;
using vantle::core::FakeQuantGrid;
using vantle::core::make_grid;

namespace {

// The composed expression one operation at a time, each result a float32.
float reference(const FakeQuantGrid& grid, float value) {
  float q = std::nearbyint(value / grid.scale) + grid.zero_point;
  if (q < grid.qmin) q = grid.qmin;
  if (grid.qmax < q) q = grid.qmax;
  return (q - grid.zero_point) * grid.scale;
}

std::vector<float> run(const FakeQuantGrid& grid, const std::vector<float>& in, int threads = 1) {
  std::vector<float> out(in.size());
  fake_quantize(grid, in.data(), out.data(), static_cast<int64_t>(in.size()), threads);
  return out;
}

void expect_bitwise(const std::vector<float>& actual, const std::vector<float>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_EQ(std::bit_cast<uint32_t>(actual[i]), std::bit_cast<uint32_t>(expected[i]))
        << "at " << i << ": " << actual[i] << " vs " << expected[i];
  }
}

// Values that stress rounding and clamping, then random ones.
std::vector<float> awkward_values(float scale, std::size_t random_count) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  std::vector<float> values = {
      0.0f,   -0.0f,   kInf,    -kInf,   std::numeric_limits<float>::quiet_NaN(), 1e-45f, -1e-45f,
      1e-39f, -3e-39f, 3.4e38f, -3.4e38f};
  for (int k = -300; k <= 300; ++k) values.push_back((static_cast<float>(k) + 0.5f) * scale);
  std::mt19937 generator(7);
  std::normal_distribution<float> normal(0.0f, 200.0f * scale);
  for (std::size_t i = 0; i < random_count; ++i) values.push_back(normal(generator));
  return values;
}

}  // namespace

TEST(MakeGrid, BoundsFollowTheWidth) {
  const FakeQuantGrid sym8 = make_grid(0.5, 0, 8, true);
  EXPECT_EQ(sym8.qmin, -128.0f);
  EXPECT_EQ(sym8.qmax, 127.0f);
  EXPECT_EQ(sym8.scale, 0.5f);
  const FakeQuantGrid asym4 = make_grid(0.1, 3, 4, false);
  EXPECT_EQ(asym4.qmin, 0.0f);
  EXPECT_EQ(asym4.qmax, 15.0f);
  EXPECT_EQ(asym4.zero_point, 3.0f);
  EXPECT_EQ(asym4.scale, static_cast<float>(0.1));
  // 2^31 - 1 has no float32 form; a clamp on float32 sees the nearest, 2^31.
  EXPECT_EQ(make_grid(1.0, 0, 31, false).qmax, 2147483648.0f);
}

TEST(FakeQuantize, MatchesComposedExpressionBitwise) {
  for (const double scale : {1.0 / 127, 2.55 / 255, 0.0123456789, 1e-8, 7.0, 3.3e-39}) {
    for (const bool symmetric : {true, false}) {
      const FakeQuantGrid grid = make_grid(scale, symmetric ? 0 : 37, 8, symmetric);
      const std::vector<float> in = awkward_values(grid.scale, 5000);
      std::vector<float> expected(in.size());
      for (std::size_t i = 0; i < in.size(); ++i) expected[i] = reference(grid, in[i]);
      expect_bitwise(run(grid, in), expected);
    }
  }
}

TEST(FakeQuantize, TiesRoundToEven) {
  const FakeQuantGrid grid = make_grid(1.0, 0, 8, true);
  const std::vector<float> out = run(grid, {0.5f, 1.5f, 2.5f, -0.5f, -1.5f, -2.5f, 126.5f});
  const std::vector<float> expected = {0.0f, 2.0f, 2.0f, 0.0f, -2.0f, -2.0f, 126.0f};
  expect_bitwise(out, expected);
}

TEST(FakeQuantize, ClampsToTheGridAndKeepsNaN) {
  const FakeQuantGrid grid = make_grid(0.5, 5, 8, false);
  constexpr float kInf = std::numeric_limits<float>::infinity();
  // Enough values that the vector loop handles some of them, not only the tail.
  std::vector<float> in(24, 1000.0f);
  in[1] = -1000.0f;
  in[2] = kInf;
  in[3] = -kInf;
  in[4] = std::numeric_limits<float>::quiet_NaN();
  in[20] = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> out = run(grid, in);
  EXPECT_EQ(out[0], 125.0f);  // (255 - 5) * 0.5
  EXPECT_EQ(out[1], -2.5f);   // (0 - 5) * 0.5
  EXPECT_EQ(out[2], 125.0f);
  EXPECT_EQ(out[3], -2.5f);
  EXPECT_TRUE(std::isnan(out[4]));
  EXPECT_TRUE(std::isnan(out[20]));
}

TEST(FakeQuantize, ThreadCountDoesNotChangeResults) {
  const FakeQuantGrid grid = make_grid(0.02, 0, 4, true);
  // Odd length, so chunks end off the vector width.
  const std::vector<float> in = awkward_values(grid.scale, (std::size_t{1} << 20) + 13);
  const std::vector<float> single = run(grid, in, 1);
  for (const int threads : {2, 3, 8}) expect_bitwise(run(grid, in, threads), single);
}

TEST(FakeQuantize, WorksInPlaceAndOnNothing) {
  const FakeQuantGrid grid = make_grid(0.25, 0, 8, true);
  std::vector<float> values = {0.3f, -0.1f, 100.0f, 0.125f, 0.375f, 1.0f, 2.0f, 3.0f, 4.0f};
  std::vector<float> expected(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) expected[i] = reference(grid, values[i]);
  fake_quantize(grid, values.data(), values.data(), static_cast<int64_t>(values.size()));
  expect_bitwise(values, expected);
  fake_quantize(grid, nullptr, nullptr, 0, 4);
}
