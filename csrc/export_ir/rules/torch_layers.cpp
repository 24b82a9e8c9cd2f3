// Conversion rules for the standard torch.nn layers, tested in table order
// with instance tests (a subclass takes its base's rule).
#include <array>
#include <string>
#include <utility>

#include "export_ir/common/findings.h"
#include "export_ir/rules/resampling.h"
#include "export_ir/rules/rules.h"
#include "py/arg_check.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

using Rule = nb::object (*)(const Conversion&);

// The array of a parameter, or `fallback(count)` when the module has none.
template <typename Fallback>
nb::object array_or(const Conversion& c, const char* name, nb::handle count, Fallback fallback) {
  nb::object tensor = c.attrs.required(name);
  return tensor.is_none() ? fallback(count) : c.env.array_of(tensor);
}

// X itself when it is a tuple, else (X, X).
nb::object pair(nb::handle value) {
  if (PyTuple_Check(value.ptr())) return nb::borrow(value);
  return nb::make_tuple(value, value);
}

// "module 'path' (Type)", or "the model (Type)", for messages.
std::string subject(const Conversion& c) {
  const std::string label = c.env.label();
  return (label == "the model" ? label : "module " + label) + " (" +
         py::python_type_name(c.module) + ")";
}

// A setting the node has no field for: reported, and the layer is exported without it.
void report_setting(const Conversion& c, const std::string& setting, const char* node) {
  c.env.report(subject(c) + ": " + setting + ", which the IR's " + node + " has no field for",
               std::string("exported without it as the IR's ") + node +
                   ", which does not compute what the layer computes");
}

// Convolutions pad with zeros in the IR.
void report_padding_mode(const Conversion& c, const char* node) {
  nb::object mode = c.attrs.optional("padding_mode");
  if (mode.is_none() || nb::str("zeros").equal(mode)) return;
  report_setting(c, "padding_mode=" + str_of(nb::repr(mode)) + " pads with other values than zeros",
                 node);
}

// The weight and bias keywords of a dense or convolution layer; a layer
// without bias gets zeros, one per output.
void add_weight_and_bias(const Conversion& c, Keywords& kw) {
  nb::object weight = c.array("weight");
  nb::object bias = c.attrs.required("bias");
  kw.add("weight", weight);
  kw.add("bias",
         bias.is_none() ? c.env.zeros(weight.attr("shape")[nb::int_(0)]) : c.env.array_of(bias));
}

nb::object linear(const Conversion& c) {
  Keywords kw;
  add_weight_and_bias(c, kw);
  nb::handle exporter = c.env.exporter();
  const bool spiking = py::truthy(exporter.attr("_spiking"));
  if (spiking) {
    kw.add("spike_mode", exporter.attr("_spike_mode"));
    kw.add("weight_bits", exporter.attr("_weight_bits"));
    kw.add("accumulator_bits", exporter.attr("_accumulator_bits"));
  }
  return c.build(spiking ? "SpikingAffine" : "Affine", kw, true);
}

nb::object conv1d(const Conversion& c) {
  Keywords kw;
  add_weight_and_bias(c, kw);
  kw.add("stride", to_int1d(c.attrs.required("stride"), nb::int_(1)));
  // "same" and "valid" have no integer form; they pass as the layer holds them.
  nb::object padding = c.attrs.required("padding");
  kw.add("padding", PyUnicode_Check(padding.ptr()) ? padding : to_int1d(padding, nb::int_(0)));
  kw.add("dilation", to_int1d(c.attrs.required("dilation"), nb::int_(1)));
  kw.add("groups", c.attrs.required("groups"));
  report_padding_mode(c, "Conv1d");
  return c.build("Conv1d", kw, true);
}

nb::object conv2d(const Conversion& c) {
  Keywords kw;
  add_weight_and_bias(c, kw);
  for (const char* name : {"stride", "padding", "dilation", "groups"}) {
    kw.add(name, c.attrs.required(name));
  }
  report_padding_mode(c, "Conv2d");
  return c.build("Conv2d", kw, true);
}

nb::object flatten(const Conversion& c) {
  Keywords kw;
  kw.add("start_dim", c.batchless_dim(c.attrs.required("start_dim")));
  // end_dim is in torch's numbering on both sides, so it passes unchanged.
  kw.add("end_dim", c.attrs.required("end_dim"));
  return c.build("Flatten", kw);
}

// The stride of a pooling layer: a tuple as is, a number paired, else None.
nb::object pool_stride(const Conversion& c) {
  nb::object stride = c.attrs.required("stride");
  if (PyTuple_Check(stride.ptr())) return stride;
  return py::truthy(stride) ? nb::object(nb::make_tuple(stride, stride)) : nb::none();
}

