// The import module's classes and GraphExecutor, which the bridge rules and
// the choice of export path test modules against.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace vantle::export_ir {

namespace nb = nanobind;

// Positions in the tuple that _get_bridge_types returns.
enum BridgeType : std::size_t {
  kLIFModule,
  kSkipModule,
  kSepConv2dModule,
  kChannelSplitModule,
  kConcatModule,
  kSGhostConvModule,
  kSGhostEncoderLiteModule,
  kGhostBasicBlock1Module,
  kGhostBasicBlock2Module,
  kSDDetectModule,
  kDFLDecodeModule,
  kDist2BBoxModule,
  kGraphExecutor,
  kBridgeTypeCount,
};

// The tuple of the twelve import classes and GraphExecutor, imported on first
// use and cached in the module's _CACHED_TYPES.
nb::object get_bridge_types();

// Whether `model` is a GraphExecutor: the last bridge type, as export tests it.
bool is_executor(nb::handle model);

}  // namespace vantle::export_ir
