// Pieces shared by the suppression algorithms: boxes laid out in score order
// and the one overlap test both apply, so they agree bit for bit.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace vantle::core::nms_detail {

// Coordinates in score order, one array per column, so overlap loops run over
// contiguous memory.
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

  std::size_t size() const { return x1.size(); }
};

// The clamps of the composed path: a NaN passes through unchanged.
template <typename T>
T at_least(T value, T floor) {
  return value < floor ? floor : value;
}

// One box's corners and area, as the overlap test reads them.
template <typename T>
struct Box {
  T x1, y1, x2, y2, area;
};

template <typename T>
Box<T> box_at(const SortedBoxes<T>& b, std::size_t k) {
  return {b.x1[k], b.y1[k], b.x2[k], b.y2[k], b.area[k]};
}

// Whether the better box `a` suppresses `b`: IoU strictly above `threshold`,
// evaluated as the composed tensor expression does (a's values first).
template <typename T>
bool suppresses(const Box<T>& a, const Box<T>& b, T threshold) {
  const T min_union = static_cast<T>(1e-7);
  const T width = at_least(std::min(a.x2, b.x2) - std::max(a.x1, b.x1), T(0));
  const T height = at_least(std::min(a.y2, b.y2) - std::max(a.y1, b.y1), T(0));
  const T inter = width * height;
  const T iou = inter / at_least(a.area + b.area - inter, min_union);
  return iou > threshold;
}

}  // namespace vantle::core::nms_detail
