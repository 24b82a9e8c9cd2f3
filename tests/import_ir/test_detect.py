"""Detection head and decoders: SDDetect, DFLDecode, Dist2BBox."""

import copy
import functools
import io
import pickle
import re
import warnings

import numpy as np
import pytest
import torch
import torch.nn.functional as F

from vantle.bridge.import_ir import DFLDecodeModule, Dist2BBoxModule, SDDetectModule

HEAD_KEYS = [f"{branch}_{kind}{stage}" for branch in ("cv2", "cv3") for stage in range(3)
             for kind in ("w", "b")]
assert_close = functools.partial(torch.testing.assert_close, rtol=1e-4, atol=1e-4)


def exact_message(text):
    return f"^{re.escape(text)}$"


def head_arrays(rng, c_in, box, classes, hidden=(16, 12), kernels=(3, 3, 1)):
    """Weights and biases of both branches, keyed like the constructor's arguments."""
    arrays = {}
    for branch, out in (("cv2", box), ("cv3", classes)):
        channels = (c_in, *hidden, out)
        for stage, k in enumerate(kernels):
            shape = (channels[stage + 1], channels[stage], k, k)
            arrays[f"{branch}_w{stage}"] = rng.normal(size=shape) * 0.3
            arrays[f"{branch}_b{stage}"] = rng.normal(size=channels[stage + 1])
    return arrays


def reference_branch(x, arrays, branch):
    y = x
    for stage, padding in enumerate((1, 1, 0)):
        w = torch.from_numpy(arrays[f"{branch}_w{stage}"]).float()
        b = torch.from_numpy(arrays[f"{branch}_b{stage}"]).float()
        y = F.conv2d(y, w, b, padding=padding)
    return y


@pytest.fixture
def rng():
    return np.random.default_rng(3)


class TestSDDetect:
    def test_box_channels_then_class_channels(self, rng):
        arrays = head_arrays(rng, 128, 64, 80)
        module = SDDetectModule(80, 16, 8, **arrays)
        x = torch.randn(1, 128, 20, 20)
        y = module(x)
        assert y.shape == (1, 144, 20, 20)
        assert_close(y[:, :64], reference_branch(x, arrays, "cv2"))
        assert_close(y[:, 64:], reference_branch(x, arrays, "cv3"))

    def test_attributes_and_buffer_order(self, rng):
        module = SDDetectModule(np.int64(3), 7.9, True, **head_arrays(rng, 4, 8, 3))
        assert (module.num_classes, module.reg_max, module.stride) == (3, 7, 1)
        assert all(type(v) is int for v in (module.num_classes, module.reg_max, module.stride))
        assert list(module.state_dict()) == HEAD_KEYS
        assert list(module.parameters()) == []

    @pytest.mark.parametrize("position, name", [(0, "num_classes"), (1, "reg_max"), (2, "stride")])
    @pytest.mark.parametrize(
        "value, type_name", [("8", "str"), (None, "NoneType"), ((8,), "tuple")]
    )
    def test_counts_must_be_numbers(self, rng, position, name, value, type_name):
        counts = [80, 16, 8]
        counts[position] = value
        with pytest.raises(TypeError, match=exact_message(
                f"Argument '{name}' has incorrect type (expected int, got {type_name})")):
            SDDetectModule(*counts, **head_arrays(rng, 4, 8, 3))

    def test_construction_accepts_any_shapes(self):
        arrays = {key: np.zeros((2,) * (1 + index % 4)) for index, key in enumerate(HEAD_KEYS)}
        module = SDDetectModule(1, 1, 1, **arrays)
        assert [tuple(b.shape) for b in module.buffers()] == [a.shape for a in arrays.values()]

    @pytest.mark.parametrize(
        "shape, message",
        [
            ((128, 20, 20), "SDDetect expects NCHW tensor, got shape (128, 20, 20)"),
            # Only the box branch's first stage is compared, even though cv3 would fit.
            ((1, 32, 8, 8), "Input channels (32) do not match SDDetect channels (16)"),
        ],
    )
    def test_input_checks(self, rng, shape, message):
        arrays = head_arrays(rng, 16, 8, 3)
        arrays["cv3_w0"] = rng.normal(size=(16, 32, 3, 3))
        module = SDDetectModule(3, 2, 8, **arrays)
        with pytest.raises(ValueError, match=exact_message(message)):
            module(torch.randn(*shape))


