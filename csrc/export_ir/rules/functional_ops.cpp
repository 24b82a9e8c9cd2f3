#include "export_ir/rules/functional_ops.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

#include "export_ir/rules/resampling.h"
#include "export_ir/rules/rules.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

using Dims = std::vector<int64_t>;

// --- reading a call --------------------------------------------------------------

// The call's arguments bound to the function's parameter names.
class Bound {
 public:
  Bound(const OpCall& call, std::initializer_list<const char*> names)
      : args_(call.args), kwargs_(call.kwargs), names_(names.begin(), names.end()) {}

  // The argument for parameter `position`, or an invalid handle when not given.
  nb::handle operator[](std::size_t position) const {
    if (PyTuple_Check(args_.ptr()) &&
        static_cast<Py_ssize_t>(position) < PyTuple_GET_SIZE(args_.ptr())) {
      return PyTuple_GET_ITEM(args_.ptr(), position);
    }
    if (PyDict_Check(kwargs_.ptr()) && position < names_.size()) {
      PyObject* value = PyDict_GetItemWithError(kwargs_.ptr(), interned(names_[position]).ptr());
      if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
      return value;
    }
    return nb::handle();
  }

  nb::object get(std::size_t position, nb::handle fallback) const {
    nb::handle value = (*this)[position];
    return nb::borrow(value.is_valid() ? value : fallback);
  }

  bool given(std::size_t position) const {
    nb::handle value = (*this)[position];
    return value.is_valid() && !value.is_none();
  }

 private:
  nb::handle args_, kwargs_;
  std::vector<const char*> names_;  // string literals
};

Dims dims_of(nb::handle tensor) {
  nb::object shape = tensor.attr("shape");
  Dims dims;
  for (nb::handle size : shape) dims.push_back(nb::cast<int64_t>(size));
  return dims;
}

bool is_tensor(const Env& env, nb::handle obj) {
  return obj.is_valid() &&
         PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(env.tensor_type().ptr()));
}

// Position of `obj` among the call's tensor arguments, or -1.
int32_t position_of(const OpCall& call, nb::handle obj) {
  for (std::size_t i = 0; i < call.tensors.size(); ++i) {
    if (call.tensors[i].tensor == obj.ptr()) return static_cast<int32_t>(i);
  }
  return -1;
}

int64_t tracked_count(const OpCall& call) {
  int64_t count = 0;
  for (const TensorArg& arg : call.tensors) count += arg.ref.tracked() ? 1 : 0;
  return count;
}

