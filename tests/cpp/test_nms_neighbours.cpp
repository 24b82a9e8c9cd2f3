// nms_greedy searches only the neighbourhood of each kept box; it must keep
// exactly the boxes that testing every pair keeps, on ordinary and hostile
// inputs alike, in both precisions and for every kind of threshold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/nms.h"

using vantle::core::nms_greedy;
using vantle::core::nms_greedy_all_pairs;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct Input {
  std::vector<double> boxes;  // x1, y1, x2, y2 per box
  std::vector<double> scores;
};

using Rng = std::mt19937_64;

double uniform(Rng& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}

void add_box(Input& in, double cx, double cy, double w, double h, double score) {
  in.boxes.insert(in.boxes.end(), {cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2});
  in.scores.push_back(score);
}

// Jittered copies of a few objects; `scale` and `offset` move the whole scene.
Input clustered(Rng& rng, int count, int objects, double scale, double offset) {
  std::vector<double> cx, cy, w, h;
  for (int o = 0; o < objects; ++o) {
    cx.push_back(uniform(rng, 0, 640));
    cy.push_back(uniform(rng, 0, 640));
    w.push_back(uniform(rng, 4, 160));
    h.push_back(uniform(rng, 4, 160));
  }
  Input in;
  for (int k = 0; k < count; ++k) {
    const auto o = static_cast<std::size_t>(rng() % static_cast<uint64_t>(objects));
    const double jx = uniform(rng, -0.2, 0.2), jy = uniform(rng, -0.2, 0.2);
    add_box(in, offset + scale * (cx[o] + jx * w[o]), offset + scale * (cy[o] + jy * h[o]),
            scale * w[o] * uniform(rng, 0.8, 1.2), scale * h[o] * uniform(rng, 0.8, 1.2),
            uniform(rng, 0, 1));
  }
  return in;
}

// Sides spread over six orders of magnitude, thin and flat boxes included.
Input mixed_sizes(Rng& rng) {
  Input in;
  for (int k = 0; k < 2500; ++k) {
    add_box(in, uniform(rng, 0, 1e4), uniform(rng, 0, 1e4), std::pow(10.0, uniform(rng, -2, 4)),
            std::pow(10.0, uniform(rng, -2, 4)), uniform(rng, 0, 1));
  }
  return in;
}

// Ordinary boxes among boxes that cover everything, some of them unbounded
// or too large for single precision.
Input huge_boxes(Rng& rng) {
  Input in = clustered(rng, 2000, 40, 1, 0);
  const double big[][4] = {{-1e6, -1e6, 1e6, 1e6},     {-kInf, -kInf, kInf, kInf},
                           {-3e38, -3e38, 3e38, 3e38}, {-1e30, 0, 1e30, 640},
                           {0, -kInf, 640, kInf},      {-50, -50, 700, 700}};
  for (int k = 0; k < 60; ++k) {
    const auto& b = big[k % 6];
    in.boxes.insert(in.boxes.end(), {b[0], b[1], b[2], b[3]});
    in.scores.push_back(uniform(rng, 0, 1));
  }
  return in;
}

// Points, lines and inverted boxes inside and around ordinary ones.
Input degenerate(Rng& rng) {
  Input in = clustered(rng, 1500, 30, 1, 0);
  for (int k = 0; k < 1000; ++k) {
    const double x = uniform(rng, 0, 640), y = uniform(rng, 0, 640), s = uniform(rng, 0, 50);
    const double shapes[][4] = {{x, y, x, y},
                                {x, y, x + s, y},
                                {x, y, x, y + s},
                                {x + s, y, x, y + s},
                                {x, y + s, x + s, y}};
    const auto& b = shapes[k % 5];
    in.boxes.insert(in.boxes.end(), {b[0], b[1], b[2], b[3]});
    in.scores.push_back(uniform(rng, 0, 1));
  }
  return in;
}

// Coordinates and scores drawn from a pool of special values; half the boxes
// stay ordinary so that suppression happens.
Input special_values(Rng& rng) {
  const double pool[] = {0, -0.0, 1, 2.5, 5, -3, 1e30, -1e30, kInf, -kInf, kNan, 1e-30};
  auto pick = [&] { return pool[rng() % 12]; };
  Input in;
  for (int k = 0; k < 3000; ++k) {
    if (k % 2 == 0) {
      add_box(in, uniform(rng, 0, 10), uniform(rng, 0, 10), uniform(rng, 0, 6), uniform(rng, 0, 6),
              pick());
    } else {
      in.boxes.insert(in.boxes.end(), {pick(), pick(), pick(), pick()});
      in.scores.push_back(pick());
    }
  }
  return in;
}

