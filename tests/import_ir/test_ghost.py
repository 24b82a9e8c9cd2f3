"""Ghost convolution blocks: SGhostConv, SGhostEncoderLite, GhostBasicBlock1/2."""

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

from vantle.bridge.import_ir import (
    GhostBasicBlock1Module,
    GhostBasicBlock2Module,
    SGhostConvModule,
    SGhostEncoderLiteModule,
)

# Loose enough for the summation-order differences of two convolution algorithms.
assert_close = functools.partial(torch.testing.assert_close, rtol=1e-4, atol=1e-4)
GHOST_KEYS = ["primary_weight", "primary_bias", "cheap_weight", "cheap_bias"]


def ghost_arrays(rng, c_in, primary, k=1, cheap_k=3, dtype=np.float64):
    """Primary weight/bias and depthwise cheap weight/bias of one ghost convolution."""
    return [
        rng.normal(size=(primary, c_in, k, k)).astype(dtype),
        rng.normal(size=primary).astype(dtype),
        rng.normal(size=(primary, 1, cheap_k, cheap_k)).astype(dtype),
        rng.normal(size=primary).astype(dtype),
    ]


def t(array):
    return torch.from_numpy(np.asarray(array, dtype=np.float32))


def reference_ghost(x, arrays, ps=(1, 1), pp=(0, 0), cs=(1, 1), cp=(0, 0)):
    """Primary convolution, then each of its channels through its own cheap filter."""
    pw, pb, cw, cb = map(t, arrays)
    primary = F.conv2d(x, pw, pb, stride=ps, padding=pp)
    cheap = [
        F.conv2d(primary[:, i : i + 1], cw[i : i + 1], cb[i : i + 1], stride=cs, padding=cp)
        for i in range(cw.shape[0])
    ]
    return torch.cat([primary, *cheap], dim=1)


@pytest.fixture
def rng():
    return np.random.default_rng(7)


class TestSGhostConvConstruction:
    @pytest.mark.parametrize(
        "change, message",
        [
            # The weight test comes first, even when the biases are bad too.
            ({"primary_weight": (8, 3, 1), "primary_bias": (8, 1)},
             "SGhostConv weights must be 4D"),
            ({"cheap_weight": (8, 1, 3)}, "SGhostConv weights must be 4D"),
            ({"cheap_bias": (8, 1)}, "SGhostConv biases must be 1D"),
            ({"cheap_weight": (8, 2, 3, 3)},
             r"cheap_weight must be depthwise with shape\[1\]=1, got \(8, 2, 3, 3\)"),
            ({"cheap_weight": (4, 1, 3, 3)},
             "cheap output channels must match primary output channels, got 4 and 8"),
            ({"primary_bias": (7,)},
             "primary_bias length must match primary_weight output channels"),
            ({"cheap_bias": (7,)}, "cheap_bias length must match cheap_weight output channels"),
        ],
    )
    def test_array_checks_in_order(self, rng, change, message):
        arrays = dict(zip(GHOST_KEYS, ghost_arrays(rng, 3, 8)))
        arrays.update({key: np.zeros(shape) for key, shape in change.items()})
        with pytest.raises(ValueError, match=f"^{message}$"):
            SGhostConvModule(**arrays)

    @pytest.mark.parametrize("name", ["primary_stride", "primary_padding", "cheap_stride",
                                      "cheap_padding"])
    @pytest.mark.parametrize("value, type_name", [([2, 2], "list"), (2, "int"), (None, "NoneType")])
    def test_pairs_must_be_exact_tuples(self, rng, name, value, type_name):
        expected = f"Argument '{name}' has incorrect type (expected tuple, got {type_name})"
        with pytest.raises(TypeError, match=f"^{re.escape(expected)}$"):
            SGhostConvModule(*ghost_arrays(rng, 3, 8), **{name: value})

    def test_tuple_subclass_is_rejected_before_the_arrays(self, rng):
        class Pair(tuple):
            pass

        with pytest.raises(TypeError, match="'cheap_padding'.*expected tuple, got Pair"):
            SGhostConvModule(np.zeros(3), np.zeros(3), np.zeros(3), np.zeros(3),
                             cheap_padding=Pair((1, 1)))

    def test_pair_length_is_checked_after_the_arrays(self, rng):
        with pytest.raises(ValueError, match="^Expected 2 values, got 1$"):
            SGhostConvModule(*ghost_arrays(rng, 3, 8), primary_stride=(2,))
        with pytest.raises(ValueError, match="weights must be 4D"):
            SGhostConvModule(np.zeros(3), *ghost_arrays(rng, 3, 8)[1:], primary_stride=(2,))

    def test_pairs_become_python_ints(self, rng):
        module = SGhostConvModule(*ghost_arrays(rng, 3, 8), primary_stride=(np.int64(2), 2.9),
                                  cheap_padding=(True, 1))
        assert module.primary_stride == (2, 2)
        assert module.cheap_padding == (1, 1)
        assert module.primary_padding == (0, 0) and module.cheap_stride == (1, 1)
        assert all(type(v) is int for v in module.primary_stride + module.cheap_padding)

    def test_buffers_are_owned_float32_copies_in_order(self, rng):
        arrays = ghost_arrays(rng, 3, 8, dtype=np.float32)
        snapshot = [a.copy() for a in arrays]
        module = SGhostConvModule(*arrays)
        assert list(module.state_dict()) == GHOST_KEYS
        assert list(module.parameters()) == []
        assert all(b.dtype == torch.float32 for b in module.buffers())
        module.primary_weight.add_(1.0)
        module.load_state_dict({k: torch.zeros_like(v) for k, v in module.state_dict().items()})
        for array, before in zip(arrays, snapshot):
            np.testing.assert_array_equal(array, before)

    def test_read_only_arrays_import_silently(self, rng):
        arrays = ghost_arrays(rng, 3, 8, dtype=np.float32)
        for array in arrays:
            array.setflags(write=False)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            module = SGhostConvModule(*arrays)
        module.cheap_bias.mul_(2.0)  # the buffer is writable even though the source is not