bool as_int(nb::handle value, int64_t& out) {
  if (!value.is_valid() || !PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (out == -1 && PyErr_Occurred()) throw nb::python_error();
  return overflow == 0;
}

// A dimension index counted from the front, or -1 when it is out of range.
int64_t axis(int64_t dim, std::size_t rank) {
  const auto r = static_cast<int64_t>(rank);
  const int64_t resolved = dim < 0 ? dim + r : dim;
  return resolved >= 0 && resolved < r ? resolved : -1;
}

// An int, or a pair/one-element sequence of ints, as a pair; None when not one.
nb::object pair_of(nb::handle value) {
  int64_t single = 0;
  if (as_int(value, single)) return nb::make_tuple(single, single);
  if (!value.is_valid() || !(PyTuple_Check(value.ptr()) || PyList_Check(value.ptr()))) {
    return nb::none();
  }
  const Py_ssize_t count = PySequence_Size(value.ptr());
  std::array<int64_t, 2> items{};
  if (count < 1 || count > 2) return nb::none();
  for (Py_ssize_t i = 0; i < count; ++i) {
    nb::object item = checked(PySequence_GetItem(value.ptr(), i));
    if (!as_int(item, items[i])) return nb::none();
  }
  if (count == 1) items[1] = items[0];
  return nb::make_tuple(items[0], items[1]);
}

// --- outcomes --------------------------------------------------------------------

void unsupported(OpInfo& info, std::string reason) {
  info.kind = OpKind::kUnsupported;
  info.reason = std::move(reason);
}

void identity(OpInfo& info, int32_t operand) {
  info.kind = OpKind::kIdentity;
  info.operands = {operand};
}

void node(OpInfo& info, const char* ir_class, nb::dict fields, std::vector<int32_t> operands,
          bool per_feature = false) {
  info.kind = OpKind::kNode;
  info.ir_class = ir_class;
  info.fields = std::move(fields);
  info.operands = std::move(operands);
  info.per_feature = per_feature;
}

// The one data operand of a unary operation: its first argument, and nothing
// else from the data path.
bool single_operand(const OpCall& call, OpInfo& info) {
  if (call.tensors.empty() || !PyTuple_Check(call.args.ptr()) ||
      PyTuple_GET_SIZE(call.args.ptr()) == 0 ||
      call.tensors[0].tensor != PyTuple_GET_ITEM(call.args.ptr(), 0) ||
      !call.tensors[0].ref.tracked()) {
    unsupported(info, "takes the data as a parameter, not as its input");
    return false;
  }
  if (tracked_count(call) > 1) {
    unsupported(info, "combines the data with itself in a way that has no IR form");
    return false;
  }
  return true;
}

// The operation's result as a single tensor, or an invalid handle.
nb::handle single_result(const Env& env, const OpCall& call) {
  return is_tensor(env, call.result) ? call.result : nb::handle();
}

// --- rules -----------------------------------------------------------------------

using Rule = void (*)(const Env&, const OpCall&, OpInfo&);

void residual_sum(const Env&, const OpCall& call, OpInfo& info) {
  Bound args(call, {"input", "other", "alpha"});
  const int32_t first = position_of(call, args[0]);
  const int32_t second = position_of(call, args[1]);
  if (first < 0 || second < 0 || !call.tensors[first].ref.tracked() ||
      !call.tensors[second].ref.tracked()) {
    unsupported(info, "adds a constant, which has no IR form");
    return;
  }
  if (args.given(2) && !nb::int_(1).equal(args[2])) {
    unsupported(info, "scales one of its operands (alpha), which has no IR form");
    return;
  }
  nb::dict fields;
  fields["skip_type"] = nb::str("residual");
  node(info, "Skip", fields, {first, second});
}

void concatenate(const Env& env, const OpCall& call, OpInfo& info) {
  Bound args(call, {"tensors", "dim"});
  nb::handle items = args[0];
  nb::handle result = single_result(env, call);
  if (!items.is_valid() || !result.is_valid()) return unsupported(info, "has no IR form");
  std::vector<int32_t> operands;
  for (nb::handle item : items) {
    const int32_t position = position_of(call, item);
    if (position < 0 || !call.tensors[position].ref.tracked()) {
      return unsupported(info, "joins a constant, which has no IR form");
    }
    operands.push_back(position);
  }
  if (operands.size() == 1) return identity(info, operands[0]);
  int64_t dim = 0;
  if (args[1].is_valid() && !as_int(args[1], dim)) return unsupported(info, "has no IR form");
  dim = axis(dim, dims_of(result).size());
  if (dim <= 0) return unsupported(info, "joins along the batch dimension, which has no IR form");
  if (!env.ir_class("Concat").is_valid()) return unsupported(info, "has no IR form");
  nb::dict fields;
  fields["num_inputs"] = nb::int_(static_cast<int64_t>(operands.size()));
  fields["dim"] = nb::int_(dim - 1);
  node(info, "Concat", fields, std::move(operands));
}

void time_stack(const Env&, const OpCall& call, OpInfo& info) {
  Bound args(call, {"tensors", "dim"});
  int64_t dim = 0;
  if (!args[0].is_valid() || (args[1].is_valid() && !as_int(args[1], dim)) || dim != 0) {
    return unsupported(info, "has no IR form");
  }
  for (nb::handle item : args[0]) {
    const int32_t position = position_of(call, item);
    if (position < 0 || !call.tensors[position].ref.tracked()) {
      return unsupported(info, "stacks a constant, which has no IR form");
    }
    info.operands.push_back(position);
  }
  info.kind = OpKind::kTimeStack;
}

void channel_split(const Env& env, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "split_size_or_sections", "dim"});
  int64_t dim = 0;
  if (args[2].is_valid() && !as_int(args[2], dim)) return unsupported(info, "has no IR form");
  const Dims input = dims_of(args[0]);
  dim = axis(dim, input.size());
  if (dim <= 0) return unsupported(info, "splits along the batch dimension, which has no IR form");
  if (!PyTuple_Check(call.result.ptr()) && !PyList_Check(call.result.ptr())) {
    return unsupported(info, "has no IR form");
  }
  nb::list sections;
  for (nb::handle chunk : call.result) {
    if (!is_tensor(env, chunk)) return unsupported(info, "has no IR form");
    sections.append(dims_of(chunk)[dim]);
  }
  if (nb::len(sections) == 1) return identity(info, 0);
  if (!env.ir_class("ChannelSplit").is_valid()) return unsupported(info, "has no IR form");
  nb::dict fields;
  fields["split_sections"] = nb::tuple(sections);
  fields["dim"] = nb::int_(dim - 1);
  node(info, "ChannelSplit", fields, {0});
  info.multi_output = true;
}

