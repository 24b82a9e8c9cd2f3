// node_to_module, nodes_to_modules and import_ir: IR nodes become torch modules.
//
// A node's kind is decided by instance tests against the IR library's classes,
// in the fixed order of `kRows`; the first match builds the module. The classes
// are looked up on `ir` at every call, so a patched or extended library is
// honoured, and optional classes the library lacks are skipped.
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "import_ir/bare_layers.h"
#include "import_ir/classes.h"
#include "import_ir/node_checks.h"
#include "import_ir/weights.h"
#include "py/arg_check.h"
#include "py/module_state.h"
#include "py/notes.h"
#include "py/text.h"
#include "py/torch_ops.h"

namespace vantle::import_ir {
namespace {

using py::module_global;
using namespace nb::literals;

nb::object nn_layer(const char* name) {
  return module_global("nn").attr(name);
}

nb::object field(nb::handle node, const char* name) {
  return node.attr(name);
}

// to_tuple(node.<name>, default, "<name>")
nb::object pair_field(nb::handle node, const char* name, nb::handle default_pair) {
  return module_global("to_tuple")(field(node, name), default_pair, name);
}

nb::object pair_field(nb::handle node, const char* name, int first, int second) {
  return pair_field(node, name, nb::make_tuple(first, second));
}

// `value > 0` as the interpreter evaluates it (a TypeError for None).
bool greater_than_zero(nb::handle value) {
  nb::object zero = nb::int_(0);
  const int result = PyObject_RichCompareBool(value.ptr(), zero.ptr(), Py_GT);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

nb::object shape_entry(nb::handle array, int index) {
  return array.attr("shape")[nb::int_(index)];
}

// The dimension index of an IR field, shifted past the batch dimension.
nb::object batch_shifted(nb::handle node, const char* name) {
  return field(node, name) + nb::int_(1);
}

using FieldTensors = std::vector<std::pair<const char*, nb::object>>;

// Float32 copies of the node's array fields `names`, made before the layer that
// takes them is built: the layer allocates what the node's size fields claim
// (num_features, normalized_shape), and a missing or unconvertible array then
// fails before anything is allocated.
FieldTensors field_tensors(nb::handle node, std::initializer_list<const char*> names) {
  FieldTensors tensors;
  for (const char* name : names) tensors.emplace_back(name, field_float32(field(node, name), name));
  return tensors;
}

// The layer's parameters or buffers of the same names take the copies.
void load_tensors(nb::handle layer, const FieldTensors& tensors) {
  for (const auto& [name, tensor] : tensors) layer.attr(name).attr("data") = tensor;
}

// --- Standard layers ---------------------------------------------------------------

nb::object identity(nb::handle) {
  return nn_layer("Identity")();
}

nb::object linear(nb::handle node) {
  nb::object weight = field(node, "weight");
  return layer_with_weights("Linear",
                            nb::make_tuple(shape_entry(weight, 1), shape_entry(weight, 0)),
                            nb::dict(), node, weight);
}

struct ConvGeometry {
  nb::object kernel, stride, padding, dilation;
};

// A convolution whose channel counts come from the weight's layout
// [out_ch, in_ch / groups, ...], with the node's weight and bias loaded.
nb::object convolution(const char* layer_name, nb::handle node, nb::handle weight,
                       nb::handle groups, const ConvGeometry& geometry) {
  nb::object out_ch = shape_entry(weight, 0);
  nb::object in_ch = shape_entry(weight, 1) * groups;
  nb::dict options;
  options["stride"] = geometry.stride;
  options["padding"] = geometry.padding;
  options["dilation"] = geometry.dilation;
  options["groups"] = groups;
  return layer_with_weights(layer_name, nb::make_tuple(in_ch, out_ch, geometry.kernel), options,
                            node, weight);
}

nb::object conv1d(nb::handle node) {
  nb::object weight = field(node, "weight");
  nb::int_ groups(field(node, "groups"));
  const ConvGeometry geometry{nb::int_(shape_entry(weight, 2)), nb::int_(field(node, "stride")),
                              nb::int_(field(node, "padding")), nb::int_(field(node, "dilation"))};
  return convolution("Conv1d", node, weight, groups, geometry);
}

nb::object conv2d(nb::handle node) {
  nb::object weight = field(node, "weight");
  nb::int_ groups(field(node, "groups"));
  const ConvGeometry geometry{nb::make_tuple(shape_entry(weight, 2), shape_entry(weight, 3)),
                              pair_field(node, "stride", 1, 1), pair_field(node, "padding", 0, 0),
                              pair_field(node, "dilation", 1, 1)};
  return convolution("Conv2d", node, weight, groups, geometry);
}

nb::object flatten(nb::handle node) {
  return nn_layer("Flatten")("start_dim"_a = batch_shifted(node, "start_dim"),
                             "end_dim"_a = field(node, "end_dim"));
}

// Kernel size and stride of a pooling node; a stride of None stays None.
std::array<nb::object, 2> pool_window(nb::handle node) {
  nb::object kernel = pair_field(node, "kernel_size", 2, 2);
  nb::object stride = field(node, "stride");
  if (!stride.is_none()) stride = pair_field(node, "stride", kernel);
  return {kernel, stride};
}

nb::object max_pool(nb::handle node) {
  auto [kernel, stride] = pool_window(node);
  nb::object padding = pair_field(node, "padding", 0, 0);
  nb::object dilation = pair_field(node, "dilation", 1, 1);
  return nn_layer("MaxPool2d")("kernel_size"_a = kernel, "stride"_a = stride, "padding"_a = padding,
                               "dilation"_a = dilation,
                               "ceil_mode"_a = nb::bool_(field(node, "ceil_mode")));
}

nb::object avg_pool(nb::handle node) {
  auto [kernel, stride] = pool_window(node);
  nb::object padding = pair_field(node, "padding", 0, 0);
  return nn_layer("AvgPool2d")("kernel_size"_a = kernel, "stride"_a = stride, "padding"_a = padding,
                               "ceil_mode"_a = nb::bool_(field(node, "ceil_mode")),
                               "count_include_pad"_a = nb::bool_(field(node, "count_include_pad")));
}

nb::object lif(nb::handle node) {
  return module_global("LIFModule")(field(node, "tau"), field(node, "r"), field(node, "v_leak"),
                                    field(node, "v_threshold"));
}

nb::object upsample(nb::handle node) {
  nb::object size = field(node, "size");
  nb::object scale_factor = field(node, "scale_factor");
  nb::object mode = field(node, "mode");
  nb::object align_corners = nb::none();
  if (mode.equal(nb::str("bilinear"))) {
    align_corners = nb::bool_(field(node, "align_corners"));
  }
  if (!size.is_none()) {
    return nn_layer("Upsample")("size"_a = size, "mode"_a = mode,
                                "align_corners"_a = align_corners);
  }
  return nn_layer("Upsample")("scale_factor"_a = scale_factor, "mode"_a = mode,
                              "align_corners"_a = align_corners);
}

nb::object relu(nb::handle node) {
  nb::object slope = field(node, "negative_slope");
  if (greater_than_zero(slope)) {
    return nn_layer("LeakyReLU")("negative_slope"_a = slope);
  }
  return nn_layer("ReLU")();
}

nb::object sigmoid(nb::handle) {
  return nn_layer("Sigmoid")();
}

nb::object tanh_layer(nb::handle) {
  return nn_layer("Tanh")();
}

nb::object softmax(nb::handle node) {
  return nn_layer("Softmax")("dim"_a = field(node, "dim"));
}

nb::object gelu(nb::handle node) {
  const bool tanh_form = py::truthy(field(node, "approximate"));
  return nn_layer("GELU")("approximate"_a = tanh_form ? "tanh" : "none");
}

nb::object elu(nb::handle node) {
  return nn_layer("ELU")("alpha"_a = field(node, "alpha"));
}

nb::object prelu(nb::handle node) {
  nb::object weight = field(node, "weight");
  const FieldTensors tensors = {{"weight", field_float32(weight, "weight")}};
  nb::object layer = nn_layer("PReLU")("num_parameters"_a = weight.attr("size"));
  load_tensors(layer, tensors);
  return layer;
}

// Imported statistics are final, so batch norms come back in evaluation mode.
nb::object batch_norm(nb::handle node, const char* layer_name) {
  const FieldTensors tensors =
      field_tensors(node, {"weight", "bias", "running_mean", "running_var"});
  nb::object layer = nn_layer(layer_name)(field(node, "num_features"), "eps"_a = field(node, "eps"),
                                          "momentum"_a = field(node, "momentum"));
  load_tensors(layer, tensors);
  layer.attr("eval")();
  return layer;
}

nb::object batch_norm1d(nb::handle node) {
  return batch_norm(node, "BatchNorm1d");
}

nb::object batch_norm2d(nb::handle node) {
  return batch_norm(node, "BatchNorm2d");
}

nb::object layer_norm(nb::handle node) {
  const FieldTensors tensors = field_tensors(node, {"weight", "bias"});
  nb::object layer =
      nn_layer("LayerNorm")(field(node, "normalized_shape"), "eps"_a = field(node, "eps"));
  load_tensors(layer, tensors);
  return layer;
}

nb::object dropout(nb::handle node) {
  return nn_layer("Dropout")("p"_a = field(node, "p"));
}

// --- Composite nodes ---------------------------------------------------------------

// {name: node.<name>} over the given fields, as keyword arguments.
nb::dict fields_by_name(nb::handle node, std::initializer_list<const char*> names) {
  nb::dict kwargs;
  for (const char* name : names) kwargs[name] = field(node, name);
  return kwargs;
}

nb::object sepconv(nb::handle node) {
  nb::object stride = pair_field(node, "stride", 1, 1);
  nb::object padding = pair_field(node, "padding", 0, 0);
  nb::object dilation = pair_field(node, "dilation", 1, 1);
  return module_global("SepConv2dModule")(
      field(node, "depthwise_weight"), field(node, "pointwise_weight"),
      field(node, "depthwise_bias"), field(node, "pointwise_bias"), stride, padding, dilation);
}

nb::object skip(nb::handle node) {
  return module_global("SkipModule")(field(node, "skip_type"));
}

nb::object channel_split(nb::handle node) {
  return module_global("ChannelSplitModule")(field(node, "split_sections"),
                                             "dim"_a = batch_shifted(node, "dim"));
}

nb::object concat(nb::handle node) {
  return module_global("ConcatModule")(field(node, "num_inputs"),
                                       "dim"_a = batch_shifted(node, "dim"));
}

nb::object ghost_conv(nb::handle node) {
  nb::dict kwargs =
      fields_by_name(node, {"primary_weight", "primary_bias", "cheap_weight", "cheap_bias"});
  nb::object to_pair = module_global("_to_2tuple_int");
  for (const char* name : {"primary_stride", "primary_padding", "cheap_stride", "cheap_padding"}) {
    try {
      kwargs[name] = to_pair(field(node, name));
    } catch (const nb::python_error& error) {
      py::add_note(error, "in field '" + std::string(name) + "'");
      throw;
    }
  }
  return module_global("SGhostConvModule")(**kwargs);
}

// A ghost block: its arrays as they are, plus an int stride where it has one.
nb::object ghost_block(const char* module_class, nb::handle node,
                       std::initializer_list<const char*> arrays, bool has_stride) {
  nb::dict kwargs = fields_by_name(node, arrays);
  if (has_stride) kwargs["stride"] = nb::int_(field(node, "stride"));
  return module_global(module_class)(**kwargs);
}

nb::object ghost_encoder(nb::handle node) {
  return ghost_block("SGhostEncoderLiteModule", node,
                     {"conv1_weight", "conv1_bias", "ghost_primary_weight", "ghost_primary_bias",
                      "ghost_cheap_weight", "ghost_cheap_bias"},
                     true);
}

nb::object ghost_block1(nb::handle node) {
  return ghost_block(
      "GhostBasicBlock1Module", node,
      {"cvres_primary_weight", "cvres_primary_bias", "cvres_cheap_weight", "cvres_cheap_bias",
       "cv0_primary_weight", "cv0_primary_bias", "cv0_cheap_weight", "cv0_cheap_bias",
       "cv2_primary_weight", "cv2_primary_bias", "cv2_cheap_weight", "cv2_cheap_bias"},
      true);
}

nb::object ghost_block2(nb::handle node) {
  return ghost_block(
      "GhostBasicBlock2Module", node,
      {"cv0_primary_weight", "cv0_primary_bias", "cv0_cheap_weight", "cv0_cheap_bias",
       "cv2_primary_weight", "cv2_primary_bias", "cv2_cheap_weight", "cv2_cheap_bias"},
      false);
}

nb::object detect_head(nb::handle node) {
  nb::dict kwargs = fields_by_name(
      node, {"num_classes", "reg_max", "stride", "cv2_w0", "cv2_b0", "cv2_w1", "cv2_b1", "cv2_w2",
             "cv2_b2", "cv3_w0", "cv3_b0", "cv3_w1", "cv3_b1", "cv3_w2", "cv3_b2"});
  return module_global("SDDetectModule")(**kwargs);
}

nb::object dfl_decode(nb::handle node) {
  return module_global("DFLDecodeModule")(field(node, "reg_max"), field(node, "dfl_weights"));
}

nb::object dist2bbox(nb::handle node) {
  return module_global("Dist2BBoxModule")(field(node, "stride"));
}

nb::object nms(nb::handle node) {
  return module_global("NMSModule")(field(node, "score_threshold"), field(node, "iou_threshold"),
                                    field(node, "max_detections"));
}

// --- The instance-test chain ---------------------------------------------------------

struct Row {
  const char* ir_class;
  bool optional;  // tested only when the IR library has the class
  nb::object (*build)(nb::handle node);
};

constexpr std::array kRows = {
    Row{"Input", false, identity},
    Row{"Output", false, identity},
    Row{"Affine", false, linear},
    Row{"SpikingAffine", false, linear},
    Row{"Conv1d", false, conv1d},
    Row{"Conv2d", false, conv2d},
    Row{"Flatten", false, flatten},
    Row{"MaxPool2d", false, max_pool},
    Row{"AvgPool2d", false, avg_pool},
    Row{"SepConv2d", false, sepconv},
    Row{"Skip", false, skip},
    Row{"ChannelSplit", true, channel_split},
    Row{"Concat", true, concat},
    Row{"LIF", false, lif},
    Row{"Upsample", false, upsample},
    Row{"SGhostConv", true, ghost_conv},
    Row{"SGhostEncoderLite", true, ghost_encoder},
    Row{"GhostBasicBlock1", true, ghost_block1},
    Row{"GhostBasicBlock2", true, ghost_block2},
    Row{"SDDetect", true, detect_head},
    Row{"DFLDecode", true, dfl_decode},
    Row{"Dist2BBox", true, dist2bbox},
    Row{"NMS", true, nms},
    Row{"ReLU", false, relu},
    Row{"Sigmoid", false, sigmoid},
    Row{"Tanh", false, tanh_layer},
    Row{"Softmax", false, softmax},
    Row{"GELU", false, gelu},
    Row{"ELU", false, elu},
    Row{"PReLU", false, prelu},
    Row{"BatchNorm1d", false, batch_norm1d},
    Row{"BatchNorm2d", false, batch_norm2d},
    Row{"LayerNorm", false, layer_norm},
    Row{"Dropout", false, dropout},
    Row{"HybridRegion", false, identity},
};

// The class names of `kRows` as interned strings, made once at load: a lookup
// by a ready string skips building and hashing a new one for every node and row.
std::array<PyObject*, kRows.size()> row_class_names{};  // alive for the process

void intern_row_class_names() {
  for (std::size_t i = 0; i < kRows.size(); ++i) {
    row_class_names[i] = PyUnicode_InternFromString(kRows[i].ir_class);
    if (row_class_names[i] == nullptr) throw nb::python_error();
  }
}

// ir.<name>, or None for an optional class the library lacks.
nb::object row_class(nb::handle ir, std::size_t row) {
  PyObject* found = PyObject_GetAttr(ir.ptr(), row_class_names[row]);
  if (found != nullptr) return nb::steal(found);
  if (kRows[row].optional && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return nb::none();
  }
  throw nb::python_error();
}

nb::object node_to_module(nb::handle node) {
  nb::object ir = module_global("ir");
  for (std::size_t row = 0; row < kRows.size(); ++row) {
    nb::object ir_class = row_class(ir, row);
    if (ir_class.is_none()) continue;
    const int match = PyObject_IsInstance(node.ptr(), ir_class.ptr());
    if (match < 0) throw nb::python_error();
    if (match == 1) return kRows[row].build(node);
  }
  return nb::none();
}

// The built-in conversion of one node, after the IR library's checks of its
// fields. Whatever the conversion raises passes on as it is, with a note that
// names the node.
nb::object converted(nb::handle convert, NodeChecks& check, nb::handle name, nb::handle node) {
  check(name, node);
  try {
    return convert(node);
  } catch (const nb::python_error& error) {
    py::add_note(error, "while importing node " + py::repr_text(name) + " (" +
                            py::python_type_name(node) + ")");
    throw;
  }
}

nb::dict nodes_to_modules(nb::handle graph, nb::handle custom_map) {
  nb::object convert = module_global("node_to_module");
  NodeChecks check;
  nb::dict modules;
  nb::object items = graph.attr("nodes").attr("items")();
  for (nb::handle item : items) {
    nb::object name = item[nb::int_(0)];
    nb::object node = item[nb::int_(1)];
    nb::object module = custom_map.is_none() ? nb::none() : custom_map(node);
    if (module.is_none()) module = converted(convert, check, name, node);
    if (!module.is_none()) modules[name] = module;
  }
  return modules;
}

bool is_path(nb::handle graph) {
  if (PyUnicode_Check(graph.ptr())) return true;
  nb::object path_like = nb::module_::import_("os").attr("PathLike");
  const int match = PyObject_IsInstance(graph.ptr(), path_like.ptr());
  if (match < 0) throw nb::python_error();
  return match == 1;
}

nb::object import_ir(nb::handle graph, nb::handle custom_map) {
  nb::object source = nb::borrow(graph);
  if (is_path(graph)) source = module_global("ir").attr("read")(graph);
  return module_global("nodes_to_modules")(source, custom_map);
}

}  // namespace

void define_convert(nb::module_ module) {
  intern_row_class_names();
  module.def("node_to_module", &node_to_module, nb::arg("node").none(),
             "The torch module for one IR node, or None when its kind has no conversion.\n\n"
             "Standard layers become ``torch.nn`` layers with the node's arrays copied in as\n"
             "float32 (batch norms in evaluation mode); composite nodes become this module's\n"
             "classes. Dimension fields counted without the batch dimension are shifted by 1.");
  module.def("nodes_to_modules", &nodes_to_modules, nb::arg("graph").none(),
             nb::arg("custom_map").none() = nb::none(),
             "Converts every node of ``graph`` in order: ``custom_map(node)`` first when given,\n"
             "``node_to_module(node)`` when that returns None. Nodes that neither converts are\n"
             "left out of the returned ``{name: module}`` dictionary.\n\n"
             "Before its built-in conversion a node's fields are checked\n"
             "(``ir.check_node_types``, ``ir.check_node_shapes``): a value the conversion\n"
             "cannot take raises TypeError or ValueError naming the node and the field. An\n"
             "error of the conversion itself passes on unchanged, with a note naming the node.");
  module.def("import_ir", &import_ir, nb::arg("graph").none(),
             nb::arg("custom_map").none() = nb::none(),
             "IR graph (or the path of a .vx2 file, as str or os.PathLike) -> {name: module}.\n\n"
             "    modules = import_ir(graph)\n"
             "    executor = GraphExecutor(modules, graph.edges)\n\n"
             "``custom_map(node)`` may return a module to replace the built-in conversion of a\n"
             "node, or None to keep it. Errors of reading, converting or building propagate;\n"
             "those of a node name it (see ``nodes_to_modules``).");
}

}  // namespace vantle::import_ir
