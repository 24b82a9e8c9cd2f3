"""Spiking neurons: SpikeFunction and LIFModule."""

import copy
import io
import pickle

import numpy as np
import pytest
import torch

from vantle.bridge.import_ir import LIFModule, SpikeFunction


def make_lif(n=4, tau=2.0, r=1.0, v_leak=0.0, v_threshold=1.0):
    return LIFModule(
        np.full(n, tau), np.full(n, r), np.full(n, v_leak), np.full(n, v_threshold)
    )


def composed_step(lif, x, mem):
    """The LIF step written with plain torch operations."""
    if mem is None:
        mem = torch.zeros_like(x)
    mem = lif.beta * mem + (1.0 / lif.tau) * (lif.v_leak + lif.r * x)
    spk = (mem >= lif.v_threshold).to(mem.dtype)
    return spk, mem * (1 - spk)


class TestSpikeFunction:
    def test_equality_fires_and_gradient_peaks_at_slope(self):
        mem = torch.tensor([0.5, 1.0, 1.5], requires_grad=True)
        threshold = torch.tensor(1.0)
        spk = SpikeFunction.apply(mem, threshold)
        assert spk.tolist() == [0.0, 1.0, 1.0]
        spk.backward(torch.ones(3))
        expected = 25.0 * torch.exp(-25.0 * torch.tensor([0.5, 0.0, 0.5]))
        torch.testing.assert_close(mem.grad, expected)
        assert mem.grad[1].item() == 25.0

    def test_custom_slope_and_incoming_gradient_scale(self):
        mem = torch.tensor([0.8, 1.1], requires_grad=True)
        SpikeFunction.apply(mem, torch.tensor(1.0), 4.0).backward(torch.tensor([2.0, 3.0]))
        expected = torch.tensor([2.0, 3.0]) * 4.0 * torch.exp(-4.0 * torch.tensor([0.2, 0.1]))
        torch.testing.assert_close(mem.grad, expected)

    def test_backward_returns_three_entries(self):
        class Ctx:
            saved_tensors = (torch.tensor([1.0]), torch.tensor([1.0]))
            slope = 25.0

        grads = SpikeFunction.backward(Ctx(), torch.tensor([1.0]))
        assert len(grads) == 3
        assert grads[1] is None and grads[2] is None
        assert grads[0].item() == 25.0

    def test_threshold_gets_no_gradient(self):
        mem = torch.tensor([1.0], requires_grad=True)
        threshold = torch.tensor([0.9], requires_grad=True)
        SpikeFunction.apply(mem, threshold).sum().backward()
        assert threshold.grad is None

    def test_slope_is_type_checked(self):
        with pytest.raises(TypeError, match=r"Argument 'slope' has incorrect type \(expected float, got str\)"):
            SpikeFunction.apply(torch.ones(1), torch.ones(1), "steep")

    @pytest.mark.parametrize("dtype", [torch.float64, torch.float16, torch.bfloat16])
    def test_spikes_take_the_membrane_dtype(self, dtype):
        spk = SpikeFunction.apply(torch.ones(3, dtype=dtype), torch.ones(3, dtype=dtype))
        assert spk.dtype == dtype