void unbind(const Env&, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "dim"});
  int64_t dim = 0;
  if (args[1].is_valid() && !as_int(args[1], dim)) dim = 1;
  if (dim != 0) return unsupported(info, "takes slices, which have no IR form");
  info.kind = OpKind::kTimeSlice;
  info.operands = {0};
  info.time_index = -1;
}

void index(const Env& env, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "index"});
  nb::handle result = single_result(env, call);
  int64_t t = 0;
  if (result.is_valid() && as_int(args[1], t)) {
    const Dims input = dims_of(args[0]);
    if (t < 0 && !input.empty()) t += input[0];
    info.kind = OpKind::kTimeSlice;
    info.operands = {0};
    info.time_index = t;
    return;
  }
  if (result.is_valid() && dims_of(result) == dims_of(args[0])) return identity(info, 0);
  unsupported(info, "indexes the data, which has no IR form");
}

// x.flatten(s, e), x.view(...), x.reshape(...): a Flatten node when the new
// shape merges one run of dimensions after the batch dimension.
void flatten(const Env& env, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  nb::handle result = single_result(env, call);
  if (!result.is_valid()) return unsupported(info, "has no IR form");
  const Dims in = dims_of(PyTuple_GET_ITEM(call.args.ptr(), 0));
  const Dims out = dims_of(result);
  if (in == out) return identity(info, 0);
  if (out.empty() || out.size() >= in.size()) {
    return unsupported(info, "reshapes the data in a way that is not a flatten");
  }
  std::size_t start = 0;
  while (start + 1 < out.size() && in[start] == out[start]) ++start;
  const std::size_t end = start + (in.size() - out.size());
  int64_t merged = 1;
  for (std::size_t i = start; i <= end; ++i) merged *= in[i];
  bool matches = merged == out[start];
  for (std::size_t i = start + 1; matches && i < out.size(); ++i) {
    matches = out[i] == in[i + (end - start)];
  }
  if (!matches) return unsupported(info, "reshapes the data in a way that is not a flatten");
  if (start == 0) return unsupported(info, "flattens the batch dimension, which has no IR form");
  nb::dict fields;
  fields["start_dim"] = nb::int_(static_cast<int64_t>(start) - 1);
  fields["end_dim"] = nb::int_(end + 1 == in.size() ? int64_t{-1} : static_cast<int64_t>(end));
  node(info, "Flatten", fields, {0});
}

// clone, contiguous, detach, .float(), .to(...): the same values, when the
// dtype and shape stay.
void same_values(const Env& env, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  nb::handle result = single_result(env, call);
  nb::handle input = PyTuple_GET_ITEM(call.args.ptr(), 0);
  if (result.is_valid() && dims_of(result) == dims_of(input) &&
      result.attr("dtype").is(input.attr("dtype"))) {
    return identity(info, 0);
  }
  unsupported(info, "changes the dtype or shape, which has no IR form");
}

void dropout(const Env&, const OpCall& call, OpInfo& info) {
  if (single_operand(call, info)) identity(info, 0);  // the identity at inference
}

void relu(const Env&, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  nb::dict fields;
  fields["negative_slope"] = nb::float_(0.0);
  node(info, "ReLU", fields, {0}, true);
}

void leaky_relu(const Env&, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "negative_slope"});
  nb::object slope = checked(PyNumber_Float(args.get(1, nb::float_(0.01)).ptr()));
  if (nb::cast<double>(slope) < 0.0) {
    return unsupported(info, "has a negative slope, which the IR's ReLU does not take");
  }
  nb::dict fields;
  fields["negative_slope"] = slope;
  node(info, "ReLU", fields, {0}, true);
}