class TestSGhostConvForward:
    def test_primary_then_cheap_channels(self, rng):
        arrays = ghost_arrays(rng, 3, 8)
        module = SGhostConvModule(*arrays, cheap_padding=(1, 1))
        x = torch.randn(1, 3, 16, 16)
        y = module(x)
        assert y.shape == (1, 16, 16, 16)
        assert_close(y, reference_ghost(x, arrays, cp=(1, 1)))
        assert_close(y[:, :8], F.conv2d(x, t(arrays[0]), t(arrays[1])))

    def test_strides_and_paddings_reach_their_convolutions(self, rng):
        arrays = ghost_arrays(rng, 4, 6, k=3, cheap_k=3)
        pairs = dict(ps=(2, 1), pp=(1, 0), cs=(1, 1), cp=(1, 1))
        module = SGhostConvModule(*arrays, primary_stride=(2, 1), primary_padding=(1, 0),
                                  cheap_stride=(1, 1), cheap_padding=(1, 1))
        x = torch.randn(2, 4, 11, 9)
        y = module(x)
        assert y.shape == (2, 12, 6, 7)
        assert_close(y, reference_ghost(x, arrays, **pairs))

    @pytest.mark.parametrize(
        "shape, message",
        [
            ((3, 16, 16), r"^SGhostConv expects NCHW tensor, got shape \(3, 16, 16\)$"),
            ((1, 4, 16, 16),
             r"^Input channels \(4\) do not match primary_weight input channels \(3\)$"),
        ],
    )
    def test_input_checks(self, rng, shape, message):
        module = SGhostConvModule(*ghost_arrays(rng, 3, 8))
        with pytest.raises(ValueError, match=message):
            module(torch.randn(*shape))


def encoder(rng, k1=3, c1=16, stride=2, ghost_k=3):
    conv1 = [rng.normal(size=(c1, 3, k1, k1)), rng.normal(size=c1)]
    ghost = ghost_arrays(rng, c1, 8, k=ghost_k, cheap_k=3)
    return SGhostEncoderLiteModule(*conv1, *ghost, stride=stride), conv1, ghost


