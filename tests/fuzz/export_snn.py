"""Spiking networks for the export fuzzer: snnTorch and SpikingJelly, as their users write them.

Networks that keep their state between calls get one sample per time step; networks that step
through time themselves get one time-major sequence.
"""

from __future__ import annotations

from typing import Any, Callable, List, Optional, Tuple

import torch
from torch import nn

try:
    import snntorch as snn
except ImportError:  # the family falls back to a plain chain
    snn = None

try:
    from spikingjelly.activation_based import functional as sj_functional
    from spikingjelly.activation_based import layer as sj_layer
    from spikingjelly.activation_based import neuron as sj_neuron
except ImportError:
    sj_neuron = None


def leaky(g: Any, features: int, **fixed: Any) -> nn.Module:
    """An snnTorch Leaky with random settings (another neuron now and then)."""
    if g.chance(0.08):
        other = g.pick(["synaptic", "alpha", "lapicque"])
        if other == "synaptic":
            return snn.Synaptic(alpha=0.8, beta=0.9, **fixed)
        if other == "alpha":
            return snn.Alpha(alpha=0.9, beta=0.8, **fixed)
        return snn.Lapicque(beta=0.9, **fixed)
    beta: Any = g.pick([0.9, 0.5, 1.0, 0.0, "tensor"])
    if beta == "tensor":
        beta = torch.rand(features) * 0.5 + 0.5 if g.chance(0.7) else torch.rand(1)
    settings = dict(
        beta=beta,
        threshold=g.pick([1.0, 0.5, 0.1, "tensor"]),
        reset_mechanism=g.pick(["subtract", "zero", "none"]),
        learn_beta=g.chance(0.2),
        learn_threshold=g.chance(0.1),
    )
    if settings["threshold"] == "tensor":
        settings["threshold"] = torch.rand(features) * 0.5 + 0.25
    if g.chance(0.1):
        settings["graded_spikes_factor"] = g.pick([0.5, 2.0])
    if g.chance(0.05):
        settings["inhibition"] = True
    if g.chance(0.1):
        settings["reset_delay"] = False
    settings.update(fixed)
    return snn.Leaky(**settings)


def front(g: Any, image: bool, channels: int, features: int) -> Tuple[nn.Module, int]:
    """The layer before a neuron, and how many neurons it feeds."""
    if image:
        out = g.int(1, 4)
        return nn.Conv2d(channels, out, 3, padding=1), out
    out = g.int(1, 10)
    return nn.Linear(features, out), out


def with_gain(net: nn.Module, gain: float) -> nn.Module:
    with torch.no_grad():
        for module in net.modules():
            if isinstance(module, (nn.Linear, nn.Conv2d)):
                module.weight.mul_(gain)
    return net


def hidden_net(g: Any) -> Tuple[nn.Module, List[torch.Tensor], str]:
    """An init_hidden Sequential: one call per time step."""
    image = g.chance(0.3)
    batch, steps = g.int(1, 3), g.int(1, 5)
    layers: List[nn.Module] = []
    channels, features, size = (g.int(1, 3), 0, 6) if image else (0, g.int(1, 12), 0)
    for n in range(g.int(1, 3)):
        layer, width = front(g, image and n == 0, channels, features)
        layers.append(layer)
        last = n > 0 and g.chance(0.7)
        layers.append(leaky(g, 1 if image and n == 0 else width, init_hidden=True,
                            output=last and g.chance(0.7)))
        if image and n == 0:
            layers.append(nn.Flatten())
            width = width * size * size
        features = width
    shape = (batch, channels, size, size) if image else (batch, int(layers[0].in_features))
    samples = [torch.rand(shape) * 2 for _ in range(steps)]
    return with_gain(nn.Sequential(*layers), g.pick([1.0, 4.0])), samples, "hidden"


class TimeLoop(nn.Module):
    """Steps through a time-major input itself, as the snnTorch tutorials do."""

    def __init__(self, g: Any, features: int, hidden: int, out: int):
        super().__init__()
        self.fc1, self.fc2 = nn.Linear(features, hidden), nn.Linear(hidden, out)
        self.lif1 = leaky(g, hidden)
        self.lif2 = leaky(g, out)
        self.start = g.pick(["reset_mem", "init_leaky", "zeros", "none"])
        self.iterate = g.pick(["range", "unbind", "iter"])
        self.returns = g.pick(["stack", "stack_both", "list", "last", "dict"])

    def initial(self, lif: nn.Module, like: torch.Tensor) -> Any:
        if self.start == "reset_mem" and hasattr(lif, "reset_mem"):
            return lif.reset_mem()
        if self.start == "init_leaky" and hasattr(lif, "init_leaky"):
            return lif.init_leaky()
        if self.start == "zeros":
            return torch.zeros_like(like)
        return None

    @staticmethod
    def step(lif: nn.Module, current: torch.Tensor, mem: Any) -> Tuple[Any, Any]:
        """(spikes, membrane): with the membrane passed in when there is one."""
        out = lif(current, mem) if mem is not None else lif(current)
        return out[0], out[-1]

    def forward(self, x: torch.Tensor) -> Any:
        mem1 = self.initial(self.lif1, self.fc1(x[0]))
        mem2 = self.initial(self.lif2, self.fc2(self.fc1(x[0])))
        if self.iterate == "range":
            steps = [x[t] for t in range(x.shape[0])]
        elif self.iterate == "unbind":
            steps = list(x.unbind(0))
        else:
            steps = list(x)
        spikes, mems = [], []
        for x_t in steps:
            spk1, mem1 = self.step(self.lif1, self.fc1(x_t), mem1)
            spk2, mem2 = self.step(self.lif2, self.fc2(spk1), mem2)
            spikes.append(spk2)
            mems.append(mem2)
        if self.returns == "stack":
            return torch.stack(spikes)
        if self.returns == "stack_both":
            return torch.stack(spikes), torch.stack(mems, dim=0)
        if self.returns == "list":
            return spikes
        if self.returns == "last":
            return spikes[-1]
        return {"spikes": torch.stack(spikes), "mem": mem2}


