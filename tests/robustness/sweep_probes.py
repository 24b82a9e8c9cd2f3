"""Probes for the bad-input sweep over the four extension modules.

Each probe calls one public function or module class with one odd argument: a wrong type, None,
NaN or infinity, or a tensor of an unusual kind (other dtypes, empty, 0-dim, non-contiguous,
expanded, offset, negated view, requiring grad, meta, zero tensor, subclass, nested). Probes of
the entry points that have a C++ kernel also check any result they get against a reference
computed with plain float64 tensor arithmetic; a wrong result raises ``WrongResult``.

Run as ``python sweep_probes.py FIRST``: runs the probes from index FIRST on and prints
``> i`` before and ``< i outcome`` after each, so the parent can tell which one crashed.
"""

from __future__ import annotations

import sys
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import torch
from torch import nn

from vantle import ir
from vantle.bridge import dag_tools
from vantle.bridge import export_ir as ei
from vantle.bridge import import_ir as ii
from vantle.bridge import quantize as vq

sys.path.insert(0, str(Path(__file__).parent.parent / "import_ir"))
from nms_reference import greedy_nms  # noqa: E402 - the plain greedy loop of the NMS tests

# Values exact in float16 and bfloat16 and away from the LIF threshold, so every dtype gives
# the same spikes and the same grid points.
VALUES = [-3.0, -1.25, 0.0, 0.75, 1.5, 2.25, 3.5, -0.5]


class WrongResult(AssertionError):
    """A call returned, but not what the composed arithmetic gives."""


class Marked(torch.Tensor):
    """A tensor subclass: fast paths must leave it to torch."""


def base() -> torch.Tensor:
    return torch.tensor(VALUES).reshape(2, 4)


def with_non_finite(t: torch.Tensor) -> torch.Tensor:
    t = t.clone()
    t.view(-1)[:3] = torch.tensor([float("nan"), float("inf"), float("-inf")])
    return t


def offset_view(t: torch.Tensor) -> torch.Tensor:
    return torch.cat((torch.zeros(1), t.flatten()))[1:].view(t.shape)


# Odd forms of a float32 tensor; each keeps the values it has (where its dtype allows).
TENSOR_KINDS: dict[str, Callable[[torch.Tensor], Any]] = {
    "float32": lambda t: t,
    "float64": lambda t: t.double(),
    "float16": lambda t: t.half(),
    "bfloat16": lambda t: t.bfloat16(),
    "int64": lambda t: t.long(),
    "bool": lambda t: t > 0,
    "complex64": lambda t: t.to(torch.complex64),
    "empty": lambda t: t.reshape(-1)[:0],
    "zero-dim": lambda t: t.reshape(-1)[-1],
    "transposed": lambda t: t.t().contiguous().t(),
    "expanded": lambda t: t.reshape(-1)[:1].expand(t.shape),
    "offset": offset_view,
    "negated-view": lambda t: torch._neg_view(t),
    "conjugated-view": lambda t: t.to(torch.complex64).conj(),
    "requires-grad": lambda t: t.clone().requires_grad_(),
    "meta": lambda t: t.to("meta"),
    "nan-inf": with_non_finite,
    "zero-tensor": lambda t: torch._efficientzerotensor(t.shape),
    "subclass": lambda t: t.as_subclass(Marked),
    "nested": lambda t: torch.nested.nested_tensor([t.reshape(-1), t.reshape(-1)[:1]]),
    "numpy-negative-stride": lambda t: np.flip(t.numpy()),
}

# Odd values for arguments of any kind.
ODD_VALUES: dict[str, Any] = {
    "None": None,
    "str": "sixteen",
    "list": [1.0, 2.0],
    "object": object(),
    "nan": float("nan"),
    "inf": float("inf"),
    "huge-int": 2**80,
    "negative": -7,
}


def plain(t: torch.Tensor) -> torch.Tensor:
    """The values of a tensor as a plain float64 tensor (the reference's input)."""
    return t.detach().as_subclass(torch.Tensor).resolve_neg().resolve_conj().double()


def expect(got: torch.Tensor, want: torch.Tensor) -> None:
    if got.shape != want.shape:
        raise WrongResult(f"shape {tuple(got.shape)}, expected {tuple(want.shape)}")
    if got.is_meta:
        return  # no values to compare
    if not torch.allclose(plain(got), want, rtol=0, atol=0, equal_nan=True):
        raise WrongResult(f"values {plain(got).flatten().tolist()}, expected {want.flatten().tolist()}")


# --- checked entry points ---------------------------------------------------------------------

# Per-neuron values (none uniform, so no array collapses to one value).
LIF_ARRAYS = (np.array([2.0, 4.0, 2.0, 4.0]), np.array([1.0, 2.0, 1.0, 2.0]),
              np.array([0.0, 0.5, 0.0, -0.5]), np.array([0.5, 0.25, 0.5, 1.0]))