class TestLIFConstruction:
    def test_buffers_in_order_float32_not_parameters(self):
        lif = make_lif()
        assert list(dict(lif.named_buffers())) == ["tau", "r", "v_leak", "v_threshold", "beta"]
        assert all(b.dtype == torch.float32 for b in lif.buffers())
        assert list(lif.parameters()) == []
        assert list(lif.state_dict()) == ["tau", "r", "v_leak", "v_threshold", "beta"]

    def test_uniform_vectors_collapse(self):
        uneven = np.full(16, 2.0)
        uneven[7] = 3.0
        lif = LIFModule(np.full(16, 2.0), uneven, np.array([0.0]), np.full(16, 1.0))
        assert lif.tau.shape == (1,)
        assert lif.r.shape == (16,)
        assert lif.v_leak.shape == (1,)
        assert lif.v_threshold.shape == (1,)
        assert lif.beta.shape == lif.tau.shape

    def test_matrix_with_equal_rows_collapses_to_first_row(self):
        tau = np.tile(np.array([2.0, 4.0]), (3, 1))
        lif = LIFModule(tau, np.ones(1), np.zeros(1), np.ones(1))
        assert lif.tau.shape == (1, 2)
        assert lif.tau.tolist() == [[2.0, 4.0]]

    def test_beta_from_tau(self):
        lif = LIFModule(np.array([2.0, 4.0]), np.ones(2), np.zeros(2), np.ones(2))
        assert lif.beta.tolist() == [0.5, 0.75]

    def test_buffers_own_their_memory(self):
        tau = np.full(3, 2.0, dtype=np.float32)
        tau.setflags(write=False)
        lif = LIFModule(tau, np.array([1.0, 2.0, 3.0], dtype=np.float32), np.zeros(3), np.ones(3))
        lif.r.add_(1.0)
        assert lif.r.tolist() == [2.0, 3.0, 4.0]


class TestLIFDynamics:
    def test_two_steps_of_integration(self):
        lif = make_lif(n=1)
        spk, mem = lif(torch.ones(1))
        assert spk.item() == 0.0 and mem.item() == 0.5
        spk, mem = lif(torch.ones(1), mem)
        assert spk.item() == 0.0 and mem.item() == 0.75

    def test_firing_resets_to_zero(self):
        lif = make_lif(n=2, v_threshold=0.5)
        spk, mem = lif(torch.tensor([1.0, 0.2]))
        assert spk.tolist() == [1.0, 0.0]
        assert mem.tolist() == [0.0, pytest.approx(0.1)]

    def test_per_neuron_parameters_align_with_last_dimension(self):
        lif = LIFModule(np.array([2.0, 4.0]), np.ones(2), np.zeros(2), np.full(2, 10.0))
        _, mem = lif(torch.ones(3, 2))
        assert mem[0].tolist() == [0.5, 0.25]

    # With tau = 1e9, beta is exactly 1 in float32; the input still has to arrive with
    # weight 1 / tau (for tau = 1e7, 1 - beta would be 19% too large).
    @pytest.mark.parametrize(
        "tau, r, spike, mem",
        [(1e9, 1e9, 1.0, 0.0), (1e7, 1.0, 0.0, pytest.approx(1e-7, rel=1e-6))],
    )
    @pytest.mark.parametrize("grad", [False, True], ids=["fused", "composed"])
    def test_long_time_constant_still_integrates(self, tau, r, spike, mem, grad):
        lif = make_lif(n=3, tau=tau, r=r)
        x = torch.ones(2, 3).requires_grad_(grad)
        got_spk, got_mem = lif(x)
        assert got_spk.tolist() == [[spike] * 3] * 2
        assert got_mem.flatten().tolist() == [mem] * 6

    def test_surrogate_gradient_flows_through_reset(self):
        lif = make_lif(n=3, v_threshold=0.4)
        x = torch.tensor([1.0, 0.7, 0.1], requires_grad=True)
        spk, mem = lif(x)
        (spk.sum() + mem.sum()).backward()
        assert torch.all(x.grad != 0)

    def test_missing_array_is_an_error_not_nan(self):
        with pytest.raises(AttributeError):
            LIFModule(np.ones(1), None, np.zeros(1), np.ones(1))

    def test_wrong_number_of_arguments_is_rejected(self):
        with pytest.raises(TypeError):
            LIFModule(np.ones(1), np.ones(1), np.ones(1))

    @pytest.mark.parametrize("dtype", [torch.float64, torch.float16])
    def test_converted_models_run_past_lif(self, dtype):
        model = torch.nn.Sequential(torch.nn.Linear(3, 4), make_lif()).to(dtype)
        spk, mem = model(torch.ones(2, 3, dtype=dtype))
        assert spk.dtype == dtype and mem.dtype == dtype


