"""NMSModule: construction, filtering and capping, suppression kernel and torchvision dispatch."""

from __future__ import annotations

import re
import sys
import types

import numpy as np
import pytest
import torch

from nms_reference import clustered_boxes, greedy_nms
from vantle.bridge import import_ir as imp

NMSModule = imp.NMSModule
fallback = NMSModule._nms_fallback


@pytest.fixture(autouse=True)
def no_torchvision(monkeypatch):
    """Every test starts without torchvision (None in sys.modules makes its import fail)."""
    monkeypatch.setitem(sys.modules, "torchvision", None)
    monkeypatch.delitem(sys.modules, "torchvision.ops", raising=False)


def stand_in_torchvision(monkeypatch, nms):
    """Makes ``from torchvision.ops import nms`` give ``nms``."""
    package = types.ModuleType("torchvision")
    ops = types.ModuleType("torchvision.ops")
    ops.nms = nms
    package.ops = ops
    monkeypatch.setitem(sys.modules, "torchvision", package)
    monkeypatch.setitem(sys.modules, "torchvision.ops", ops)


def rows(*boxes_and_scores):
    """Detection rows (cx, cy, w, h, objectness, class scores...)."""
    return torch.tensor(boxes_and_scores, dtype=torch.float32)


SEPARATE = rows(
    [10, 10, 4, 4, 0.5], [30, 30, 4, 4, 0.9], [50, 50, 4, 4, 0.7], [70, 70, 4, 4, 0.6],
    [90, 90, 4, 4, 0.8],
)


# --- construction ---------------------------------------------------------------------------


