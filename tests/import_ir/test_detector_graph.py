"""A small spiking detector, end to end: IR graph -> .vx2 file -> import -> executor over time.

The graph is a Ghost backbone (SGhostEncoderLite, GhostBasicBlock1, GhostBasicBlock2), a layer
of LIF neurons and an SDDetect head whose output is split into box and class channels; the box
part is decoded by DFLDecode and Dist2BBox. The expected outputs are computed step by step with
plain torch operations from the same arrays.
"""

import numpy as np
import pytest
import torch
import torch.nn.functional as F

import vantle.ir as ir
from vantle.bridge import import_ir as bridge
from vantle.bridge.executor import GraphExecutor

NUM_CLASSES, REG_MAX, HEAD_STRIDE = 3, 4, 4
STEPS = 4


def ghost(rng, c_in, primary, k):
    return {
        "primary_weight": rng.normal(size=(primary, c_in, k, k)).astype(np.float32) * 0.4,
        "primary_bias": rng.normal(size=primary).astype(np.float32) * 0.1,
        "cheap_weight": rng.normal(size=(primary, 1, 3, 3)).astype(np.float32) * 0.4,
        "cheap_bias": rng.normal(size=primary).astype(np.float32) * 0.1,
    }


def prefixed(prefix, arrays):
    return {f"{prefix}{key}": value for key, value in arrays.items()}


def head_stages(rng, c_in, out):
    channels = (c_in, 8, 8, out)
    stages = {}
    for stage, k in enumerate((3, 3, 1)):
        stages[f"w{stage}"] = rng.normal(size=(channels[stage + 1], channels[stage], k, k)) * 0.3
        stages[f"b{stage}"] = rng.normal(size=channels[stage + 1]) * 0.1
    return stages


def build_graph(rng):
    """Input 3x16x16 -> ... -> boxes 4x2x2 and class scores 3x2x2 (the head runs at stride 4)."""
    lif_shape = (14, 4, 4)  # one value per neuron of the 14x4x4 feature map
    nodes = {
        "image": ir.Input(input_type={"input": np.array([3, 16, 16])}),
        "stem": ir.SGhostEncoderLite(
            conv1_weight=rng.normal(size=(8, 3, 3, 3)).astype(np.float32) * 0.4,
            conv1_bias=rng.normal(size=8).astype(np.float32) * 0.1,
            **prefixed("ghost_", ghost(rng, 8, 4, 3)),
            stride=2,
        ),
        "down": ir.GhostBasicBlock1(
            **prefixed("cvres_", ghost(rng, 8, 4, 1)),
            **prefixed("cv0_", ghost(rng, 8, 4, 3)),
            **prefixed("cv2_", ghost(rng, 4, 4, 3)),
            stride=2,
        ),
        "refine": ir.GhostBasicBlock2(
            **prefixed("cv0_", ghost(rng, 12, 6, 1)), **prefixed("cv2_", ghost(rng, 6, 4, 3))
        ),
        "lif": ir.LIF(
            tau=np.full(lif_shape, 2.0, dtype=np.float32),
            r=np.ones(lif_shape, dtype=np.float32),
            v_leak=np.zeros(lif_shape, dtype=np.float32),
            v_threshold=rng.uniform(0.2, 1.5, size=lif_shape).astype(np.float32),
        ),
        "head": ir.SDDetect(
            num_classes=NUM_CLASSES,
            reg_max=REG_MAX,
            stride=HEAD_STRIDE,
            **prefixed("cv2_", head_stages(rng, 14, 4 * REG_MAX)),
            **prefixed("cv3_", head_stages(rng, 14, NUM_CLASSES)),
        ),
        "split": ir.ChannelSplit(split_sections=(4 * REG_MAX, NUM_CLASSES), dim=0),
        "dfl": ir.DFLDecode(reg_max=REG_MAX, dfl_weights=np.arange(REG_MAX, dtype=np.float32)),
        "bbox": ir.Dist2BBox(stride=HEAD_STRIDE),
        "boxes": ir.Output(output_type={"output": np.array([4, 4, 4])}),
        "scores": ir.Output(output_type={"output": np.array([NUM_CLASSES, 4, 4])}),
    }
    chain = ["image", "stem", "down", "refine", "lif", "head", "split"]
    edges = list(zip(chain, chain[1:]))
    # The split's first chunk (box channels) goes to the first of its outgoing edges.
    edges += [("split", "dfl"), ("split", "scores"), ("dfl", "bbox"), ("bbox", "boxes")]
    return ir.Graph(nodes=nodes, edges=edges)


# --- the same network written with plain torch operations ---------------------------------


def t(array):
    return torch.from_numpy(np.asarray(array, dtype=np.float32))


def ghost_ref(x, node, prefix, primary_stride=1, primary_padding=0, cheap_padding=1):
    f = lambda name: t(getattr(node, prefix + name))  # noqa: E731
    primary = F.conv2d(x, f("primary_weight"), f("primary_bias"), stride=primary_stride,
                       padding=primary_padding)
    cheap = F.conv2d(primary, f("cheap_weight"), f("cheap_bias"), padding=cheap_padding,
                     groups=primary.shape[1])
    return torch.cat([primary, cheap], 1)