def time_loop(g: Any) -> Tuple[nn.Module, List[torch.Tensor], str]:
    features = g.int(1, 12)
    model = with_gain(TimeLoop(g, features, g.int(1, 10), g.int(1, 5)), g.pick([1.0, 4.0]))
    sequence = torch.rand(g.int(1, 6), g.int(1, 3), features) * 2
    return model, [sequence], f"loop:{model.start}/{model.iterate}/{model.returns}"


class ExplicitState(nn.Module):
    """Takes the membrane as an argument and returns it: one call per time step."""

    def __init__(self, g: Any, features: int, out: int):
        super().__init__()
        self.fc = nn.Linear(features, out)
        self.lif = leaky(g, out)

    def forward(self, x: torch.Tensor, mem: Optional[torch.Tensor] = None) -> Any:
        return self.lif(self.fc(x), mem) if mem is not None else self.lif(self.fc(x))


def explicit_state(g: Any) -> Tuple[nn.Module, List[Any], str]:
    features, out, batch = g.int(1, 8), g.int(1, 6), g.int(1, 3)
    model = ExplicitState(g, features, out)
    if g.chance(0.5):
        samples: List[Any] = [(torch.rand(batch, features) * 2, torch.zeros(batch, out))]
    else:
        samples = [torch.rand(batch, features) * 2 for _ in range(g.int(1, 3))]
    return model, samples, "explicit"


def sj_node(g: Any) -> nn.Module:
    kind = g.pick_weighted([(4, "lif"), (2, "if"), (2, "plif"), (1, "other")])
    common = dict(v_threshold=g.pick([1.0, 0.5]), v_reset=g.pick([0.0, 0.0, None, 0.3]),
                  detach_reset=g.chance(0.3))
    if kind == "lif":
        return sj_neuron.LIFNode(tau=g.pick([2.0, 1.5, 10.0]), decay_input=g.chance(0.7),
                                 **common)
    if kind == "if":
        return sj_neuron.IFNode(**common)
    if kind == "plif":
        return sj_neuron.ParametricLIFNode(init_tau=g.pick([2.0, 4.0]), **common)
    return g.pick([lambda: sj_neuron.QIFNode(), lambda: sj_neuron.EIFNode(),
                   lambda: sj_neuron.IzhikevichNode()])()


def spikingjelly_net(g: Any) -> Tuple[nn.Module, List[torch.Tensor], str]:
    multi = g.chance(0.35)
    image = g.chance(0.3)
    batch, steps = g.int(1, 3), g.int(1, 5)
    if image:
        channels = g.int(1, 3)
        body: List[nn.Module] = [sj_layer.Conv2d(channels, 2, 3, padding=1),
                                 sj_layer.BatchNorm2d(2), sj_node(g), sj_layer.Flatten(),
                                 sj_layer.Linear(2 * 36, 3), sj_node(g)]
        if multi and g.chance(0.5):
            body[:2] = [sj_layer.SeqToANNContainer(nn.Conv2d(channels, 2, 3, padding=1),
                                                   nn.BatchNorm2d(2))]
        shape: Tuple[int, ...] = (batch, channels, 6, 6)
    else:
        features = g.int(1, 12)
        body = [sj_layer.Linear(features, 6), sj_node(g), sj_layer.Linear(6, 3), sj_node(g)]
        shape = (batch, features)
    net = with_gain(nn.Sequential(*body), g.pick([2.0, 6.0]))
    if multi:
        sj_functional.set_step_mode(net, "m")
        return net, [torch.rand((steps,) + shape) * 2], "sj:multi"
    return net, [torch.rand(shape) * 2 for _ in range(steps)], "sj:single"


def snntorch_family(g: Any) -> Any:
    from export_models import Built, family_chain

    if snn is None:
        return family_chain(g)
    make = g.pick_weighted([(4, hidden_net), (4, time_loop), (2, explicit_state)])
    model, samples, text = make(g)
    model.train(g.chance(0.3))
    return Built(model, samples, ["snntorch", text])


def spikingjelly_family(g: Any) -> Any:
    from export_models import Built, family_chain

    if sj_neuron is None:
        return family_chain(g)
    model, samples, text = spikingjelly_net(g)
    model.train(g.chance(0.3))
    return Built(model, samples, ["spikingjelly", text])


SNN_FAMILIES: List[Tuple[float, Callable[[Any], Any]]] = [
    (12, snntorch_family),
    (8, spikingjelly_family),
]
