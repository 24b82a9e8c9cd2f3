"""Odd modules for the export fuzzer: what users write that a plain layer list is not.

Each maker takes the generator and a probe tensor (the value the module will get) and returns a
model: layer subclasses with their own forward, forwards set on an instance, hooks, forwards
that raise or return nothing, layers without IR form, models that are no module at all, and
code that runs exports, threads or function modes of its own. ``CLEANUPS`` collects what a
maker changed outside the model (global hooks), for the case to undo; ``DOCUMENTED`` the errors
the documentation names for what a maker made.
"""

from __future__ import annotations

import concurrent.futures
import functools
import types
import warnings
from typing import Any, Callable, Dict, List

import torch
import torch.nn.functional as F
from torch import nn

CLEANUPS: List[Callable[[], None]] = []
DOCUMENTED: Dict[str, str] = {}

Maker = Callable[[Any, torch.Tensor], Any]


def last_dim(probe: torch.Tensor) -> int:
    return int(probe.shape[-1]) if probe.dim() > 0 else 1


# --- layer subclasses and forwards of their own --------------------------------------------------


class ReluLinear(nn.Linear):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return F.relu(super().forward(x))


class HalfConv(nn.Conv2d):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return super().forward(x) * 0.5


class MyReLU(nn.ReLU):
    """A subclass that changes nothing."""


class CallOverride(nn.Linear):
    """Replaces __call__ itself: hooks never run."""

    def __call__(self, x: torch.Tensor) -> torch.Tensor:  # type: ignore[override]
        return self.forward(x) + 1.0


class ForwardOnly(nn.Module):
    """Has a forward of its own and a layer it calls."""

    def __init__(self, features: int):
        super().__init__()
        self.inner = nn.Linear(features, features)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.inner(x) + x


def relu_linear(g: Any, probe: torch.Tensor) -> Any:
    return ReluLinear(last_dim(probe), g.int(1, 8))


def half_conv(g: Any, probe: torch.Tensor) -> Any:
    channels = int(probe.shape[1]) if probe.dim() == 4 else 1
    return HalfConv(channels, g.int(1, 4), 1)


def my_relu(g: Any, probe: torch.Tensor) -> Any:
    return MyReLU()


def call_override(g: Any, probe: torch.Tensor) -> Any:
    return CallOverride(last_dim(probe), last_dim(probe))


def forward_only(g: Any, probe: torch.Tensor) -> Any:
    return ForwardOnly(last_dim(probe))


def instance_forward(g: Any, probe: torch.Tensor) -> Any:
    kind = g.pick(["lambda", "method", "partial", "other_layer"])
    layer = nn.Linear(last_dim(probe), last_dim(probe))
    if kind == "lambda":
        layer.forward = lambda x: x * 2.0  # type: ignore[method-assign]
    elif kind == "method":
        layer.forward = types.MethodType(lambda self, x: torch.tanh(x @ self.weight.t()), layer)
    elif kind == "partial":
        layer.forward = functools.partial(F.linear, weight=layer.weight)  # type: ignore
    else:
        relu = nn.ReLU()
        layer.forward = relu  # type: ignore[method-assign]
    return layer


# --- hooks ---------------------------------------------------------------------------------------


