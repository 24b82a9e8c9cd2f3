// Conversion rules for the modules an import produces, so that an imported
// graph exports back to the same node kinds (snnTorch's Leaky, the last rule,
// has a file of its own).
#include <array>

#include "export_ir/rules/rules.h"
#include "export_ir/rules/spikingjelly.h"

namespace vantle::export_ir {
namespace {

using Rule = nb::object (*)(const Conversion&);

// The tensors of one ghost convolution and the keywords they are written under.
constexpr std::array<const char*, 4> kGhostTensors = {"primary_weight", "primary_bias",
                                                      "cheap_weight", "cheap_bias"};
using GhostKeywords = std::array<const char*, 4>;

struct GhostBlock {
  const char* attribute;  // the SGhostConvModule sub-module
  GhostKeywords keywords;
};

constexpr GhostBlock kEncoderGhost = {
    "ghost",
    {"ghost_primary_weight", "ghost_primary_bias", "ghost_cheap_weight", "ghost_cheap_bias"}};
constexpr GhostBlock kResidualGhost = {
    "cvres",
    {"cvres_primary_weight", "cvres_primary_bias", "cvres_cheap_weight", "cvres_cheap_bias"}};
constexpr GhostBlock kFirstGhost = {
    "cv0", {"cv0_primary_weight", "cv0_primary_bias", "cv0_cheap_weight", "cv0_cheap_bias"}};
constexpr GhostBlock kSecondGhost = {
    "cv2", {"cv2_primary_weight", "cv2_primary_bias", "cv2_cheap_weight", "cv2_cheap_bias"}};

constexpr std::array<const char*, 12> kDetectTensors = {
    "cv2_w0", "cv2_b0", "cv2_w1", "cv2_b1", "cv2_w2", "cv2_b2",
    "cv3_w0", "cv3_b0", "cv3_w1", "cv3_b1", "cv3_w2", "cv3_b2",
};

void add_ghost_arrays(const Conversion& c, Keywords& kw, nb::handle ghost,
                      const GhostKeywords& keywords) {
  AttrReader::View attrs = c.env.attrs().view(ghost);
  for (std::size_t i = 0; i < kGhostTensors.size(); ++i) {
    kw.add(keywords[i], c.env.array_of(attrs.required(kGhostTensors[i])));
  }
}

void add_ghost_block(const Conversion& c, Keywords& kw, const GhostBlock& block) {
  add_ghost_arrays(c, kw, c.attrs.required(block.attribute), block.keywords);
}

// One value per neuron. A single value is repeated over the traced output
// shape: flat for vectors, but a feature map keeps its layout, so that the
// imported neurons broadcast against (batch, channels, height, width) again.
nb::object neuron_values(const Conversion& c, nb::handle value, nb::handle count) {
  const bool feature_map = PyTuple_GET_SIZE(c.out_shape.ptr()) >= 2;
  return to_array(c.env.np(), c.env.torch(), value, count,
                  feature_map ? c.out_shape : nb::handle());
}

// An array in the shape the module's node had (import shrinks a uniform array
// to one slice), when the values still fit it and it still fits the traced
// output; else None.
nb::object in_node_shape(const Conversion& c, const char* name, nb::handle values) {
  nb::object shapes = c.attrs.optional("_ir_shapes");
  if (!PyDict_Check(shapes.ptr())) return nb::none();
  PyObject* shape = PyDict_GetItemString(shapes.ptr(), name);  // borrowed
  if (shape == nullptr || !PyTuple_Check(shape)) return nb::none();
  nb::handle np = c.env.np();
  try {
    nb::object joint = np.attr("broadcast_shapes")(nb::handle(shape), c.out_shape);
    if (!joint.equal(c.out_shape)) return nb::none();
    nb::object spread = np.attr("broadcast_to")(values, nb::handle(shape));
    return np.attr("array")(spread, nb::arg("dtype") = np.attr("float32"));
  } catch (nb::python_error& error) {
    // Trained into another shape since, or another layout; or more dimensions
    // than NumPy broadcasts (its RuntimeError): the values go flat instead.
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_RuntimeError)) throw;
    return nb::none();
  }
}

nb::object lif(const Conversion& c) {
  Keywords kw;
  nb::object count = c.features();
  for (const char* name : {"tau", "r", "v_leak", "v_threshold"}) {
    nb::object values = c.array(name);
    nb::object kept = in_node_shape(c, name, values);
    kw.add(name, kept.is_none() ? neuron_values(c, values, count) : kept);
  }
  return c.build("LIF", kw);
}

nb::object skip(const Conversion& c) {
  Keywords kw;
  kw.add("skip_type", c.attrs.required("skip_type"));
  return c.build("Skip", kw);
}

nb::object concat(const Conversion& c) {
  Keywords kw;
  kw.add("num_inputs", c.attrs.required("num_inputs"));
  kw.add("dim", c.batchless_dim(c.attrs.required("dim")));
  return c.build("Concat", kw);
}

nb::object channel_split(const Conversion& c) {
  Keywords kw;
  kw.add("split_sections", c.attrs.required("split_sections"));
  kw.add("dim", c.batchless_dim(c.attrs.required("dim")));
  // Its outputs are several chunks, so the node gets no single output type.
  kw.add("input_type", c.in_type());
  return kw.call(c.env.ir().attr("ChannelSplit"));
}

