// Definitions of the import module's classes and functions, one group per file.
#pragma once

#include <nanobind/nanobind.h>

namespace vantle::import_ir {

namespace nb = nanobind;

// In the order the module defines them.
void define_pairs(nb::module_ module);         // _to_2tuple_int
void define_routing(nb::module_ module);       // ChannelSplitModule, ConcatModule
void define_ghost(nb::module_ module);         // SGhostConvModule ... GhostBasicBlock2Module
void define_detect(nb::module_ module);        // SDDetectModule, DFLDecodeModule, Dist2BBoxModule
void define_nms(nb::module_ module);           // NMSModule
void define_skip_sepconv(nb::module_ module);  // SkipModule, SepConv2dModule
void define_spiking(nb::module_ module);       // SpikeFunction, LIFModule
void define_convert(nb::module_ module);       // node_to_module, nodes_to_modules, import_ir
// define_bare_layers (bare_layers.h): _SkipInitMode, used by define_convert's layers

}  // namespace vantle::import_ir
