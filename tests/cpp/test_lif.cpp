#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "core/lif.h"

using vantle::core::lif_scan;
using vantle::core::lif_scan_backward;
using vantle::core::lif_step;
using vantle::core::LifParams;
using vantle::core::LifSequence;
using vantle::core::LifSequenceGrad;

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

namespace {

std::vector<float> uniform(std::mt19937& rng, std::size_t n, float low, float high) {
  std::uniform_real_distribution<float> dist(low, high);
  std::vector<float> values(n);
  for (float& v : values) v = dist(rng);
  return values;
}

struct ScanCase {
  const char* name;
  int64_t steps, rows, row_length;
  std::size_t tau_size, threshold_size;  // 1, a divisor of row_length, or row_length
  bool with_membrane;
  int threads;
};

}  // namespace

// A scan is `steps` single steps passing the membrane on, bit for bit, whatever
// the parameter layout, tile boundaries and thread split.
TEST(LifScan, EqualsSteppingBitForBit) {
  const ScanCase cases[] = {
      {"uniform", 5, 3, 7, 1, 1, false, 1},
      {"per column across tiles", 4, 2, 1500, 1500, 1500, true, 1},
      {"repeating pattern", 3, 4, 48, 12, 4, true, 1},
      {"threaded", 6, 64, 1200, 1200, 1, true, 4},
      {"threaded one long row", 2, 1, 300000, 1, 300000, false, 3},
  };
  std::mt19937 rng(7);
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.name);
    const int64_t count = c.rows * c.row_length;
    const Layer layer{uniform(rng, c.tau_size, 1.5f, 6.0f), uniform(rng, c.tau_size, 0.5f, 2.0f),
                      uniform(rng, 1, -0.1f, 0.1f), uniform(rng, c.threshold_size, 0.3f, 1.0f)};
    const auto x = uniform(rng, static_cast<std::size_t>(c.steps * count), -0.5f, 2.0f);
    const auto start = uniform(rng, static_cast<std::size_t>(count), 0.0f, 1.0f);
    const float* mem_in = c.with_membrane ? start.data() : nullptr;

    std::vector<float> spikes(x.size()), potentials(x.size()), mem_out(start.size());
    lif_scan(layer.params(),
             {x.data(), mem_in, spikes.data(), potentials.data(), mem_out.data(), c.steps, count,
              c.row_length},
             c.threads);

    std::vector<float> mem(mem_in ? start : std::vector<float>(start.size(), 0.0f));
    std::vector<float> step_spikes(start.size()), next(start.size());
    for (int64_t t = 0; t < c.steps; ++t) {
      lif_step(layer.params(), x.data() + t * count, t == 0 ? mem_in : mem.data(),
               step_spikes.data(), next.data(), count, c.row_length);
      for (int64_t i = 0; i < count; ++i) {
        ASSERT_EQ(spikes[t * count + i], step_spikes[i]) << "step " << t << " neuron " << i;
        // Before the reset, the potential equals the membrane wherever nothing fired.
        if (step_spikes[i] == 0.0f) {
          ASSERT_EQ(potentials[t * count + i], next[i]);
        }
      }
      mem.swap(next);
    }
    EXPECT_EQ(mem_out, mem);
  }
}

TEST(LifScan, ParametersThatDoNotTileTheRowAreRejected) {
  const Layer layer{{2.0f, 2.0f, 2.0f}, {1.0f}, {0.0f}, {1.0f}};
  std::vector<float> x(4), spikes(4), mem(4);
  EXPECT_THROW(
      lif_scan(layer.params(), {x.data(), nullptr, spikes.data(), nullptr, mem.data(), 1, 4, 4}),
      std::invalid_argument);
}

// One neuron, tau 2 (beta 0.5, gain 0.5), r 1, threshold 1, slope 1, inputs 1
// then 4: potentials 0.5 (silent, membrane 0.5) and 2.25 (fires, membrane 0).
// The gradients below follow the chain rule by hand.
TEST(LifScanBackward, MatchesTheChainRuleByHand) {
  const Layer layer{{2.0f}, {1.0f}, {0.0f}, {1.0f}};
  const std::vector<float> x = {1.0f, 4.0f};
  const std::vector<float> start = {0.0f};
  std::vector<float> spikes(2), potentials(2), mem_out(1);
  lif_scan(layer.params(),
           {x.data(), start.data(), spikes.data(), potentials.data(), mem_out.data(), 2, 1, 1});
  ASSERT_EQ(potentials, (std::vector<float>{0.5f, 2.25f}));
  ASSERT_EQ(spikes, (std::vector<float>{0.0f, 1.0f}));

  const std::vector<float> grad_spikes = {1.0f, 1.0f};
  std::vector<float> grad_x(2), grad_mem_in(1);
  lif_scan_backward(layer.params(), {potentials.data(), grad_spikes.data(), nullptr, grad_x.data(),
                                     grad_mem_in.data(), 2, 1, 1, 1.0f});
  // Step 1 fired, so only the spike carries gradient into its potential.
  const double grad_u1 = std::exp(-1.25);
  const double grad_mem0 = 0.5 * grad_u1;
  // Step 0 stayed silent: the membrane passes grad_mem0 through, and the reset
  // of step 0 (membrane times 1 - spike) takes grad_mem0 * potential from its spike.
  const double grad_u0 = grad_mem0 + (1.0 - grad_mem0 * 0.5) * std::exp(-0.5);
  EXPECT_NEAR(grad_x[1], 0.5 * grad_u1, 1e-7);
  EXPECT_NEAR(grad_x[0], 0.5 * grad_u0, 1e-7);
  EXPECT_NEAR(grad_mem_in[0], 0.5 * grad_u0, 1e-7);

  // Gradient arriving only through the final membrane of a silent step.
  const std::vector<float> grad_mem_out = {1.0f};
  lif_scan_backward(layer.params(), {potentials.data(), nullptr, grad_mem_out.data(), grad_x.data(),
                                     grad_mem_in.data(), 1, 1, 1, 1.0f});
  const double grad_u = 1.0 - 0.5 * std::exp(-0.5);
  EXPECT_NEAR(grad_x[0], 0.5 * grad_u, 1e-7);
  EXPECT_NEAR(grad_mem_in[0], 0.5 * grad_u, 1e-7);
}
