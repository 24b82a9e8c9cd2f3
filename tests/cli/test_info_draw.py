"""info and draw: every node with shapes along the edges, parameters, settings; the picture."""

import json
import os
import re
import shutil

import pytest

from vantle import ir
from vantle.bridge.import_ir import import_ir

from cli_helpers import assert_one_line_error, cli


def conv_out(size: int, kernel: int, stride: int, padding: int) -> int:
    return (size + 2 * padding - kernel) // stride + 1


def test_info_text_and_json(branching_file):
    text, as_json = cli("info", branching_file), cli("info", branching_file, "--json")
    assert text.returncode == as_json.returncode == 0, text.stderr + as_json.stderr
    data = json.loads(as_json.stdout)
    nodes = {node["name"]: node for node in data["nodes"]}

    side = conv_out(8, 3, 2, 1)
    expected_out = {"conv": [4, side, side], "bn": [4, side, side], "lif_on": [2, side, side],
                    "merge": [2, side, side], "flat": [2 * side * side], "fc": [5], "output": [5]}
    for name, shape in expected_out.items():
        assert nodes[name]["output_shapes"] == [shape], name
    assert nodes["split"]["output_shapes"] == [[2, side, side], [2, side, side]]
    assert nodes["fc"]["input_shapes"] == [[2 * side * side]]
    assert nodes["fc"]["shape_source"] == "inferred" and nodes["input"]["shape_source"] == "ports"

    # Parameter counts agree with torch's count of the imported layers.
    modules = import_ir(ir.read(str(branching_file)))
    for name in ("conv", "bn", "fc", "lif_on", "split"):
        torch_count = sum(p.numel() for p in modules[name].parameters())
        assert nodes[name]["parameters"] == torch_count, name
    assert data["totals"]["parameters"] == sum(
        sum(p.numel() for p in module.parameters()) for module in modules.values())

    assert nodes["conv"]["details"] == {"channels": "3->4", "kernel": [3, 3], "stride": 2,
                                        "padding": 1, "dilation": 1, "groups": 1}
    assert nodes["lif_off"]["details"] == {"neurons": 32, "tau": {"value": 2.0},
                                           "threshold": {"value": 1e9}}
    assert nodes["merge"]["details"] == {"skip_type": "residual"}
    assert nodes["fc"]["precision"] == {"weight_t": "int8", "accum_t": "int16"}
    assert [(e["source"], e["destination"], e.get("label")) for e in data["edges"]][3:5] == [
        ("split", "lif_on", "chunk 0"), ("split", "lif_off", "chunk 1")]
    assert len(data["edges"]) == 10 and data["totals"]["kinds"]["LIF"] == 2

    out = text.stdout
    assert out.startswith(f"{branching_file}: 10 nodes, 10 edges\n")
    assert re.search(r"  input +Input +in: input=\(3, 8, 8\)  out: \(3, 8, 8\)", out)
    assert re.search(r"  fc +Affine +in: \(32,\)  out: \(5,\)  params=165  features=32->5"
                     r"  \[weight_t=int8 accum_t=int16\]", out)
    assert "neurons=32 tau=2 threshold=1e+09" in out
    assert "  split -> lif_off  (chunk 1)\n" in out
    assert out.rstrip().endswith(f"total: 10 nodes, 10 edges, {data['totals']['parameters']} "
                                 "parameters")


def dot_statements(text: str):
    nodes = dict(re.findall(r'^  "([^"]+)" \[(.*)\];$', text, re.M))
    edges = re.findall(r'^  "([^"]+)" -> "([^"]+)"(?: \[label="([^"]*)"\])?;$', text, re.M)
    return nodes, edges


def test_draw_dot_always_svg_with_graphviz_and_a_hint_without(branching_file, tmp_path):
    graph = ir.read(str(branching_file))
    dot_file = tmp_path / "graph.dot"
    done = cli("draw", branching_file, "-o", dot_file)
    assert done.returncode == 0, done.stderr
    text = dot_file.read_text()
    assert "rankdir=TB" in text
    nodes, edges = dot_statements(text)
    assert list(nodes) == list(graph.nodes)
    assert [(s, d) for s, d, _ in edges] == [tuple(edge) for edge in graph.edges]
    assert [label for _, _, label in edges][3:5] == ["#0", "#1"]
    assert "invtrapezium" in nodes["merge"] and "shape=trapezium" in nodes["split"]
    assert 'label="fc\\nAffine\\n(5,)"' in nodes["fc"]

    # A PATH without Graphviz; the rest of the environment stays (a preloaded runtime).
    missing_dot = cli("draw", branching_file, "-o", tmp_path / "graph.svg",
                      env={**os.environ, "PATH": str(tmp_path)})
    assert_one_line_error(missing_dot, "Graphviz", "apt-get install graphviz", ".dot")
    if shutil.which("dot") is None:
        pytest.skip("Graphviz's dot program is not installed")
    svg = tmp_path / "graph.svg"
    done = cli("draw", branching_file, "-o", svg)
    assert done.returncode == 0, done.stderr
    picture = svg.read_text()
    assert "<svg" in picture and all(f">{name}</text>" in picture for name in graph.nodes)
