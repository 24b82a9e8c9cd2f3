"""export_ir on a model of 1,000 small modules against the same algorithm written plainly
in Python, timed in the same run.

The baseline below follows the exporter step by step: shape capture (evaluation mode for the
trace, buffers and training flags restored, one forward hook per module), the chain over
``named_modules()`` with unique node names, the rule chain of instance tests in the exporter's
order, the hardware metadata and the node keywords. It implements the rules the benchmark model
needs, with every earlier rule's instance test still made.

Usage: python bench/bench_export.py
"""

from __future__ import annotations

import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
import torch
from torch import nn

from vantle import ir
from vantle.bridge.export_ir import VANTLEExporter, export_ir
from vantle.bridge.utils import sanitize_module_name

MODULES = 1000
WIDTH = 16
REPEAT = 30

Shape = Tuple[int, ...]
_KEYS = ("weight_t", "bias_t", "accum_t", "result_t", "reuse_factor")
_RULE_ORDER = (
    nn.Linear, nn.Conv1d, nn.Conv2d, nn.Flatten, nn.MaxPool2d, nn.AvgPool2d, nn.Identity,
    nn.ReLU, nn.LeakyReLU, nn.Sigmoid, nn.Tanh, nn.Softmax, nn.GELU, nn.ELU, nn.PReLU,
    nn.BatchNorm1d, nn.BatchNorm2d, nn.LayerNorm, nn.Dropout, nn.Upsample,
)  # fmt: skip


def plain_metadata(m: nn.Module) -> Dict[str, Any]:
    meta = {}
    for key in _KEYS:
        value = getattr(m, "_vantle_" + key, None)
        if not value:
            value = getattr(m, "_vx2_" + key, None)
        meta[key] = value
    precision = getattr(m, "_vantle_precision", None) or getattr(m, "_vx2_precision", None)
    acc_bits = getattr(m, "_vantle_accumulator_bits", None) or getattr(
        m, "_vx2_accumulator_bits", None
    )
    if precision and meta["weight_t"] is None:
        meta["weight_t"] = precision
    if precision and meta["bias_t"] is None:
        meta["bias_t"] = precision
    if acc_bits is not None and meta["accum_t"] is None:
        meta["accum_t"] = f"int{acc_bits}"
    qconfig = getattr(m, "qconfig", None)
    if qconfig is not None:
        if meta["weight_t"] is None and qconfig.weight is not None:
            dtype = getattr(qconfig.weight, "dtype", None)
            if dtype is not None:
                meta["weight_t"] = str(dtype).replace("torch.", "")
        if meta["result_t"] is None and qconfig.activation is not None:
            dtype = getattr(qconfig.activation, "dtype", None)
            if dtype is not None:
                meta["result_t"] = str(dtype).replace("torch.", "")
    return meta


def _array(tensor: torch.Tensor) -> np.ndarray:
    return tensor.detach().cpu().numpy()


def plain_convert(m: nn.Module, in_shape: Shape, out_shape: Shape) -> Optional[ir.Node]:
    in_type = {"input": np.array(in_shape)}
    out_type = {"output": np.array(out_shape)}
    n = int(np.prod(out_shape)) if out_shape else 1
    rule = next((cls for cls in _RULE_ORDER if isinstance(m, cls)), None)
    if rule is nn.Linear:
        weight = _array(m.weight)
        bias = _array(m.bias) if m.bias is not None else np.zeros(weight.shape[0], np.float32)
        meta = {k: v for k, v in plain_metadata(m).items() if v is not None}
        return ir.Affine(weight=weight, bias=bias, input_type=in_type, output_type=out_type, **meta)
    if rule is nn.ReLU:
        return ir.ReLU(features=n, negative_slope=0.0, input_type=in_type, output_type=out_type)
    if rule is nn.BatchNorm1d:
        k = m.num_features
        return ir.BatchNorm1d(
            num_features=k,
            weight=_array(m.weight) if m.weight is not None else np.ones(k, np.float32),
            bias=_array(m.bias) if m.bias is not None else np.zeros(k, np.float32),
            running_mean=_array(m.running_mean)
            if m.running_mean is not None
            else np.zeros(k, np.float32),
            running_var=_array(m.running_var) if m.running_var is not None else np.ones(k, np.float32),
            eps=m.eps,
            momentum=m.momentum if m.momentum is not None else 0.1,
            input_type=in_type,
            output_type=out_type,
        )
    if rule is nn.Dropout:
        return ir.Dropout(features=n, p=m.p, input_type=in_type, output_type=out_type)
    if rule is not None:
        raise NotImplementedError(rule)
    try:
        import snntorch  # noqa: F401  (the exporter's last rule imports it too)
    except ImportError:
        pass
    return None


def plain_capture(model: nn.Module, sample: torch.Tensor) -> Tuple[Dict[nn.Module, Shape], ...]:
    """The traced pass: evaluation mode, one hook per module, everything restored."""
    input_shapes: Dict[nn.Module, Shape] = {}
    output_shapes: Dict[nn.Module, Shape] = {}

    def hook(m: nn.Module, inp: Tuple[Any, ...], out: Any) -> None:
        if inp and isinstance(inp[0], torch.Tensor):
            input_shapes[m] = tuple(inp[0].shape[1:])
        if isinstance(out, tuple):
            out = out[0] if out else None
        if isinstance(out, torch.Tensor):
            output_shapes[m] = tuple(out.shape[1:])

    modules = list(model.modules())
    saved = [(m, m.training, dict(m._buffers)) for m in modules]
    handles = []
    try:
        for m in modules:
            if m.training:
                m.training = False
        handles = [m.register_forward_hook(hook) for m in modules]
        with torch.no_grad():
            model(sample)
    finally:
        for handle in handles:
            handle.remove()
        for m, training, buffers in saved:
            for name, tensor in buffers.items():
                if m._buffers.get(name) is not tensor:
                    m._buffers[name] = tensor
            if m.training is not training:
                m.training = training
    return input_shapes, output_shapes


