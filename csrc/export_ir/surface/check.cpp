// check_export: a model and the graph exported from it, run side by side.
//
// The model runs once per sample in one traced pass that keeps every value,
// with its spiking layers starting from rest. The same analysis export makes
// names each graph node's counterpart among the recorded events (the steps of
// a time loop map onto the first step's nodes), so every node gets the
// model's value for it at every step. vantle.bridge.export_check then steps
// the imported graph over the same inputs and compares, node by node.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <string>
#include <vector>

#include "export_ir/assembly/dataflow_graph.h"
#include "export_ir/rules/env.h"
#include "export_ir/rules/module_converter.h"
#include "export_ir/surface/surface.h"
#include "export_ir/trace/traced_pass.h"
#include "py/module_state.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

using py::module_global;

void append(nb::dict recording, nb::handle name, nb::handle value) {
  PyObject* list = PyDict_GetItemWithError(recording.ptr(), name.ptr());
  if (list == nullptr) {
    if (PyErr_Occurred()) throw nb::python_error();
    nb::list fresh;
    recording[name] = fresh;
    list = fresh.ptr();
  }
  if (PyList_Append(list, value.ptr()) < 0) throw nb::python_error();
}

nb::object slot_value(const Event& ev, int32_t slot) {
  const auto index = static_cast<std::size_t>(slot);
  return index < ev.values.size() ? ev.values[index] : nb::none();
}

// What a node event stands for: its output, or every chunk of a split.
nb::object node_value(const Event& ev) {
  if (ev.kind != EventKind::kOp || !ev.op.multi_output) return slot_value(ev, 0);
  nb::list chunks;
  for (const nb::object& value : ev.values) chunks.append(value);
  return nb::tuple(chunks);
}

std::vector<int64_t> sizes_of(nb::handle shape) {
  std::vector<int64_t> sizes;
  for (nb::handle size : nb::borrow<nb::tuple>(checked(PySequence_Tuple(shape.ptr())))) {
    sizes.push_back(nb::cast<int64_t>(size));
  }
  return sizes;
}

std::string text_of(const std::vector<int64_t>& sizes) {
  std::string text = "(";
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(sizes[i]);
  }
  return text + (sizes.size() == 1 ? ",)" : ")");
}

// Samples given in the calling convention of the other kind of spiking model,
// told apart by the shape the graph's Input records for one sample: a model
// that loops over time takes one whole time-major sequence per call, a model
// that keeps its state between calls one time step per call. Says which one
// the model needs.
void refuse_other_convention(nb::handle graph, const BuiltGraph& built, const CallFlow& flow,
                             const Trace& trace) {
  nb::object nodes = graph.attr("nodes");
  for (const auto& [event, name] : built.inputs) {
    const int present = PySequence_Contains(nodes.ptr(), name.ptr());
    if (present < 0) throw nb::python_error();
    if (present == 0) continue;
    nb::object ports = nb::getattr(nodes[name], "input_type", nb::none());
    if (!PyDict_Check(ports.ptr()) || !nb::borrow<nb::dict>(ports).contains("input")) continue;
    const std::vector<int64_t> expected = sizes_of(ports["input"].attr("tolist")());
    std::vector<int64_t> sample = sizes_of(trace.events[event].out_shapes[0]);
    const bool sliced = flow.sliced(event);
    if (sliced && !sample.empty()) sample.erase(sample.begin());
    if (sample == expected) continue;
    const std::string input =
        "the graph's input '" + str_of(name) + "' takes samples of shape " + text_of(expected);
    if (sliced) {
      throw nb::type_error(
          ("check_export: the model steps through time itself, taking one time-major sequence "
           "[steps, batch, ...] per call, and " +
           input +
           ", but the steps it took here have "
           "shape " +
           text_of(sample) +
           ": pass the whole sequence as one sample, "
           "check_export(model, graph, sequence)")
              .c_str());
    }
    if (sample.size() == expected.size() + 1 &&
        std::equal(expected.begin(), expected.end(), sample.begin() + 1)) {
      throw nb::type_error(("check_export: " + input +
                            ", one time step, but a sample here has shape " + text_of(sample) +
                            ", a whole sequence: for a model called once per time step, pass "
                            "one sample per step, check_export(model, graph, *sequence)")
                               .c_str());
    }
  }
}

// What the model computed for the graph's nodes, and the graph's inputs, step by step.
struct Reference {
  nb::dict values;    // node name -> [value per step]
  nb::list steps;     // per step: {input node name: tensor}
  nb::list findings;  // what export reports about the model
};

