"""Odd samples for the export fuzzer: the model's first sample, changed now and then.

Other dtypes, an empty batch, other memory layouts and views, tensor subclasses, meta and
sparse tensors, wrong shapes, scalars, containers, and values that are no tensor at all.
"""

from __future__ import annotations

from typing import Any, Callable, Dict

import torch
from torch import nn


class Marked(torch.Tensor):
    """A tensor subclass without behaviour of its own."""


class Traced(torch.Tensor):
    """A tensor subclass that sees every operation on it."""

    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):  # type: ignore[no-untyped-def]
        return super().__torch_function__(func, types, args, kwargs or {})


class CountsItself:
    """Not a tensor, though it has a numel."""

    shape = (2, 3)

    def numel(self) -> int:
        return 6


def noncontiguous(x: torch.Tensor) -> torch.Tensor:
    if x.dim() < 2:
        return x
    return x.transpose(0, -1).contiguous().transpose(0, -1)


def strided(x: torch.Tensor) -> torch.Tensor:
    wide = torch.repeat_interleave(x, 2, dim=-1) if x.dim() else x
    return wide[..., ::2] if x.dim() else x


def wrong_last(x: torch.Tensor) -> torch.Tensor:
    return torch.randn(tuple(x.shape[:-1]) + (int(x.shape[-1]) + 1,)) if x.dim() else x


def many_dims(x: torch.Tensor) -> torch.Tensor:
    return x.reshape((x.shape[0],) + (1,) * 40 + tuple(x.shape[1:])) if x.dim() else x


def with_non_finite(x: torch.Tensor) -> torch.Tensor:
    y = x.clone()
    flat = y.view(-1)
    flat[: min(3, flat.numel())] = torch.tensor([float("nan"), float("inf"), -float("inf")])[
        : min(3, flat.numel())]
    return y


def inference(x: torch.Tensor) -> torch.Tensor:
    with torch.inference_mode():
        return x.clone()


MUTATIONS: Dict[str, Callable[[torch.Tensor], Any]] = {
    "batch0": lambda x: x[:0],
    "int64": lambda x: x.long(),
    "int8": lambda x: x.to(torch.int8),
    "bool": lambda x: x > 0,
    "complex64": lambda x: x.to(torch.complex64),
    "half": lambda x: x.half(),
    "bfloat16": lambda x: x.bfloat16(),
    "float64": lambda x: x.double(),
    "channels_last": lambda x: x.contiguous(memory_format=torch.channels_last)
    if x.dim() == 4 else x,
    "noncontiguous": noncontiguous,
    "strided": strided,
    "expanded": lambda x: x[:1].expand_as(x),
    "requires_grad": lambda x: x.clone().requires_grad_(),
    "parameter": lambda x: nn.Parameter(x.clone()),
    "subclass": lambda x: x.as_subclass(Marked),
    "subclass_function": lambda x: x.as_subclass(Traced),
    "meta": lambda x: x.to("meta"),
    "sparse": lambda x: x.to_sparse(),
    "sparse_csr": lambda x: x.to_sparse_csr() if x.dim() == 2 else x.to_sparse(),
    "nested": lambda x: torch.nested.nested_tensor([x[0], x[0]]) if x.dim() > 1 else x,
    "non_finite": with_non_finite,
    "huge_values": lambda x: x * 1e38,
    "wrong_last": wrong_last,
    "extra_dim": lambda x: x.unsqueeze(1),
    "drop_dim": lambda x: x.flatten(1) if x.dim() > 2 else x[:, 0] if x.dim() == 2 else x,
    "no_batch": lambda x: x[0],
    "scalar": lambda x: torch.tensor(1.5),
    "many_dims": many_dims,
    "big_batch": lambda x: torch.randn((33,) + tuple(x.shape[1:])),
    "inference": inference,
    "zero_tensor": lambda x: torch._efficientzerotensor(x.shape),
    "neg_view": lambda x: torch._neg_view(x),
    "list": lambda x: [x],
    "tuple": lambda x: (x,),
    "tuple_extra": lambda x: (x, None),
    "tuple_number": lambda x: (x, 3),
    "tuple_twice": lambda x: (x, x),
    "tuple_empty": lambda x: (),
    "tuple_no_tensor": lambda x: (1, 2),
    "tuple_empty_tensor": lambda x: (x, x[:0]),
    "tuple_subclass": lambda x: type("Args", (tuple,), {})((x,)),
    "dict": lambda x: {"x": x},
    "none": lambda x: None,
    "object": lambda x: object(),
    "numpy": lambda x: x.numpy(),
    "float": lambda x: 1.0,
    "str": lambda x: "sample",
    "counts_itself": lambda x: CountsItself(),
    "nested_list": lambda x: [[x]],
}


def mutate_sample(g: Any, built: Any) -> None:
    """Now and then replaces the first sample (sometimes every sample) by an odd one."""
    if not g.chance(0.3) or not built.samples or not isinstance(built.samples[0], torch.Tensor):
        return
    name = g.pick(sorted(MUTATIONS))
    every = g.chance(0.3)
    built.label.append(f"sample:{name}{'*' if every else ''}")
    change = MUTATIONS[name]
    for k, sample in enumerate(built.samples):
        if (k == 0 or every) and isinstance(sample, torch.Tensor):
            built.samples[k] = change(sample)
