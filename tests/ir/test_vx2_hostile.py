"""Small hostile .vx2 files are refused quickly, within little memory, with a clear message."""

import tracemalloc

import pytest
from vx2_bytes import join, vx2_header

import vantle.ir as ir

MIB = 1 << 20


def node(name, kind, **fields):
    return {"name": name, "kind": kind, "fields": {"input_type": None, "output_type": None, **fields}}


def graph_of(*nodes, edges=()):
    return {"nodes": list(nodes), "edges": list(edges)}


def one_tensor_many_references(references=300):
    # 1 MiB of data that each PReLU node claims as its own weight: a copy per reference.
    users = [node(f"p{i}", "PReLU", weight={"array": "w"}, features=None)
             for i in range(references)]
    header = vx2_header(graph_of(*users), w={"dtype": "U8", "shape": [MIB],
                                             "data_offsets": [0, MIB]})
    return join(header, bytes(MIB))


def shape_of_long_numbers(dims=60, digits=4000):
    huge = int("9" * digits)
    entry = {"dtype": "U8", "shape": [huge] * dims, "data_offsets": [0, 0]}
    return join(vx2_header(graph_of(), t=entry))


def shape_of_many_dimensions(dims=200_000):
    entry = {"dtype": "U8", "shape": [1] * dims, "data_offsets": [0, 1]}
    return join(vx2_header(graph_of(), t=entry), b"\0")


def long_integer_field(digits=5000):
    text = vx2_header(graph_of(node("d", "Dropout", p=0)))
    text["__metadata__"]["graph"] = text["__metadata__"]["graph"].replace(
        '"p": 0', '"p": ' + "7" * digits)
    return join(text)


def huge_malformed_edge():
    return join(vx2_header(graph_of(edges=[["a", "b", "x" * MIB]])))


HOSTILE = {
    "one tensor referenced many times": (one_tensor_many_references, "referenced more than once"),
    "shape of long numbers": (shape_of_long_numbers, "impossible shape"),
    "shape of many dimensions": (shape_of_many_dimensions, "impossible shape"),
    "long integer field": (long_integer_field, "integer literal of more than 4300 digits"),
    "megabyte edge in a message": (huge_malformed_edge, "edge 0"),
}


@pytest.mark.parametrize("make, words", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_file_is_refused_cheaply_and_clearly(tmp_path, make, words):
    path = tmp_path / "hostile.vx2"
    path.write_bytes(make())
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as info:
            ir.read(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    message = str(info.value)
    assert message.startswith(f"{path}: ") and words in message
    # Generous bounds: the file's own size a few times over, and a message that fits a screen.
    assert peak < 20 * path.stat().st_size + 16 * MIB
    assert len(message) < len(str(path)) + 300