template <const char* IrClass>
void plain_activation(const Env&, const OpCall& call, OpInfo& info) {
  if (single_operand(call, info)) node(info, IrClass, nb::dict(), {0}, true);
}
constexpr char kSigmoid[] = "Sigmoid";
constexpr char kTanh[] = "Tanh";

void softmax(const Env&, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "dim", "_stacklevel", "dtype"});
  nb::object dtype = nb::none();
  if (PyDict_Check(call.kwargs.ptr())) {
    if (PyObject* value = PyDict_GetItemString(call.kwargs.ptr(), "dtype"))
      dtype = nb::borrow(value);
  }
  int64_t dim = 0;
  if (!as_int(args[1], dim)) return unsupported(info, "has no dimension given, so no IR form");
  if (!dtype.is_none()) return unsupported(info, "changes the dtype, which has no IR form");
  nb::dict fields;
  fields["dim"] = nb::int_(dim);
  node(info, "Softmax", fields, {0}, true);
}

void gelu(const Env&, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "approximate"});
  nb::object mode = args.get(1, nb::str("none"));
  nb::dict fields;
  fields["approximate"] = nb::bool_(nb::str("tanh").equal(mode));
  node(info, "GELU", fields, {0}, true);
}

void elu(const Env&, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "alpha"});
  nb::dict fields;
  fields["alpha"] = checked(PyNumber_Float(args.get(1, nb::float_(1.0)).ptr()));
  node(info, "ELU", fields, {0}, true);
}

// Kernel size, stride and padding of a pooling call (parameters 1 to 3) as
// pairs; an absent or empty stride is None (the kernel size). False when one
// has no pair form.
bool pool_window(const Bound& args, nb::dict& fields) {
  const bool strided = args.given(2) && py::truthy(args[2]);
  nb::object kernel = pair_of(args[1]);
  nb::object stride = strided ? pair_of(args[2]) : nb::none();
  nb::object padding = pair_of(args.get(3, nb::int_(0)));
  if (kernel.is_none() || padding.is_none() || (strided && stride.is_none())) return false;
  fields["kernel_size"] = kernel;
  fields["stride"] = stride;
  fields["padding"] = padding;
  return true;
}

// F.max_pool2d and torch.max_pool2d (whose empty stride means the kernel size).
void max_pool2d(const Env&, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "kernel_size", "stride", "padding", "dilation", "ceil_mode",
                    "return_indices"});
  if (args.given(6) && py::truthy(args[6])) {
    return unsupported(info, "returns indices, which have no IR form");
  }
  nb::dict fields;
  nb::object dilation = pair_of(args.get(4, nb::int_(1)));
  if (!pool_window(args, fields) || dilation.is_none()) {
    return unsupported(info, "has pooling settings with no IR form");
  }
  fields["dilation"] = dilation;
  fields["ceil_mode"] = nb::bool_(args.given(5) && py::truthy(args[5]));
  node(info, "MaxPool2d", fields, {0});
}

void avg_pool2d(const Env&, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "kernel_size", "stride", "padding", "ceil_mode", "count_include_pad",
                    "divisor_override"});
  if (args.given(6)) return unsupported(info, "overrides the divisor, which has no IR form");
  nb::dict fields;
  if (!pool_window(args, fields)) return unsupported(info, "has pooling settings with no IR form");
  fields["ceil_mode"] = nb::bool_(args.given(4) && py::truthy(args[4]));
  fields["count_include_pad"] = nb::bool_(!args.given(5) || py::truthy(args[5]));
  node(info, "AvgPool2d", fields, {0});
}

// The window that pools an (h, w) map down to an (out_h, out_w) one: a plain
// pooling layer when the output size divides the input size (global pooling
// included). False otherwise.
bool adaptive_window(const Dims& in, const Dims& out, nb::dict& fields) {
  if (in.size() != 4 || out.size() != 4) return false;
  const int64_t h = in[2], w = in[3], out_h = out[2], out_w = out[3];
  if (out_h <= 0 || out_w <= 0 || h % out_h != 0 || w % out_w != 0) return false;
  nb::object kernel = nb::make_tuple(h / out_h, w / out_w);
  fields["kernel_size"] = kernel;
  fields["stride"] = kernel;
  fields["padding"] = nb::make_tuple(0, 0);
  fields["ceil_mode"] = nb::bool_(false);
  return true;
}