def hooked(g: Any, probe: torch.Tensor) -> Any:
    layer = g.pick([lambda: nn.Linear(last_dim(probe), last_dim(probe)), nn.ReLU, nn.Tanh])()
    kind = g.pick(["changes_output", "changes_input", "observes", "kwargs", "always", "raises",
                   "removes_itself", "tuple_output", "registers_more"])
    if kind == "changes_output":
        layer.register_forward_hook(lambda m, i, o: o * 2.0)
    elif kind == "changes_input":
        layer.register_forward_pre_hook(lambda m, i: (i[0] + 1.0,))
    elif kind == "observes":
        seen: List[Any] = []
        layer.register_forward_hook(lambda m, i, o: seen.clear())
    elif kind == "kwargs":
        layer.register_forward_pre_hook(lambda m, a, k: (a, k), with_kwargs=True)
        layer.register_forward_hook(lambda m, a, k, o: o, with_kwargs=True)
    elif kind == "always":
        layer.register_forward_hook(lambda m, i, o: None, always_call=True)
    elif kind == "raises":
        def refuse(m: nn.Module, i: Any, o: Any) -> None:
            raise ValueError("the hook refuses")

        layer.register_forward_hook(refuse)
    elif kind == "removes_itself":
        handles: List[Any] = []

        def once(m: nn.Module, i: Any, o: Any) -> None:
            for handle in handles:
                handle.remove()

        handles.append(layer.register_forward_hook(once))
    elif kind == "tuple_output":
        layer.register_forward_hook(lambda m, i, o: (o, o))
    else:
        def more(m: nn.Module, i: Any, o: Any) -> None:
            if len(m._forward_hooks) < 4:
                m.register_forward_hook(lambda *a: None)

        layer.register_forward_hook(more)
    return layer


def global_hook(g: Any, probe: torch.Tensor) -> Any:
    kind = g.pick(["observes", "changes", "pre"])
    registry = torch.nn.modules.module
    if kind == "observes":
        handle = registry.register_module_forward_hook(lambda m, i, o: None)
    elif kind == "changes":
        handle = registry.register_module_forward_hook(
            lambda m, i, o: o * 1.0 if isinstance(o, torch.Tensor) else None)
    else:
        handle = registry.register_module_forward_pre_hook(lambda m, i: None)
    CLEANUPS.append(handle.remove)
    return nn.Sequential(nn.Linear(last_dim(probe), 3), nn.ReLU())


# --- forwards that fail, or return nothing much --------------------------------------------------


class BrokenStr(Exception):
    def __str__(self) -> str:
        raise RuntimeError("no text for this error")


class NotText(Exception):
    def __str__(self) -> Any:
        return 42


class Interrupt(BaseException):
    """Not an Exception: must pass through unchanged."""


class Raises(nn.Module):
    def __init__(self, error: Callable[[], BaseException], after: int):
        super().__init__()
        self.error = error
        self.after = after
        self.fc = nn.Identity()

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        for _ in range(self.after):
            x = torch.relu(self.fc(x))
        raise self.error()


ERRORS: List[Callable[[], BaseException]] = [
    lambda: ValueError("the model refuses"), lambda: KeyError("key"), lambda: IndexError(3),
    lambda: AttributeError("no such thing"), lambda: ZeroDivisionError(),
    lambda: StopIteration(), lambda: LookupError(""), BrokenStr, NotText,
    lambda: RuntimeError("é\x00\udc80 odd text"), lambda: RuntimeError("x" * 100_000),
    lambda: TypeError(None), lambda: NotImplementedError(), lambda: MemoryError(),
    lambda: Exception(object()), Interrupt, lambda: UnicodeDecodeError("utf-8", b"\xff", 0, 1, "r"),
]


def raises(g: Any, probe: torch.Tensor) -> Any:
    return Raises(g.pick(ERRORS), g.int(0, 2))


class Recursing(nn.Module):
    """Calls itself through a child until Python's recursion limit stops it."""

    def __init__(self, depth: int):
        super().__init__()
        self.depth = depth
        self.act = nn.ReLU()

    def forward(self, x: torch.Tensor, level: int = 0) -> torch.Tensor:
        if level >= self.depth:
            return x
        return self.forward(self.act(x), level + 1)


def recursing(g: Any, probe: torch.Tensor) -> Any:
    return Recursing(g.pick([10, 200, 2000, 100_000]))


def deep_sequential(g: Any, probe: torch.Tensor) -> Any:
    """Sequentials nested in each other, deeper than Python's recursion limit at times."""
    model: nn.Module = nn.ReLU()
    depth = g.pick([20, 100, 300, 1500, 5000])
    for _ in range(depth):
        outer = nn.Sequential()
        outer._modules["0"] = model  # as add_module does, without its checks
        model = outer
    return model


def wide_sequential(g: Any, probe: torch.Tensor) -> Any:
    return nn.Sequential(*[g.pick([nn.ReLU, nn.Identity, nn.Tanh])() for _ in range(
        g.pick([50, 300, 1000]))])


