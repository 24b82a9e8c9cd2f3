#include "core/nms.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "core/nms_grid.h"
#include "core/nms_overlap.h"

namespace vantle::core {
namespace {

using nms_detail::Box;
using nms_detail::box_at;
using nms_detail::SortedBoxes;

// Marks every box after `i` that box `i` suppresses. Boxes already suppressed
// are tested too: marking them again changes nothing, and the loop stays
// branch-free.
template <typename T>
void suppress_after(const SortedBoxes<T>& b, std::size_t i, T threshold,
                    std::vector<unsigned char>& suppressed) {
  const Box<T> kept = box_at(b, i);
  for (std::size_t j = i + 1; j < b.size(); ++j) {
    suppressed[j] |=
        static_cast<unsigned char>(nms_detail::suppresses(kept, box_at(b, j), threshold));
  }
}

// Kept positions into `sorted`, testing each kept box against all later ones.
template <typename T>
std::vector<int64_t> all_pairs_greedy(const SortedBoxes<T>& sorted, T threshold) {
  std::vector<unsigned char> suppressed(sorted.size(), 0);
  std::vector<int64_t> keep;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (suppressed[i] != 0) continue;
    keep.push_back(static_cast<int64_t>(i));
    suppress_after(sorted, i, threshold, suppressed);
  }
  return keep;
}

template <typename T>
void check_shapes(std::span<const T> boxes, std::span<const double> scores) {
  if (boxes.size() != 4 * scores.size()) {
    throw std::invalid_argument("nms_greedy: boxes must hold four values per score");
  }
}

std::vector<int64_t> to_indices(const std::vector<int64_t>& positions,
                                const std::vector<int64_t>& order) {
  std::vector<int64_t> indices(positions.size());
  for (std::size_t k = 0; k < positions.size(); ++k) {
    indices[k] = order[static_cast<std::size_t>(positions[k])];
  }
  return indices;
}

template <typename T>
std::vector<int64_t> greedy(std::span<const T> boxes, std::span<const double> scores,
                            double iou_threshold) {
  check_shapes(boxes, scores);
  std::vector<int64_t> order = descending_score_order(scores);
  // The composed path compares against the threshold in the boxes' precision.
  const T threshold = static_cast<T>(iou_threshold);
  // No IoU, NaN included, is greater than NaN: nothing is suppressed.
  if (std::isnan(threshold)) return order;
  const SortedBoxes<T> sorted(boxes, order);
  // Below zero even disjoint boxes suppress each other, so every pair counts.
  if (threshold < 0) return to_indices(all_pairs_greedy(sorted, threshold), order);
  return to_indices(nms_detail::grid_greedy(sorted, threshold), order);
}

template <typename T>
std::vector<int64_t> greedy_all_pairs(std::span<const T> boxes, std::span<const double> scores,
                                      double iou_threshold) {
  check_shapes(boxes, scores);
  const std::vector<int64_t> order = descending_score_order(scores);
  const SortedBoxes<T> sorted(boxes, order);
  return to_indices(all_pairs_greedy(sorted, static_cast<T>(iou_threshold)), order);
}

}  // namespace

std::vector<int64_t> descending_score_order(std::span<const double> scores) {
  std::vector<int64_t> order(scores.size());
  std::iota(order.begin(), order.end(), int64_t{0});
  std::stable_sort(order.begin(), order.end(), [scores](int64_t a, int64_t b) {
    const double sa = scores[a], sb = scores[b];
    if (std::isnan(sa)) return !std::isnan(sb);
    return sa > sb;
  });
  return order;
}

std::vector<int64_t> nms_greedy(std::span<const float> boxes, std::span<const double> scores,
                                double iou_threshold) {
  return greedy(boxes, scores, iou_threshold);
}

std::vector<int64_t> nms_greedy(std::span<const double> boxes, std::span<const double> scores,
                                double iou_threshold) {
  return greedy(boxes, scores, iou_threshold);
}

std::vector<int64_t> nms_greedy_all_pairs(std::span<const float> boxes,
                                          std::span<const double> scores, double iou_threshold) {
  return greedy_all_pairs(boxes, scores, iou_threshold);
}

std::vector<int64_t> nms_greedy_all_pairs(std::span<const double> boxes,
                                          std::span<const double> scores, double iou_threshold) {
  return greedy_all_pairs(boxes, scores, iou_threshold);
}

}  // namespace vantle::core