constexpr const char* kUneven =
    "pools to an output size that does not divide the input size, which has no IR form";

void adaptive_avg_pool2d(const Env& env, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  nb::handle result = single_result(env, call);
  nb::dict fields;
  if (!result.is_valid() ||
      !adaptive_window(dims_of(PyTuple_GET_ITEM(call.args.ptr(), 0)), dims_of(result), fields)) {
    return unsupported(info, kUneven);
  }
  fields["count_include_pad"] = nb::bool_(true);
  node(info, "AvgPool2d", fields, {0});
}

void adaptive_max_pool2d(const Env& env, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "output_size", "return_indices"});
  if (args.given(2) && py::truthy(args[2])) {
    return unsupported(info, "returns indices, which have no IR form");
  }
  nb::handle result = single_result(env, call);
  nb::dict fields;
  if (!result.is_valid() ||
      !adaptive_window(dims_of(PyTuple_GET_ITEM(call.args.ptr(), 0)), dims_of(result), fields)) {
    return unsupported(info, kUneven);
  }
  fields["dilation"] = nb::make_tuple(1, 1);
  node(info, "MaxPool2d", fields, {0});
}

// x.mean((2, 3)) of a batch of feature maps: global average pooling, then a
// flatten unless the dimensions are kept.
void spatial_mean(const Env& env, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "dim", "keepdim", "dtype"});
  nb::handle result = single_result(env, call);
  const Dims in = dims_of(PyTuple_GET_ITEM(call.args.ptr(), 0));
  constexpr const char* kOther =
      "averages over dimensions other than height and width, which "
      "has no IR form";
  if (!result.is_valid() || in.size() != 4 || !args.given(1)) return unsupported(info, kOther);
  if (args.given(3)) return unsupported(info, "changes the dtype, which has no IR form");
  nb::handle dims = args[1];
  if (!PyTuple_Check(dims.ptr()) && !PyList_Check(dims.ptr())) return unsupported(info, kOther);
  std::vector<int64_t> axes;
  for (nb::handle item : dims) {
    int64_t dim = 0;
    if (!as_int(item, dim)) return unsupported(info, kOther);
    axes.push_back(axis(dim, in.size()));
  }
  std::sort(axes.begin(), axes.end());
  if (axes != std::vector<int64_t>{2, 3}) return unsupported(info, kOther);
  nb::dict fields;
  adaptive_window(in, {in[0], in[1], 1, 1}, fields);
  fields["count_include_pad"] = nb::bool_(true);
  node(info, "AvgPool2d", fields, {0});
  if (args.given(2) && py::truthy(args[2])) return;
  nb::dict flatten;
  flatten["start_dim"] = nb::int_(0);
  flatten["end_dim"] = nb::int_(-1);
  info.then_ir_class = "Flatten";
  info.then_fields = flatten;
  info.between_shape = nb::make_tuple(in[1], 1, 1);
}

// F.interpolate to a traced size; only modes and factors that the imported
// upsampling layer reproduces exactly from that size.
void interpolate(const Env& env, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "size", "scale_factor", "mode", "align_corners",
                    "recompute_scale_factor", "antialias"});
  nb::handle result = single_result(env, call);
  nb::object mode = args.get(3, nb::str("nearest"));
  const bool bilinear = nb::str("bilinear").equal(mode);
  if (!result.is_valid() || dims_of(result).size() != 4) {
    return unsupported(info, "resamples data that is not a feature map, which has no IR form");
  }
  if (!bilinear && !nb::str("nearest").equal(mode)) {
    return unsupported(info, "uses a resampling mode with no IR form");
  }
  if (args.given(6) && py::truthy(args[6])) {
    return unsupported(info, "antialiases, which has no IR form");
  }
  const Dims out = dims_of(result);
  const bool align_corners = args.given(4) && py::truthy(args[4]);
  const bool recompute = args.given(5) && py::truthy(args[5]);
  if (args.given(2) && !samples_by_size(recompute, bilinear, align_corners)) {
    const Dims in = dims_of(args[0]);
    if (!size_reproduces_factor(args[2], std::span(in).subspan(2), std::span(out).subspan(2))) {
      return unsupported(info,
                         "scales by a factor its output size does not reproduce, which "
                         "has no exact IR form");
    }
  }
  nb::dict fields;
  fields["size"] = nb::make_tuple(out[2], out[3]);
  fields["scale_factor"] = nb::none();
  fields["mode"] = mode;
  fields["align_corners"] = nb::bool_(bilinear && align_corners);
  node(info, "Upsample", fields, {0});
}