// Few distinct scores and many exact duplicates: ties decide what is kept.
Input ties_and_duplicates(Rng& rng) {
  Input in = clustered(rng, 2500, 50, 1, 0);
  for (std::size_t k = 0; k < in.scores.size(); ++k) {
    in.scores[k] = 0.1 * static_cast<double>(rng() % 3);
    if (k % 4 == 1) std::copy_n(in.boxes.begin() + 4 * (k - 1), 4, in.boxes.begin() + 4 * k);
  }
  return in;
}

struct Scene {
  std::string name;
  std::function<Input(Rng&)> make;
};

const std::vector<Scene>& scenes() {
  static const std::vector<Scene> all = {
      {"clustered", [](Rng& r) { return clustered(r, 3000, 60, 1, 0); }},
      {"dense", [](Rng& r) { return clustered(r, 3000, 8, 1, 0); }},
      // Areas below the smallest normal float, and near its largest.
      {"tiny", [](Rng& r) { return clustered(r, 2000, 40, 1e-21, 0); }},
      {"vast", [](Rng& r) { return clustered(r, 2000, 40, 1e16, 0); }},
      // Coordinates whose spacing in float is about the box size.
      {"far-off", [](Rng& r) { return clustered(r, 2000, 40, 1, 3e7); }},
      {"mixed-sizes", mixed_sizes},
      {"huge-boxes", huge_boxes},
      {"degenerate", degenerate},
      {"special-values", special_values},
      {"ties-and-duplicates", ties_and_duplicates},
  };
  return all;
}

const double kThresholds[] = {0.0, -0.0,  1e-30, 0.0009765625, 0.001, 0.3,  0.45,
                              0.7, 0.999, 1.0,   1.0000001,    kInf,  kNan, -0.5};

template <typename T>
void expect_same_as_all_pairs(const Input& in, const std::string& scene) {
  const std::vector<T> boxes(in.boxes.begin(), in.boxes.end());
  const std::span<const T> view(boxes);
  const std::span<const double> scores(in.scores);
  for (const double t : kThresholds) {
    EXPECT_EQ(nms_greedy(view, scores, t), nms_greedy_all_pairs(view, scores, t))
        << scene << ", threshold " << t << ", " << sizeof(T) * 8 << "-bit boxes";
  }
}

}  // namespace

TEST(NmsNeighbourSearch, KeepsWhatTestingEveryPairKeeps) {
  for (const Scene& scene : scenes()) {
    Rng rng(std::hash<std::string>{}(scene.name));
    const Input in = scene.make(rng);
    expect_same_as_all_pairs<float>(in, scene.name);
    expect_same_as_all_pairs<double>(in, scene.name);
  }
}

TEST(NmsNeighbourSearch, SuppressesAcrossSizeClassesAndCells) {
  // A kept box with partners of other size classes (half, double) and corners
  // in neighbouring cells on every side; each overlaps it by IoU 0.5 or more.
  const std::vector<double> boxes = {
      100, 100, 200, 200,  // kept
      100, 100, 150, 200,  // half as wide, IoU 0.5
      60,  60,  200, 200,  // wider, corner below and left, IoU 0.51
      100, 100, 200, 260,  // taller, IoU 0.625
      120, 120, 220, 220,  // shifted, IoU 0.47
      400, 400, 500, 500,  // far away: kept
  };
  const std::vector<double> scores = {0.9, 0.8, 0.7, 0.6, 0.5, 0.4};
  const std::vector<int64_t> expected = {0, 5};
  EXPECT_EQ(nms_greedy(std::span<const double>(boxes), scores, 0.45), expected);
  const std::vector<float> narrow(boxes.begin(), boxes.end());
  EXPECT_EQ(nms_greedy(std::span<const float>(narrow), scores, 0.45), expected);
  EXPECT_EQ(nms_greedy_all_pairs(std::span<const double>(boxes), scores, 0.45), expected);
}