class TestFusedStep:
    """The no-grad CPU float32 step runs a fused kernel; it must match the composed path."""

    @pytest.mark.parametrize(
        "shape,per_neuron", [((64, 33), True), ((7, 5, 33), True), ((1000,), False), ((2, 0), False)]
    )
    def test_bitwise_equal_to_composed_path(self, shape, per_neuron):
        gen = torch.Generator().manual_seed(0)
        n = shape[-1] if per_neuron else 1
        lif = LIFModule(
            np.random.default_rng(1).uniform(0.5, 8.0, n),
            np.random.default_rng(2).uniform(-2, 2, n),
            np.random.default_rng(3).uniform(-1, 1, n),
            np.random.default_rng(4).uniform(-0.5, 1.5, n),
        )
        mem = None
        with torch.no_grad():
            for _ in range(5):
                x = torch.randn(shape, generator=gen) * 3
                expected = composed_step(lif, x, mem)
                got = lif(x, mem)
                for a, b in zip(got, expected):
                    assert a.shape == b.shape
                    assert torch.equal(a.view(torch.int32), b.view(torch.int32))
                mem = got[1]

    def test_paths_agree_bitwise_across_time_constants(self):
        # Short, odd and very long time constants side by side, each stepped on both paths.
        taus = np.array([1e7, 3.7, 1e9, *np.random.default_rng(5).uniform(1.5, 50.0, 5)])
        n = len(taus)
        r = np.random.default_rng(6).uniform(0.5, 3.0, n)
        lif = LIFModule(taus, r, np.zeros(n), np.full(n, 2.0))
        gen = torch.Generator().manual_seed(7)
        mem = None
        for _ in range(4):
            x = torch.rand(3, n, generator=gen) * 2
            with torch.no_grad():
                fused = lif(x, mem)
            composed = [t.detach() for t in lif(x.clone().requires_grad_(), mem)]
            for a, b in zip(fused, composed):
                assert torch.equal(a.view(torch.int32), b.view(torch.int32))
            mem = fused[1]

    def test_non_finite_inputs_match(self):
        lif = make_lif(n=4, tau=0.5, v_threshold=-1.0)
        x = torch.tensor([float("nan"), float("inf"), -float("inf"), -3.0])
        with torch.no_grad():
            got = lif(x)
        expected = composed_step(lif, x, None)
        for a, b in zip(got, expected):
            assert torch.equal(a.view(torch.int32), b.view(torch.int32))

    def test_broadcasting_inputs_use_the_composed_path(self):
        lif = make_lif(n=3)
        x = torch.ones(2, 3)
        mem = torch.zeros(3)
        with torch.no_grad():
            spk, new_mem = lif(x, mem)
        assert new_mem.shape == (2, 3)
        assert torch.equal(new_mem, composed_step(lif, x, mem)[1])

    def test_composed_path_only_where_the_kernels_cannot_serve(self, monkeypatch):
        import vantle.bridge.import_ir as import_ir

        class Refuse:
            @staticmethod
            def apply(*args):
                raise AssertionError("composed path taken")

        lif = make_lif(n=4)
        # The module reads SpikeFunction from its namespace at call time.
        monkeypatch.setattr(import_ir, "SpikeFunction", Refuse)
        with torch.no_grad():
            lif(torch.ones(2, 4))
        lif(torch.ones(2, 4, requires_grad=True))  # one fused autograd operation
        lif.tau.requires_grad_()  # a learned buffer gets its gradient from the composed step
        with pytest.raises(AssertionError, match="composed path taken"):
            lif(torch.ones(2, 4, requires_grad=True))
        lif.tau.requires_grad_(False)
        with pytest.raises(AssertionError, match="composed path taken"):
            with torch.no_grad():
                lif(torch.ones(2, 4, dtype=torch.float64))

    def test_negated_view_input(self):
        # Its memory holds the values before negation, so the kernel must not read it.
        lif = make_lif(n=4)
        x = torch.tensor([[0.5, -2.0, 3.0, -0.25]])
        with torch.no_grad():
            got = lif(torch._neg_view(x))
        for a, b in zip(got, composed_step(lif, -x, None)):
            assert torch.equal(a, b)

    def test_non_contiguous_input(self):
        lif = make_lif(n=4)
        x = torch.randn(4, 6).t()[:, :4]
        with torch.no_grad():
            assert torch.equal(lif(x)[1], composed_step(lif, x, None)[1])


    def test_buffers_and_membranes_changed_between_steps_are_read_as_they_are(self):
        """The step remembers the tensors it checked; every way of changing one between
        calls (in place, rebinding, swapping .data, resizing its storage) is honoured."""
        gen = torch.Generator().manual_seed(3)
        lif = make_lif(n=8, tau=4.0)
        changes = [
            lambda mem: mem.mul_(-1.0),
            lambda mem: setattr(mem, "data", torch.ones(4, 8).t().contiguous().t()),
            lambda mem: lif.v_threshold.mul_(0.5),
            lambda mem: setattr(lif, "r", torch.full((8,), 2.0)),
            lambda mem: setattr(lif.tau, "data", torch.full((8,), 3.0)),
            lambda mem: setattr(lif.tau, "data", torch.full((1,), 1.5)),
            lambda mem: setattr(lif.v_leak, "data", torch.full((1,), 0.25).expand(8)),
            lambda mem: setattr(lif.beta, "data", torch.full((8,), 0.5, dtype=torch.float64)),
        ]
        with torch.no_grad():
            mem = lif(torch.rand(4, 8, generator=gen))[1]
            mem = lif(torch.rand(4, 8, generator=gen), mem)[1]  # remembered from here on
            for change in changes:
                change(mem)
                x = torch.rand(4, 8, generator=gen) * 3
                expected = composed_step(lif, x, mem)
                got = lif(x, mem)
                for a, b in zip(got, expected):
                    assert torch.equal(a, b)
                mem = got[1]
            # A storage resized away under a remembered membrane is refused, not read.
            lif = make_lif(n=8)
            mem = lif(torch.rand(4, 8, generator=gen))[1]
            mem.untyped_storage().resize_(0)
            with pytest.raises(ValueError, match="storage of only 0 bytes"):
                lif(torch.rand(4, 8, generator=gen), mem)