// Weight and bias of F.linear / F.conv2d: constants, never data.
bool constant_weights(const Env& env, const OpCall& call, const Bound& args, OpInfo& info,
                      nb::dict& fields) {
  nb::handle weight = args[1];
  nb::handle bias = args[2];
  if (!is_tensor(env, weight) || (bias.is_valid() && !bias.is_none() && !is_tensor(env, bias))) {
    unsupported(info, "has no IR form");
    return false;
  }
  for (nb::handle parameter : {weight, bias}) {
    const int32_t position = parameter.is_valid() ? position_of(call, parameter) : -1;
    if (position >= 0 && call.tensors[position].ref.tracked()) {
      unsupported(info, "takes its weights from the data, which has no IR form");
      return false;
    }
  }
  nb::object weights = env.array_of(weight);
  fields["weight"] = weights;
  fields["bias"] = bias.is_valid() && !bias.is_none()
                       ? env.array_of(bias)
                       : env.zeros(weights.attr("shape")[nb::int_(0)]);
  return true;
}

void linear(const Env& env, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "weight", "bias"});
  nb::dict fields;
  if (!constant_weights(env, call, args, info, fields)) return;
  nb::handle exporter = env.exporter();
  const bool spiking = py::truthy(exporter.attr("_spiking"));
  if (spiking) {
    fields["spike_mode"] = exporter.attr("_spike_mode");
    fields["weight_bits"] = exporter.attr("_weight_bits");
    fields["accumulator_bits"] = exporter.attr("_accumulator_bits");
  }
  node(info, spiking ? "SpikingAffine" : "Affine", fields, {0});
}

void conv2d(const Env& env, const OpCall& call, OpInfo& info) {
  if (!single_operand(call, info)) return;
  Bound args(call, {"input", "weight", "bias", "stride", "padding", "dilation", "groups"});
  nb::handle result = single_result(env, call);
  if (!result.is_valid() || dims_of(result).size() != 4) {
    return unsupported(info, "convolves data that is not a batch of feature maps");
  }
  nb::dict fields;
  if (!constant_weights(env, call, args, info, fields)) return;
  nb::object padding = args.get(4, nb::int_(0));
  nb::object stride = pair_of(args.get(3, nb::int_(1)));
  nb::object dilation = pair_of(args.get(5, nb::int_(1)));
  if (!PyUnicode_Check(padding.ptr())) padding = pair_of(padding);
  if (stride.is_none() || dilation.is_none() || padding.is_none()) {
    return unsupported(info, "has convolution settings with no IR form");
  }
  fields["stride"] = stride;
  fields["padding"] = padding;
  fields["dilation"] = dilation;
  fields["groups"] = checked(PyNumber_Long(args.get(6, nb::int_(1)).ptr()));
  node(info, "Conv2d", fields, {0});
}

// --- the table -------------------------------------------------------------------

enum Owner : uint8_t { kTorch, kTensor, kFunctional };

struct OpRule {
  Owner owner;
  const char* attribute;
  const char* name;  // for node names and messages
  Rule rule;
};

