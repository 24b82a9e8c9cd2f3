#include "export_ir/trace/recorder.h"

#include <frameobject.h>

#include <string>

#include "export_ir/rules/env.h"
#include "export_ir/trace/tensor_shape.h"
#include "py/arg_check.h"
#include "py/class_factory.h"
#include "py/module_state.h"

namespace vantle::export_ir {
namespace {

// The recorder whose mode is active on this thread; exports may nest (a model
// that exports a part of itself), so each run remembers the one it replaced.
thread_local Recorder* active_recorder = nullptr;

constexpr const char* kCapsuleName = "vantle.export_ir.recorder";

Recorder* recorder_of(PyObject* state) {
  auto* slot = static_cast<std::shared_ptr<Recorder*>*>(PyCapsule_GetPointer(state, kCapsuleName));
  return slot == nullptr ? nullptr : **slot;
}

// A hook's C entry point: checks the argument count, then hands the three
// arguments to the recorder (nothing when the recorder is gone).
template <void (Recorder::*Method)(nb::handle, nb::handle, nb::handle)>
PyObject* hook_entry(PyObject* state, PyObject* const* args, Py_ssize_t count) {
  if (count != 3) {
    PyErr_Format(PyExc_TypeError, "trace hook takes 3 positional arguments (%zd given)", count);
    return nullptr;
  }
  Recorder* recorder = recorder_of(state);
  if (recorder == nullptr || !recorder->on_own_thread()) Py_RETURN_NONE;
  return none_or_error([&] { (recorder->*Method)(args[0], args[1], args[2]); });
}

// pre_hook(module, args, kwargs), registered with kwargs so keyword tensors count too;
// post_hook(module, args, output).
constexpr auto pre_hook = &hook_entry<&Recorder::before_call>;
constexpr auto post_hook = &hook_entry<&Recorder::after_call>;

PyMethodDef pre_hook_definition = {
    "trace_pre_hook", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pre_hook)),
    METH_FASTCALL, "Records a module call starting, for the export trace."};
PyMethodDef post_hook_definition = {
    "trace_hook", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(post_hook)),
    METH_FASTCALL, "Records a module call returning, for the export trace."};

void release_slot(PyObject* capsule) {
  delete static_cast<std::shared_ptr<Recorder*>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

nb::object make_hook(PyMethodDef* definition, const std::shared_ptr<Recorder*>& self) {
  auto* slot = new std::shared_ptr<Recorder*>(self);
  PyObject* capsule = PyCapsule_New(slot, kCapsuleName, &release_slot);
  if (capsule == nullptr) {
    delete slot;
    throw nb::python_error();
  }
  nb::object state = nb::steal(capsule);
  return checked(PyCFunction_New(definition, state.ptr()));
}

// func(*args, **kwargs)
nb::object call_through(nb::handle func, nb::handle args, nb::handle kwargs) {
  PyObject* keywords = PyDict_Check(kwargs.ptr()) ? kwargs.ptr() : nullptr;
  nb::object positional = PyTuple_Check(args.ptr()) ? nb::borrow<nb::object>(args)
                                                    : checked(PySequence_Tuple(args.ptr()));
  return checked(PyObject_Call(func.ptr(), positional.ptr(), keywords));
}

// The mode's __torch_function__: records through the active recorder.
nb::object trace_mode_function(nb::handle, nb::handle func, nb::handle, nb::handle args,
                               nb::handle kwargs) {
  Recorder* recorder = active_recorder;
  if (recorder == nullptr) return call_through(func, args, kwargs);
  return recorder->on_function(func, args, kwargs);
}

}  // namespace

// --- ModeStack -------------------------------------------------------------------

ModeStack::ModeStack(nb::handle torch) {
  nb::object c = torch.attr("_C");
  push_ = c.attr("_push_on_torch_function_stack");
  pop_ = c.attr("_pop_torch_function_stack");
  length_ = c.attr("_len_torch_function_stack");
  at_ = c.attr("_get_function_stack_at");
}

void ModeStack::push(nb::handle mode) const {
  checked(PyObject_CallOneArg(push_.ptr(), mode.ptr()));
}