class ReturnsNothing(nn.Module):
    def __init__(self, features: int):
        super().__init__()
        self.fc = nn.Linear(features, 2)

    def forward(self, x: torch.Tensor) -> None:
        self.fc(x)


class ReturnsInput(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x


class ReturnsMany(nn.Module):
    def __init__(self, count: int):
        super().__init__()
        self.count = count
        self.act = nn.ReLU()

    def forward(self, x: torch.Tensor) -> List[torch.Tensor]:
        y = self.act(x)
        return [y * float(k) for k in range(self.count)]


def returns_nothing(g: Any, probe: torch.Tensor) -> Any:
    return g.pick([lambda: ReturnsNothing(last_dim(probe)), ReturnsInput,
                   lambda: ReturnsMany(g.pick([0, 1, 300]))])()


# --- layers without IR form ----------------------------------------------------------------------


class UsesRecurrent(nn.Module):
    def __init__(self, features: int, kind: str):
        super().__init__()
        cell = {"lstm": nn.LSTM, "gru": nn.GRU, "rnn": nn.RNN}[kind]
        self.rnn = cell(features, 4, batch_first=True)
        self.head = nn.Linear(4, 2)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if x.dim() == 2:
            x = x.unsqueeze(1)
        out, _ = self.rnn(x.flatten(2) if x.dim() > 3 else x)
        return self.head(out[:, -1])


class UsesAttention(nn.Module):
    def __init__(self, features: int):
        super().__init__()
        self.attention = nn.MultiheadAttention(features, 1, batch_first=True)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        seq = x.reshape(x.shape[0], -1, x.shape[-1])
        out, _ = self.attention(seq, seq, seq)
        return out


def unsupported(g: Any, probe: torch.Tensor) -> Any:
    features = last_dim(probe)
    choice = g.pick(["lstm", "gru", "rnn", "attention", "bare_lstm", "encoder", "embedding",
                     "conv3d", "transpose", "unfold", "instance_norm", "lp_pool", "bilinear"])
    if choice in ("lstm", "gru", "rnn"):
        return UsesRecurrent(int(probe[0].numel()) if probe.dim() > 3 else features, choice)
    if choice == "attention":
        return UsesAttention(features)
    if choice == "bare_lstm":
        return nn.LSTM(features, 3)
    if choice == "encoder":
        return nn.TransformerEncoderLayer(features, 1, dim_feedforward=8, batch_first=True)
    if choice == "embedding":
        return nn.Embedding(10, 3)
    if choice == "conv3d":
        return nn.Conv3d(1, 1, 1)
    if choice == "transpose":
        return nn.ConvTranspose2d(int(probe.shape[1]) if probe.dim() == 4 else 1, 2, 2)
    if choice == "unfold":
        return nn.Unfold(1)
    if choice == "instance_norm":
        return nn.InstanceNorm2d(2)
    if choice == "lp_pool":
        return nn.LPPool2d(2, 1)
    return nn.Bilinear(features, features, 2)


# --- models that are no module, or barely one ----------------------------------------------------


class NoInit(nn.Module):
    def __init__(self) -> None:  # never calls nn.Module.__init__
        pass

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x


class CallableObject:
    def __call__(self, x: torch.Tensor) -> torch.Tensor:
        return x + 1


def not_a_module(g: Any, probe: torch.Tensor) -> Any:
    choice = g.pick(["function", "none", "int", "str", "class", "tensor", "no_init", "callable",
                     "module_list", "bare_module", "script", "fx", "partial", "traced"])
    if choice == "function":
        return lambda x: x * 2
    if choice == "none":
        return None
    if choice == "int":
        return 42
    if choice == "str":
        return "model"
    if choice == "class":
        return nn.ReLU
    if choice == "tensor":
        return torch.ones(2)
    if choice == "no_init":
        return NoInit()
    if choice == "callable":
        return CallableObject()
    if choice == "module_list":
        return nn.ModuleList([nn.ReLU()])
    if choice == "bare_module":
        return nn.Module()
    if choice == "partial":
        return functools.partial(F.relu)
    layer = nn.Sequential(nn.Linear(last_dim(probe), 3), nn.ReLU())
    if choice == "script":
        return torch.jit.script(layer)
    if choice == "traced":
        # Traced on float32 zeros of the probe's shape: a probe of another dtype would fail
        # the trace itself, before the exporter ever sees the module.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return torch.jit.trace(layer, torch.zeros(probe.shape))
    return torch.fx.symbolic_trace(layer)


class Cyclic(nn.Module):
    """A child that holds its parent as a submodule."""

    def __init__(self, features: int):
        super().__init__()
        self.child = nn.Sequential(nn.Linear(features, features))
        self.child.add_module("parent", self)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.child[0](x)


class Shared(nn.Module):
    def __init__(self, features: int):
        super().__init__()
        self.a = nn.Linear(features, features)
        self.b = self.a  # the same layer under two names

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.b(self.a(x))


def shared_or_cyclic(g: Any, probe: torch.Tensor) -> Any:
    return g.pick([Cyclic, Shared])(last_dim(probe))


# --- code that does things of its own ------------------------------------------------------------


class NestedExport(nn.Module):
    def __init__(self, features: int):
        super().__init__()
        self.inner = nn.Sequential(nn.Linear(features, 3), nn.ReLU())

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        from vantle.bridge.export_ir import export_ir

        export_ir(self.inner, x)
        return self.inner(x)


class ExportsInThread(nn.Module):
    """Exports a part of itself from another thread while its own export runs."""

    def __init__(self, features: int):
        super().__init__()
        self.inner = nn.Sequential(nn.Linear(features, 3), nn.ReLU())

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        from vantle.bridge.export_ir import export_ir

        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            pool.submit(export_ir, self.inner, x.detach().clone()).result()
        return self.inner(x)


def exports_in_thread(features: int) -> nn.Module:
    DOCUMENTED["RuntimeError"] = "an export waiting for itself gives up after _TURN_WAIT_SECONDS"
    return ExportsInThread(features)


class PassMode(torch.overrides.TorchFunctionMode):
    def __torch_function__(self, func, types, args=(), kwargs=None):  # type: ignore[no-untyped-def]
        return func(*args, **(kwargs or {}))


class OwnMode(nn.Module):
    def __init__(self, features: int, by_hand: bool):
        super().__init__()
        self.fc = nn.Linear(features, features)
        self.by_hand = by_hand

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if self.by_hand:
            mode = PassMode()
            mode.__enter__()  # entered and left by hand, around the trace's own mode
            try:
                return torch.relu(self.fc(x))
            finally:
                mode.__exit__(None, None, None)
        with PassMode():
            return torch.relu(self.fc(x))


class Logged(torch.Tensor):
    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):  # type: ignore[no-untyped-def]
        return super().__torch_function__(func, types, args, kwargs or {})