nb::object sep_conv2d(const Conversion& c) {
  Keywords kw;
  struct Stage {
    const char* attribute;
    const char* weight;
    const char* bias;
  };
  for (const Stage& stage : {Stage{"depthwise", "depthwise_weight", "depthwise_bias"},
                             Stage{"pointwise", "pointwise_weight", "pointwise_bias"}}) {
    AttrReader::View conv = c.env.attrs().view(c.attrs.required(stage.attribute));
    nb::object bias = conv.required("bias");
    kw.add(stage.weight, c.env.array_of(conv.required("weight")));
    kw.add(stage.bias, bias.is_none() ? bias : c.env.array_of(bias));
  }
  for (const char* name : {"stride", "padding", "dilation"}) kw.add(name, c.attrs.required(name));
  return c.build("SepConv2d", kw);
}

nb::object sghost_conv(const Conversion& c) {
  Keywords kw;
  add_ghost_arrays(c, kw, c.module, kGhostTensors);
  for (const char* name : {"primary_stride", "primary_padding", "cheap_stride", "cheap_padding"}) {
    kw.add(name, c.attrs.required(name));
  }
  return c.build("SGhostConv", kw);
}

nb::object sghost_encoder_lite(const Conversion& c) {
  Keywords kw;
  kw.add("conv1_weight", c.array("conv1_weight"));
  kw.add("conv1_bias", c.array("conv1_bias"));
  add_ghost_block(c, kw, kEncoderGhost);
  kw.add("stride", c.attrs.required("stride"));
  return c.build("SGhostEncoderLite", kw);
}

nb::object ghost_basic_block1(const Conversion& c) {
  Keywords kw;
  for (const GhostBlock* block : {&kResidualGhost, &kFirstGhost, &kSecondGhost}) {
    add_ghost_block(c, kw, *block);
  }
  kw.add("stride", c.attrs.required("stride"));
  return c.build("GhostBasicBlock1", kw);
}

nb::object ghost_basic_block2(const Conversion& c) {
  Keywords kw;
  for (const GhostBlock* block : {&kFirstGhost, &kSecondGhost}) add_ghost_block(c, kw, *block);
  return c.build("GhostBasicBlock2", kw);
}

nb::object sd_detect(const Conversion& c) {
  Keywords kw;
  for (const char* name : {"num_classes", "reg_max", "stride"})
    kw.add(name, c.attrs.required(name));
  for (const char* name : kDetectTensors) kw.add(name, c.array(name));
  return c.build("SDDetect", kw);
}

nb::object dfl_decode(const Conversion& c) {
  Keywords kw;
  kw.add("reg_max", c.attrs.required("reg_max"));
  kw.add("dfl_weights", c.array("dfl_weights"));
  return c.build("DFLDecode", kw);
}

nb::object dist2bbox(const Conversion& c) {
  Keywords kw;
  kw.add("stride", c.attrs.required("stride"));
  return c.build("Dist2BBox", kw);
}

struct BridgeRule {
  BridgeType type;
  const char* ir_name;  // the rule needs this IR class; nullptr: always present
  Rule convert;
};

// Strictly in this order; the ten optional IR classes are tested for first.
constexpr std::array<BridgeRule, 12> kBridgeRules = {{
    {kLIFModule, nullptr, &lif},
    {kSkipModule, nullptr, &skip},
    {kConcatModule, "Concat", &concat},
    {kChannelSplitModule, "ChannelSplit", &channel_split},
    {kSepConv2dModule, nullptr, &sep_conv2d},
    {kSGhostConvModule, "SGhostConv", &sghost_conv},
    {kSGhostEncoderLiteModule, "SGhostEncoderLite", &sghost_encoder_lite},
    {kGhostBasicBlock1Module, "GhostBasicBlock1", &ghost_basic_block1},
    {kGhostBasicBlock2Module, "GhostBasicBlock2", &ghost_basic_block2},
    {kSDDetectModule, "SDDetect", &sd_detect},
    {kDFLDecodeModule, "DFLDecode", &dfl_decode},
    {kDist2BBoxModule, "Dist2BBox", &dist2bbox},
}};

}  // namespace

nb::object bridge_rule_class(Env& env, nb::handle module) {
  const std::vector<nb::object>& types = env.bridge_types();
  for (const BridgeRule& rule : kBridgeRules) {
    if (rule.ir_name != nullptr && !env.ir_class(rule.ir_name).is_valid()) continue;
    if (is_instance(module, types[rule.type])) return types[rule.type];
  }
  try {
    if (is_instance(module, env.leaky_class())) return nb::borrow(env.leaky_class());
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_ImportError)) throw;
  }
  return spikingjelly_rule_class(module);
}

bool convert_bridge_module(Conversion& conversion, nb::object& node) {
  const std::vector<nb::object>& types = conversion.env.bridge_types();
  for (const BridgeRule& rule : kBridgeRules) {
    if (rule.ir_name != nullptr && !conversion.env.ir_class(rule.ir_name).is_valid()) continue;
    if (is_instance(conversion.module, types[rule.type])) {
      node = rule.convert(conversion);
      return true;
    }
  }
  // snnTorch is optional: without it (or with any import failing on the way)
  // the module is simply not convertible.
  try {
    node = convert_leaky(conversion);
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    node = nb::none();
  }
  if (node.is_none()) node = convert_spikingjelly_neuron(conversion);
  return !node.is_none();
}

}  // namespace vantle::export_ir