bool ModeStack::pop_if_top(nb::handle mode) const {
  // Only called while `mode` is on the stack, so the stack is not empty. Ours is on top but for a
  // mode the model pushed itself: pop, and put that back.
  nb::object top = checked(PyObject_CallNoArgs(pop_.ptr()));
  if (top.is(mode)) return true;
  push(top);
  return false;
}

void ModeStack::remove(nb::handle mode) const {
  for (;;) {
    const auto length = nb::cast<Py_ssize_t>(checked(PyObject_CallNoArgs(length_.ptr())));
    if (length == 0) return;
    nb::object top = checked(PyObject_CallNoArgs(pop_.ptr()));
    if (top.is(mode)) return;
  }
}

// --- Recorder --------------------------------------------------------------------

Recorder::Recorder(Trace& trace, Env& env, LeafTest is_leaf)
    : trace_(trace),
      env_(env),
      is_leaf_(std::move(is_leaf)),
      rules_(env),
      modes_(env.torch()),
      tensor_type_(nb::borrow(env.tensor_type())),
      sequential_type_(reinterpret_cast<PyTypeObject*>(env.nn().attr("Sequential").ptr())),
      self_(std::make_shared<Recorder*>(this)),
      tags_(trace.events.capacity()) {
  mode_ = py::module_global("_TraceMode")();
  pre_hook_ = make_hook(&pre_hook_definition, self_);
  post_hook_ = make_hook(&post_hook_definition, self_);
  nb::object torch_file = optional_attr(env.torch(), "__file__");
  if (PyUnicode_Check(torch_file.ptr())) {
    const std::string path = str_of(torch_file);
    torch_dir_ = path.substr(0, path.rfind('/') + 1);
  }
}

Recorder::~Recorder() {
  *self_ = nullptr;  // hooks that outlive the trace do nothing
}

bool Recorder::is_tensor(PyObject* obj) const {
  return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(tensor_type_.ptr()));
}

Ref Recorder::ref_of(PyObject* tensor) const {
  return tags_.find(tensor);
}

void Recorder::tag(PyObject* tensor, Ref ref) {
  tags_.set(tensor, ref);
}

void Recorder::collect(nb::handle value, std::vector<PyObject*>& tensors) const {
  if (!value.is_valid()) return;
  if (is_tensor(value.ptr())) {
    tensors.push_back(value.ptr());
    return;
  }
  if (PyTuple_Check(value.ptr()) || PyList_Check(value.ptr())) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(value.ptr());
    PyObject** items = PySequence_Fast_ITEMS(value.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (is_tensor(items[i])) tensors.push_back(items[i]);
    }
  }
}

nb::object Recorder::shape_without_batch(PyObject* tensor) const {
  return export_ir::shape_without_batch(tensor);
}

nb::object Recorder::shape_of(PyObject* tensor, Ref ref) const {
  // What produced the tensor recorded its shape already.
  if (ref.tracked()) {
    const Event& producer = trace_.events[ref.event];
    if (static_cast<std::size_t>(ref.slot) < producer.out_shapes.size() &&
        !producer.out_shapes[ref.slot].is_none()) {
      return producer.out_shapes[ref.slot];
    }
  }
  return shape_without_batch(tensor);
}

void Recorder::write_shapes(nb::handle module, nb::handle args, nb::handle output,
                            const Event* event, PyObject* first_recorded) {
  if (!input_table_.is_valid()) return;
  if (PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) > 0) {
    PyObject* first = PyTuple_GET_ITEM(args.ptr(), 0);
    if (is_tensor(first)) {
      // The recorded call's first tensor argument is this one when it came first.
      const bool known = event != nullptr && first_recorded == first;
      if (PyDict_SetItem(input_table_.ptr(), module.ptr(),
                         known ? event->in_shape.ptr() : shape_without_batch(first).ptr()) < 0) {
        throw nb::python_error();
      }
    }
  }
  nb::handle result = output;
  if (PyTuple_Check(result.ptr())) {
    if (PyTuple_GET_SIZE(result.ptr()) == 0) return;
    result = PyTuple_GET_ITEM(result.ptr(), 0);
  }
  if (!is_tensor(result.ptr())) return;
  const bool known = event != nullptr && !PyList_Check(output.ptr()) &&
                     !event->out_shapes.empty() && !event->out_shapes[0].is_none();
  if (PyDict_SetItem(output_table_.ptr(), module.ptr(),
                     known ? event->out_shapes[0].ptr() : shape_without_batch(result.ptr()).ptr()) <
      0) {
    throw nb::python_error();
  }
}

