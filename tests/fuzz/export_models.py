"""Seeded generation of models and samples for fuzzing the exporter.

``make_case(seed, index)`` describes one input; its ``build()`` makes the model, the samples
(one per call) and the export and check settings afresh, the same every time, so that the model
can run plainly on one copy and be exported from another. Everything comes from
``random.Random`` and ``torch.manual_seed`` and is reproduced by seed and index alone.

The families: chains (``nn.Sequential``), programs (a forward that mixes layers, functional
operations, merges, splits and returns containers), odd modules (own forwards, hooks, failing
or empty forwards, layers without IR form, things that are not modules), snnTorch and
SpikingJelly networks, and graph executors made by an import. A case may also get an odd sample,
odd export settings or an odd call of ``check_export``.
"""

from __future__ import annotations

import collections
import dataclasses
import random
import warnings
from typing import Any, Callable, Dict, List, Optional, Tuple

import torch
import torch.nn.functional as F
from torch import nn

from export_odd_modules import CLEANUPS, DOCUMENTED, ODD_MODULES
from export_samples import mutate_sample
from export_snn import SNN_FAMILIES

# --- what a case is ------------------------------------------------------------------------------


@dataclasses.dataclass
class Built:
    """One input, made afresh: the model, its samples and how to export and check it."""

    model: Any
    samples: List[Any]  # one per call; export takes the first
    label: List[str]  # what was chosen, for the report
    export: Dict[str, Any] = dataclasses.field(default_factory=dict)  # export settings
    check: Dict[str, Any] = dataclasses.field(default_factory=dict)  # check_export settings
    # Errors the documentation names for this input: type name -> why.
    documented: Dict[str, str] = dataclasses.field(default_factory=dict)
    cleanup: List[Callable[[], None]] = dataclasses.field(default_factory=list)


@dataclasses.dataclass(frozen=True)
class Case:
    seed: int
    index: int

    def rng(self) -> random.Random:
        return random.Random(self.seed * 1_000_003 + self.index)

    def build(self) -> Built:
        rng = self.rng()
        torch.manual_seed(rng.getrandbits(31))
        g = Gen(rng)
        built = g.pick_weighted(FAMILIES)(g)
        mutate_sample(g, built)
        vary_settings(g, built)
        built.cleanup.extend(CLEANUPS)
        CLEANUPS.clear()
        built.documented.update(DOCUMENTED)
        DOCUMENTED.clear()
        return built


def make_case(seed: int, index: int) -> Case:
    return Case(seed, index)


class Gen:
    """The random choices of one case."""

    def __init__(self, rng: random.Random):
        self.rng = rng

    def chance(self, p: float) -> bool:
        return self.rng.random() < p

    def pick(self, items: Any) -> Any:
        return self.rng.choice(list(items))

    def int(self, low: int, high: int) -> int:
        return self.rng.randint(low, high)

    def pick_weighted(self, table: List[Tuple[float, Any]]) -> Any:
        total = sum(weight for weight, _ in table)
        point = self.rng.random() * total
        for weight, item in table:
            point -= weight
            if point <= 0:
                return item
        return table[-1][1]


# --- layers for a value of a given shape ---------------------------------------------------------

ACTIVATIONS: List[Callable[[], nn.Module]] = [
    nn.ReLU, nn.Sigmoid, nn.Tanh, lambda: nn.LeakyReLU(0.1), nn.ELU, nn.GELU, nn.Identity,
    lambda: nn.Dropout(0.3), lambda: nn.ReLU(inplace=True), lambda: nn.GELU("tanh"),
    lambda: nn.Softmax(dim=1), lambda: nn.Softmax(dim=-1), nn.PReLU,
]
# Layers without IR form, each taking any shape.
UNSUPPORTED: List[Callable[[], nn.Module]] = [
    nn.ReLU6, nn.Hardswish, nn.SiLU, nn.Softplus, nn.Mish, lambda: nn.Threshold(0.1, 0.0),
    nn.LogSoftmax, nn.Hardtanh, nn.Softsign,
]