def backbone_ref(x, nodes):
    stem = nodes["stem"]
    y = F.conv2d(x, t(stem.conv1_weight), t(stem.conv1_bias), stride=2, padding=1)
    y = ghost_ref(y, stem, "ghost_", primary_padding=1)

    down = nodes["down"]
    main = ghost_ref(y, down, "cv0_", primary_stride=2, primary_padding=1)
    residual = ghost_ref(y, down, "cvres_", primary_stride=2)
    half = main.shape[1] // 2
    y = torch.cat([main[:, :half], ghost_ref(main[:, half:], down, "cv2_", 1, 1) + residual], 1)

    refine = nodes["refine"]
    main = ghost_ref(y, refine, "cv0_")
    half = main.shape[1] // 2
    return torch.cat([main[:, :half], ghost_ref(main[:, half:], refine, "cv2_", 1, 1)], 1)


def lif_ref(x, mem, lif):
    gain = 1.0 / t(lif.tau)
    mem = (1.0 - gain) * mem + gain * (t(lif.v_leak) + t(lif.r) * x)
    spikes = (mem >= t(lif.v_threshold)).float()
    return spikes, mem * (1.0 - spikes)


def head_ref(x, head):
    def branch(prefix):
        y = x
        for stage, padding in enumerate((1, 1, 0)):
            y = F.conv2d(y, t(getattr(head, f"{prefix}_w{stage}")),
                         t(getattr(head, f"{prefix}_b{stage}")), padding=padding)
        return y

    return branch("cv2"), branch("cv3")


def decode_ref(box_logits, dfl_weights, stride):
    b, _, h, w = box_logits.shape
    p = box_logits.view(b, 4, REG_MAX, h, w).softmax(dim=2)
    left, top, right, bottom = (p * t(dfl_weights).view(1, 1, REG_MAX, 1, 1)).sum(2).unbind(1)
    rows = torch.arange(h, dtype=torch.float32).view(1, h, 1)
    cols = torch.arange(w, dtype=torch.float32).view(1, 1, w)
    x1, y1, x2, y2 = cols - left, rows - top, cols + right, rows + bottom
    return torch.stack([(x1 + x2) / 2 * stride, (y1 + y2) / 2 * stride, (x2 - x1) * stride,
                        (y2 - y1) * stride], 1)


# --- the test -------------------------------------------------------------------------------


@pytest.fixture
def graph():
    return build_graph(np.random.default_rng(11))


def test_written_graph_imports_and_runs_over_time(graph, tmp_path):
    path = tmp_path / "detector.vx2"
    ir.write(str(path), graph)
    modules = bridge.import_ir(str(path))

    assert list(modules) == list(graph.nodes)
    expected_types = {
        "stem": bridge.SGhostEncoderLiteModule, "down": bridge.GhostBasicBlock1Module,
        "refine": bridge.GhostBasicBlock2Module, "lif": bridge.LIFModule,
        "head": bridge.SDDetectModule, "split": bridge.ChannelSplitModule,
        "dfl": bridge.DFLDecodeModule, "bbox": bridge.Dist2BBoxModule,
    }
    assert {name: type(modules[name]) for name in expected_types} == expected_types
    assert modules["split"].dim == 1 and modules["down"].stride == 2

    executor = GraphExecutor(modules, graph.edges)
    nodes = graph.nodes
    frames = torch.rand(STEPS, 2, 3, 16, 16) * 2
    mem = torch.zeros(2, 14, 4, 4)
    spike_counts = []
    outputs = []
    for frame in frames:
        boxes, scores = executor(frame)
        spikes, mem = lif_ref(backbone_ref(frame, nodes), mem, nodes["lif"])
        box_logits, class_logits = head_ref(spikes, nodes["head"])
        expected_boxes = decode_ref(box_logits, nodes["dfl"].dfl_weights, HEAD_STRIDE)

        assert boxes.shape == (2, 4, 4, 4) and scores.shape == (2, NUM_CLASSES, 4, 4)
        torch.testing.assert_close(scores, class_logits, rtol=1e-5, atol=1e-5)
        torch.testing.assert_close(boxes, expected_boxes, rtol=1e-5, atol=1e-5)
        spike_counts.append(int(spikes.sum()))
        outputs.append(boxes)

    # The run is only meaningful if neurons both fire and stay silent, and the membrane carries
    # over: the spike pattern changes between steps.
    total = mem.numel()
    assert all(0 < count < total for count in spike_counts)
    assert len(set(spike_counts)) > 1

    # A new sequence starts from a resting membrane again.
    executor.reset_state()
    first_boxes, _ = executor(frames[0])
    torch.testing.assert_close(first_boxes, outputs[0], rtol=0, atol=0)


def test_graph_read_back_equals_the_written_one(graph, tmp_path):
    path = tmp_path / "detector.vx2"
    ir.write(str(path), graph)
    read = ir.read(str(path))
    assert read == graph
    # Importing never changes the graph it reads: buffers are the modules' own copies.
    modules = bridge.import_ir(read)
    for module in modules.values():
        for buffer in module.buffers():
            buffer.zero_()
    assert read == graph
