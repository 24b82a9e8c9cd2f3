"""LIF kernels against the composed step: parameter layouts, threads, the scan and its gradient."""

import numpy as np
import pytest
import torch
from test_spiking import composed_step

from vantle.bridge.import_ir import LIFModule, LIFScanFunction, LIFStepFunction, SpikeFunction


def composed_scan(lif, x_seq, mem):
    spikes = []
    for x in x_seq:
        spk, mem = composed_step(lif, x, mem)
        spikes.append(spk)
    return torch.stack(spikes), mem


def make_layer(rng, tau_shape, threshold_shape, r_shape=(1,)):
    return LIFModule(rng.uniform(1.5, 6.0, tau_shape), rng.uniform(0.5, 2.0, r_shape),
                     rng.uniform(-0.1, 0.1, (1,)), rng.uniform(0.3, 1.2, threshold_shape))


def bits(tensor):
    return tensor.contiguous().view(torch.int32)


# (step shape, tau shape, threshold shape, r shape): buffers fit the trailing dimensions of a
# step with periods from one value to the whole feature map, leading ones included.
LAYOUTS = [
    ((3, 7), (1,), (1,), (1,)),
    ((3, 7), (7,), (7,), (7,)),
    ((2, 14, 4, 4), (14, 4, 4), (4,), (1, 4, 4)),
    ((2, 6, 5), (1, 5), (6, 5), (1,)),
    ((4, 1200), (1200,), (1,), (1200,)),  # rows longer than one tile of neurons
]


@pytest.fixture(params=[1, 2], ids=["1 thread", "2 threads"])
def torch_threads(request):
    before = torch.get_num_threads()
    torch.set_num_threads(request.param)
    yield request.param
    torch.set_num_threads(before)


class TestStepKernel:
    @pytest.mark.parametrize("step, tau, threshold, r", LAYOUTS)
    def test_layouts_match_the_composed_step_bitwise(self, step, tau, threshold, r):
        rng = np.random.default_rng(3)
        lif = make_layer(rng, tau, threshold, r)
        mem = None
        with torch.no_grad():
            for _ in range(4):
                x = torch.rand(step) * 2
                got = lif(x, mem)
                for a, b in zip(got, composed_step(lif, x, mem)):
                    assert torch.equal(bits(a), bits(b))
                mem = got[1]

    def test_large_layer_split_over_threads_matches(self, torch_threads):
        rng = np.random.default_rng(4)
        n = 70_000
        lif = make_layer(rng, (n,), (n,))
        x, mem = torch.rand(4, n) * 2, torch.rand(4, n)
        with torch.no_grad():
            for a, b in zip(lif(x, mem), composed_step(lif, x, mem)):
                assert torch.equal(bits(a), bits(b))


class TestScan:
    @pytest.mark.parametrize("step, tau, threshold, r", LAYOUTS)
    @pytest.mark.parametrize("from_rest", [True, False], ids=["from rest", "from a membrane"])
    def test_equals_stepping_bitwise(self, step, tau, threshold, r, from_rest):
        rng = np.random.default_rng(5)
        lif = make_layer(rng, tau, threshold, r)
        x_seq = torch.rand(6, *step) * 2
        mem = None if from_rest else torch.rand(step)
        with torch.no_grad():
            spikes, final = lif.scan(x_seq, mem)
        want_spikes, want_final = composed_scan(lif, x_seq, mem)
        assert torch.equal(spikes, want_spikes) and 0 < spikes.mean() < 1
        assert torch.equal(bits(final), bits(want_final))

    def test_threaded_scan_equals_stepping(self, torch_threads):
        lif = make_layer(np.random.default_rng(6), (1,), (500,))
        x_seq = torch.rand(3, 100, 500) * 2
        with torch.no_grad():
            got = lif.scan(x_seq)
        for a, b in zip(got, composed_scan(lif, x_seq, None)):
            assert torch.equal(bits(a), bits(b))

    def test_inputs_the_kernel_cannot_take_still_scan(self):
        lif = make_layer(np.random.default_rng(7), (5,), (5,))
        x_seq = torch.rand(4, 5, 3).transpose(1, 2) * 2  # not contiguous: stepped one by one
        with torch.no_grad():
            got = lif.scan(x_seq)
            kernel = lif.scan(x_seq.contiguous())
        for a, b in zip(got, kernel):
            assert torch.equal(a, b)

    def test_no_steps_leave_the_membrane(self):
        lif = make_layer(np.random.default_rng(8), (1,), (1,))
        mem = torch.rand(2, 3)
        spikes, final = lif.scan(torch.rand(0, 2, 3), mem)
        assert spikes.shape == (0, 2, 3) and final is mem

    @pytest.mark.parametrize("bad", [torch.rand(3, 2, 4, dtype=torch.float64), torch.rand(3, 2, 5)])
    def test_the_autograd_operation_refuses_what_the_kernel_cannot_take(self, bad):
        lif = make_layer(np.random.default_rng(9), (4,), (4,))
        with pytest.raises(TypeError, match="LIFScanFunction"):
            LIFScanFunction.apply(bad, None, lif.tau, lif.r, lif.v_leak, lif.v_threshold, lif.beta)
        with pytest.raises(TypeError, match="LIFStepFunction"):
            LIFStepFunction.apply(bad[0], None, lif.tau, lif.r, lif.v_leak, lif.v_threshold,
                                  lif.beta)


