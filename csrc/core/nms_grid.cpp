#include "core/nms_grid.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace vantle::core::nms_detail {
namespace {

// Relative slack on the threshold in windows and size limits (see the header).
constexpr double kThresholdSlack = 1.0 / 1024;
// Below this threshold windows only require a positive overlap.
constexpr double kSmallestPruningThreshold = 1.0 / 1024;
// Relative slack on sides measured in double, for their rounding.
constexpr double kSideSlack = 1e-9;
// Cells per grid at most, relative to the boxes it holds.
constexpr double kCellsPerBox = 2.0;
// Cell side relative to the largest member side, before narrowing.
constexpr double kCellScale = 0.5;

// Whether a box can take part in a suppression at all (threshold >= 0).
template <typename T>
bool interacts(const Box<T>& b) {
  return b.x1 < b.x2 && b.y1 < b.y2 && b.area > 0 && std::isfinite(b.area);
}

// A box's corners and sides in double, with the threshold factor of its query.
struct Window {
  double x1, y1, x2, y2, width, height;
  double factor;  // t (1 - slack), or 0 where only a positive overlap counts
};

template <typename T>
Window window_of(const Box<T>& b, double factor) {
  const double x1 = b.x1, y1 = b.y1, x2 = b.x2, y2 = b.y2;
  return {x1, y1, x2, y2, x2 - x1, y2 - y1, factor};
}

template <typename T>
struct Entry {
  Box<T> box;
  int64_t position;
};

// Drops the entries in [first, last) at or before `position` (already
// visited), marks and drops those `kept` suppresses, and moves the rest to the
// front. Returns the new end.
template <typename T>
Entry<T>* sweep(Entry<T>* first, Entry<T>* last, const Box<T>& kept, int64_t position, T threshold,
                std::vector<unsigned char>& suppressed) {
  Entry<T>* out = first;
  for (; first != last; ++first) {
    if (first->position <= position) continue;
    if (suppresses(kept, first->box, threshold)) {
      suppressed[static_cast<std::size_t>(first->position)] = 1;
      continue;
    }
    *out++ = *first;
  }
  return out;
}

// The range of member sides along one axis, widened for rounding.
struct SideRange {
  double low = INFINITY, high = 0;

  void add(double side) {
    low = std::min(low, side);
    high = std::max(high, side);
  }
  void widen() {
    low *= 1 - kSideSlack;
    high *= 1 + kSideSlack;
  }

  // Whether a partner side in this range can be within the factor of `side`.
  bool admits(double side, double factor) const {
    return !(high <= factor * side || low * factor >= side);
  }
  // Bounds on the partner's low corner along this axis, for a query spanning
  // [lo, hi] of length `side`: it lies above lo - high + f max(side, high)
  // and below hi - f max(side, low).
  double corner_above(double lo, double side, double factor) const {
    return lo - (high - factor * std::max(side, high));
  }
  double corner_below(double hi, double side, double factor) const {
    return hi - factor * std::max(side, low);
  }
};

// One size class, bucketed by the cell of each box's (x1, y1) corner. Cells
// list boxes in score order and are compacted whenever they are swept, so a
// box is tested until it is suppressed or visited.
template <typename T>
class Grid {
 public:
  Grid(const SortedBoxes<T>& sorted, const std::vector<int64_t>& members, double factor) {
    double min_x = INFINITY, min_y = INFINITY, max_x = -INFINITY, max_y = -INFINITY;
    for (const int64_t k : members) {
      const Window w = window_of(box_at(sorted, static_cast<std::size_t>(k)), 0);
      min_x = std::min(min_x, w.x1);
      max_x = std::max(max_x, w.x1);
      min_y = std::min(min_y, w.y1);
      max_y = std::max(max_y, w.y1);
      widths_.add(w.width);
      heights_.add(w.height);
    }
    widths_.widen();
    heights_.widen();
    origin_x_ = min_x;
    origin_y_ = min_y;
    size_cells(max_x - min_x, max_y - min_y, static_cast<double>(members.size()), factor);
    fill(sorted, members);
  }

  // Sweeps every cell that can hold a box that `kept` suppresses.
  void suppress_around(const Box<T>& kept, const Window& q, int64_t position, T threshold,
                       std::vector<unsigned char>& suppressed) {
    if (!widths_.admits(q.width, q.factor) || !heights_.admits(q.height, q.factor)) return;
    // Each bound is one rounding of a value on the safe side of the true
    // bound, and cell indices are monotone, so no partner's cell is missed.
    const int64_t c0 = column(widths_.corner_above(q.x1, q.width, q.factor));
    const int64_t c1 = column(widths_.corner_below(q.x2, q.width, q.factor));
    const int64_t r0 = row(heights_.corner_above(q.y1, q.height, q.factor));
    const int64_t r1 = row(heights_.corner_below(q.y2, q.height, q.factor));
    for (int64_t r = r0; r <= r1; ++r) {
      for (int64_t c = c0; c <= c1; ++c) {
        const auto cell = static_cast<std::size_t>(r * columns_ + c);
        Entry<T>* first = entries_.data() + begin_[cell];
        Entry<T>* last = entries_.data() + end_[cell];
        if (first == last) continue;
        end_[cell] = sweep(first, last, kept, position, threshold, suppressed) - entries_.data();
      }
    }
  }