void add_call(nb::handle graph, const Trace& trace, int32_t call, ModuleConverter& converter,
              ModuleKinds& kinds, const ModulePaths& paths, Reference& reference) {
  CallFlow flow(trace, call, converter, kinds, paths);
  Findings findings;
  const BuiltGraph built = build_dataflow_graph(flow, converter, findings);
  refuse_other_convention(graph, built, flow, trace);
  if (call == 0) {
    for (const Finding& finding : findings.list()) {
      reference.findings.append(nb::str((finding.what + "; " + finding.consequence).c_str()));
    }
  }

  // A model that loops over time itself ran every step in this one call: the
  // graph steps as often, on one time step of a sliced input or on a static
  // input again and again.
  const int64_t step_count = flow.loop().found ? flow.loop().count : 1;
  for (int64_t step = 0; step < step_count; ++step) {
    nb::dict arguments;
    for (const auto& [event, name] : built.inputs) {
      nb::object value = slot_value(trace.events[event], 0);
      nb::object argument = flow.sliced(event) ? nb::object(value[nb::int_(step)]) : value;
      arguments[name] = argument;
      append(reference.values, name, argument);
      // An output the model returns its input as.
      for (const OutputNode& output : built.outputs) {
        if (output.direct && output.source.kind == Source::kInput && output.source.event == event) {
          append(reference.values, output.name, argument);
        }
      }
    }
    reference.steps.append(arguments);
  }

  // An output whose path skips what has no IR form is compared with what the
  // model returned, so the check sees the difference the skip makes: step by
  // step when the model stacked its steps, else the returned value itself.
  const Call& returned = trace.calls[call];
  for (const OutputNode& output : built.outputs) {
    if (output.direct || output.index >= returned.output_values.size()) continue;
    nb::object value = returned.output_values[output.index];
    nb::object shape = value.attr("shape");
    const bool stacked = step_count > 1 && PySequence_Size(shape.ptr()) > 0 &&
                         nb::cast<int64_t>(shape[nb::int_(0)]) == step_count;
    for (int64_t step = 0; step < step_count; ++step) {
      append(reference.values, output.name, stacked ? nb::object(value[nb::int_(step)]) : value);
    }
  }

  for (int32_t event : flow.nodes()) {
    const int32_t first = flow.canonical(event);
    const Event& ev = trace.events[event];
    const nb::object& name = built.names[first - built.base];
    if (name.is_valid()) append(reference.values, name, node_value(ev));
    for (const auto& [entry_event, entry] : built.entries) {
      // The first of two nodes holds the value before its last reshape.
      if (entry_event != first) continue;
      nb::object value = slot_value(ev, 0);
      if (value.is_none()) continue;
      nb::object batch = nb::make_tuple(value.attr("shape")[nb::int_(0)]);
      append(reference.values, entry, value.attr("reshape")(batch + ev.op.between_shape));
    }
    for (const OutputNode& output : built.outputs) {
      if (!output.direct || output.source.kind != Source::kNode || output.source.event != first) {
        continue;
      }
      append(reference.values, output.name,
             ev.kind == EventKind::kOp && ev.op.multi_output ? slot_value(ev, output.source.chunk)
                                                             : slot_value(ev, 0));
    }
  }
}

// A list of time steps given as one sample, which the model took as that many
// arguments and failed on: says how to pass them.
void refuse_listed_steps(nb::handle samples, nb::python_error& failure) {
  nb::object tensor_type = module_global("torch").attr("Tensor");
  Py_ssize_t position = 0;
  for (nb::handle sample : samples) {
    if (PyList_Check(sample.ptr()) && PyList_GET_SIZE(sample.ptr()) >= 2) {
      bool tensors = true;
      for (nb::handle item : sample) tensors = tensors && is_instance(item, tensor_type);
      if (tensors) {
        const std::string count = std::to_string(PyList_GET_SIZE(sample.ptr()));
        raise_from(PyExc_TypeError, failure,
                   "check_export: sample " + std::to_string(position) + " is a list of " + count +
                       " tensors, which the model takes as " + count +
                       " arguments of one call, and that call failed; for one sample per time "
                       "step, unpack them: check_export(model, graph, *steps)");
      }
    }
    ++position;
  }
}