def plain_export(model: nn.Module, sample: torch.Tensor) -> ir.Graph:
    input_shapes, output_shapes = plain_capture(model, sample)
    in_shape = tuple(sample.shape[1:])
    nodes: Dict[str, ir.Node] = {"input": ir.Input(input_type={"input": np.array(in_shape)})}
    edges: List[Tuple[str, str]] = []
    prev, last = "input", in_shape
    module_list = list(model.named_modules())
    for name, m in module_list:
        if name == "" and len(module_list) > 1:
            continue
        in_sh = input_shapes.get(m, last)
        out_sh = output_shapes.get(m, in_sh)
        node = plain_convert(m, in_sh, out_sh)
        if node is None:
            continue
        safe = sanitize_module_name(name) if name else type(m).__name__.lower()
        unique, suffix = safe, 0
        while unique in nodes or unique == "output":
            suffix += 1
            unique = f"{safe}_{suffix}"
        nodes[unique] = node
        edges.append((prev, unique))
        prev, last = unique, out_sh
    if prev and prev != "input":
        nodes["output"] = ir.Output(output_type={"output": np.array(last)})
        edges.append((prev, "output"))
    return ir.Graph(nodes=nodes, edges=edges)


def best_of(runs: Dict[str, Callable[[], Any]], repeat: int = REPEAT) -> Dict[str, float]:
    """Least CPU time of the calling thread per run, the runs interleaved, after one warm-up.

    Thread CPU time rather than wall time: the work is single-threaded (torch is set to one
    thread below), and on a shared machine wall time mostly measures the neighbours.
    Interleaving spreads any drift of the machine evenly over the runs compared.
    """
    for fn in runs.values():
        fn()
    times: Dict[str, List[float]] = {name: [] for name in runs}
    for _ in range(repeat):
        for name, fn in runs.items():
            start = time.thread_time()
            fn()
            times[name].append(time.thread_time() - start)
    return {name: min(values) for name, values in times.items()}


def build_models() -> Dict[str, nn.Module]:
    """Two models of 1,000 small modules each, as flat Sequentials."""
    mlp: List[nn.Module] = []
    for _ in range(MODULES // 2):
        mlp += [nn.Linear(WIDTH, WIDTH), nn.ReLU()]
    normalised: List[nn.Module] = []
    for _ in range(MODULES // 4):
        normalised += [nn.Linear(WIDTH, WIDTH), nn.BatchNorm1d(WIDTH), nn.ReLU(), nn.Dropout(0.1)]
    return {
        f"{MODULES // 2} x (Linear({WIDTH}, {WIDTH}), ReLU)": nn.Sequential(*mlp),
        f"{MODULES // 4} x (Linear, BatchNorm1d, ReLU, Dropout)": nn.Sequential(*normalised),
    }


def bench_model(label: str, model: nn.Module, sample: torch.Tensor) -> None:
    fast, plain = export_ir(model, sample), plain_export(model, sample)
    assert fast == plain, "the two exports differ"

    exporter = VANTLEExporter()
    timed = best_of({
        "python": lambda: plain_export(model, sample),
        "compiled": lambda: export_ir(model, sample),
        "python trace": lambda: plain_capture(model, sample),
        "compiled trace": lambda: exporter._capture_shapes(model, sample),
    })
    model.eval()  # the trace runs in evaluation mode
    with torch.no_grad():
        forward = best_of({"forward": lambda: model(sample)})["forward"]
    model.train()

    python, compiled = timed["python"], timed["compiled"]
    py_trace, trace = timed["python trace"], timed["compiled trace"]
    rows = [
        ("whole export", python, compiled),
        ("  traced pass (hooks, modes)", py_trace, trace),
        ("  conversion and graph", python - py_trace, compiled - trace),
    ]
    print(f"\n{label}")
    print(f"  {'':<30} {'plain Python':>12} {'export_ir':>10} {'speed-up':>9}")
    for name, slow, fast_time in rows:
        print(f"  {name:<30} {slow * 1e3:9.2f} ms {fast_time * 1e3:7.2f} ms {slow / fast_time:8.2f}x")
    print(f"  traced pass: {trace / compiled:.0%} of export_ir; the bare forward pass alone "
          f"({forward * 1e3:.2f} ms) is {forward / compiled:.0%}")


def main() -> None:
    torch.set_num_threads(1)  # tiny tensors: threads only add synchronisation
    torch.manual_seed(0)
    sample = torch.randn(2, WIDTH)
    print(f"torch {torch.__version__}, {MODULES} modules per model, sample {tuple(sample.shape)};"
          f" thread CPU time, best of {REPEAT}")
    for label, model in build_models().items():
        bench_model(label, model, sample)


if __name__ == "__main__":
    main()