nb::object Recorder::detached_copy(PyObject* tensor) const {
  nb::handle value = tensor;
  return value.attr("detach")().attr("clone")();
}

void Recorder::record_outputs(Event& event, int32_t index, nb::handle output, bool claim) {
  auto record_slot = [&](PyObject* item, int32_t slot) {
    if (!is_tensor(item)) {
      event.out_shapes.push_back(nb::none());
      if (claim) event.inner.push_back(Ref{});
      if (trace_.keep_values) event.values.push_back(nb::none());
      return;
    }
    event.out_shapes.push_back(shape_without_batch(item));
    if (claim) event.inner.push_back(ref_of(item));
    if (trace_.keep_values) event.values.push_back(detached_copy(item));
    tag(item, Ref{index, slot});
  };
  if (PyTuple_Check(output.ptr()) || PyList_Check(output.ptr())) {
    nb::object items = nb::borrow(output);  // keep the sequence alive while tagging
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
      record_slot(PySequence_Fast_GET_ITEM(items.ptr(), i), static_cast<int32_t>(i));
    }
  } else {
    record_slot(output.ptr(), 0);
  }
}

void Recorder::suspend() {
  if (mode_on_ && modes_.pop_if_top(mode_)) mode_on_ = false;
}

void Recorder::resume() {
  if (!mode_on_) {
    modes_.push(mode_);
    mode_on_ = true;
  }
}

void Recorder::locate(OpInfo& info) const {
  // The innermost frame outside torch is the model's line that called the operation.
  PyFrameObject* frame = PyEval_GetFrame();
  nb::object current = frame == nullptr ? nb::object() : nb::borrow((PyObject*)frame);
  while (current.is_valid()) {
    auto* f = reinterpret_cast<PyFrameObject*>(current.ptr());
    nb::object code = nb::steal((PyObject*)PyFrame_GetCode(f));
    nb::object file = nb::borrow(reinterpret_cast<PyCodeObject*>(code.ptr())->co_filename);
    const bool library = !torch_dir_.empty() && PyUnicode_Check(file.ptr()) &&
                         str_of(file).rfind(torch_dir_, 0) == 0;
    if (!library) {
      info.code = code;
      info.line = PyFrame_GetLineNumber(f);
      return;
    }
    PyFrameObject* back = PyFrame_GetBack(f);
    current = back == nullptr ? nb::object() : nb::steal((PyObject*)back);
  }
}

namespace {

// Marks the recorder busy for one hook body.
class Busy {
 public:
  explicit Busy(bool& flag) : flag_(flag), before_(flag) { flag_ = true; }
  ~Busy() { flag_ = before_; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  bool& flag_;
  bool before_;
};

}  // namespace

Event Recorder::module_event(nb::handle module, nb::handle args, nb::handle kwargs,
                             PyObject*& first) {
  Event event;
  event.kind = EventKind::kModule;
  event.parent = stack_.empty() ? -1 : stack_.back().event;
  event.call = call_;
  event.target = nb::borrow(module);
  std::vector<PyObject*>& tensors = scratch_;
  tensors.clear();
  if (PyTuple_Check(args.ptr())) {
    for (nb::handle arg : nb::borrow<nb::tuple>(args)) collect(arg, tensors);
  }
  if (kwargs.is_valid() && PyDict_Check(kwargs.ptr())) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs.ptr(), &position, &key, &value)) collect(value, tensors);
  }
  for (PyObject* tensor : tensors) event.inputs.push_back(ref_of(tensor));
  first = tensors.empty() ? nullptr : tensors.front();
  event.in_shape = first == nullptr ? nb::none() : shape_of(first, event.inputs.front());
  return event;
}

