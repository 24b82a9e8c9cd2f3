#include "export_ir/common/findings.h"

#include <nanobind/nanobind.h>

#include "py/warnings.h"

namespace vantle::export_ir {

namespace nb = nanobind;

void Findings::add(std::string what, std::string consequence) {
  if (!seen_.insert(what).second) return;
  list_.push_back({std::move(what), std::move(consequence)});
}

void Findings::add_all(const Findings& other) {
  for (const Finding& finding : other.list_) add(finding.what, finding.consequence);
}

void Findings::report(bool strict) const {
  if (list_.empty()) return;
  if (strict) {
    std::string message =
        "export_ir(strict=True): the exported graph would not compute what the model "
        "computes:";
    for (const Finding& finding : list_) message += "\n  - " + finding.what;
    throw nb::value_error(message.c_str());
  }
  for (const Finding& finding : list_) {
    py::warn_at_caller(PyExc_UserWarning, finding.what + "; " + finding.consequence);
  }
}

}  // namespace vantle::export_ir
