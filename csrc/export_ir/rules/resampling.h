// When an upsampling layer rebuilt from the traced output size computes what
// the traced one computed from a scale factor.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>

namespace vantle::export_ir {

namespace nb = nanobind;

// Torch maps output coordinates to input ones by 1/factor when the layer has a
// factor and by in/out when it has a size, so the traced size stands in for
// the factor only where both give the same mapping in every spatial
// dimension. `factor` is one number or one per dimension of `in`; anything
// else (a factor that is not a number, a count that does not match) is false.
bool size_reproduces_factor(nb::handle factor, std::span<const int64_t> in,
                            std::span<const int64_t> out);

// Whether torch itself samples by the output size, whatever the factor: where it
// recomputes the factor from the sizes, and for aligned corners in mode 'bilinear'.
inline bool samples_by_size(bool recompute_scale_factor, bool bilinear, bool align_corners) {
  return recompute_scale_factor || (bilinear && align_corners);
}

}  // namespace vantle::export_ir
