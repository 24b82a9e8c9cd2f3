// Functional operations and their IR forms: which torch functions, tensor
// methods and torch.nn.functional calls on the data path become which node
// (F.relu -> ReLU, torch.cat -> Concat, x.view(B, -1) -> Flatten ...), which
// pass their input on unchanged, and which have no IR form.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "export_ir/trace/trace.h"

namespace vantle::export_ir {

class Env;

// A tensor argument of an operation and what produced it.
struct TensorArg {
  PyObject* tensor;
  Ref ref;
};

// One call of an operation as the rules see it, after it ran.
struct OpCall {
  nb::handle func;
  nb::handle args;    // tuple
  nb::handle kwargs;  // dict or None
  nb::handle result;
  const std::vector<TensorArg>& tensors;  // the tensor arguments, in argument order
};

class OpRules {
 public:
  explicit OpRules(Env& env);

  // Functions whose result does not depend on the values of their arguments
  // (zeros_like, new_zeros ...): their results are constants, not data.
  bool makes_constant(nb::handle func) const;

  // Fills `info` (kind, name, node fields, data operands) for a call that
  // consumed at least one tracked tensor.
  void classify(const OpCall& call, OpInfo& info) const;

 private:
  Env& env_;
  nb::object rules_;     // dict: function -> rule position
  nb::object constant_;  // set of constant-making functions
};

}  // namespace vantle::export_ir