class TestSGhostEncoderLite:
    @pytest.mark.parametrize(
        "k1, padding, size", [(3, (1, 1), 32), (5, (2, 2), 32), (4, (2, 2), 33)]
    )
    def test_stem_padding_and_output_size(self, rng, k1, padding, size):
        module, conv1, ghost = encoder(rng, k1=k1)
        assert module.conv1_padding == padding and module.stride == 2
        x = torch.randn(1, 3, 64, 64)
        y = module(x)
        assert y.shape == (1, 16, size, size)
        stem = F.conv2d(x, t(conv1[0]), t(conv1[1]), stride=2, padding=padding)
        assert_close(y, reference_ghost(stem, ghost, pp=(1, 1), cp=(1, 1)))

    def test_structure(self, rng):
        module, _, _ = encoder(rng, stride=3.7)
        assert module.stride == 3 and type(module.stride) is int
        assert list(module.state_dict()) == ["conv1_weight", "conv1_bias"] + [
            f"ghost.{key}" for key in GHOST_KEYS]
        ghost = module.ghost
        assert isinstance(ghost, SGhostConvModule)
        assert (ghost.primary_stride, ghost.primary_padding) == ((1, 1), (1, 1))
        assert (ghost.cheap_stride, ghost.cheap_padding) == ((1, 1), (1, 1))

    @pytest.mark.parametrize(
        "conv1_weight, conv1_bias, ghost_weight, message",
        [
            ((16, 3, 3), (16,), (8, 16, 3, 3), "conv1 weight/bias must be 4D/1D"),
            ((16, 3, 3, 3), (16, 1), (8, 16, 3, 3), "conv1 weight/bias must be 4D/1D"),
            ((16, 3, 3, 3), (15,), (8, 16, 3, 3),
             "conv1_bias length must match conv1_weight output channels"),
            # The ghost stage's own checks surface unchanged, a too-flat weight included.
            ((16, 3, 3, 3), (16,), (8, 16, 3), "SGhostConv weights must be 4D"),
            ((16, 3, 3, 3), (16,), (7, 16, 3, 3),
             "cheap output channels must match primary output channels, got 8 and 7"),
        ],
    )
    def test_construction_checks(self, conv1_weight, conv1_bias, ghost_weight, message):
        z = np.zeros
        with pytest.raises(ValueError) as raised:
            SGhostEncoderLiteModule(z(conv1_weight), z(conv1_bias), z(ghost_weight), z(8),
                                    z((8, 1, 3, 3)), z(8))
        assert str(raised.value) == message  # a note may say which stage; the text is exact

    def test_stride_must_be_a_number(self, rng):
        expected = "Argument 'stride' has incorrect type (expected int, got str)"
        with pytest.raises(TypeError, match=f"^{re.escape(expected)}$"):
            encoder(rng, stride="2")

    @pytest.mark.parametrize(
        "shape, message",
        [
            ((1, 3, 64), r"^SGhostEncoderLite expects NCHW tensor, got shape \(1, 3, 64\)$"),
            ((1, 1, 8, 8), r"^Input channels \(1\) do not match conv1 input channels \(3\)$"),
        ],
    )
    def test_input_checks(self, rng, shape, message):
        module, _, _ = encoder(rng)
        with pytest.raises(ValueError, match=message):
            module(torch.randn(*shape))


