// Greedy suppression that tests each kept box only against the boxes that can
// overlap it by more than the threshold, found through grids of cells.
//
// Why skipping is safe, for a threshold t >= 0 (all in the boxes' precision):
// - A box suppresses another only when the overlap has positive area, so a
//   box whose width or height is not positive, or whose area is zero or not
//   finite, neither suppresses nor is suppressed: it is simply kept.
// - For t >= 2^-10 the computed IoU exceeds t only if the overlap width W
//   exceeds t (1 - 8u) times each box's width (u the unit roundoff; same for
//   heights): the computed union is at least the larger area (1 - 3u), the
//   areas at least width times height (1 - u), and every quantity involved is
//   a normal number because the union is clamped to at least 1e-7. Since W is
//   at most x2a - x1b and x2b - x1a, the partner's corner lies in a window
//   around the kept box, and its sides within a factor 1/t of the kept box's.
// Windows and size limits are evaluated with a relative slack of 2^-10 on t,
// far beyond the rounding above, and every pair they let through is decided
// by the same overlap test as the plain algorithm, so results are identical.
//
// Boxes are grouped into size classes (powers of two of their larger side);
// each class is a grid bucketing its boxes by the cell of their (x1, y1)
// corner.
#pragma once

#include <cstdint>
#include <vector>

#include "core/nms_overlap.h"

namespace vantle::core::nms_detail {

// Kept positions into `sorted`, in increasing order. `threshold` must be >= 0.
template <typename T>
std::vector<int64_t> grid_greedy(const SortedBoxes<T>& sorted, T threshold);

extern template std::vector<int64_t> grid_greedy(const SortedBoxes<float>&, float);
extern template std::vector<int64_t> grid_greedy(const SortedBoxes<double>&, double);

}  // namespace vantle::core::nms_detail