class TestScanGradient:
    """Backward through the scan equals autograd through the composed steps."""

    @pytest.mark.parametrize("step, tau, threshold, r", LAYOUTS[:4])
    @pytest.mark.parametrize("loss_on", ["spikes", "spikes and final membrane"])
    @pytest.mark.parametrize("how", ["scan", "steps"])
    def test_matches_autograd_through_stepping(self, step, tau, threshold, r, loss_on, how):
        rng = np.random.default_rng(10)
        lif = make_layer(rng, tau, threshold, r)
        x_seq = torch.rand(8, *step) * 2
        mem0 = torch.rand(step)
        weights = torch.randn(8, *step)

        def loss(run):
            x, mem = x_seq.clone().requires_grad_(), mem0.clone().requires_grad_()
            spikes, final = run(x, mem)
            total = (spikes * weights).sum()
            if loss_on != "spikes":
                total = total + (final * final).sum()
            total.backward()
            return x.grad, mem.grad

        got = loss(lif.scan if how == "scan" else lambda x, mem: stepped(lif, x, mem))
        want = loss(lambda x, mem: composed_scan_autograd(lif, x, mem))
        for a, b in zip(got, want):
            # Rounding differs from the composed ops (fused sums across steps), not the math.
            torch.testing.assert_close(a, b, rtol=1e-4, atol=1e-5)
            assert a.abs().sum() > 0

    def test_runs_as_one_autograd_operation(self):
        lif = make_layer(np.random.default_rng(11), (3,), (3,))
        spikes, final = lif.scan(torch.rand(5, 2, 3, requires_grad=True))
        assert type(spikes.grad_fn).__name__ == "LIFScanFunctionBackward"
        assert final.grad_fn is spikes.grad_fn
        spk, mem = lif(torch.rand(2, 3, requires_grad=True))
        spk, mem = lif(torch.rand(2, 3), mem)
        assert type(spk.grad_fn).__name__ == "LIFStepFunctionBackward"
        assert mem.grad_fn is spk.grad_fn


def composed_scan_autograd(lif, x_seq, mem):
    """The steps written with plain torch operations and the surrogate spike: the reference
    for both fused autograd operations."""
    spikes = []
    for x in x_seq:
        mem = torch.zeros_like(x) if mem is None else mem
        mem = lif.beta * mem + (1.0 / lif.tau) * (lif.v_leak + lif.r * x)
        spk = SpikeFunction.apply(mem, lif.v_threshold)
        spikes.append(spk)
        mem = mem * (1 - spk)
    return torch.stack(spikes), mem


def stepped(lif, x_seq, mem):
    """One module call per step, as a training loop makes them."""
    spikes = []
    for x in x_seq:
        spk, mem = lif(x, mem)
        spikes.append(spk)
    return torch.stack(spikes), mem