def block1(rng, c_in=8, half=8, out=8, stride=2):
    arrays = {
        "cvres": ghost_arrays(rng, c_in, out // 2, k=1),
        "cv0": ghost_arrays(rng, c_in, half, k=3),
        "cv2": ghost_arrays(rng, half, out // 2, k=3),
    }
    flat = {f"{p}_{k}": a for p, group in arrays.items() for k, a in zip(GHOST_KEYS, group)}
    return GhostBasicBlock1Module(**flat, stride=stride), arrays


def block2(rng, c_in=8, half=6, out=10):
    arrays = {
        "cv0": ghost_arrays(rng, c_in, half, k=1),
        "cv2": ghost_arrays(rng, half, out // 2, k=3),
    }
    flat = {f"{p}_{k}": a for p, group in arrays.items() for k, a in zip(GHOST_KEYS, group)}
    return GhostBasicBlock2Module(**flat), arrays


class TestGhostBasicBlocks:
    def test_block1_values(self, rng):
        module, arrays = block1(rng, c_in=8, half=8, out=12)
        x = torch.randn(2, 8, 16, 16)
        y = module(x)
        main = reference_ghost(x, arrays["cv0"], ps=(2, 2), pp=(1, 1), cp=(1, 1))
        residual = reference_ghost(x, arrays["cvres"], ps=(2, 2), cp=(1, 1))
        refined = reference_ghost(main[:, 8:], arrays["cv2"], pp=(1, 1), cp=(1, 1)) + residual
        assert y.shape == (2, 8 + 12, 8, 8)
        assert_close(y, torch.cat([main[:, :8], refined], 1))

    def test_block1_sub_modules(self, rng):
        module, _ = block1(rng, stride=3.0)
        assert module.stride == 3
        settings = {name: (m.primary_stride, m.primary_padding, m.cheap_stride, m.cheap_padding)
                    for name, m in module.named_children()}
        assert settings == {
            "cvres": ((3, 3), (0, 0), (1, 1), (1, 1)),
            "cv0": ((3, 3), (1, 1), (1, 1), (1, 1)),
            "cv2": ((1, 1), (1, 1), (1, 1), (1, 1)),
        }
        assert list(module.state_dict()) == [f"{p}.{k}" for p in settings for k in GHOST_KEYS]

    def test_block2_values_and_sub_modules(self, rng):
        module, arrays = block2(rng)
        x = torch.randn(1, 8, 10, 12)
        y = module(x)
        main = reference_ghost(x, arrays["cv0"], cp=(1, 1))
        assert y.shape == (1, 6 + 10, 10, 12)
        assert_close(y[:, :6], F.conv2d(x, t(arrays["cv0"][0]), t(arrays["cv0"][1])))
        assert_close(
            y, torch.cat([main[:, :6], reference_ghost(main[:, 6:], arrays["cv2"], pp=(1, 1),
                                                        cp=(1, 1))], 1))
        settings = [(m.primary_stride, m.primary_padding, m.cheap_stride, m.cheap_padding)
                    for m in module.children()]
        assert settings == [((1, 1), (0, 0), (1, 1), (1, 1)), ((1, 1), (1, 1), (1, 1), (1, 1))]
        assert list(dict(module.named_children())) == ["cv0", "cv2"]

    @pytest.mark.parametrize(
        "make, message",
        [(block1, "GhostBasicBlock1 requires even main channels, got 9"),
         (block2, "GhostBasicBlock2 requires even channels, got 7")],
    )
    def test_parity_after_buffer_replacement(self, rng, make, message):
        module, _ = make(rng)
        primary = module.cv0.primary_weight.shape[0]
        # One cheap filter over all primary channels gives an odd channel count.
        module.cv0.cheap_weight = torch.randn(1, primary, 3, 3)
        module.cv0.cheap_bias = torch.randn(1)
        with pytest.raises(ValueError, match=f"^{message}$"):
            module(torch.randn(1, 8, 8, 8))

    def test_sub_module_errors_propagate(self, rng):
        arrays = {f"cv0_{k}": a for k, a in zip(GHOST_KEYS, ghost_arrays(rng, 8, 6))}
        arrays.update({f"cv2_{k}": a for k, a in zip(GHOST_KEYS, ghost_arrays(rng, 6, 5))})
        arrays["cv2_cheap_bias"] = np.zeros(4)
        with pytest.raises(ValueError, match="^cheap_bias length must match"):
            GhostBasicBlock2Module(**arrays)


def round_trips(module):
    yield pickle.loads(pickle.dumps(module))
    yield copy.deepcopy(module)
    buffer = io.BytesIO()
    torch.save(module, buffer)
    buffer.seek(0)
    yield torch.load(buffer, weights_only=False)


@pytest.mark.parametrize(
    "make, shape",
    [
        (lambda rng: SGhostConvModule(*ghost_arrays(rng, 3, 4), primary_stride=(2, 2),
                                      cheap_padding=(1, 1)), (1, 3, 8, 8)),
        (lambda rng: encoder(rng)[0], (1, 3, 16, 16)),
        (lambda rng: block1(rng)[0], (1, 8, 8, 8)),
        (lambda rng: block2(rng)[0], (1, 8, 8, 8)),
    ],
)
def test_copies_and_state_dict_reload(rng, make, shape):
    module = make(rng)
    x = torch.randn(*shape)
    expected = module(x)
    for copied in round_trips(module):
        assert type(copied) is type(module)
        torch.testing.assert_close(copied(x), expected, rtol=0, atol=0)
    saved = io.BytesIO()
    torch.save(module.state_dict(), saved)
    saved.seek(0)
    fresh = make(np.random.default_rng(99))
    fresh.load_state_dict(torch.load(saved))  # weights_only: plain tensors, no classes
    torch.testing.assert_close(fresh(x), expected, rtol=0, atol=0)