def reference_dfl(logits, weights):
    """Per side: softmax over that side's bins, then the weighted sum (channels first)."""
    bins = len(weights)
    sides = []
    for s in range(4):
        chunk = logits[s * bins : (s + 1) * bins].double()
        p = torch.exp(chunk - chunk.max(0).values) / torch.exp(chunk - chunk.max(0).values).sum(0)
        sides.append(torch.einsum("k...,k->...", p, torch.as_tensor(weights, dtype=torch.float64)))
    return torch.stack(sides).float()


class TestDFLDecode:
    @pytest.mark.parametrize(
        "shape, out_shape",
        [((2, 64, 8, 8), (2, 4, 8, 8)), ((2, 64, 100), (2, 4, 100)), ((64, 100), (4, 100))],
    )
    def test_expected_bin_value_per_side(self, rng, shape, out_shape):
        weights = rng.normal(size=16) * 3
        module = DFLDecodeModule(16, weights)
        logits = torch.randn(*shape) * 4
        out = module(logits)
        if len(shape) == 2:
            expected = reference_dfl(logits, weights)
        else:
            expected = torch.stack([reference_dfl(sample, weights) for sample in logits])
        assert out.shape == expected.shape == out_shape
        assert_close(out, expected)

    def test_uniform_logits_give_the_mean_bin(self):
        out = DFLDecodeModule(16, np.arange(16))(torch.zeros(2, 64, 8, 8))
        assert out.shape == (2, 4, 8, 8)
        assert_close(out, torch.full((2, 4, 8, 8), 7.5))

    def test_one_hot_logits_pick_their_bin_for_each_side(self):
        logits = torch.full((1, 4 * 5, 1, 1), -1e4)
        for side, chosen in enumerate((4, 0, 2, 3)):
            logits[0, side * 5 + chosen] = 0.0
        out = DFLDecodeModule(5, np.arange(5))(logits)
        assert out.flatten().tolist() == [4.0, 0.0, 2.0, 3.0]

    def test_weights_follow_the_logits_dtype(self):
        module = DFLDecodeModule(4, np.arange(4))
        out = module(torch.zeros(16, 3, dtype=torch.float64))
        assert out.dtype == torch.float64 and module.dfl_weights.dtype == torch.float32

    @pytest.mark.parametrize(
        "reg_max, weights, message",
        [
            (16, np.arange(15), "dfl_weights must be 1D with length 16, got (15,)"),
            (16, np.zeros((16, 1)), "dfl_weights must be 1D with length 16, got (16, 1)"),
            (16.8, np.zeros(17), "dfl_weights must be 1D with length 16, got (17,)"),
        ],
    )
    def test_weight_checks(self, reg_max, weights, message):
        with pytest.raises(ValueError, match=exact_message(message)):
            DFLDecodeModule(reg_max, weights)

    def test_reg_max_must_be_a_number(self):
        with pytest.raises(TypeError, match=exact_message(
                "Argument 'reg_max' has incorrect type (expected int, got str)")):
            DFLDecodeModule("16", np.arange(16))

    @pytest.mark.parametrize(
        "shape, message",
        [
            ((2, 60, 8, 8), "DFLDecode expects 64 channels, got 60"),
            ((60, 100), "DFLDecode expects 64 channels, got 60"),
            ((1, 64, 2, 2, 2), "DFLDecode expects 2D/3D/4D tensor, got shape (1, 64, 2, 2, 2)"),
            ((64,), "DFLDecode expects 2D/3D/4D tensor, got shape (64,)"),
        ],
    )
    def test_input_checks(self, shape, message):
        with pytest.raises(ValueError, match=exact_message(message)):
            DFLDecodeModule(16, np.arange(16))(torch.zeros(*shape))


def reference_boxes(distances, stride, ax=None, ay=None):
    """Loop over cells: corners from the cell's anchor, then centre and size times stride."""
    b, _, h, w = distances.shape
    out = torch.empty_like(distances)
    for n in range(b):
        for i in range(h):
            for j in range(w):
                x0 = float(j if ax is None else ax[n, i, j])
                y0 = float(i if ay is None else ay[n, i, j])
                left, top, right, bottom = distances[n, :, i, j].tolist()
                x1, y1, x2, y2 = x0 - left, y0 - top, x0 + right, y0 + bottom
                out[n, :, i, j] = torch.tensor(
                    [(x1 + x2) / 2 * stride, (y1 + y2) / 2 * stride, (x2 - x1) * stride,
                     (y2 - y1) * stride])
    return out


