#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/nms.h"

using vantle::core::descending_score_order;
using vantle::core::nms_greedy;

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<int64_t> run(const std::vector<float>& boxes, const std::vector<double>& scores,
                         double threshold) {
  return nms_greedy(std::span<const float>(boxes), std::span<const double>(scores), threshold);
}

}  // namespace

TEST(NmsOrder, DescendingWithNanFirstAndTiesByPosition) {
  const std::vector<double> scores = {1.0, 2.0, 2.0, kNan, 0.0, -0.0, kNan, 2.0, kInf, -kInf};
  const std::vector<int64_t> expected = {3, 6, 8, 1, 2, 7, 0, 4, 5, 9};
  EXPECT_EQ(descending_score_order(scores), expected);
}

TEST(NmsGreedy, KeepsBestOfIdenticalBoxes) {
  const std::vector<float> boxes = {0, 0, 10, 10, 0, 0, 10, 10};
  EXPECT_EQ(run(boxes, {0.3, 0.9}, 0.5), (std::vector<int64_t>{1}));
}

TEST(NmsGreedy, OverlapEqualToThresholdIsNotSuppressed) {
  // Intersection 50, union 150: IoU exactly 1/3 in float.
  const std::vector<float> boxes = {0, 0, 10, 10, 5, 0, 15, 10};
  const float iou = 50.0f / 150.0f;
  EXPECT_EQ(run(boxes, {0.9, 0.8}, iou), (std::vector<int64_t>{0, 1}));
  EXPECT_EQ(run(boxes, {0.9, 0.8}, std::nextafter(iou, 0.0f)), (std::vector<int64_t>{0}));
}

TEST(NmsGreedy, ThresholdIsRoundedToTheBoxPrecision) {
  const std::vector<float> boxes = {0, 0, 10, 10, 5, 0, 15, 10};
  const float iou = 50.0f / 150.0f;
  // Just below the float IoU in double, but it rounds to the IoU itself in float.
  const double threshold = std::nextafter(static_cast<double>(iou), 0.0);
  EXPECT_EQ(run(boxes, {0.9, 0.8}, threshold), (std::vector<int64_t>{0, 1}));
  const std::vector<double> wide = {0, 0, 10, 10, 5, 0, 15, 10};
  const std::vector<double> scores = {0.9, 0.8};
  EXPECT_EQ(nms_greedy(std::span<const double>(wide), std::span<const double>(scores), 1.0 / 3.0),
            (std::vector<int64_t>{0, 1}));
}

TEST(NmsGreedy, SuppressionIsTransitiveOnlyThroughKeptBoxes) {
  // B overlaps A and C; A suppresses B, so C (disjoint from A) survives.
  const std::vector<float> boxes = {0, 0, 10, 10, 4, 0, 14, 10, 8, 0, 18, 10};
  EXPECT_EQ(run(boxes, {0.9, 0.8, 0.7}, 0.3), (std::vector<int64_t>{0, 2}));
}

TEST(NmsGreedy, NonFiniteAndDegenerateBoxes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> boxes = {
      0,    0,    10,  10,   // 0: normal
      0,    0,    10,  10,   // 1: same as 0, lower score
      nan,  0,    10,  10,   // 2: NaN corner
      0,    0,    inf, inf,  // 3: infinite extent
      5,    5,    5,   5,    // 4: zero area inside 0
      -inf, -inf, inf, inf,  // 5: everything
  };
  const std::vector<double> scores = {0.9, 0.8, 0.95, 0.7, 0.6, 0.5};
  EXPECT_EQ(run(boxes, scores, 0.5), (std::vector<int64_t>{2, 0, 3, 4, 5}));
}

TEST(NmsGreedy, NanThresholdKeepsEverything) {
  const std::vector<float> boxes = {0, 0, 10, 10, 0, 0, 10, 10};
  EXPECT_EQ(run(boxes, {0.1, 0.2}, kNan), (std::vector<int64_t>{1, 0}));
}

TEST(NmsGreedy, NegativeThresholdSuppressesEvenDisjointBoxes) {
  const std::vector<float> boxes = {0, 0, 1, 1, 5, 5, 6, 6};
  EXPECT_EQ(run(boxes, {0.1, 0.2}, -0.5), (std::vector<int64_t>{1}));
}

TEST(NmsGreedy, EmptyInputAndShapeMismatch) {
  EXPECT_TRUE(run({}, {}, 0.5).empty());
  EXPECT_THROW(run({0, 0, 1}, {0.5}, 0.5), std::invalid_argument);
}