// Meta tensors have shapes but no values, and values are what the check compares.
void refuse_meta_samples(const std::vector<nb::tuple>& calls) {
  nb::object tensor_type = module_global("torch").attr("Tensor");
  for (std::size_t position = 0; position < calls.size(); ++position) {
    for (nb::handle item : calls[position]) {
      if (!is_instance(item, tensor_type) || !py::truthy(item.attr("is_meta"))) continue;
      throw nb::value_error(("check_export: sample " + std::to_string(position) +
                             " holds a meta tensor, which has no values to compare")
                                .c_str());
    }
  }
}

nb::object check_export(nb::handle model, nb::handle graph, nb::args samples, double atol,
                        nb::handle custom_map) {
  if (samples.size() == 0) {
    throw nb::type_error(
        "check_export needs at least one sample: the model's input for one call (one time "
        "step for a model that keeps its state between calls)");
  }
  if (!(atol >= 0.0)) throw nb::value_error("atol must be a number >= 0");
  nb::object ir_graph = nb::borrow(graph);
  if (!is_instance(graph, module_global("ir").attr("Graph"))) {
    ir_graph = module_global("ir").attr("read")(graph);
  }
  std::vector<nb::tuple> calls;
  for (nb::handle sample : samples) calls.push_back(sample_arguments(sample));
  refuse_meta_samples(calls);

  nb::object exporter = module_global("VANTLEExporter")();
  ModuleConverter converter(exporter, custom_map);
  std::unique_ptr<Trace> trace;
  try {
    trace = record_dataflow(exporter, model, calls, true, true, true);
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    refuse_listed_steps(samples, error);
    throw;
  }
  ModuleKinds kinds(converter.env());
  const ModulePaths paths(nb::borrow<nb::list>(trace->named_modules));
  Reference reference;
  for (int32_t call = 0; call < static_cast<int32_t>(trace->calls.size()); ++call) {
    add_call(ir_graph, *trace, call, converter, kinds, paths, reference);
  }
  nb::object check = nb::module_::import_("vantle.bridge.export_check");
  std::string disagreement;
  if (trace->steps_per_call > 0) {
    // Traced one time step at a time: the model as the user runs it, a whole
    // sequence per call, must give what those steps gave.
    std::unique_ptr<Trace> whole =
        record_dataflow(exporter, model, calls, true, true, true, /*single_steps=*/false);
    nb::list per_step, sequences;
    const auto steps_per_call = static_cast<std::size_t>(trace->steps_per_call);
    for (std::size_t call = 0; call < whole->calls.size(); ++call) {
      nb::list steps;
      for (std::size_t t = 0; t < steps_per_call; ++t) {
        const std::size_t index = call * steps_per_call + t;
        if (index >= trace->calls.size()) break;
        steps.append(nb::cast(trace->calls[index].output_values));
      }
      per_step.append(steps);
      sequences.append(nb::cast(whole->calls[call].output_values));
    }
    disagreement = nb::cast<std::string>(
        check.attr("compare_steps_with_sequences")(per_step, sequences, atol));
  }
  return check.attr("compare_with_graph")(ir_graph, reference.values, reference.steps,
                                          reference.findings, atol,
                                          nb::arg("model_error") = disagreement);
}

}  // namespace

void define_check(nb::module_ module) {
  module.def("check_export", &check_export, nb::arg("model").none(), nb::arg("graph").none(),
             nb::arg("samples"), nb::kw_only(), nb::arg("atol") = 1e-5,
             nb::arg("custom_map").none() = nb::none(),
             "Run ``model`` and the graph exported from it side by side and compare them\n"
             "node by node.\n\n"
             "    graph = export_ir(model, x)\n"
             "    report = check_export(model, graph, x)\n"
             "    print(report)           # one row per node: steps, largest difference\n"
             "    assert report.ok, report.first_mismatch\n\n"
             "Each sample is the model's input for one call (a tensor, or a tuple or list of\n"
             "its arguments). A spiking model that keeps its membranes between calls gets\n"
             "one sample per time step; a model that loops over the time steps of its input\n"
             "itself gets the whole sequence. Both sides start from rest. ``graph`` is an\n"
             "``ir.Graph`` or a ``.vx2`` path. Returns an ``ExportCheck``: per node the\n"
             "largest absolute difference over all steps and the number of values beyond\n"
             "``atol``, the first node where model and graph disagree, and what export\n"
             "reports it cannot carry exactly. The model's state and training flags are\n"
             "left as they were.");
}

}  // namespace vantle::export_ir