def flat_layer(g: Gen, features: int) -> nn.Module:
    out = g.int(1, 12)
    return g.pick_weighted([
        (6, lambda: nn.Linear(features, out, bias=g.chance(0.8))),
        (2, lambda: nn.BatchNorm1d(features, affine=g.chance(0.7),
                                   track_running_stats=g.chance(0.9))),
        (1, lambda: nn.LayerNorm(features, elementwise_affine=g.chance(0.7))),
        (4, lambda: g.pick(ACTIVATIONS)()),
        (1, lambda: g.pick(UNSUPPORTED)()),
        (1, lambda: nn.Flatten()),
        (0.5, lambda: nn.Bilinear(features, features, out)),
        (0.5, lambda: nn.Unflatten(1, (features, 1))),
    ])()


def seq_layer(g: Gen, channels: int, length: int) -> nn.Module:
    out = g.int(1, 8)
    k = g.int(1, min(3, length))
    return g.pick_weighted([
        (5, lambda: nn.Conv1d(channels, out, k, stride=g.int(1, 2), padding=g.int(0, 1),
                              bias=g.chance(0.8))),
        (1, lambda: nn.Conv1d(channels, channels, k, padding="same", groups=channels,
                              padding_mode=g.pick(["zeros", "reflect", "circular"]))),
        (2, lambda: nn.BatchNorm1d(channels)),
        (2, lambda: g.pick(ACTIVATIONS)()),
        (1, lambda: nn.MaxPool1d(k)),
        (1, lambda: nn.AvgPool1d(k)),
        (1, lambda: nn.AdaptiveAvgPool1d(g.int(1, 3))),
        (1, lambda: nn.Flatten(start_dim=g.pick([1, 1, 2, -1]))),
        (0.5, lambda: nn.Upsample(scale_factor=2)),
        (0.5, lambda: g.pick(UNSUPPORTED)()),
    ])()


