#include <gtest/gtest.h>

#include <vector>

#include "core/lif.h"

using vantle::core::lif_step;
using vantle::core::LifParams;

namespace {

std::vector<float> decay(const std::vector<float>& tau) {
  std::vector<float> beta;
  for (const float t : tau) beta.push_back(1.0f - 1.0f / t);
  return beta;
}

// Built from the four IR arrays; beta follows from tau as the layer derives it.
struct Layer {
  std::vector<float> tau, r, v_leak, v_threshold;
  std::vector<float> beta = decay(tau);
  LifParams params() const {
    auto param = [](const std::vector<float>& v) {
      return vantle::core::NeuronParam{v.data(), static_cast<int64_t>(v.size())};
    };
    return {param(tau), param(r), param(v_leak), param(v_threshold), param(beta)};
  }
};

}  // namespace

TEST(LifStep, IntegratesFromRestThenCarriesTheMembrane) {
  const Layer layer{{2.0f}, {1.0f}, {0.0f}, {1.0f}};
  const std::vector<float> x = {1.0f, 1.0f};
  std::vector<float> spikes(2), mem(2);
  lif_step(layer.params(), x.data(), nullptr, spikes.data(), mem.data(), 2, 2);
  EXPECT_EQ(mem, (std::vector<float>{0.5f, 0.5f}));
  EXPECT_EQ(spikes, (std::vector<float>{0.0f, 0.0f}));

  std::vector<float> next(2);
  lif_step(layer.params(), x.data(), mem.data(), spikes.data(), next.data(), 2, 2);
  EXPECT_EQ(next, (std::vector<float>{0.75f, 0.75f}));
}

TEST(LifStep, FiringAtThresholdResetsToZero) {
  const Layer layer{{1.0f}, {1.0f}, {0.0f}, {1.0f}};
  const std::vector<float> x = {1.0f, 0.999f};
  std::vector<float> spikes(2), mem(2);
  lif_step(layer.params(), x.data(), nullptr, spikes.data(), mem.data(), 2, 2);
  EXPECT_EQ(spikes, (std::vector<float>{1.0f, 0.0f}));
  EXPECT_EQ(mem, (std::vector<float>{0.0f, 0.999f}));
}

TEST(LifStep, PerColumnParametersRepeatEveryRow) {
  const Layer layer{{1.0f, 1.0f, 1.0f}, {1.0f, 2.0f, 3.0f}, {0.0f}, {100.0f}};
  const std::vector<float> x(6, 1.0f);
  std::vector<float> spikes(6), mem(6);
  lif_step(layer.params(), x.data(), nullptr, spikes.data(), mem.data(), 6, 3);
  EXPECT_EQ(mem, (std::vector<float>{1.0f, 2.0f, 3.0f, 1.0f, 2.0f, 3.0f}));
}

// With tau = 1e9 beta rounds to exactly 1 in float32, so a gain of 1 - beta
// would be 0; the input must still arrive with weight 1 / tau and never leak.
TEST(LifStep, LongTimeConstantStillIntegratesWithoutLeaking) {
  const Layer layer{{1e9f}, {1e9f}, {0.0f}, {1.0f, 2.0f}};
  ASSERT_EQ(layer.beta[0], 1.0f);
  const std::vector<float> x = {1.0f, 1.0f};
  std::vector<float> spikes(2), mem(2);
  lif_step(layer.params(), x.data(), nullptr, spikes.data(), mem.data(), 2, 2);
  EXPECT_EQ(spikes, (std::vector<float>{1.0f, 0.0f}));
  EXPECT_EQ(mem[0], 0.0f);
  EXPECT_FLOAT_EQ(mem[1], 1.0f);

  std::vector<float> next(2);
  lif_step(layer.params(), x.data(), mem.data(), spikes.data(), next.data(), 2, 2);
  EXPECT_EQ(spikes, (std::vector<float>{1.0f, 1.0f}));
}

TEST(LifStep, EmptyRowsTouchNothing) {
  const Layer layer{{2.0f}, {1.0f}, {0.0f}, {1.0f}};
  std::vector<float> spikes = {7.0f};
  lif_step(layer.params(), nullptr, nullptr, spikes.data(), nullptr, 0, 0);
  EXPECT_EQ(spikes[0], 7.0f);
}
