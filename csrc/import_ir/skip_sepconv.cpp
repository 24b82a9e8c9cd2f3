// SkipModule and SepConv2dModule: the counterparts of the Skip and SepConv2d
// nodes, keeping their construction values so export can write them back.
#include "import_ir/classes.h"
#include "import_ir/module_fields.h"
#include "import_ir/weights.h"
#include "py/arg_check.h"
#include "py/class_factory.h"
#include "py/module_state.h"

namespace vantle::import_ir {
namespace {

using py::module_global;
using namespace nb::literals;

// --- SkipModule --------------------------------------------------------------------

void skip_init(nb::handle self, nb::handle skip_type) {
  nb::str merge = py::arg_str(skip_type, "skip_type");
  init_module_base(self);
  self.attr("skip_type") = merge;
}

// The executor merges the inputs by `skip_type`; the node passes the result on.
nb::object skip_forward(nb::handle, nb::handle x) {
  return nb::borrow(x);
}

// --- SepConv2dModule ---------------------------------------------------------------

void sepconv_init(nb::handle self, nb::handle depthwise_weight, nb::handle pointwise_weight,
                  nb::handle depthwise_bias, nb::handle pointwise_bias, nb::handle stride,
                  nb::handle padding, nb::handle dilation) {
  nb::tuple stride_pair = py::arg_tuple(stride, "stride");
  nb::tuple padding_pair = py::arg_tuple(padding, "padding");
  nb::tuple dilation_pair = py::arg_tuple(dilation, "dilation");
  nb::object nn = module_global("nn");
  init_module_base(self);

  nb::object depthwise_shape = depthwise_weight.attr("shape");
  nb::object in_ch = depthwise_shape[nb::int_(0)];
  nb::object out_ch = pointwise_weight.attr("shape")[nb::int_(0)];
  nb::object kernel = nb::make_tuple(depthwise_shape[nb::int_(2)], depthwise_shape[nb::int_(3)]);

  nb::object depthwise = nn.attr("Conv2d")(
      in_ch, in_ch, kernel, "stride"_a = stride_pair, "padding"_a = padding_pair,
      "dilation"_a = dilation_pair, "groups"_a = in_ch, "bias"_a = !depthwise_bias.is_none());
  load_array(depthwise, "weight", depthwise_weight);
  if (!depthwise_bias.is_none()) load_array(depthwise, "bias", depthwise_bias);

  nb::object pointwise =
      nn.attr("Conv2d")(in_ch, out_ch, nb::make_tuple(1, 1), "bias"_a = !pointwise_bias.is_none());
  load_array(pointwise, "weight", pointwise_weight);
  if (!pointwise_bias.is_none()) load_array(pointwise, "bias", pointwise_bias);

  self.attr("depthwise") = depthwise;
  self.attr("pointwise") = pointwise;
  self.attr("stride") = stride_pair;
  self.attr("padding") = padding_pair;
  self.attr("dilation") = dilation_pair;
}

nb::object sepconv_forward(nb::handle self, nb::handle x) {
  return self.attr("pointwise")(self.attr("depthwise")(x));
}

}  // namespace

void define_skip_sepconv(nb::module_ module) {
  nb::object module_base = module_global("nn").attr("Module");

  py::ClassBuilder(
      module, "SkipModule", module_base,
      "Marks how the executor merges several inputs.\n\n"
      "``SkipModule(skip_type=\"residual\")``: \"passthrough\" keeps the first input,\n"
      "\"residual\" adds them, \"concatenate\" joins them along dim 1.\n"
      "``forward(x)`` returns ``x`` itself.")
      .method("__init__", &skip_init, nb::arg("self").none(),
              nb::arg("skip_type").none() = "residual")
      .method("forward", &skip_forward, nb::arg("self").none(), nb::arg("x").none())
      .finish();

  py::ClassBuilder(module, "SepConv2dModule", module_base,
                   "Depthwise convolution followed by a 1x1 pointwise convolution.\n\n"
                   "``SepConv2dModule(depthwise_weight, pointwise_weight, depthwise_bias,\n"
                   "pointwise_bias, stride, padding, dilation)``: weights [in, 1, kH, kW] and\n"
                   "[out, in, 1, 1]; a bias of None means no bias; ``stride``, ``padding`` and\n"
                   "``dilation`` are tuples that apply to the depthwise stage.")
      .method("__init__", &sepconv_init, nb::arg("self").none(), nb::arg("depthwise_weight").none(),
              nb::arg("pointwise_weight").none(), nb::arg("depthwise_bias").none(),
              nb::arg("pointwise_bias").none(), nb::arg("stride").none(), nb::arg("padding").none(),
              nb::arg("dilation").none())
      .method("forward", &sepconv_forward, nb::arg("self").none(), nb::arg("x").none())
      .finish();
}

}  // namespace vantle::import_ir