 private:
  // Square cells about half as wide as a window (which narrows as the
  // threshold grows), widened until there are at most kCellsPerBox per box; a
  // spread that does not fit in a double gets a single cell.
  void size_cells(double spread_x, double spread_y, double count, double factor) {
    if (!std::isfinite(spread_x) || !std::isfinite(spread_y)) return;
    const double limit = std::max(16.0, kCellsPerBox * count);
    const double narrowing = std::clamp(1 - factor, kCellScale, 1.0);
    double side = std::max(widths_.high, heights_.high) * narrowing * kCellScale;
    auto cells = [&](double spread) { return std::floor(spread / side) + 1; };
    while (!(cells(spread_x) * cells(spread_y) <= limit)) side *= 2;
    columns_ = static_cast<int64_t>(cells(spread_x));
    rows_ = static_cast<int64_t>(cells(spread_y));
    inverse_side_ = 1 / side;
  }

  // floor((v - origin) / side), clamped to the grid: monotone in v.
  static int64_t index(double v, double origin, double inverse_side, int64_t count) {
    const double scaled = (v - origin) * inverse_side;
    if (!(scaled >= 0)) return 0;
    if (scaled >= static_cast<double>(count)) return count - 1;
    return static_cast<int64_t>(scaled);
  }
  int64_t column(double x) const { return index(x, origin_x_, inverse_side_, columns_); }
  int64_t row(double y) const { return index(y, origin_y_, inverse_side_, rows_); }

  // Counting sort of the members by cell, keeping score order within a cell.
  void fill(const SortedBoxes<T>& sorted, const std::vector<int64_t>& members) {
    const auto cell_count = static_cast<std::size_t>(columns_ * rows_);
    std::vector<int64_t> cell_of(members.size());
    begin_.assign(cell_count + 1, 0);
    for (std::size_t m = 0; m < members.size(); ++m) {
      const auto i = static_cast<std::size_t>(members[m]);
      cell_of[m] = row(static_cast<double>(sorted.y1[i])) * columns_ +
                   column(static_cast<double>(sorted.x1[i]));
      ++begin_[static_cast<std::size_t>(cell_of[m]) + 1];
    }
    for (std::size_t c = 0; c < cell_count; ++c) begin_[c + 1] += begin_[c];
    end_.assign(begin_.begin(), begin_.end() - 1);
    entries_.resize(members.size());
    for (std::size_t m = 0; m < members.size(); ++m) {
      const auto i = static_cast<std::size_t>(members[m]);
      int64_t& slot = end_[static_cast<std::size_t>(cell_of[m])];
      entries_[static_cast<std::size_t>(slot++)] = {box_at(sorted, i), members[m]};
    }
  }

  SideRange widths_, heights_;
  double origin_x_ = 0, origin_y_ = 0, inverse_side_ = 0;
  int64_t columns_ = 1, rows_ = 1;
  std::vector<int64_t> begin_, end_;
  std::vector<Entry<T>> entries_;
};

// The interacting boxes, one grid per power of two of their larger side.
template <typename T>
class SpatialIndex {
 public:
  SpatialIndex(const SortedBoxes<T>& sorted, T threshold) : factor_(pruning_factor(threshold)) {
    std::vector<std::vector<int64_t>> classes;
    for (std::size_t k = 0; k < sorted.size(); ++k) {
      const Box<T> b = box_at(sorted, k);
      if (!interacts(b)) continue;
      const Window w = window_of(b, 0);
      int level = 0;
      std::frexp(std::max(w.width, w.height), &level);
      // Sides of double precision span about 2100 binary orders of magnitude.
      const auto slot = static_cast<std::size_t>(level + 1100);
      if (classes.size() <= slot) classes.resize(slot + 1);
      classes[slot].push_back(static_cast<int64_t>(k));
    }
    for (const std::vector<int64_t>& members : classes) {
      if (!members.empty()) grids_.emplace_back(sorted, members, factor_);
    }
  }

  void suppress_around(const Box<T>& kept, int64_t position, T threshold,
                       std::vector<unsigned char>& suppressed) {
    const Window q = window_of(kept, factor_);
    for (Grid<T>& grid : grids_) grid.suppress_around(kept, q, position, threshold, suppressed);
  }

 private:
  static double pruning_factor(T threshold) {
    const double t = threshold;
    return t >= kSmallestPruningThreshold ? t * (1 - kThresholdSlack) : 0.0;
  }

  double factor_;
  std::vector<Grid<T>> grids_;
};

}  // namespace

template <typename T>
std::vector<int64_t> grid_greedy(const SortedBoxes<T>& sorted, T threshold) {
  SpatialIndex<T> index(sorted, threshold);
  std::vector<unsigned char> suppressed(sorted.size(), 0);
  std::vector<int64_t> keep;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (suppressed[i] != 0) continue;
    keep.push_back(static_cast<int64_t>(i));
    const Box<T> kept = box_at(sorted, i);
    if (interacts(kept))
      index.suppress_around(kept, static_cast<int64_t>(i), threshold, suppressed);
  }
  return keep;
}

template std::vector<int64_t> grid_greedy(const SortedBoxes<float>&, float);
template std::vector<int64_t> grid_greedy(const SortedBoxes<double>&, double);

}  // namespace vantle::core::nms_detail