def test_defaults_and_stored_types():
    module = NMSModule(1, np.float32(0.5), 7.9)
    assert (module.score_threshold, module.iou_threshold, module.max_detections) == (1.0, 0.5, 7)
    assert [type(v) for v in (module.score_threshold, module.max_detections)] == [float, int]
    default = NMSModule()
    assert (default.score_threshold, default.iou_threshold, default.max_detections) == (
        0.25, 0.45, 300)
    assert list(default.state_dict()) == []


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"score_threshold": "0.5"}, "must be real number, not str"),
        ({"iou_threshold": None}, "must be real number, not NoneType"),
        ({"max_detections": "3"},
         "Argument 'max_detections' has incorrect type (expected int, got str)"),
        ({"max_detections": None},
         "Argument 'max_detections' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_construction_type_errors(kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        NMSModule(**kwargs)


def test_out_of_range_thresholds_are_kept():
    module = NMSModule(-1.0, 2.0, -5)
    assert (module.score_threshold, module.iou_threshold, module.max_detections) == (-1.0, 2.0, -5)


# --- forward --------------------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(3, 4), (5,), (2, 3, 5)])
def test_forward_rejects_bad_shapes(shape):
    with pytest.raises(ValueError) as error:
        NMSModule()(torch.zeros(shape))
    assert str(error.value) == f"NMS expects (N, >=5), got {shape}"


def test_empty_input_is_returned_as_is():
    detections = torch.zeros(0, 6)
    assert NMSModule()(detections) is detections


def test_score_is_objectness_times_best_class():
    detections = rows([10, 10, 4, 4, 0.5, 0.2, 0.9], [50, 50, 4, 4, 0.9, 0.3, 0.3],
                      [90, 90, 4, 4, 0.8, 0.6, 0.1])
    # Scores 0.45, 0.27, 0.48: the threshold 0.3 drops the second row.
    out = NMSModule(score_threshold=0.3)(detections)
    assert torch.equal(out, detections[[2, 0]])


def test_threshold_is_inclusive_and_all_below_gives_empty_rows():
    detections = rows([10, 10, 4, 4, 0.5], [50, 50, 4, 4, 0.25])
    assert torch.equal(NMSModule(score_threshold=0.25)(detections), detections)
    empty = NMSModule(score_threshold=0.9)(detections)
    assert empty.shape == (0, 5)


def test_overlapping_boxes_of_any_class_suppress_each_other():
    detections = rows([10, 10, 4, 4, 0.6, 1.0, 0.0], [10, 10, 4, 4, 0.9, 0.0, 1.0])
    assert torch.equal(NMSModule()(detections), detections[[1]])


def test_overlap_equal_to_threshold_survives():
    # Two 10x10 boxes shifted by 5: IoU = 50 / 150 = 1/3 exactly in float32.
    detections = rows([5, 5, 10, 10, 0.9], [10, 5, 10, 10, 0.8])
    iou = float(np.float32(50) / np.float32(150))
    assert len(NMSModule(iou_threshold=iou)(detections)) == 2
    assert len(NMSModule(iou_threshold=iou * 0.99)(detections)) == 1


@pytest.mark.parametrize(("cap", "expected"), [(2, [1, 4]), (0, [1, 4, 2, 3, 0]),
                                               (-1, [1, 4, 2, 3, 0]), (10**30, [1, 4, 2, 3, 0])])
def test_cap_keeps_the_best_rows(cap, expected):
    assert torch.equal(NMSModule(max_detections=cap)(SEPARATE), SEPARATE[expected])


# --- torchvision dispatch -------------------------------------------------------------------


def test_uses_torchvision_when_it_imports(monkeypatch):
    calls = []

    def stand_in(boxes, scores, iou_threshold):
        calls.append((boxes.clone(), scores.clone(), iou_threshold))
        return torch.tensor([3, 0])

    stand_in_torchvision(monkeypatch, stand_in)
    module = NMSModule(score_threshold=0.55, iou_threshold=0.3)
    out = module(SEPARATE)
    [(boxes, scores, threshold)] = calls
    kept = SEPARATE[SEPARATE[:, 4] >= 0.55]
    assert torch.equal(out, kept[[3, 0]])
    assert torch.equal(boxes[0], torch.tensor([28.0, 28.0, 32.0, 32.0]))  # corner form
    assert torch.equal(scores, kept[:, 4]) and threshold == 0.3


@pytest.mark.parametrize("error", [ImportError, ModuleNotFoundError])
def test_import_error_from_the_call_falls_back(monkeypatch, error):
    def stand_in(*args):
        raise error("compiled ops missing")

    stand_in_torchvision(monkeypatch, stand_in)
    assert torch.equal(NMSModule()(SEPARATE), SEPARATE[[1, 4, 2, 3, 0]])


def test_other_errors_from_the_call_propagate(monkeypatch):
    def stand_in(*args):
        raise ValueError("bad boxes")

    stand_in_torchvision(monkeypatch, stand_in)
    with pytest.raises(ValueError, match="bad boxes"):
        NMSModule()(SEPARATE)


def test_missing_nms_attribute_falls_back(monkeypatch):
    stand_in_torchvision(monkeypatch, None)
    del sys.modules["torchvision.ops"].nms
    assert torch.equal(NMSModule()(SEPARATE), SEPARATE[[1, 4, 2, 3, 0]])


def test_torchvision_failing_at_import_with_runtime_error_falls_back(monkeypatch, tmp_path):
    # What a torchvision built for another torch does when its operators fail to register.
    package = tmp_path / "torchvision"
    package.mkdir()
    (package / "__init__.py").write_text(
        "raise RuntimeError('operator torchvision::nms does not exist')\n")
    monkeypatch.delitem(sys.modules, "torchvision")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(RuntimeError):
        __import__("torchvision.ops")
    assert torch.equal(NMSModule()(SEPARATE), SEPARATE[[1, 4, 2, 3, 0]])


def test_fallback_matches_real_torchvision(monkeypatch):
    monkeypatch.undo()  # the real import state
    torchvision_ops = pytest.importorskip("torchvision.ops")
    boxes, scores = clustered_boxes(2000, 60, seed=3)
    assert torch.equal(fallback(boxes, scores, 0.5), torchvision_ops.nms(boxes, scores, 0.5))


# --- _nms_fallback ----------------------------------------------------------------------------


class Marked(torch.Tensor):
    """A tensor subclass: the kernel leaves it to the composed path."""


@pytest.mark.parametrize("count", [1, 50, 700])
@pytest.mark.parametrize("threshold", [0.0, 0.3, 0.7])
def test_fallback_equals_the_reference(count, threshold):
    boxes, scores = clustered_boxes(count, max(1, count // 10), seed=count)
    expected = greedy_nms(boxes, scores, threshold)
    kept = fallback(boxes, scores, threshold)
    assert kept.dtype == torch.int64 and kept.device == boxes.device
    assert torch.equal(kept, expected)


def special_values(seed: int) -> tuple[torch.Tensor, torch.Tensor]:
    """Boxes with NaN, infinities, zero and negative areas, and scores with ties and NaN."""
    generator = torch.Generator().manual_seed(seed)
    pool = torch.tensor([0.0, -0.0, 1.0, 2.5, 5.0, -3.0, 1e30, -1e30, float("inf"),
                         float("-inf"), float("nan"), 1e-30])
    boxes = pool[torch.randint(0, len(pool), (300, 4), generator=generator)]
    boxes[:150] = torch.rand(150, 4, generator=generator) * 10  # some ordinary ones too
    scores = pool[torch.randint(0, len(pool), (300,), generator=generator)]
    return boxes, scores


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("threshold", [0.5, 0.0, -1.0, float("nan"), float("inf")])
def test_fallback_on_special_values_equals_the_reference(seed, threshold):
    boxes, scores = special_values(seed)
    assert torch.equal(fallback(boxes, scores, threshold),
                       greedy_nms(boxes, scores, threshold, stable=True))


def hostile_scene(kind: str) -> tuple[torch.Tensor, torch.Tensor]:
    """Clustered boxes mixed with boxes that stress a neighbour search, and tied scores."""
    boxes, scores = clustered_boxes(1500, 25, seed=len(kind))
    generator = torch.Generator().manual_seed(len(kind))
    extra = torch.rand(300, 4, generator=generator) * 640
    if kind == "covering":  # boxes over everything, some unbounded or past float range
        extra[:, :2] = torch.tensor([-1e6, -float("inf"), -3e38])[torch.arange(300) % 3, None]
        extra[:, 2:] = -extra[:, :2]
    elif kind == "degenerate":  # points, lines and inverted boxes among the others
        extra[::3, 2] = extra[::3, 0]
        extra[1::3, 3] = extra[1::3, 1] - 5
    elif kind == "tiny":  # the same scene at a scale where areas underflow float32
        boxes = boxes * 1e-21
    scores = torch.cat((scores, torch.rand(300, generator=generator)))
    scores = (scores * 4).round() / 4  # five distinct scores: ties everywhere
    return torch.cat((boxes, extra)), scores


@pytest.mark.parametrize("kind", ["covering", "degenerate", "tiny"])
@pytest.mark.parametrize("threshold", [0.0, 0.45, 0.9])
def test_fallback_on_hostile_scenes_equals_the_reference(kind, threshold):
    boxes, scores = hostile_scene(kind)
    for dtype in (torch.float32, torch.float64):
        assert torch.equal(fallback(boxes.to(dtype), scores, threshold),
                           greedy_nms(boxes.to(dtype), scores, threshold, stable=True))


@pytest.mark.parametrize(
    "convert",
    [
        pytest.param(lambda t: t.double(), id="float64"),
        pytest.param(lambda t: t if t.ndim == 2 else t.double(), id="float64-scores"),
        pytest.param(lambda t: t.half(), id="float16-composed"),
        pytest.param(lambda t: t.as_subclass(Marked), id="subclass-composed"),
        pytest.param(lambda t: t.t().contiguous().t(), id="non-contiguous"),
        pytest.param(lambda t: t.clone().requires_grad_(), id="requires-grad"),
    ],
)
def test_fallback_for_other_tensor_kinds(convert):
    boxes, scores = clustered_boxes(200, 20, seed=9)
    scores[::7] = scores[0]  # ties: visited in index order
    boxes, scores = convert(boxes), convert(scores)
    kept = fallback(boxes, scores, 0.4)
    assert torch.equal(kept, greedy_nms(boxes.detach(), scores.detach(), 0.4, stable=True))
    assert type(kept) in (torch.Tensor, Marked) and kept.dtype == torch.int64


def test_composed_path_equals_kernel_with_ties_and_nan():
    boxes, scores = special_values(5)
    composed = fallback(boxes.as_subclass(Marked), scores.as_subclass(Marked), 0.3)
    assert torch.equal(composed.as_subclass(torch.Tensor), fallback(boxes, scores, 0.3))


def test_fallback_on_zero_boxes_and_zero_area_boxes():
    empty = fallback(torch.zeros(0, 4), torch.zeros(0), 0.5)
    assert empty.dtype == torch.int64 and empty.shape == (0,)
    points = torch.tensor([[1.0, 1.0, 1.0, 1.0], [1.0, 1.0, 1.0, 1.0], [5.0, 5.0, 9.0, 9.0]])
    assert fallback(points, torch.tensor([0.9, 0.8, 0.7]), 0.0).tolist() == [0, 1, 2]


def test_fallback_threshold_conversion_and_static_access():
    boxes, scores = clustered_boxes(100, 10)
    expected = fallback(boxes, scores, 0.5)
    assert torch.equal(NMSModule()._nms_fallback(boxes, scores, np.float64(0.5)), expected)
    assert torch.equal(fallback(boxes, scores, torch.tensor(0.5)), expected)
    with pytest.raises(TypeError, match="must be real number, not str"):
        fallback(boxes, scores, "0.5")


@pytest.mark.parametrize(
    ("boxes", "scores", "error", "message"),
    [
        (torch.zeros(10, 4), torch.zeros(9), ValueError, r"scores .*\(9,\) for 10 boxes"),
        (torch.zeros(3, 4), torch.zeros(3, 1), ValueError, r"scores .*\(3, 1\) for 3 boxes"),
        (torch.zeros(3, 5), torch.zeros(3), ValueError, r"boxes .*\(K, 4\).*\(3, 5\)"),
        (torch.zeros(12), torch.zeros(3), ValueError, r"boxes .*\(12,\)"),
        (torch.zeros(0), torch.zeros(0), ValueError, r"boxes .*\(0,\)"),
        ([[0.0, 0.0, 1.0, 1.0]], torch.zeros(1), TypeError, r"'boxes'.*expected Tensor, got list"),
        (torch.zeros(1, 4), None, TypeError, r"'scores'.*expected Tensor, got NoneType"),
    ],
)
def test_fallback_refuses_arguments_that_do_not_pair_up(boxes, scores, error, message):
    with pytest.raises(error, match=message):
        fallback(boxes, scores, 0.5)
    if isinstance(boxes, torch.Tensor) and isinstance(scores, torch.Tensor):
        with pytest.raises(error, match=message):  # the composed path checks alike
            fallback(boxes.as_subclass(Marked), scores.as_subclass(Marked), 0.5)
