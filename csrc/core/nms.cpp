#include "core/nms.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace vantle::core {
namespace {

// Coordinates in score order, one array per column, so the overlap loop runs
// over contiguous memory.
template <typename T>
struct SortedBoxes {
  std::vector<T> x1, y1, x2, y2, area;

  SortedBoxes(std::span<const T> boxes, std::span<const int64_t> order)
      : x1(order.size()), y1(order.size()), x2(order.size()), y2(order.size()), area(order.size()) {
    for (std::size_t k = 0; k < order.size(); ++k) {
      const T* row = boxes.data() + 4 * order[k];
      x1[k] = row[0];
      y1[k] = row[1];
      x2[k] = row[2];
      y2[k] = row[3];
      area[k] = (x2[k] - x1[k]) * (y2[k] - y1[k]);
    }
  }
};

// The clamps of the composed path: a NaN passes through unchanged.
template <typename T>
T at_least(T value, T floor) {
  return value < floor ? floor : value;
}

// Marks every box after `i` that box `i` overlaps by more than `threshold`.
// Boxes already suppressed are recomputed too: marking them again changes
// nothing, and the loop stays branch-free.
template <typename T>
void suppress_after(const SortedBoxes<T>& b, std::size_t i, T threshold,
                    std::vector<unsigned char>& suppressed) {
  const T min_union = static_cast<T>(1e-7);
  const T x1 = b.x1[i], y1 = b.y1[i], x2 = b.x2[i], y2 = b.y2[i], area = b.area[i];
  const std::size_t n = suppressed.size();
  for (std::size_t j = i + 1; j < n; ++j) {
    const T width = at_least(std::min(x2, b.x2[j]) - std::max(x1, b.x1[j]), T(0));
    const T height = at_least(std::min(y2, b.y2[j]) - std::max(y1, b.y1[j]), T(0));
    const T inter = width * height;
    const T iou = inter / at_least(area + b.area[j] - inter, min_union);
    suppressed[j] |= static_cast<unsigned char>(iou > threshold);
  }
}

template <typename T>
std::vector<int64_t> greedy(std::span<const T> boxes, std::span<const double> scores,
                            double iou_threshold) {
  if (boxes.size() != 4 * scores.size()) {
    throw std::invalid_argument("nms_greedy: boxes must hold four values per score");
  }
  const std::vector<int64_t> order = descending_score_order(scores);
  const SortedBoxes<T> sorted(boxes, order);
  // The composed path compares against the threshold in the boxes' precision.
  const T threshold = static_cast<T>(iou_threshold);
  std::vector<unsigned char> suppressed(order.size(), 0);
  std::vector<int64_t> keep;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (suppressed[i] != 0) continue;
    keep.push_back(order[i]);
    suppress_after(sorted, i, threshold, suppressed);
  }
  return keep;
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

}  // namespace vantle::core
