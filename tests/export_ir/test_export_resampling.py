"""Upsampling exports with the traced size: exact only where torch samples the same way from
that size as from the layer's own factor, and a warning everywhere else."""

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from export_helpers import assert_check_fails, assert_export_warns, export_without_warnings
from vantle.bridge.export_ir import check_export


class Interpolate(nn.Module):
    def __init__(self, **options):
        super().__init__()
        self.options = options

    def forward(self, x):
        return F.interpolate(torch.relu(x), **self.options)


def upsample(**options):
    return nn.Sequential(nn.ReLU(), nn.Upsample(**options))


# (model, sample shape, None when exact, else the warning's pattern)
CASES = {
    "integer factor": (upsample(scale_factor=2), (2, 3, 5, 4), None),
    "halving an even size": (upsample(scale_factor=0.5, mode="bilinear"), (2, 3, 8, 6), None),
    "factor 1.5 of 4": (upsample(scale_factor=1.5, mode="bilinear"), (1, 2, 4, 4), None),
    "recomputed factor": (upsample(scale_factor=0.5, mode="bilinear",
                                   recompute_scale_factor=True), (2, 3, 7, 3), None),
    "aligned corners": (upsample(scale_factor=1.7, mode="bilinear", align_corners=True),
                        (1, 2, 5, 5), None),
    "halving an odd size": (upsample(scale_factor=0.5, mode="bilinear"), (2, 3, 7, 3),
                            r"scale_factor=0\.5"),
    "bilinear by 2.5": (upsample(scale_factor=2.5, mode="bilinear"), (1, 2, 3, 3),
                        r"scale_factor=2\.5"),
    "one factor of two off": (upsample(scale_factor=(2.0, 0.5), mode="bilinear"),
                              (1, 2, 4, 5), r"scale_factor=\(2\.0, 0\.5\)"),
    "bicubic aligned": (upsample(size=(6, 6), mode="bicubic", align_corners=True),
                        (1, 2, 3, 3), r"aligns corners in mode 'bicubic'"),
    "functional integer factor": (Interpolate(scale_factor=3), (1, 2, 3, 4), None),
    "functional halving an odd size": (Interpolate(scale_factor=0.5, mode="bilinear"),
                                       (1, 2, 7, 4), r"interpolate"),
    "functional second factor off": (Interpolate(scale_factor=(2, 1.5)), (1, 2, 3, 3),
                                     r"interpolate"),
}


@pytest.mark.parametrize("name", list(CASES))
def test_upsampling_is_exact_or_says_why_not(name):
    model, shape, pattern = CASES[name]
    torch.manual_seed(0)
    samples = [torch.randn(shape) for _ in range(2)]
    if pattern is None:
        graph = export_without_warnings(model, samples[0])
        report = check_export(model, graph, *samples)
        assert report.ok, str(report)
    else:
        graph = assert_export_warns(model, samples[0], pattern)
        assert_check_fails(model, graph, samples)