void add_pool_window(const Conversion& c, Keywords& kw) {
  kw.add("kernel_size", pair(c.attrs.required("kernel_size")));
  kw.add("stride", pool_stride(c));
  kw.add("padding", pair(c.attrs.required("padding")));
}

nb::object max_pool2d(const Conversion& c) {
  Keywords kw;
  add_pool_window(c, kw);
  kw.add("dilation", pair(c.attrs.required("dilation")));
  kw.add("ceil_mode", c.attrs.required("ceil_mode"));
  return c.build("MaxPool2d", kw);
}

nb::object avg_pool2d(const Conversion& c) {
  Keywords kw;
  add_pool_window(c, kw);
  kw.add("ceil_mode", c.attrs.required("ceil_mode"));
  kw.add("count_include_pad", c.attrs.required("count_include_pad"));
  nb::object divisor = c.attrs.optional("divisor_override");
  if (!divisor.is_none()) {
    report_setting(c,
                   "divisor_override=" + str_of(nb::repr(divisor)) +
                       " divides by another number than the window size",
                   "AvgPool2d");
  }
  return c.build("AvgPool2d", kw);
}

nb::object identity(const Conversion& c) {
  Keywords kw;
  kw.add("skip_type", nb::str("passthrough"));
  return c.build("Skip", kw);
}

// Activations carry the feature count first, then their own fields.
template <typename AddFields>
nb::object activation(const Conversion& c, const char* ir_name, AddFields add_fields) {
  Keywords kw;
  kw.add("features", c.features());
  add_fields(kw);
  return c.build(ir_name, kw);
}

nb::object relu(const Conversion& c) {
  return activation(c, "ReLU", [](Keywords& kw) { kw.add("negative_slope", nb::float_(0.0)); });
}

nb::object leaky_relu(const Conversion& c) {
  return activation(c, "ReLU", [&](Keywords& kw) {
    kw.add("negative_slope", c.attrs.required("negative_slope"));
  });
}

nb::object sigmoid(const Conversion& c) {
  return activation(c, "Sigmoid", [](Keywords&) {});
}

nb::object tanh(const Conversion& c) {
  return activation(c, "Tanh", [](Keywords&) {});
}

nb::object softmax(const Conversion& c) {
  return activation(c, "Softmax", [&](Keywords& kw) {
    nb::object dim = c.attrs.required("dim");
    kw.add("dim", dim.is_none() ? nb::object(nb::int_(-1)) : dim);
  });
}

nb::object gelu(const Conversion& c) {
  return activation(c, "GELU", [&](Keywords& kw) {
    // A module without the attribute counts as "none", which is not "tanh" either.
    nb::object mode = c.attrs.optional("approximate");
    const int is_tanh = PyObject_RichCompareBool(mode.ptr(), nb::str("tanh").ptr(), Py_EQ);
    if (is_tanh < 0) throw nb::python_error();
    kw.add("approximate", nb::bool_(is_tanh == 1));
  });
}

nb::object elu(const Conversion& c) {
  return activation(c, "ELU", [&](Keywords& kw) { kw.add("alpha", c.attrs.required("alpha")); });
}

nb::object prelu(const Conversion& c) {
  return activation(c, "PReLU", [&](Keywords& kw) { kw.add("weight", c.array("weight")); });
}

nb::object dropout(const Conversion& c) {
  return activation(c, "Dropout", [&](Keywords& kw) { kw.add("p", c.attrs.required("p")); });
}

template <const char* IrName>
nb::object batch_norm(const Conversion& c) {
  Keywords kw;
  nb::object count = c.attrs.required("num_features");
  auto ones = [&](nb::handle n) { return c.env.ones(n); };
  auto zeros = [&](nb::handle n) { return c.env.zeros(n); };
  kw.add("num_features", count);
  kw.add("weight", array_or(c, "weight", count, ones));
  kw.add("bias", array_or(c, "bias", count, zeros));
  kw.add("running_mean", array_or(c, "running_mean", count, zeros));
  kw.add("running_var", array_or(c, "running_var", count, ones));
  kw.add("eps", c.attrs.required("eps"));
  nb::object momentum = c.attrs.required("momentum");
  kw.add("momentum", momentum.is_none() ? nb::object(nb::float_(0.1)) : momentum);
  // Without running statistics (track_running_stats=False) the layer
  // normalizes every batch with its own, in evaluation mode too.
  if (c.attrs.optional("running_mean").is_none()) {
    c.env.report(subject(c) +
                     " normalizes each batch with the batch's own statistics "
                     "(no running statistics), which the IR's batch norm does not",
                 std::string("exported as a ") + IrName +
                     " with mean 0 and variance 1, which does not compute what the layer "
                     "computes");
  }
  return c.build(IrName, kw);
}