void Recorder::before_call(nb::handle module, nb::handle args, nb::handle kwargs) {
  if (leaf_ != nullptr) {
    if (module.ptr() == leaf_) ++leaf_depth_;
    return;
  }
  Busy busy(busy_);
  const bool was_on = mode_on_;
  suspend();
  PyObject* first = nullptr;
  Event event = module_event(module, args, kwargs, first);
  event.leaf = is_leaf_(module);
  const bool leaf = event.leaf;
  const auto index = static_cast<int32_t>(trace_.events.size());
  trace_.events.push_back(std::move(event));
  stack_.push_back({index, module.ptr(), first, was_on});
  if (leaf) {
    leaf_ = module.ptr();
    leaf_depth_ = 0;
    return;  // the interior runs without the mode
  }
  // A plain Sequential only calls its children: it has no operations to record.
  if (Py_TYPE(module.ptr()) != sequential_type_) resume();
}

void Recorder::after_call(nb::handle module, nb::handle args, nb::handle output) {
  Busy busy(busy_);
  if (leaf_ != nullptr) {
    if (module.ptr() != leaf_ || leaf_depth_ > 0) {
      if (module.ptr() == leaf_) --leaf_depth_;
      write_shapes(module, args, output, nullptr, nullptr);
      return;
    }
    leaf_ = nullptr;
  }
  const bool was_on = mode_on_;
  suspend();
  const bool announced = !stack_.empty() && stack_.back().module == module.ptr();
  if (!announced && quiet_.count(module.ptr()) > 0) {
    // A leaf without pre-hook: its call is recorded now that it returned.
    // Under the mode its interior was recorded too, which the trace must not keep.
    missed_ = missed_ || was_on;
    PyObject* first = nullptr;
    Event event = module_event(module, args, nb::handle(), first);
    event.leaf = true;
    event.finished = true;
    const auto index = static_cast<int32_t>(trace_.events.size());
    trace_.events.push_back(std::move(event));
    record_outputs(trace_.events.back(), index, output, true);
    trace_.events.back().end = index + 1;
    write_shapes(module, args, output, &trace_.events.back(), first);
    if (was_on) resume();
    return;
  }
  // Calls that raised inside a caught exception never returned: drop them.
  while (!stack_.empty() && stack_.back().module != module.ptr()) stack_.pop_back();
  if (stack_.empty()) {
    write_shapes(module, args, output, nullptr, nullptr);
    if (was_on) resume();
    return;
  }
  const Frame frame = stack_.back();
  stack_.pop_back();
  Event& event = trace_.events[frame.event];
  event.finished = true;
  record_outputs(event, frame.event, output, true);
  event.end = static_cast<int32_t>(trace_.events.size());
  write_shapes(module, args, output, &trace_.events[frame.event], frame.first);
  if (frame.mode_was_on) resume();  // back to the caller's state
}

