"""How ``ir.write`` treats the file system: permissions, links, interruptions, flushes, bytes."""

import os
import stat

import numpy as np
import pytest

import vantle.ir as ir


def small_graph(scale=1.0):
    return ir.Graph(
        nodes={"in": ir.Input(input_type={"input": np.array([4])}),
               "fc": ir.Affine(weight=np.full((2, 4), scale, np.float32), bias=np.zeros(2)),
               "out": ir.Output(output_type={"output": np.array([2])})},
        edges=[("in", "fc"), ("fc", "out")],
    )


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def test_an_existing_file_keeps_its_mode_and_a_new_one_follows_the_umask(tmp_path):
    kept = tmp_path / "kept.vx2"
    ir.write(kept, small_graph())
    os.chmod(kept, 0o600)
    ir.write(kept, small_graph(2.0))
    old_umask = os.umask(0o027)
    try:
        ir.write(tmp_path / "new.vx2", small_graph())
    finally:
        os.umask(old_umask)
    assert mode_of(kept) == 0o600 and ir.read(kept) == small_graph(2.0)
    assert mode_of(tmp_path / "new.vx2") == 0o640


def test_a_symbolic_link_is_written_through_to_its_target(tmp_path):
    (tmp_path / "models").mkdir()
    target = tmp_path / "models" / "real.vx2"
    ir.write(target, small_graph())
    links = {"link.vx2": target, "dangling.vx2": tmp_path / "models" / "later.vx2"}
    for name, points_to in links.items():
        os.symlink(points_to, tmp_path / name)
        ir.write(tmp_path / name, small_graph(3.0))
        assert os.path.islink(tmp_path / name)
        assert ir.read(points_to) == small_graph(3.0)


def test_an_interrupted_write_removes_its_temporary_file(tmp_path, monkeypatch):
    target = tmp_path / "model.vx2"
    ir.write(target, small_graph())
    before = target.read_bytes()
    seen = []

    def interrupt(source, destination):
        seen.append(os.path.basename(source))
        raise KeyboardInterrupt

    monkeypatch.setattr(os, "replace", interrupt)
    with pytest.raises(KeyboardInterrupt):
        ir.write(target, small_graph(2.0))
    # The temporary is recognisable by name, and gone.
    assert seen[0].startswith(".model.vx2.") and seen[0].endswith(".partial")
    assert os.listdir(tmp_path) == ["model.vx2"] and target.read_bytes() == before


def test_the_folder_is_flushed_after_the_rename(tmp_path, monkeypatch):
    events = []
    real_fsync, real_replace = os.fsync, os.replace

    def fsync(handle):
        events.append("fsync folder" if stat.S_ISDIR(os.fstat(handle).st_mode) else "fsync file")
        real_fsync(handle)

    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.setattr(os, "replace", lambda *a: events.append("rename") or real_replace(*a))
    ir.write(tmp_path / "model.vx2", small_graph())
    assert events == ["fsync file", "rename", "fsync folder"]


def test_equal_graphs_give_identical_bytes(tmp_path):
    paths = [tmp_path / f"copy{i}.vx2" for i in range(6)]
    for path in paths:
        ir.write(path, small_graph())
    assert len({path.read_bytes() for path in paths}) == 1
