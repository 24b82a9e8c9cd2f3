"""The vantle-bridge command-line tool."""

import numpy as np
import pytest

from vantle import ir
from vantle.bridge.__main__ import main


@pytest.fixture
def graph_file(tmp_path):
    nodes = {
        "input": ir.Input(input_type={"input": np.array([3])}),
        "fc": ir.Affine(weight=np.ones((2, 3), np.float32), bias=np.zeros(2, np.float32)),
        "output": ir.Output(output_type={"output": np.array([2])}),
    }
    path = tmp_path / "tiny.vx2"
    ir.write(path, ir.Graph(nodes=nodes, edges=[("input", "fc"), ("fc", "output")]))
    return path


def test_info_lists_nodes_and_shapes(graph_file, capsys):
    assert main(["info", str(graph_file)]) == 0
    out = capsys.readouterr().out
    assert "3 nodes, 2 edges" in out
    assert "Affine" in out and "input=(3,)" in out and "output=(2,)" in out


def test_unreadable_file_is_an_error_not_a_traceback(tmp_path, capsys):
    bad = tmp_path / "bad.vx2"
    bad.write_bytes(b"not a graph")
    assert main(["info", str(bad)]) == 1
    assert str(bad) in capsys.readouterr().err
    assert main(["info", str(tmp_path / "missing.vx2")]) == 1


def test_validate_prints_the_order(graph_file, capsys):
    assert main(["validate", str(graph_file)]) == 0
    assert "input -> fc -> output" in capsys.readouterr().out


def test_validate_reports_a_broken_graph(tmp_path, capsys):
    path = tmp_path / "cycle.vx2"
    nodes = {"input": ir.Input(), "a": ir.ReLU(), "b": ir.ReLU(), "output": ir.Output()}
    edges = [("input", "a"), ("a", "b"), ("b", "a"), ("b", "output")]
    ir.write(path, ir.Graph(nodes=nodes, edges=edges))
    assert main(["validate", str(path)]) == 1
    assert "cycle" in capsys.readouterr().err.lower()


def test_run_simulates_the_requested_steps(graph_file, capsys):
    assert main(["run", str(graph_file), "--steps", "3", "--batch", "2"]) == 0
    lines = capsys.readouterr().out.strip().splitlines()
    assert len(lines) == 3 and all("(2, 2)" in line for line in lines)