class TestLIFPersistence:
    def test_pickle_deepcopy_and_torch_save(self):
        lif = LIFModule(np.array([2.0, 3.0]), np.ones(2), np.zeros(2), np.array([0.3, 0.9]))
        x = torch.tensor([[1.0, 1.0]])
        expected = lif(x)
        buffer = io.BytesIO()
        torch.save(lif, buffer)
        buffer.seek(0)
        copies = [
            pickle.loads(pickle.dumps(lif)),
            copy.deepcopy(lif),
            torch.load(buffer, weights_only=False),
        ]
        for clone in copies:
            assert type(clone) is LIFModule
            for a, b in zip(clone(x), expected):
                assert torch.equal(a, b)

    def test_state_dict_reload(self):
        source = LIFModule(np.array([2.0, 3.0]), np.ones(2), np.zeros(2), np.ones(2))
        target = LIFModule(np.array([5.0, 6.0]), np.ones(2), np.zeros(2), np.ones(2))
        target.load_state_dict(source.state_dict())
        assert torch.equal(target.beta, source.beta)

    def test_class_identity_for_pickle(self):
        assert LIFModule.__module__ == "vantle.bridge.import_ir"
        assert LIFModule.__qualname__ == "LIFModule"
        assert issubclass(LIFModule, torch.nn.Module)
        assert issubclass(SpikeFunction, torch.autograd.Function)
