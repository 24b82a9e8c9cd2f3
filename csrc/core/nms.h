// Greedy non-maximum suppression over corner-form boxes.
//
// Boxes are visited in descending score order (NaN scores first, equal scores
// by index); each box not yet suppressed is kept and suppresses every later box
// whose intersection-over-union with it is strictly greater than the
// threshold. The overlap is computed in the boxes' own precision, in the order
// the composed tensor expression evaluates it:
//   inter = max(min(x2i, x2j) - max(x1i, x1j), 0) * max(min(y2i, y2j) - max(y1i, y1j), 0)
//   iou   = inter / max(area_i + area_j - inter, 1e-7)
// with areas (x2 - x1) * (y2 - y1) not clamped, and the threshold rounded to
// that precision first. Any coordinate that is NaN makes the union NaN, so such
// a box neither suppresses nor is suppressed. Results are bit-identical to the
// composed path when built without floating-point contraction.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vantle::core {

// `boxes` holds scores.size() rows of (x1, y1, x2, y2). Returns the indices of
// the kept boxes, best score first. Throws std::invalid_argument when `boxes`
// does not hold four values per score. Tests a kept box only against boxes
// that can overlap it (near-linear for boxes spread over an image).
std::vector<int64_t> nms_greedy(std::span<const float> boxes, std::span<const double> scores,
                                double iou_threshold);
std::vector<int64_t> nms_greedy(std::span<const double> boxes, std::span<const double> scores,
                                double iou_threshold);

// The same result, testing each kept box against every later box: O(N x kept).
// The baseline that the tests and benchmarks hold nms_greedy to.
std::vector<int64_t> nms_greedy_all_pairs(std::span<const float> boxes,
                                          std::span<const double> scores, double iou_threshold);
std::vector<int64_t> nms_greedy_all_pairs(std::span<const double> boxes,
                                          std::span<const double> scores, double iou_threshold);

// Positions 0..n-1 ordered by descending score: NaN first, ties by position.
std::vector<int64_t> descending_score_order(std::span<const double> scores);

}  // namespace vantle::core