constexpr char kBatchNorm1d[] = "BatchNorm1d";
constexpr char kBatchNorm2d[] = "BatchNorm2d";

nb::object layer_norm(const Conversion& c) {
  Keywords kw;
  nb::object shape = c.attrs.required("normalized_shape");
  if (!PyTuple_Check(shape.ptr())) shape = checked(PySequence_Tuple(shape.ptr()));
  nb::object count = checked(PyNumber_Long(c.env.np().attr("prod")(shape).ptr()));
  kw.add("normalized_shape", shape);
  kw.add("weight", array_or(c, "weight", count, [&](nb::handle n) { return c.env.ones(n); }));
  kw.add("bias", array_or(c, "bias", count, [&](nb::handle n) { return c.env.zeros(n); }));
  kw.add("eps", c.attrs.required("eps"));
  return c.build("LayerNorm", kw);
}

// Whether the traced (C, H, W) sizes stand in for the layer's scale factor:
// always where torch itself samples by the sizes.
bool traced_size_keeps_factor(const Conversion& c, nb::handle factor) {
  if (samples_by_size(py::truthy(c.attrs.optional("recompute_scale_factor")),
                      nb::str("bilinear").equal(c.attrs.required("mode")),
                      py::truthy(c.attrs.optional("align_corners")))) {
    return true;
  }
  int64_t in[2] = {}, out[2] = {};
  for (auto [shape, sizes] : {std::pair{c.in_shape, in}, std::pair{c.out_shape, out}}) {
    if (!PyTuple_Check(shape.ptr()) || PyTuple_GET_SIZE(shape.ptr()) != 3) return false;
    for (Py_ssize_t i = 0; i < 2; ++i) {
      nb::handle item = PyTuple_GET_ITEM(shape.ptr(), i + 1);
      if (!PyLong_Check(item.ptr())) return false;
      sizes[i] = nb::cast<int64_t>(item);
    }
  }
  return size_reproduces_factor(factor, in, out);
}

// The target size: an explicit size as a pair, or the traced height and width
// when only a scale factor is set; the scale factor itself only survives
// without a traced spatial shape.
nb::object upsample(const Conversion& c) {
  if (PyTuple_Check(c.in_shape.ptr()) && PyTuple_GET_SIZE(c.in_shape.ptr()) == 2) {
    // (channels, length): the IR's Upsample would take them as height and width.
    c.env.report(subject(c) + " upsamples a sequence of shape " + str_of(nb::repr(c.in_shape)) +
                     ", and the IR's Upsample scales images (channels, height, width)",
                 "exported as an Upsample of images, which does not compute what the layer "
                 "computes");
  }
  nb::object scale = nb::none();
  nb::object size = nb::none();
  nb::object given_size = c.attrs.required("size");
  if (!given_size.is_none()) {
    size = nb::hasattr(given_size, "__iter__") ? checked(PySequence_Tuple(given_size.ptr()))
                                               : nb::object(nb::make_tuple(given_size, given_size));
  } else if (nb::object factor = c.attrs.required("scale_factor"); !factor.is_none()) {
    const Py_ssize_t dims = PyTuple_GET_SIZE(c.out_shape.ptr());
    if (dims >= 2) {
      size = nb::make_tuple(nb::borrow(PyTuple_GET_ITEM(c.out_shape.ptr(), dims - 2)),
                            nb::borrow(PyTuple_GET_ITEM(c.out_shape.ptr(), dims - 1)));
      if (!traced_size_keeps_factor(c, factor)) {
        c.env.report(subject(c) + " scales by scale_factor=" + str_of(nb::repr(factor)) +
                         ", which its traced output size " + str_of(nb::repr(size)) +
                         " does not reproduce (torch samples by the factor, the IR's Upsample "
                         "by the sizes)",
                     "exported with the traced size, which does not compute what the layer "
                     "computes");
      }
    } else {
      nb::object first = nb::hasattr(factor, "__iter__") ? factor[nb::int_(0)] : factor;
      scale = checked(PyNumber_Long(first.ptr()));
    }
  }
  Keywords kw;
  kw.add("scale_factor", scale);
  kw.add("size", size);
  nb::object mode = c.attrs.required("mode");
  kw.add("mode", mode);
  const int bilinear = PyObject_RichCompareBool(mode.ptr(), nb::str("bilinear").ptr(), Py_EQ);
  if (bilinear < 0) throw nb::python_error();
  if (bilinear == 0 && py::truthy(c.attrs.optional("align_corners"))) {
    c.env.report(subject(c) + " aligns corners in mode " + str_of(nb::repr(mode)) +
                     ", and the IR's Upsample aligns them only in mode 'bilinear'",
                 "exported without aligned corners, which does not compute what the layer "
                 "computes");
  }
  kw.add("align_corners",
         bilinear == 1 ? c.attrs.required("align_corners") : nb::object(nb::bool_(false)));
  return c.build("Upsample", kw);
}

