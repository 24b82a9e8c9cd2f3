// Calibration spread over the processes of a torch.distributed group.
#include <limits>

#include "py/module_state.h"
#include "quantize/quantize.h"

namespace vantle::quantize {
namespace {

bool in_process_group(nb::handle distributed) {
  return nb::cast<bool>(distributed.attr("is_available")()) &&
         nb::cast<bool>(distributed.attr("is_initialized")());
}

}  // namespace

void reduce_across_ranks(nb::dict stats, const nb::list& names) {
  nb::object distributed = nb::module_::import_("torch.distributed");
  if (!in_process_group(distributed)) return;
  // Every rank holds the same model, so the names line up; a module that saw
  // no data on a rank takes part with an empty range (+inf, -inf).
  const double inf = std::numeric_limits<double>::infinity();
  nb::list lows, highs;
  for (nb::handle name : names) {
    if (!stats.contains(name)) {
      lows.append(inf);
      highs.append(-inf);
      continue;
    }
    nb::object entry = stats[name];
    lows.append(entry["min"]);
    highs.append(entry["max"]);
  }
  nb::object torch = py::module_global("torch");
  nb::object low = torch.attr("tensor")(lows, nb::arg("dtype") = torch.attr("float64"));
  nb::object high = torch.attr("tensor")(highs, nb::arg("dtype") = torch.attr("float64"));
  nb::object op = distributed.attr("ReduceOp");
  distributed.attr("all_reduce")(low, nb::arg("op") = op.attr("MIN"));
  distributed.attr("all_reduce")(high, nb::arg("op") = op.attr("MAX"));
  nb::object low_values = low.attr("tolist")();
  nb::object high_values = high.attr("tolist")();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const double min = nb::cast<double>(low_values[nb::int_(i)]);
    const double max = nb::cast<double>(high_values[nb::int_(i)]);
    if (min == inf && max == -inf) continue;  // no rank measured it
    nb::dict entry;
    entry["min"] = min;
    entry["max"] = max;
    stats[names[i]] = entry;
  }
}

}  // namespace vantle::quantize
