// spikingjelly's multi-step mode, traced one time step at a time.
//
// In multi-step mode a spikingjelly layer takes a whole time-major sequence
// [T, batch, ...] per call and steps through it inside its own code, where no
// hook sees the steps. The IR's graph is one time step. So the traced pass
// switches such layers to single-step mode (their own setting, which gives the
// same values step for step) and calls the model once per time step; the
// containers that only run their layers over the sequence (SeqToANNContainer,
// MultiStepContainer) run them in turn instead. Everything is put back.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace vantle::export_ir {

namespace nb = nanobind;

class SingleStepping {
 public:
  explicit SingleStepping(const std::vector<nb::object>& modules);
  ~SingleStepping();
  SingleStepping(const SingleStepping&) = delete;
  SingleStepping& operator=(const SingleStepping&) = delete;

  // Some layer runs in multi-step mode, and every such layer can run single steps.
  bool applies() const { return possible_ && (!layers_.empty() || !containers_.empty()); }

  void switch_on();
  void undo();

 private:
  std::vector<nb::object> layers_;      // in multi-step mode, with a single-step mode
  std::vector<nb::object> containers_;  // run their layers in turn while switched
  bool possible_ = true;
  bool on_ = false;
};

// The calls of one time step each, from calls whose tensors are time-major
// sequences: step t takes tensor[t] of every tensor argument. `all_steps`
// false: the first step of the first call alone. Empty when the tensors are
// no sequences, sequences of different lengths, or not dense (sparse).
std::vector<nb::tuple> time_step_calls(const std::vector<nb::tuple>& calls, bool all_steps);

}  // namespace vantle::export_ir