nb::object Recorder::on_function(nb::handle func, nb::handle args, nb::handle kwargs) {
  if (busy_) return call_through(func, args, kwargs);
  std::vector<PyObject*> tensors;
  if (PyTuple_Check(args.ptr())) {
    for (nb::handle arg : nb::borrow<nb::tuple>(args)) collect(arg, tensors);
  }
  if (PyDict_Check(kwargs.ptr())) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs.ptr(), &position, &key, &value)) collect(value, tensors);
  }
  std::vector<TensorArg> arguments;
  bool on_path = false;
  for (PyObject* tensor : tensors) {
    const Ref ref = ref_of(tensor);
    on_path = on_path || ref.tracked();
    arguments.push_back({tensor, ref});
  }
  if (!on_path || rules_.makes_constant(func)) return call_through(func, args, kwargs);

  // Keep the arguments alive: an in-place call may rebind what they hold.
  nb::object held_args = nb::borrow(args);
  nb::object held_kwargs = nb::borrow(kwargs);
  nb::object result = call_through(func, args, kwargs);
  const bool writes = func.is(env_.tensor_type().attr("__setitem__"));
  std::vector<PyObject*> produced;
  collect(result, produced);
  if (produced.empty() && !writes) return result;

  Event event;
  event.kind = EventKind::kOp;
  event.parent = stack_.empty() ? -1 : stack_.back().event;
  event.call = call_;
  event.target = nb::borrow(func);
  for (const TensorArg& argument : arguments) event.inputs.push_back(argument.ref);
  event.in_shape = shape_of(arguments.front().tensor, arguments.front().ref);
  OpCall call{func, args, kwargs, result, arguments};
  if (writes) {
    // x[...] = y changes data the graph already holds: no IR form.
    event.op.name = "setitem";
    event.op.kind = OpKind::kUnsupported;
    event.op.reason = "writes into the data, which has no IR form";
    // Skipped, the graph keeps the data written into (or written, when only that is tracked).
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      if (arguments[i].ref.tracked()) {
        event.op.operands = {static_cast<int32_t>(i)};
        break;
      }
    }
  } else {
    rules_.classify(call, event.op);
  }
  locate(event.op);
  const auto index = static_cast<int32_t>(trace_.events.size());
  trace_.events.push_back(std::move(event));
  if (writes) {
    // The written tensor now holds what the write made of it.
    if (!arguments.empty()) tag(arguments.front().tensor, Ref{index, 0});
    trace_.events.back().out_shapes.push_back(trace_.events.back().in_shape);
    return result;
  }
  record_outputs(trace_.events.back(), index, result, false);
  return result;
}

nb::object Recorder::run(nb::handle model, nb::handle args) {
  model_ = model;
  Call call;
  call.begin = static_cast<int32_t>(trace_.events.size());
  std::vector<PyObject*> tensors;
  for (nb::handle arg : nb::borrow<nb::tuple>(args)) {
    if (!is_tensor(arg.ptr())) continue;
    Event input;
    input.kind = EventKind::kInput;
    input.call = call_;
    input.target = nb::none();
    input.input_index = static_cast<int32_t>(call.inputs.size());
    input.out_shapes.push_back(shape_without_batch(arg.ptr()));
    if (trace_.keep_values) input.values.push_back(detached_copy(arg.ptr()));
    const auto index = static_cast<int32_t>(trace_.events.size());
    call.inputs.push_back(index);
    call.input_shapes.push_back(checked(PySequence_Tuple(arg.attr("shape").ptr())));
    trace_.events.push_back(std::move(input));
    tag(arg.ptr(), Ref{index, 0});
  }

  outer_ = active_recorder;
  active_recorder = this;
  nb::object output;
  try {
    if (in_turn_.empty()) {
      resume();
      output = checked(PyObject_Call(model.ptr(), args.ptr(), nullptr));
    } else {
      output = call_children(model, args);
    }
  } catch (...) {
    if (mode_on_) {
      // Modes left above ours by the failed call go with it.
      modes_.remove(mode_);
      mode_on_ = false;
    }
    active_recorder = outer_;
    leaf_ = nullptr;
    stack_.clear();
    throw;
  }
  suspend();
  active_recorder = outer_;
  leaf_ = nullptr;
  stack_.clear();

  collect_returned(output, OutputPlace{}, 0, call);
  call.end = static_cast<int32_t>(trace_.events.size());
  trace_.calls.push_back(std::move(call));
  ++call_;
  return output;
}

namespace {

// Values that hold no tensor and are no container: constants of the model's code.
bool plain_value(nb::handle value) {
  return value.is_none() || PyBool_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
         PyFloat_Check(value.ptr()) || PyComplex_Check(value.ptr()) ||
         PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || value.ptr() == Py_Ellipsis;
}

// A key as a node name part: runs of characters outside [A-Za-z0-9] become
// one "_", none at either end ("(2, 3)" gives "2_3").
std::string key_text(const std::string& text) {
  std::string key;
  for (char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (plain) {
      key += c;
    } else if (!key.empty() && key.back() != '_') {
      key += '_';
    }
  }
  while (!key.empty() && key.back() == '_') key.pop_back();
  return key.empty() ? "key" : key;
}

OutputPlace deeper(const OutputPlace& place, const std::string& shown, const std::string& key,
                   bool keyed) {
  return {place.shown + shown, place.key.empty() ? key : place.key + "_" + key, keyed};
}

// The field names of a dataclass instance or a named tuple, or None.
nb::object field_names(nb::handle value) {
  nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()));
  nb::object fields = optional_attr(type, "__dataclass_fields__");
  if (PyDict_Check(fields.ptr())) return checked(PyDict_Keys(fields.ptr()));
  if (PyTuple_Check(value.ptr())) {
    nb::object named = optional_attr(type, "_fields");
    if (PyTuple_Check(named.ptr())) return named;
  }
  return nb::none();
}