// The pooling window that takes the traced (C, H, W) input to the traced
// (C, h, w) output of an adaptive pooling layer: a plain pooling layer when
// h divides H and w divides W (global pooling included). False, reported,
// when the sizes do not divide.
bool adaptive_window(const Conversion& c, Keywords& kw) {
  auto dims = [](nb::handle shape, int64_t (&out)[3]) {
    if (!PyTuple_Check(shape.ptr()) || PyTuple_GET_SIZE(shape.ptr()) != 3) return false;
    for (Py_ssize_t i = 0; i < 3; ++i) {
      nb::handle item = PyTuple_GET_ITEM(shape.ptr(), i);
      if (!PyLong_Check(item.ptr())) return false;
      out[i] = nb::cast<int64_t>(item);
    }
    return true;
  };
  int64_t in[3] = {}, out[3] = {};
  if (!dims(c.in_shape, in) || !dims(c.out_shape, out) || out[1] <= 0 || out[2] <= 0 ||
      in[1] % out[1] != 0 || in[2] % out[2] != 0) {
    c.env.report(subject(c) + " pools " + str_of(nb::repr(c.in_shape)) + " to " +
                     str_of(nb::repr(c.out_shape)) +
                     ", an output size that does not divide the input size, which has no IR form",
                 kSkipped);
    return false;
  }
  nb::object kernel = nb::make_tuple(in[1] / out[1], in[2] / out[2]);
  kw.add("kernel_size", kernel);
  kw.add("stride", kernel);
  kw.add("padding", nb::make_tuple(0, 0));
  return true;
}

nb::object adaptive_avg_pool2d(const Conversion& c) {
  Keywords kw;
  if (!adaptive_window(c, kw)) return nb::none();
  kw.add("ceil_mode", nb::bool_(false));
  kw.add("count_include_pad", nb::bool_(true));
  return c.build("AvgPool2d", kw);
}

nb::object adaptive_max_pool2d(const Conversion& c) {
  if (py::truthy(optional_attr(c.module, "return_indices"))) {
    c.env.report(subject(c) + " returns indices, which have no IR form", kSkipped);
    return nb::none();
  }
  Keywords kw;
  if (!adaptive_window(c, kw)) return nb::none();
  kw.add("dilation", nb::make_tuple(1, 1));
  kw.add("ceil_mode", nb::bool_(false));
  return c.build("MaxPool2d", kw);
}

struct TorchRule {
  const char* nn_name;
  Rule convert;
};

// Strictly in this order: the first class the module is an instance of wins.
constexpr std::array<TorchRule, 22> kTorchRules = {{
    {"Linear", &linear},
    {"Conv1d", &conv1d},
    {"Conv2d", &conv2d},
    {"Flatten", &flatten},
    {"MaxPool2d", &max_pool2d},
    {"AvgPool2d", &avg_pool2d},
    {"Identity", &identity},
    {"ReLU", &relu},
    {"LeakyReLU", &leaky_relu},
    {"Sigmoid", &sigmoid},
    {"Tanh", &tanh},
    {"Softmax", &softmax},
    {"GELU", &gelu},
    {"ELU", &elu},
    {"PReLU", &prelu},
    {"BatchNorm1d", &batch_norm<kBatchNorm1d>},
    {"BatchNorm2d", &batch_norm<kBatchNorm2d>},
    {"LayerNorm", &layer_norm},
    {"Dropout", &dropout},
    {"Upsample", &upsample},
    // Exact with the traced sizes only: after the documented twenty.
    {"AdaptiveAvgPool2d", &adaptive_avg_pool2d},
    {"AdaptiveMaxPool2d", &adaptive_max_pool2d},
}};

}  // namespace

nb::object torch_rule_class(Env& env, nb::handle module) {
  for (std::size_t i = 0; i < kTorchRules.size(); ++i) {
    if (env.is_nn_instance(i, kTorchRules[i].nn_name, module)) {
      return env.nn().attr(kTorchRules[i].nn_name);
    }
  }
  return nb::object();
}

bool convert_torch_layer(Conversion& conversion, nb::object& node) {
  for (std::size_t i = 0; i < kTorchRules.size(); ++i) {
    if (conversion.env.is_nn_instance(i, kTorchRules[i].nn_name, conversion.module)) {
      node = kTorchRules[i].convert(conversion);
      return true;
    }
  }
  return false;
}

}  // namespace vantle::export_ir