class UsesSubclass(nn.Module):
    def __init__(self, features: int):
        super().__init__()
        self.fc = nn.Linear(features, 2)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.fc(x.as_subclass(Logged)).as_subclass(torch.Tensor)


class Threaded(nn.Module):
    def __init__(self, features: int):
        super().__init__()
        self.fc = nn.Linear(features, features)
        self.act = nn.ReLU()

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            y = pool.submit(self.fc, x).result()
        return self.act(y)


class Catches(nn.Module):
    def __init__(self, features: int):
        super().__init__()
        self.bad = Raises(lambda: ValueError("caught"), 1)
        self.good = nn.Linear(features, 2)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        try:
            self.bad(x)
        except ValueError:
            pass
        return self.good(x)


class GradInside(nn.Module):
    def __init__(self, features: int):
        super().__init__()
        self.fc = nn.Linear(features, 1)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        with torch.enable_grad():
            y = self.fc(x.detach().requires_grad_())
            (grad,) = torch.autograd.grad(y.sum(), self.fc.weight)
        return y.detach() + grad.sum()


def own_code(g: Any, probe: torch.Tensor) -> Any:
    features = last_dim(probe)
    return g.pick([
        lambda: NestedExport(features), lambda: exports_in_thread(features),
        lambda: OwnMode(features, g.chance(0.5)),
        lambda: UsesSubclass(features), lambda: Threaded(features),
        lambda: Catches(features), lambda: GradInside(features),
    ])()