class TestDist2BBox:
    def test_unit_distances_make_cell_centred_boxes(self):
        out = Dist2BBoxModule(8)(torch.ones(1, 4, 3, 5))
        rows, cols = torch.meshgrid(torch.arange(3.0), torch.arange(5.0), indexing="ij")
        assert torch.equal(out[0, 0], 8 * cols) and torch.equal(out[0, 1], 8 * rows)
        assert torch.equal(out[0, 2:], torch.full((2, 3, 5), 16.0))

    def test_generated_grid_matches_cell_loop(self):
        distances = torch.rand(2, 4, 3, 4) * 5
        out = Dist2BBoxModule(16.9)(distances)
        assert_close(out, reference_boxes(distances, 16))

    def test_given_anchors(self):
        distances = torch.rand(2, 4, 3, 4)
        ax, ay = torch.rand(2, 3, 4) * 10, torch.rand(2, 3, 4) * 10
        out = Dist2BBoxModule(4)(distances, ax.double(), ay.double())
        assert out.dtype == torch.float32
        assert_close(out, reference_boxes(distances, 4, ax, ay))

    def test_two_dimensional_anchors_serve_a_batch_of_one(self):
        distances = torch.rand(1, 4, 3, 4)
        ax, ay = torch.rand(3, 4), torch.rand(3, 4)
        out = Dist2BBoxModule(2)(distances, ax, ay)
        assert_close(out, reference_boxes(distances, 2, ax[None], ay[None]))

    def test_two_dimensional_anchors_fail_for_a_larger_batch(self):
        with pytest.raises(ValueError, match=exact_message(
                "anchor_x/anchor_y must have shape (2, 3, 4), got (1, 3, 4) and (1, 3, 4)")):
            Dist2BBoxModule(2)(torch.rand(2, 4, 3, 4), torch.rand(3, 4), torch.rand(3, 4))

    def test_one_anchor_alone_is_ignored(self):
        distances = torch.rand(1, 4, 3, 4)
        module = Dist2BBoxModule(2)
        assert torch.equal(module(distances, anchor_x=torch.full((3, 4), 100.0)), module(distances))

    @pytest.mark.parametrize("shape", [(1, 5, 4, 4), (4, 4, 4), (1, 4, 4, 4, 1)])
    def test_shape_check(self, shape):
        with pytest.raises(ValueError, match=exact_message(
                f"Dist2BBox expects tensor of shape [B,4,H,W], got {tuple(shape)}")):
            Dist2BBoxModule(8)(torch.zeros(*shape))

    def test_double_distances_stay_double(self):
        out = Dist2BBoxModule(8)(torch.ones(1, 4, 2, 2, dtype=torch.float64))
        assert out.dtype == torch.float64


class TestOwnershipAndCopies:
    def make_all(self, rng):
        return [
            (SDDetectModule(3, 2, 8, **head_arrays(rng, 8, 8, 3)), (torch.randn(1, 8, 6, 6),)),
            (DFLDecodeModule(4, rng.normal(size=4)), (torch.randn(2, 16, 3, 3),)),
            (Dist2BBoxModule(8), (torch.rand(1, 4, 3, 3),)),
        ]

    def test_pickle_deepcopy_and_torch_save(self, rng):
        for module, inputs in self.make_all(rng):
            expected = module(*inputs)
            buffer = io.BytesIO()
            torch.save(module, buffer)
            buffer.seek(0)
            copies = [pickle.loads(pickle.dumps(module)), copy.deepcopy(module),
                      torch.load(buffer, weights_only=False)]
            for copied in copies:
                assert type(copied) is type(module)
                assert copied.__dict__.keys() == module.__dict__.keys()
                torch.testing.assert_close(copied(*inputs), expected, rtol=0, atol=0)

    def test_state_dict_reload(self, rng):
        source = SDDetectModule(3, 2, 8, **head_arrays(rng, 8, 8, 3))
        target = SDDetectModule(3, 2, 8, **head_arrays(np.random.default_rng(5), 8, 8, 3))
        saved = io.BytesIO()
        torch.save(source.state_dict(), saved)
        saved.seek(0)
        target.load_state_dict(torch.load(saved))
        x = torch.randn(1, 8, 5, 5)
        torch.testing.assert_close(target(x), source(x), rtol=0, atol=0)

    def test_buffers_never_share_the_arrays(self, rng):
        arrays = {k: v.astype(np.float32) for k, v in head_arrays(rng, 4, 8, 3).items()}
        weights = np.arange(4, dtype=np.float32)
        for array in [*arrays.values(), weights]:
            array.setflags(write=False)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            head = SDDetectModule(3, 2, 8, **arrays)
            dfl = DFLDecodeModule(4, weights)
        for buffer in [*head.buffers(), *dfl.buffers()]:
            buffer.zero_()
        assert weights.tolist() == [0.0, 1.0, 2.0, 3.0]
        assert all(array.any() for array in arrays.values())