def lif_reference(x: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
    tau, r, v_leak, threshold = (torch.from_numpy(a) for a in LIF_ARRAYS)
    mem = (1 - 1 / tau) * torch.zeros_like(x) + (1 / tau) * (v_leak + r * x)
    spikes = (mem >= threshold).double()
    return spikes, mem * (1 - spikes)


def lif_step(x: Any) -> None:
    spikes, mem = ii.LIFModule(*LIF_ARRAYS)(x)
    want_spikes, want_mem = lif_reference(plain(x))
    expect(spikes, want_spikes)
    expect(mem, want_mem)


def lif_membrane(mem: Any) -> None:
    ii.LIFModule(*LIF_ARRAYS)(base(), mem)


def fake_quantize(x: Any) -> None:
    got = vq._quantize_tensor(x, 0.25, 0, 8)
    expect(got, torch.clamp(torch.round(plain(x) / 0.25), -128, 127) * 0.25)


def qat_forward(x: Any) -> None:
    model = vq.quantize_aware_training(nn.Sequential(nn.Identity()), vq.QuantizationConfig())
    got = model(x)
    values = plain(x)
    scale = max(abs(values.min().item()), abs(values.max().item()), 1e-8) / 127
    if not got.is_meta and values.isfinite().all():
        want = torch.clamp(torch.round(values / scale), -128, 127) * scale
        # float16 and bfloat16 divide in their own precision: one grid step apart at most.
        step = scale if x.dtype in (torch.float16, torch.bfloat16) else 0.0
        if not torch.allclose(plain(got), want, rtol=1e-6, atol=step):
            raise WrongResult(f"{plain(got).tolist()} != {want.tolist()}")


def export_copy(x: Any) -> None:
    got = ei.to_array(x, x.numel())
    want = plain(x).flatten().float().numpy()
    if got.dtype != np.float32 or not np.array_equal(got.reshape(-1), want, equal_nan=True):
        raise WrongResult(f"{got!r} != {want!r}")


def nms_boxes(boxes: Any) -> None:
    scores = torch.tensor([0.9, 0.8])
    got = ii.NMSModule._nms_fallback(boxes, scores, 0.5)
    expect(got, greedy_nms(plain(boxes), scores.double(), 0.5, stable=True).double())


CHECKED: dict[str, Callable[[Any], None]] = {
    "LIFModule.forward(x)": lif_step,
    "LIFModule.forward(mem)": lif_membrane,
    "_quantize_tensor": fake_quantize,
    "quantize_aware_training hook": qat_forward,
    "export_ir.to_array": export_copy,
    "_nms_fallback(boxes)": nms_boxes,
}

# --- entry points called with each odd value in one argument ----------------------------------


def graph() -> ir.Graph:
    return ir.Graph(nodes={"in": ir.Input(), "out": ir.Output()}, edges=[("in", "out")])


def linear() -> nn.Module:
    return nn.Sequential(nn.Linear(4, 2))


CONFIG = vq.QuantizationConfig()
PERCENTILE = vq.QuantizationConfig(calibration_method="percentile")

# name -> (callable, valid arguments); each argument in turn is replaced by each odd value.
CALLS: dict[str, tuple[Callable[..., Any], Callable[[], list[Any]]]] = {
    "import_ir": (ii.import_ir, lambda: [graph(), None]),
    "nodes_to_modules": (ii.nodes_to_modules, lambda: [graph(), None]),
    "node_to_module": (ii.node_to_module, lambda: [ir.LIF(tau=np.ones(4))]),
    "_to_2tuple_int": (ii._to_2tuple_int, lambda: [(1, 2)]),
    "LIFModule": (ii.LIFModule, lambda: list(LIF_ARRAYS)),
    "SpikeFunction.apply": (ii.SpikeFunction.apply, lambda: [base(), torch.tensor(0.5), 25.0]),
    "NMSModule": (ii.NMSModule, lambda: [0.25, 0.45, 300]),
    "NMSModule.forward": (lambda d: ii.NMSModule()(d), lambda: [torch.rand(3, 6)]),
    "_nms_fallback": (ii.NMSModule._nms_fallback, lambda: [torch.rand(3, 4), torch.rand(3), 0.5]),
    "ChannelSplitModule": (lambda s, d, x: ii.ChannelSplitModule(s, d)(x),
                           lambda: [(2, 2), 1, base()]),
    "ConcatModule": (lambda n, d, x: ii.ConcatModule(n, d)(x), lambda: [2, 1, base()]),
    "SkipModule": (lambda k, x: ii.SkipModule(k)(x), lambda: ["residual", base()]),
    "DFLDecodeModule": (lambda r, w, x: ii.DFLDecodeModule(r, w)(x),
                        lambda: [4, np.arange(4.0), torch.rand(1, 16, 3)]),
    "Dist2BBoxModule": (lambda s, x: ii.Dist2BBoxModule(s)(x), lambda: [8, torch.rand(1, 4, 2, 2)]),
    "SGhostConvModule": (
        lambda pw, pb, cw, cb, x: ii.SGhostConvModule(pw, pb, cw, cb)(x),
        lambda: [np.ones((2, 4, 1, 1)), np.zeros(2), np.ones((2, 1, 3, 3)), np.zeros(2),
                 torch.rand(1, 4, 5, 5)],
    ),
    "export_ir": (lambda m, x: ei.export_ir(m, x, strict=False), lambda: [linear(), torch.rand(1, 4)]),
    "to_array": (ei.to_array, lambda: [torch.ones(3), 3]),
    "_to_int1d": (ei._to_int1d, lambda: [(3,)]),
    "_extract_ir_metadata": (ei._extract_ir_metadata, lambda: [nn.Linear(2, 2)]),
    "QuantizationConfig": (vq.QuantizationConfig, lambda: ["int8", None, 16, True, "minmax", 99.9]),
    "quantize": (vq.quantize, lambda: [linear(), CONFIG, [torch.rand(1, 4)]]),
    "quantize percentile": (vq.quantize, lambda: [linear(), PERCENTILE, [torch.rand(1, 4)]]),
    "quantize_aware_training": (vq.quantize_aware_training, lambda: [linear(), CONFIG]),
    "_collect_statistics": (vq._collect_statistics,
                            lambda: [linear(), [torch.rand(1, 4)], PERCENTILE]),
    "_compute_scale_zp": (vq._compute_scale_zp, lambda: [-1.0, 1.0, 8, False]),
    "_quantize_tensor": (vq._quantize_tensor, lambda: [base(), 0.1, 3, 8]),
    "_get_bits": (vq._get_bits, lambda: ["int8"]),
    "get_precision_map": (vq.get_precision_map, lambda: [linear()]),
    "validate_graph": (dag_tools.validate_graph, lambda: [graph()]),
    "has_cycles": (dag_tools.has_cycles, lambda: [graph()]),
    "get_disconnected_nodes": (dag_tools.get_disconnected_nodes, lambda: [graph()]),
    "get_topological_order": (dag_tools.get_topological_order, lambda: [["a", "b"], [("a", "b")]]),
    "get_topological_order_from_graph": (dag_tools.get_topological_order_from_graph,
                                         lambda: [graph()]),
    "get_input_nodes": (dag_tools.get_input_nodes, lambda: [graph()]),
    "get_output_nodes": (dag_tools.get_output_nodes, lambda: [graph()]),
    "_get_or_build_rx_graph": (dag_tools._get_or_build_rx_graph, lambda: [graph()]),
}


def replaced(call: Callable[..., Any], make_args: Callable[[], list[Any]], position: int,
             value: Callable[[Any], Any]) -> Callable[[], Any]:
    def run() -> Any:
        args = make_args()
        args[position] = value(args[position])
        return call(*args)

    return run


def probes() -> list[tuple[str, Callable[[], Any]]]:
    """Every probe, in a fixed order (the parent and the child agree on indices)."""
    found = []
    for target, check in CHECKED.items():
        for kind, make in TENSOR_KINDS.items():
            found.append((f"{target} <- {kind}", lambda check=check, make=make: check(make(base()))))
    for name, (call, make_args) in CALLS.items():
        for position in range(len(make_args())):
            odd = {k: (lambda _, v=v: v) for k, v in ODD_VALUES.items()}
            for kind, make in TENSOR_KINDS.items():
                odd[kind] = lambda arg, make=make: make(arg) if isinstance(arg, torch.Tensor) else make(base())
            for kind, value in odd.items():
                found.append((f"{name}[{position}] <- {kind}", replaced(call, make_args, position, value)))
    return found


def main(first: int) -> None:
    warnings.simplefilter("ignore")
    torch.manual_seed(0)
    all_probes = probes()
    for index in range(first, len(all_probes)):
        print(f"> {index}", flush=True)
        try:
            all_probes[index][1]()
            outcome = "ok"
        except WrongResult as wrong:
            outcome = f"wrong {wrong}"
        except BaseException as error:  # noqa: BLE001 - every outcome is reported
            outcome = f"raised {type(error).__name__} {str(error)[:200]!r}"
        print(f"< {index} {outcome}".replace("\n", " "), flush=True)


if __name__ == "__main__":
    main(int(sys.argv[1]))