# --- attributes that export reads ----------------------------------------------------------------


class Config:
    def __init__(self, weight: Any, activation: Any):
        self.weight, self.activation = weight, activation


class DType:
    dtype = torch.qint8


def precision_attrs(g: Any, probe: torch.Tensor) -> Any:
    layer = nn.Linear(last_dim(probe), 3)
    odd = [None, "int8", "", 0, 5, -3, 2**80, 1.5, object(), ["int8"], "int\x00", True]
    for name in ("_vantle_precision", "_vantle_weight_t", "_vantle_accumulator_bits",
                 "_vx2_bias_t", "_vantle_reuse_factor", "_vantle_result_t"):
        if g.chance(0.4):
            setattr(layer, name, g.pick(odd))
    if g.chance(0.3):
        choice = g.pick(["config", "dtype", "object", "none_dtype"])
        if choice == "config":
            layer.qconfig = Config(DType(), DType())
        elif choice == "dtype":
            layer.qconfig = Config(object(), None)
        elif choice == "none_dtype":
            layer.qconfig = Config(None, None)
        else:
            layer.qconfig = object()
            DOCUMENTED["AttributeError"] = "a qconfig without weight and activation"
    return nn.Sequential(layer, nn.ReLU())


class ReadsAnything(nn.Module):
    """Answers every unknown attribute, as some wrappers do."""

    def __init__(self, features: int):
        super().__init__()
        self.fc = nn.Linear(features, 2)

    def __getattr__(self, name: str) -> Any:
        try:
            return super().__getattr__(name)
        except AttributeError:
            return 0


class Guarded(nn.Module):
    """Reroutes attribute reads and writes."""

    def __init__(self, features: int):
        super().__init__()
        self.fc = nn.Linear(features, 2)

    def __getattribute__(self, name: str) -> Any:
        return super().__getattribute__(name)

    def __setattr__(self, name: str, value: Any) -> None:
        super().__setattr__(name, value)


class ShadowedTraining(nn.Module):
    def __init__(self, features: int):
        super().__init__()
        self.fc = nn.Linear(features, 2)
        self._buffers["training"] = torch.tensor(True)


def odd_attributes(g: Any, probe: torch.Tensor) -> Any:
    return g.pick([ReadsAnything, Guarded, ShadowedTraining])(last_dim(probe))


# --- modules an import makes, used by hand -------------------------------------------------------


class UsesBridge(nn.Module):
    def __init__(self, features: int, kind: str):
        super().__init__()
        import numpy as np

        from vantle.bridge import import_ir as bridge

        self.kind = kind
        ones = np.ones(features, dtype=np.float32)
        if kind == "lif":
            self.part = bridge.LIFModule(ones * 2.0, ones, ones * 0.0, ones * 0.5)
        elif kind == "skip":
            self.part = bridge.SkipModule("residual")
        elif kind == "split":
            sections = (1, features - 1) if features > 1 else (1,)
            self.part = bridge.ChannelSplitModule(sections, dim=1)
        else:
            self.part = bridge.ConcatModule(2, dim=1)

    def forward(self, x: torch.Tensor) -> Any:
        if self.kind == "lif":
            return self.part(x)[0]
        if self.kind == "skip":
            return self.part([x, x])
        if self.kind == "split":
            return self.part(x)
        return self.part([x, x])


def bridge_modules(g: Any, probe: torch.Tensor) -> Any:
    return UsesBridge(last_dim(probe), g.pick(["lif", "skip", "split", "concat"]))


ODD_MODULES: List[Maker] = [
    relu_linear, half_conv, my_relu, call_override, forward_only, instance_forward, hooked,
    global_hook, raises, recursing, deep_sequential, wide_sequential, returns_nothing,
    unsupported, not_a_module, shared_or_cyclic, own_code, precision_attrs, odd_attributes,
    bridge_modules,
]