constexpr OpRule kOpRules[] = {
    {kTorch, "add", "add", &residual_sum},
    {kTensor, "add", "add", &residual_sum},
    {kTensor, "add_", "add", &residual_sum},
    {kTensor, "__add__", "add", &residual_sum},
    {kTensor, "__radd__", "add", &residual_sum},
    {kTensor, "__iadd__", "add", &residual_sum},
    {kTorch, "cat", "cat", &concatenate},
    {kTorch, "concat", "cat", &concatenate},
    {kTorch, "concatenate", "cat", &concatenate},
    {kTorch, "stack", "stack", &time_stack},
    {kTorch, "split", "split", &channel_split},
    {kTensor, "split", "split", &channel_split},
    {kTorch, "split_with_sizes", "split", &channel_split},
    {kTensor, "split_with_sizes", "split", &channel_split},
    {kTorch, "tensor_split", "split", &channel_split},
    {kTensor, "tensor_split", "split", &channel_split},
    {kTorch, "chunk", "chunk", &channel_split},
    {kTensor, "chunk", "chunk", &channel_split},
    {kTorch, "unbind", "unbind", &unbind},
    {kTensor, "unbind", "unbind", &unbind},
    {kTensor, "__getitem__", "getitem", &index},
    {kTorch, "flatten", "flatten", &flatten},
    {kTensor, "flatten", "flatten", &flatten},
    {kTensor, "view", "view", &flatten},
    {kTensor, "view_as", "view", &flatten},
    {kTensor, "reshape", "reshape", &flatten},
    {kTensor, "reshape_as", "reshape", &flatten},
    {kTorch, "reshape", "reshape", &flatten},
    {kTensor, "contiguous", "contiguous", &same_values},
    {kTensor, "clone", "clone", &same_values},
    {kTorch, "clone", "clone", &same_values},
    {kTensor, "detach", "detach", &same_values},
    {kTorch, "detach", "detach", &same_values},
    {kTensor, "float", "float", &same_values},
    {kTensor, "to", "to", &same_values},
    {kTensor, "type_as", "type_as", &same_values},
    {kTensor, "cpu", "cpu", &same_values},
    {kFunctional, "dropout", "dropout", &dropout},
    {kFunctional, "dropout1d", "dropout", &dropout},
    {kFunctional, "dropout2d", "dropout", &dropout},
    {kFunctional, "dropout3d", "dropout", &dropout},
    {kFunctional, "alpha_dropout", "dropout", &dropout},
    {kFunctional, "feature_alpha_dropout", "dropout", &dropout},
    {kTorch, "dropout", "dropout", &dropout},
    {kFunctional, "relu", "relu", &relu},
    {kFunctional, "relu_", "relu", &relu},
    {kTorch, "relu", "relu", &relu},
    {kTorch, "relu_", "relu", &relu},
    {kTensor, "relu", "relu", &relu},
    {kTensor, "relu_", "relu", &relu},
    {kFunctional, "leaky_relu", "leaky_relu", &leaky_relu},
    {kFunctional, "leaky_relu_", "leaky_relu", &leaky_relu},
    {kTorch, "sigmoid", "sigmoid", &plain_activation<kSigmoid>},
    {kTorch, "sigmoid_", "sigmoid", &plain_activation<kSigmoid>},
    {kTensor, "sigmoid", "sigmoid", &plain_activation<kSigmoid>},
    {kTensor, "sigmoid_", "sigmoid", &plain_activation<kSigmoid>},
    {kFunctional, "sigmoid", "sigmoid", &plain_activation<kSigmoid>},
    {kTorch, "tanh", "tanh", &plain_activation<kTanh>},
    {kTorch, "tanh_", "tanh", &plain_activation<kTanh>},
    {kTensor, "tanh", "tanh", &plain_activation<kTanh>},
    {kTensor, "tanh_", "tanh", &plain_activation<kTanh>},
    {kFunctional, "tanh", "tanh", &plain_activation<kTanh>},
    {kFunctional, "softmax", "softmax", &softmax},
    {kTorch, "softmax", "softmax", &softmax},
    {kTensor, "softmax", "softmax", &softmax},
    {kFunctional, "gelu", "gelu", &gelu},
    {kFunctional, "elu", "elu", &elu},
    {kFunctional, "elu_", "elu", &elu},
    {kFunctional, "max_pool2d", "max_pool2d", &max_pool2d},
    {kTorch, "max_pool2d", "max_pool2d", &max_pool2d},
    {kFunctional, "avg_pool2d", "avg_pool2d", &avg_pool2d},
    {kFunctional, "adaptive_avg_pool2d", "adaptive_avg_pool2d", &adaptive_avg_pool2d},
    {kTorch, "adaptive_avg_pool2d", "adaptive_avg_pool2d", &adaptive_avg_pool2d},
    {kFunctional, "adaptive_max_pool2d", "adaptive_max_pool2d", &adaptive_max_pool2d},
    {kTorch, "mean", "mean", &spatial_mean},
    {kTensor, "mean", "mean", &spatial_mean},
    {kFunctional, "interpolate", "interpolate", &interpolate},
    {kFunctional, "linear", "linear", &linear},
    {kFunctional, "conv2d", "conv2d", &conv2d},
};