def image_layer(g: Gen, channels: int, height: int, width: int) -> nn.Module:
    out = g.int(1, 8)
    small = max(1, min(height, width))
    k = g.int(1, min(3, small))
    groups = g.pick([d for d in range(1, channels + 1) if channels % d == 0 and out % d == 0])
    return g.pick_weighted([
        (6, lambda: nn.Conv2d(channels, out, k, stride=g.int(1, 2), padding=g.int(0, 1),
                              dilation=g.pick([1, 1, 1, 2]) if small >= 5 else 1,
                              groups=groups, bias=g.chance(0.8))),
        (1, lambda: nn.Conv2d(channels, out, (k, 1), padding=g.pick(["same", "valid", 0]),
                              padding_mode=g.pick(["zeros", "zeros", "reflect", "replicate"]))),
        (2, lambda: nn.BatchNorm2d(channels, momentum=g.pick([0.1, None]))),
        (3, lambda: g.pick(ACTIVATIONS)()),
        (2, lambda: nn.MaxPool2d(k, stride=g.pick([None, 1, 2]), ceil_mode=g.chance(0.2),
                                 padding=g.pick([0, 0, k // 2]))),
        (1, lambda: nn.MaxPool2d(k, return_indices=True)),
        (2, lambda: nn.AvgPool2d(k, stride=g.pick([None, 1]), count_include_pad=g.chance(0.5),
                                 divisor_override=g.pick([None, None, 2]))),
        (2, lambda: nn.AdaptiveAvgPool2d(g.pick([1, 2, (1, 2), (None, 1)]))),
        (1, lambda: nn.AdaptiveMaxPool2d(g.pick([1, 2, (2, 1)]))),
        (1, lambda: nn.Upsample(scale_factor=g.pick([2, 2.0, (2, 1), 0.5]),
                                mode=g.pick(["nearest", "bilinear", "nearest-exact"]))),
        (0.5, lambda: nn.Upsample(size=(g.int(1, 6), g.int(1, 6)))),
        (1, lambda: nn.Flatten(start_dim=g.pick([1, 1, 2]), end_dim=g.pick([-1, -1, 2, 3]))),
        (1, lambda: nn.Dropout2d(0.2)),
        (0.5, lambda: nn.ZeroPad2d(1)),
        (0.5, lambda: nn.PixelShuffle(1)),
        (0.5, lambda: nn.GroupNorm(1, channels)),
        (0.5, lambda: g.pick(UNSUPPORTED)()),
    ])()


def layer_for(g: Gen, probe: torch.Tensor) -> nn.Module:
    shape = tuple(probe.shape)
    if len(shape) == 2:
        return flat_layer(g, shape[1])
    if len(shape) == 3:
        return seq_layer(g, shape[1], shape[2])
    if len(shape) == 4:
        return image_layer(g, shape[1], shape[2], shape[3])
    return g.pick([nn.Flatten, nn.ReLU, nn.Identity])()


def set_eval(module: nn.Module) -> None:
    """Evaluation mode, module by module (a module tree may hold a cycle)."""
    for inner in module.modules():
        inner.training = False


def apply(module: Callable[..., Any], probe: Any) -> Optional[Any]:
    """The module's output on the probe, or None when it refuses the probe."""
    try:
        with torch.no_grad():
            out = module(probe)
    except KeyboardInterrupt:
        raise
    except BaseException:  # noqa: B036 - the odd modules' interrupts too
        return None
    if isinstance(out, tuple):  # pooling with indices: the next layer takes the tuple
        return out
    if not isinstance(out, torch.Tensor) or out.numel() == 0 or out.dim() > 4 or out.numel() > 4096:
        return None
    return out


def first_sample(g: Gen, batch: Optional[int] = None) -> torch.Tensor:
    batch = batch if batch is not None else g.pick([1, 2, 2, 3])
    rank = g.pick_weighted([(4, 2), (2, 3), (4, 4)])
    if rank == 2:
        return torch.randn(batch, g.int(1, 16))
    if rank == 3:
        return torch.randn(batch, g.int(1, 6), g.int(1, 12))
    return torch.randn(batch, g.int(1, 5), g.int(1, 10), g.int(1, 10))


def grow_chain(g: Gen, probe: torch.Tensor, length: int) -> Tuple[List[nn.Module], Any]:
    """Up to ``length`` layers that each take what the one before gave the probe."""
    layers: List[nn.Module] = []
    value: Any = probe
    for _ in range(length * 3):
        if len(layers) >= length or not isinstance(value, torch.Tensor):
            break
        layer = layer_for(g, value)
        set_eval(layer)
        out = apply(layer, value)
        if out is None:
            continue
        layers.append(layer)
        value = out
    return layers, value


# --- chains --------------------------------------------------------------------------------------


def odd_layer(g: Gen, probe: torch.Tensor) -> Optional[nn.Module]:
    """A layer subclass or module from the odd-module library that fits the probe."""
    for _ in range(4):
        make = g.pick(ODD_MODULES)
        layer = make(g, probe)
        if isinstance(layer, nn.Module) and apply(layer, probe) is not None:
            return layer
    return None


def chain(g: Gen) -> Built:
    probe = first_sample(g)
    layers, _ = grow_chain(g, probe, g.int(1, 7))
    label = ["chain"]
    if g.chance(0.25):
        # An odd layer somewhere in the chain (subclass, own forward, hooks ...).
        at = g.int(0, len(layers))
        value = probe
        for layer in layers[:at]:
            value = apply(layer, value)
        odd = odd_layer(g, value) if isinstance(value, torch.Tensor) else None
        if odd is not None:
            out = apply(odd, value)
            rest, _ = grow_chain(g, out, g.int(0, 2)) if isinstance(out, torch.Tensor) else ([], 0)
            layers = layers[:at] + [odd] + rest
            label.append(f"odd:{type(odd).__name__}")
    if g.chance(0.15) and len(layers) > 2:
        # Nested containers.
        cut = g.int(1, len(layers) - 1)
        inner = g.pick([nn.Sequential, lambda *m: nn.Sequential(collections.OrderedDict(
            (f"n{i} x-y" if g.chance(0.3) else f"n{i}", layer) for i, layer in enumerate(m)))])
        layers = [inner(*layers[:cut]), *layers[cut:]]
        label.append("nested")
    model: nn.Module = nn.Sequential(*layers) if layers or g.chance(0.5) else nn.Identity()
    if g.chance(0.1) and len(layers) == 1:
        model = layers[0]  # a bare layer as the model
        label.append("bare")
    label.append(",".join(type(layer).__name__ for layer in layers))
    set_training(g, model)
    samples = [probe] + [probe_like(g, probe) for _ in range(g.pick([0, 0, 1, 2]))]
    return Built(model, samples, label)


def probe_like(g: Gen, probe: torch.Tensor) -> torch.Tensor:
    """Another sample for the same model: other values, maybe another batch size."""
    batch = probe.shape[0] if g.chance(0.7) else g.int(1, 4)
    return torch.randn((batch,) + tuple(probe.shape[1:]))


def set_training(g: Gen, model: Any) -> None:
    if isinstance(model, nn.Module):
        mode = g.chance(0.5)
        for module in model.modules():
            module.training = mode
        if g.chance(0.1):
            for module in model.modules():
                if g.chance(0.3):
                    module.training = not module.training  # mixed flags
        if g.chance(0.1):
            for parameter in model.parameters():
                parameter.requires_grad_(g.chance(0.5))


# --- programs: a forward made of steps -----------------------------------------------------------


@dataclasses.dataclass
class Pair:
    first: Any
    second: Any


Named = collections.namedtuple("Named", "first second")


class Opaque:
    """An object export cannot look into."""

    def __repr__(self) -> str:
        return "Opaque()"


Step = Callable[["Program", List[Any]], Any]


class Program(nn.Module):
    """Runs its steps in order, each on the values so far; returns what ``shape`` builds."""

    def __init__(self, steps: List[Step], shape: Callable[[List[Any]], Any]):
        super().__init__()
        self.layers = nn.ModuleDict()
        self.steps = steps
        self.shape = shape

    def forward(self, *inputs: Any) -> Any:
        values = list(inputs)
        for step in self.steps:
            values.append(step(self, values))
        return self.shape(values)


def tensor_ops(g: Gen, values: List[Any]) -> List[Tuple[str, Step]]:
    """Candidate steps on the probe values so far (each checked on the probes before use)."""
    tensors = [i for i, v in enumerate(values) if isinstance(v, torch.Tensor)]
    i = g.pick(tensors)
    x = values[i]
    same = [j for j in tensors if values[j].shape == x.shape and j != i]
    rank = x.dim()
    dim = g.int(1, rank - 1) if rank > 1 else 0
    ops: List[Tuple[str, Step]] = [
        ("relu", lambda m, v: F.relu(v[i])),
        ("torch.relu", lambda m, v: torch.relu(v[i])),
        ("sigmoid", lambda m, v: torch.sigmoid(v[i])),
        ("tanh", lambda m, v: v[i].tanh()),
        ("gelu", lambda m, v: F.gelu(v[i])),
        ("leaky_relu", lambda m, v: F.leaky_relu(v[i], 0.2)),
        ("softmax", lambda m, v: F.softmax(v[i], dim=dim)),
        ("flatten", lambda m, v: v[i].flatten(1)),
        ("torch.flatten", lambda m, v: torch.flatten(v[i], start_dim=min(dim, rank - 1))),
        ("view", lambda m, v: v[i].view(v[i].size(0), -1)),
        ("reshape", lambda m, v: v[i].reshape(v[i].shape[0], -1)),
        ("transpose", lambda m, v: v[i].transpose(1, -1)),
        ("permute", lambda m, v: v[i].permute(0, *range(rank - 1, 0, -1))),
        ("unsqueeze", lambda m, v: v[i].unsqueeze(-1)),
        ("mean", lambda m, v: v[i].mean(dim)),
        ("mean_keep", lambda m, v: v[i].mean(dim=dim, keepdim=True)),
        ("mean_hw", lambda m, v: v[i].mean((2, 3))),
        ("sum", lambda m, v: v[i].sum(dim)),
        ("scale", lambda m, v: v[i] * 2.0),
        ("add_const", lambda m, v: v[i] + 1.0),
        ("radd", lambda m, v: 0.5 + v[i]),
        ("sub", lambda m, v: v[i] - 1),
        ("neg", lambda m, v: -v[i]),
        ("abs", lambda m, v: v[i].abs()),
        ("clamp", lambda m, v: v[i].clamp(-1, 1)),
        ("exp", lambda m, v: v[i].exp()),
        ("getitem", lambda m, v: v[i][:, : max(1, v[i].shape[1] // 2)]),
        ("getitem_step", lambda m, v: v[i][..., ::2]),
        ("getitem_int", lambda m, v: v[i][:, 0]),
        ("clone", lambda m, v: v[i].clone()),
        ("detach", lambda m, v: v[i].detach()),
        ("contiguous", lambda m, v: v[i].contiguous()),
        ("float", lambda m, v: v[i].float()),
        ("double", lambda m, v: v[i].double()),
        ("to_half", lambda m, v: v[i].to(torch.float16).float()),
        ("chunk", lambda m, v: v[i].chunk(2, dim=1)[g_choice(m, 0)]),
        ("chunk_all", lambda m, v: v[i].chunk(g_choice(m, 2) + 1, dim=1)),
        ("split", lambda m, v: torch.split(v[i], 1, dim=1)),
        ("unbind", lambda m, v: v[i].unbind(1)),
        ("zeros_like", lambda m, v: torch.zeros_like(v[i]) + v[i]),
        ("new_ones", lambda m, v: v[i] * v[i].new_ones(v[i].shape)),
        ("relu_", lambda m, v: v[i].clone().relu_()),
        ("setitem", lambda m, v: setitem(v[i])),
        ("dropout", lambda m, v: F.dropout(v[i], 0.5, training=m.training)),
        ("where", lambda m, v: torch.where(v[i] > 0, v[i], v[i] * 0.1)),
        ("matmul_param", lambda m, v: v[i] @ m.weight_for(v[i])),
        ("linear_param", lambda m, v: F.linear(v[i], m.weight_for(v[i]).t())),
        ("tolist", lambda m, v: torch.tensor(v[i].tolist())),
        ("numpy", lambda m, v: torch.from_numpy(v[i].detach().numpy().copy())),
        ("item_branch", lambda m, v: v[i] if float(v[i].sum()) > 0 else -v[i]),
        ("shape_int", lambda m, v: v[i] * v[i].shape[-1]),
        ("interpolate", lambda m, v: F.interpolate(v[i], scale_factor=2)),
        ("max_pool", lambda m, v: F.max_pool2d(v[i], 2)),
        ("avg_pool", lambda m, v: F.avg_pool2d(v[i], 2, ceil_mode=True)),
        ("adaptive_avg", lambda m, v: F.adaptive_avg_pool2d(v[i], 1)),
        ("adaptive_max", lambda m, v: F.adaptive_max_pool2d(v[i], (1, 2))),
        ("max_reduce", lambda m, v: v[i].max(1)),
        ("max_values", lambda m, v: v[i].max(1).values),
        ("sort", lambda m, v: torch.sort(v[i], dim=-1)[0]),
        ("stack", lambda m, v: torch.stack([v[i], v[i]], dim=1)),
        ("cat_self", lambda m, v: torch.cat([v[i], v[i]], dim=dim)),
        ("cat_const", lambda m, v: torch.cat([v[i], torch.ones_like(v[i])], 1)),
        ("tensor_split", lambda m, v: torch.tensor_split(v[i], 2, dim=1)),
        ("type_as", lambda m, v: v[i].type_as(v[0]) if isinstance(v[0], torch.Tensor) else v[i]),
        ("expand", lambda m, v: v[i][:, :1].expand_as(v[i])),
        ("squeeze", lambda m, v: v[i].squeeze()),
        ("narrow", lambda m, v: v[i].narrow(1, 0, 1)),
        ("roll", lambda m, v: v[i].roll(1, 1)),
        ("iadd", lambda m, v: iadd(v[i])),
    ]
    if same:
        j = g.pick(same)
        ops += [
            ("add", lambda m, v: v[i] + v[j]),
            ("torch.add", lambda m, v: torch.add(v[i], v[j])),
            ("add_alpha", lambda m, v: torch.add(v[i], v[j], alpha=0.5)),
            ("mul", lambda m, v: v[i] * v[j]),
            ("cat", lambda m, v: torch.cat([v[i], v[j]], dim=1)),
            ("cat_neg", lambda m, v: torch.cat((v[i], v[j]), -1)),
            ("concat_kw", lambda m, v: torch.concat(tensors=[v[i], v[j]], dim=dim)),
            ("sum3", lambda m, v: v[i] + v[j] + v[i]),
            ("stack2", lambda m, v: torch.stack([v[i], v[j]])),
            ("max2", lambda m, v: torch.maximum(v[i], v[j])),
        ]
    return ops


def g_choice(program: "Program", default: int) -> int:
    return getattr(program, "choice", default)


def setitem(x: torch.Tensor) -> torch.Tensor:
    y = x.clone()
    y[:, 0] = 0.0
    return y


def iadd(x: torch.Tensor) -> torch.Tensor:
    y = x * 1.0
    y += x
    return y


def with_weights(program: Program) -> None:
    """Gives ``weight_for(x)``: a parameter (made on first use) that multiplies x's last
    dimension."""
    def weight_for(x: torch.Tensor) -> torch.Tensor:
        size = x.shape[-1]
        name = f"w{size}"
        if name not in program._parameters:
            program.register_parameter(name, nn.Parameter(torch.randn(size, size) * 0.3))
        return program._parameters[name]

    program.weight_for = weight_for  # type: ignore[assignment]


def output_shape(g: Gen, values: List[Any], inputs: int) -> Tuple[Callable[[List[Any]], Any], str]:
    """What the forward returns, built from the values: a tensor or containers of them."""
    tensors = [i for i, v in enumerate(values) if isinstance(v, torch.Tensor)]
    last = len(values) - 1

    def leaf(depth: int) -> Tuple[Callable[[List[Any]], Any], str]:
        choice = g.pick_weighted([(6, "tensor"), (1, "input"), (1, "none"), (1, "const"),
                                  (0.5, "object"), (0.5, "param"), (0.5, "fresh"),
                                  (0.3, "size"), (0.3, "value"), (3, "nest")])
        if choice == "nest" and depth < 3:
            return container(depth + 1)
        if choice == "input" and inputs:
            k = g.int(0, inputs - 1)
            return (lambda v: v[k]), f"in{k}"
        if choice == "none":
            return (lambda v: None), "None"
        if choice == "const":
            c = g.pick([1, 2.5, "text", b"b", True, 3j, ...])
            return (lambda v: c), repr(c)
        if choice == "object":
            return (lambda v: Opaque()), "Opaque"
        if choice == "param":
            return (lambda v: nn.Parameter(torch.ones(2))), "param"
        if choice == "fresh":
            return (lambda v: torch.zeros(3)), "zeros(3)"
        if choice == "size":
            k = g.pick(tensors)
            return (lambda v: v[k].shape), "shape"
        if choice == "value" and isinstance(values[last], torch.Tensor):
            return (lambda v: v[last]), f"v{last}"
        k = g.pick(tensors)
        return (lambda v: v[k]), f"v{k}"

    def container(depth: int) -> Tuple[Callable[[List[Any]], Any], str]:
        kind = g.pick(["tuple", "list", "dict", "dict_odd", "pair", "named", "set", "gen"])
        count = g.int(0 if depth > 1 else 1, 3)
        parts = [leaf(depth) for _ in range(count)]
        fns = [fn for fn, _ in parts]
        text = ",".join(t for _, t in parts)
        if kind == "tuple":
            return (lambda v: tuple(f(v) for f in fns)), f"({text})"
        if kind == "list":
            return (lambda v: [f(v) for f in fns]), f"[{text}]"
        if kind == "dict":
            return (lambda v: {f"k{n}": f(v) for n, f in enumerate(fns)}), f"{{{text}}}"
        if kind == "dict_odd":
            keys = [g.pick([0, (1, 2), "a b", "", None, 2.5, "x.y", "output"]) for _ in fns]
            return (lambda v: {k: f(v) for k, f in zip(keys, fns)}), f"dict{keys}"
        if kind in ("pair", "named"):
            while len(fns) < 2:
                fns.append(lambda v: None)
            cls = Pair if kind == "pair" else Named
            return (lambda v: cls(fns[0](v), fns[1](v))), f"{kind}({text})"
        if kind == "set":
            return (lambda v: {id(f): f(v) for f in fns}.values()), "dict_values"
        return (lambda v: (f(v) for f in fns)), "generator"

    top = g.pick_weighted([(8, "last"), (4, "container"), (0.5, "nothing"), (0.3, "deep"),
                           (0.3, "same_twice")])
    if top == "last" and isinstance(values[last], torch.Tensor):
        return (lambda v: v[last]), "last"
    if top == "nothing":
        return (lambda v: None), "nothing"
    if top == "deep":
        depth = g.int(15, 40)

        def deep(v: List[Any]) -> Any:
            out: Any = v[last]
            for _ in range(depth):
                out = (out,)
            return out

        return deep, f"deep{depth}"
    if top == "same_twice":
        k = g.pick(tensors)
        return (lambda v: (v[k], v[k], {"again": v[k]})), "same_twice"
    return container(1)


def program(g: Gen) -> Built:
    inputs = g.pick([1, 1, 1, 2, 3])
    batch = g.pick([1, 2, 2, 3])
    probes: List[Any] = [first_sample(g, batch)]
    for _ in range(inputs - 1):
        probes.append(torch.randn(probes[0].shape) if g.chance(0.6) else first_sample(g, batch))
    model = Program([], lambda v: v[-1])
    with_weights(model)
    if g.chance(0.2):
        model.choice = g.int(0, 1)  # type: ignore[assignment]
    values: List[Any] = list(probes)
    names: List[str] = []
    for n in range(g.int(1, 9)):
        for _attempt in range(6):
            tensors = [v for v in values if isinstance(v, torch.Tensor)]
            if not tensors:
                break
            if g.chance(0.45):
                k = g.pick([i for i, v in enumerate(values) if isinstance(v, torch.Tensor)])
                layer = layer_for(g, values[k]) if g.chance(0.85) else odd_layer(g, values[k])
                if layer is None:
                    continue
                set_eval(layer)
                name = f"l{n}"
                model.layers[name] = layer

                def step(m: Program, v: List[Any], name: str = name, k: int = k) -> Any:
                    return m.layers[name](v[k])

                label = f"{type(layer).__name__}(v{k})"
            else:
                label, step = g.pick(tensor_ops(g, values))
            try:
                with torch.no_grad():
                    out = step(model, values)
            except KeyboardInterrupt:
                raise
            except BaseException:  # noqa: B036
                continue
            if isinstance(out, torch.Tensor) and (out.numel() == 0 or out.numel() > 4096
                                                  or out.dim() > 5):
                continue
            model.steps.append(step)
            values.append(out)
            names.append(label)
            break
    # Unpack what a step left as a tuple, so that later steps can use its parts.
    for k, value in enumerate(list(values)):
        if isinstance(value, tuple) and value and isinstance(value[0], torch.Tensor):
            model.steps.append(lambda m, v, k=k: v[k][0])
            values.append(value[0])
    shape, text = output_shape(g, values, inputs)
    model.shape = shape
    set_training(g, model)
    sample: Any = probes[0] if inputs == 1 and g.chance(0.8) else tuple(probes)
    if inputs > 1 and g.chance(0.3):
        sample = list(probes)
    samples = [sample]
    if g.chance(0.3):
        samples.append(sample)
    return Built(model, samples, ["program", ";".join(names), f"returns {text}"])


# --- graph executors -----------------------------------------------------------------------------


def executor(g: Gen) -> Built:
    from vantle.bridge import GraphExecutor
    from vantle.bridge.export_ir import export_ir
    from vantle.bridge.import_ir import import_ir

    built = chain(g)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            graph = export_ir(built.model, built.samples[0])
        modules = import_ir(graph)
    except Exception:
        return built
    edges = list(graph.edges)
    label = ["executor"]
    if g.chance(0.3) and edges:
        what = g.pick(["drop", "dangle", "self", "triple", "list", "duplicate", "reverse", "none"])
        label.append(what)
        if what == "drop":
            edges.pop(g.int(0, len(edges) - 1))
        elif what == "dangle":
            edges.append((edges[-1][1], "nowhere"))
        elif what == "self":
            edges.append((edges[0][1], edges[0][1]))
        elif what == "triple":
            edges.append(("input", "output", "extra"))
        elif what == "list":
            edges = [list(edge) for edge in edges]
        elif what == "duplicate":
            edges.append(edges[0])
        elif what == "reverse":
            edges = [(b, a) for a, b in edges]
        else:
            edges.append(None)
    try:
        model = GraphExecutor(modules, edges)
    except Exception:
        model = GraphExecutor(modules, list(graph.edges))
        label.append("kept")
    return Built(model, built.samples, label + built.label[1:])


# --- settings ------------------------------------------------------------------------------------


def odd_converter(g: Gen) -> Tuple[Callable[[nn.Module], Any], str]:
    from vantle import ir

    choice = g.pick(["node", "none", "raise", "int", "ports", "skip"])
    if choice == "node":
        return (lambda m: ir.ReLU(features=1)), "node"
    if choice == "skip":
        return (lambda m: ir.Skip(skip_type="passthrough", input_type=None,
                                  output_type={})), "skip"
    if choice == "none":
        DOCUMENTED["AttributeError"] = "a custom converter that returns no node"
        return (lambda m: None), "none"
    if choice == "raise":
        def refuse(m: nn.Module) -> Any:
            raise LookupError("converter refuses " + type(m).__name__)

        return refuse, "raise"
    if choice == "int":
        DOCUMENTED["AttributeError"] = "a custom converter that returns no node"
        return (lambda m: 42), "int"
    return (lambda m: ir.ReLU(features=1, input_type={"input": "odd"})), "ports"


def vary_settings(g: Gen, built: Built) -> None:
    """Odd export settings and odd calls of check_export, now and then."""
    if g.chance(0.2):
        built.export["strict"] = True
    if g.chance(0.1):
        built.export["spiking"] = True
        built.export["spike_mode"] = g.pick(["binary", "graded", "rate", "odd", ""])
        built.export["weight_bits"] = g.pick([8, 1, 32, 0, -1, 8.7, 2**70, "8", None, True])
        built.export["accumulator_bits"] = g.pick([16, 4, 64, 2**40, float("nan")])
    if g.chance(0.08):
        try:
            layer_types = {type(m) for m in built.model.modules()}
        except Exception:  # no module, or one too deep to walk
            layer_types = set()
        if layer_types:
            converter, text = odd_converter(g)
            built.export["custom_map"] = {g.pick(sorted(layer_types, key=str)): converter}
            built.label.append(f"custom_map:{text}")
    if g.chance(0.02):
        built.export["custom_map"] = g.pick([[], {}, "map", {1: 2}])
    if g.chance(0.1):
        built.export["via"] = g.pick(["class", "reuse", "phases", "subclass", "convert_override"])
    if g.chance(0.05):
        built.check["atol"] = g.pick([0.0, 1e9, float("nan"), -1.0, float("inf")])
    if g.chance(0.05):
        built.check["graph"] = g.pick(["none", "missing_path", "empty", "other", "written",
                                       "no_output", "no_input"])
    if g.chance(0.03):
        built.check["samples"] = g.pick(["none", "more", "list_of_steps", "other_batch"])


def family_chain(g: Gen) -> Built:
    return chain(g)


def family_odd(g: Gen) -> Built:
    probe = first_sample(g)
    make = g.pick(ODD_MODULES)
    model = make(g, probe)
    built = Built(model, [probe], ["odd", getattr(make, "__name__", "?"),
                                   type(model).__name__])
    if g.chance(0.3):
        built.samples.append(probe_like(g, probe))
    return built


FAMILIES: List[Tuple[float, Callable[[Gen], Built]]] = [
    (30, family_chain),
    (30, program),
    (16, family_odd),
    (4, executor),
    *SNN_FAMILIES,
]