constexpr int kDeepestOutput = 16;

}  // namespace

void Recorder::collect_returned(nb::handle value, const OutputPlace& place, int depth, Call& call) {
  if (is_tensor(value.ptr())) {
    call.outputs.push_back(ref_of(value.ptr()));
    call.output_places.push_back(place);
    if (trace_.keep_values) call.output_values.push_back(detached_copy(value.ptr()));
    return;
  }
  if (plain_value(value)) return;
  const std::string type_name = py::python_type_name(value);
  const std::string at = place.shown.empty() ? "" : " at " + place.shown;
  if (depth >= kDeepestOutput) {
    call.unseen_outputs.push_back("containers nested deeper than " +
                                  std::to_string(kDeepestOutput) + " levels" + at);
    return;
  }
  nb::object held = nb::borrow(value);  // items stay alive while walked
  if (PyDict_Check(value.ptr())) {
    nb::object items = checked(PyDict_Items(value.ptr()));
    for (nb::handle item : items) {
      nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
      const std::string text = PyUnicode_Check(key.ptr()) ? str_of(key) : str_of(nb::repr(key));
      collect_returned(PyTuple_GET_ITEM(item.ptr(), 1),
                       deeper(place, "[" + str_of(nb::repr(key)) + "]", key_text(text), true),
                       depth + 1, call);
    }
    return;
  }
  nb::object names = field_names(value);
  if (!names.is_none()) {
    for (nb::handle name : names) {
      if (!PyUnicode_Check(name.ptr())) continue;
      const std::string text = str_of(name);
      nb::object field = checked(PyObject_GetAttr(value.ptr(), name.ptr()));
      collect_returned(field, deeper(place, "." + text, key_text(text), true), depth + 1, call);
    }
    return;
  }
  if (PyTuple_Check(value.ptr()) || PyList_Check(value.ptr())) {
    nb::object items = checked(PySequence_Tuple(value.ptr()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
      const std::string index = std::to_string(i);
      collect_returned(PyTuple_GET_ITEM(items.ptr(), i),
                       deeper(place, "[" + index + "]", index, depth > 0), depth + 1, call);
    }
    return;
  }
  call.unseen_outputs.push_back("an object of type " + type_name + at);
}

nb::object Recorder::call_children(nb::handle model, nb::handle args) {
  // Sequential.forward: each child takes what the one before returned.
  before_call(model, args, nb::handle());
  nb::object value = nb::borrow(PyTuple_GET_ITEM(args.ptr(), 0));
  for (const nb::object& child : in_turn_) {
    nb::object child_args = nb::make_tuple(value);
    nb::object result = checked(PyObject_Call(child.ptr(), child_args.ptr(), nullptr));
    after_call(child, child_args, result);
    value = std::move(result);
  }
  after_call(model, args, value);
  return value;
}

void define_trace_mode(nb::module_ module) {
  nb::object base = py::module_global("torch").attr("overrides").attr("TorchFunctionMode");
  py::ClassBuilder(module, "_TraceMode", base,
                   "The torch function mode that records operations during an export trace.")
      .method("__torch_function__", &trace_mode_function, nb::arg("self").none(),
              nb::arg("func").none(), nb::arg("types").none(), nb::arg("args").none() = nb::tuple(),
              nb::arg("kwargs").none() = nb::none())
      .finish();
}

}  // namespace vantle::export_ir
