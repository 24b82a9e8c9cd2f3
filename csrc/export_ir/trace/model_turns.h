// Traces of one model from several threads take turns.
//
// A trace switches the model's modules to evaluation mode, replaces buffer
// bindings and hooks every module until it is done; two traces of the same
// modules at once would save each other's temporary state as the model's own
// and record each other's calls. A ModelTurn holds the modules of one model
// for the calling thread (modules shared between models included) and waits,
// with the GIL released, while another thread holds any of them. The same
// thread may take a turn again (an export from inside a converter).
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace vantle::export_ir {

namespace nb = nanobind;

class ModelTurn {
 public:
  explicit ModelTurn(const std::vector<nb::object>& modules);
  ~ModelTurn();
  ModelTurn(const ModelTurn&) = delete;
  ModelTurn& operator=(const ModelTurn&) = delete;

 private:
  std::vector<PyObject*> modules_;
};

}  // namespace vantle::export_ir
