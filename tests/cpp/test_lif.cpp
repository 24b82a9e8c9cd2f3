#include <gtest/gtest.h>

#include <vector>

#include "core/lif.h"

using vantle::core::lif_step;
using vantle::core::LifParams;

namespace {

struct Layer {
  std::vector<float> beta, r, v_leak, v_threshold;
  LifParams params() const {
    auto param = [](const std::vector<float>& v) {
      return vantle::core::NeuronParam{v.data(), static_cast<int64_t>(v.size())};
    };
    return {param(beta), param(r), param(v_leak), param(v_threshold)};
  }
};

}  // namespace

TEST(LifStep, IntegratesFromRestThenCarriesTheMembrane) {
  const Layer layer{{0.5f}, {1.0f}, {0.0f}, {1.0f}};
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
  const Layer layer{{0.0f}, {1.0f}, {0.0f}, {1.0f}};
  const std::vector<float> x = {1.0f, 0.999f};
  std::vector<float> spikes(2), mem(2);
  lif_step(layer.params(), x.data(), nullptr, spikes.data(), mem.data(), 2, 2);
  EXPECT_EQ(spikes, (std::vector<float>{1.0f, 0.0f}));
  EXPECT_EQ(mem, (std::vector<float>{0.0f, 0.999f}));
}

TEST(LifStep, PerColumnParametersRepeatEveryRow) {
  const Layer layer{{0.0f, 0.0f, 0.0f}, {1.0f, 2.0f, 3.0f}, {0.0f}, {100.0f}};
  const std::vector<float> x(6, 1.0f);
  std::vector<float> spikes(6), mem(6);
  lif_step(layer.params(), x.data(), nullptr, spikes.data(), mem.data(), 6, 3);
  EXPECT_EQ(mem, (std::vector<float>{1.0f, 2.0f, 3.0f, 1.0f, 2.0f, 3.0f}));
}

TEST(LifStep, EmptyRowsTouchNothing) {
  const Layer layer{{0.5f}, {1.0f}, {0.0f}, {1.0f}};
  std::vector<float> spikes = {7.0f};
  lif_step(layer.params(), nullptr, nullptr, spikes.data(), nullptr, 0, 0);
  EXPECT_EQ(spikes[0], 7.0f);
}
