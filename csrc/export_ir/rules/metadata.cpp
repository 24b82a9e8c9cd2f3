// The hardware metadata a module carries (precisions, accumulator width,
// reuse factor, a quantization config), under current or legacy names.
#include <array>

#include "export_ir/rules/values.h"
#include "py/torch_ops.h"

namespace vantle::export_ir {
namespace {

// A metadata value: its key, the current attribute and the legacy one.
struct MetadataField {
  const char* key;
  const char* current;
  const char* legacy;
};

constexpr std::array<MetadataField, 5> kMetadataFields = {{
    {"weight_t", "_vantle_weight_t", "_vx2_weight_t"},
    {"bias_t", "_vantle_bias_t", "_vx2_bias_t"},
    {"accum_t", "_vantle_accum_t", "_vx2_accum_t"},
    {"result_t", "_vantle_result_t", "_vx2_result_t"},
    {"reuse_factor", "_vantle_reuse_factor", "_vx2_reuse_factor"},
}};
constexpr MetadataField kPrecision = {"precision", "_vantle_precision", "_vx2_precision"};
constexpr MetadataField kAccumulatorBits = {"accumulator_bits", "_vantle_accumulator_bits",
                                            "_vx2_accumulator_bits"};

bool is_falsy(nb::handle value) {
  return !py::truthy(value);
}

// The current attribute, or the legacy one when the current is falsy.
nb::object current_or_legacy(const AttrReader::View& module, const MetadataField& field) {
  nb::object value = module.optional(field.current);
  if (is_falsy(value)) value = module.optional(field.legacy);
  return value;
}

// str(dtype) without the "torch." prefix, or None when the object has no dtype.
nb::object dtype_name(nb::handle observer) {
  nb::object dtype = optional_attr(observer, "dtype");
  if (dtype.is_none()) return dtype;
  return nb::str(dtype).attr("replace")("torch.", "");
}

}  // namespace

bool carries_no_metadata(const AttrReader::View& module) {
  // Most modules carry none: one scan of their names instead of a lookup each.
  return !module.may_have_prefixed(
      {"_vantle_", "_vx2_", "qconfig"},
      {"_vantle_weight_t", "_vx2_weight_t", "_vantle_bias_t", "_vx2_bias_t", "_vantle_accum_t",
       "_vx2_accum_t", "_vantle_result_t", "_vx2_result_t", "_vantle_reuse_factor",
       "_vx2_reuse_factor", "_vantle_precision", "_vx2_precision", "_vantle_accumulator_bits",
       "_vx2_accumulator_bits", "qconfig"});
}

nb::dict extract_ir_metadata(const AttrReader::View& module) {
  nb::dict metadata;
  if (carries_no_metadata(module)) {
    for (const MetadataField& field : kMetadataFields) metadata[interned(field.key)] = nb::none();
    return metadata;
  }
  for (const MetadataField& field : kMetadataFields) {
    metadata[interned(field.key)] = current_or_legacy(module, field);
  }
  nb::object precision = current_or_legacy(module, kPrecision);
  nb::object accumulator_bits = current_or_legacy(module, kAccumulatorBits);

  // Fallbacks fill only what no explicit per-field attribute gave.
  if (!is_falsy(precision)) {
    if (metadata["weight_t"].is_none()) metadata["weight_t"] = precision;
    if (metadata["bias_t"].is_none()) metadata["bias_t"] = precision;
  }
  if (!accumulator_bits.is_none() && metadata["accum_t"].is_none()) {
    metadata["accum_t"] = nb::str("int") + nb::str(accumulator_bits);
  }

  nb::object qconfig = module.optional("qconfig");
  if (!qconfig.is_none()) {
    if (metadata["weight_t"].is_none()) {
      nb::object weight = qconfig.attr("weight");
      if (!weight.is_none()) {
        if (nb::object name = dtype_name(weight); !name.is_none()) metadata["weight_t"] = name;
      }
    }
    if (metadata["result_t"].is_none()) {
      nb::object activation = qconfig.attr("activation");
      if (!activation.is_none()) {
        if (nb::object name = dtype_name(activation); !name.is_none()) metadata["result_t"] = name;
      }
    }
  }
  return metadata;
}

}  // namespace vantle::export_ir