// Functions whose result does not depend on their arguments' values.
constexpr std::pair<Owner, const char*> kConstantMakers[] = {
    {kTorch, "zeros_like"},   {kTorch, "ones_like"},  {kTorch, "empty_like"},
    {kTorch, "full_like"},    {kTorch, "rand_like"},  {kTorch, "randn_like"},
    {kTorch, "randint_like"}, {kTensor, "new_zeros"}, {kTensor, "new_ones"},
    {kTensor, "new_empty"},   {kTensor, "new_full"},  {kTensor, "new_tensor"},
};

nb::handle owner_of(Owner owner, nb::handle torch, nb::handle tensor, nb::handle functional) {
  switch (owner) {
    case kTorch:
      return torch;
    case kTensor:
      return tensor;
    case kFunctional:
      return functional;
  }
  return torch;
}

// getattr(owner, name, None)
nb::object lookup(nb::handle owner, const char* name) {
  return optional_attr(owner, name);
}

// A readable name for an operation without a rule: "mul", "getitem", "sum".
std::string plain_name(nb::handle func) {
  nb::object name = optional_attr(func, "__name__");
  std::string text = PyUnicode_Check(name.ptr()) ? str_of(name) : std::string("operation");
  const auto first = text.find_first_not_of('_');
  const auto last = text.find_last_not_of('_');
  if (first == std::string::npos) return "operation";
  return text.substr(first, last - first + 1);
}

}  // namespace

OpRules::OpRules(Env& env) : env_(env) {
  nb::handle torch = env.torch();
  nb::object tensor = torch.attr("Tensor");
  nb::object functional = torch.attr("nn").attr("functional");
  nb::dict rules;
  for (std::size_t i = 0; i < std::size(kOpRules); ++i) {
    const OpRule& rule = kOpRules[i];
    nb::object func = lookup(owner_of(rule.owner, torch, tensor, functional), rule.attribute);
    // Older torch releases lack some of these; first entry wins for shared objects.
    if (!func.is_none() && !rules.contains(func)) rules[func] = nb::int_(static_cast<int64_t>(i));
  }
  rules_ = rules;
  constant_ = checked(PySet_New(nullptr));
  for (const auto& [owner, name] : kConstantMakers) {
    nb::object func = lookup(owner_of(owner, torch, tensor, functional), name);
    if (!func.is_none() && PySet_Add(constant_.ptr(), func.ptr()) < 0) throw nb::python_error();
  }
}

bool OpRules::makes_constant(nb::handle func) const {
  const int found = PySet_Contains(constant_.ptr(), func.ptr());
  if (found < 0) PyErr_Clear();  // an unhashable callable is no constant maker
  return found == 1;
}

void OpRules::classify(const OpCall& call, OpInfo& info) const {
  PyObject* position = PyDict_GetItemWithError(rules_.ptr(), call.func.ptr());
  if (position == nullptr) {
    if (PyErr_Occurred()) PyErr_Clear();  // unhashable: no rule
    info.name = plain_name(call.func);
    info.kind = OpKind::kUnsupported;
    info.reason = "has no IR form";
    // The first data operand is what the graph keeps when it skips the operation.
    for (std::size_t i = 0; i < call.tensors.size(); ++i) {
      if (call.tensors[i].ref.tracked()) {
        info.operands = {static_cast<int32_t>(i)};
        break;
      }
    }
    return;
  }
  const OpRule& rule = kOpRules[PyLong_AsSize_t(position)];
  info.name = rule.name;
  rule.rule(env_, call, info);
  if (info.kind == OpKind::kUnsupported && info.operands.empty()) {
    for (std::size_t i = 0; i < call.tensors.size(); ++i) {
      if (call.tensors[i].ref.tracked()) {
        info.operands = {static_cast<int32_t>(i)};
        break;
      }
    }
  }
}

}  // namespace vantle::export_ir
