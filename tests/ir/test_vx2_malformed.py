"""Malformed .vx2 files: always a ValueError that starts with the path and says what is wrong."""

import json
import random
import struct

import numpy as np
import pytest
from vx2_bytes import join, split

import vantle.ir as ir


def valid_bytes(tmp_path):
    graph = ir.Graph(
        nodes={
            "in": ir.Input(input_type={"input": np.array([4])}),
            "fc": ir.Affine(weight=np.ones((2, 4), np.float32), bias=np.zeros(2, np.float32)),
            "mask": ir.PReLU(weight=np.array([True, False])),
            "out": ir.Output(output_type={"output": np.array([2])}),
        },
        edges=[("in", "fc"), ("fc", "mask"), ("mask", "out")],
    )
    ir.write(tmp_path / "valid.vx2", graph)
    return (tmp_path / "valid.vx2").read_bytes()


def patch_header(change):
    def apply(data):
        header, body = split(data)
        change(header)
        return join(header, body)

    return apply


def patch_metadata(key, value):
    return patch_header(lambda header: header["__metadata__"].__setitem__(key, value))


def patch_graph(change):
    def edit(header):
        document = json.loads(header["__metadata__"]["graph"])
        change(document)
        header["__metadata__"]["graph"] = json.dumps(document)

    return patch_header(edit)


def fields_of(name):
    return lambda doc: next(n for n in doc["nodes"] if n["name"] == name)["fields"]


def set_field(node, field, value):
    return patch_graph(lambda doc: fields_of(node)(doc).__setitem__(field, value))


def set_tensor(key, **entry):
    return patch_header(lambda header: header[key].update(entry))


def set_entry(index, key, value):
    return patch_graph(lambda doc: doc["nodes"][index].__setitem__(key, value))


def set_scalar(dtype, hex_bytes):
    return set_field("fc", "weight_t", {"scalar": {"dtype": dtype, "hex": hex_bytes}})


def raw_header(text):
    return lambda data: struct.pack("<Q", len(text)) + text


def move_last_tensor(shift, extra):
    """Moves the tensor stored last by ``shift`` bytes and appends ``extra`` bytes."""

    def apply(data):
        header, body = split(data)
        entry = max((e for k, e in header.items() if k != "__metadata__"),
                    key=lambda e: e["data_offsets"])
        entry["data_offsets"] = [offset + shift for offset in entry["data_offsets"]]
        return join(header, body + bytes(extra))

    return apply


def garbage(data):
    return bytes(random.Random(1).randrange(256) for _ in range(300))


CASES = {
    "empty": (lambda d: b"", "not a safetensors file"),
    "short": (lambda d: d[:5], "not a safetensors file"),
    "truncated header": (lambda d: d[:40], "truncated"),
    "truncated data": (lambda d: d[:-3], "truncated"),
    "garbage": (garbage, "not a safetensors"),
    "not utf-8": (raw_header(b"\xff\xfe"), "not UTF-8"),
    "not json": (raw_header(b"{abc]"), "not JSON"),
    "json array": (raw_header(b"[]"), "not a JSON object"),
    "no format": (patch_header(lambda h: h["__metadata__"].pop("format")), "no format name"),
    "other format": (patch_metadata("format", "onnx"), "'onnx'"),
    "new version": (patch_metadata("version", "2"), "unsupported vx2 format version '2'"),
    "no graph": (patch_header(lambda h: h["__metadata__"].pop("graph")), "graph description is"),
    "graph not json": (patch_metadata("graph", "{nodes"), "graph description is not JSON"),
    "graph json list": (patch_metadata("graph", "[]"), "'nodes' and 'edges'"),
    "nan literal": (patch_metadata("graph", '{"nodes": [], "edges": [NaN]}'), "NaN"),
    "duplicate key": (
        patch_metadata("graph", '{"nodes": [], "nodes": [], "edges": []}'),
        "duplicate JSON key 'nodes'",
    ),
    "deep nesting": (patch_metadata("graph", "[" * 100_000 + "]" * 100_000), "nested too deeply"),
    "nodes not list": (patch_graph(lambda g: g.__setitem__("nodes", {})), "must be lists"),
    "node lacks kind": (patch_graph(lambda g: g["nodes"][0].pop("kind")), "node entry 0"),
    "node name number": (set_entry(1, "name", 5), "node entry 1"),
    "unknown kind": (set_entry(1, "kind", "Conv3d"), "unknown kind 'Conv3d'"),
    "unknown field": (set_field("fc", "stride", 1), "unknown field 'stride' for kind Affine"),
    "missing field": (patch_graph(lambda g: fields_of("fc")(g).pop("bias")), "lacks field(s) bias"),
    "duplicate node": (set_entry(2, "name", "fc"), "'fc' appears twice"),
    "untagged list": (set_field("fc", "weight_t", [1, 2]), "node 'fc' field 'weight_t'"),
    "unknown tag": (set_field("fc", "weight_t", {"set": [1]}), "malformed tagged value"),
    "two tags": (set_field("fc", "weight_t", {"list": [], "tuple": []}), "one-key tag"),
    "bad float tag": (set_field("fc", "weight_t", {"float": "huge"}), "malformed tagged value"),
    "tuple of dict": (set_field("fc", "weight_t", {"tuple": {}}), "malformed tagged value"),
    "missing tensor": (set_field("fc", "weight", {"array": "fc/x"}), "missing tensor 'fc/x'"),
    "scalar bad hex": (set_scalar("int8", "zz"), "not hex"),
    "scalar bad size": (set_scalar("int32", "00"), "one int32"),
    "scalar bad dtype": (set_scalar("object", ""), "'object'"),
    "scalar bad bool": (set_scalar("bool", "07"), "one bool"),
    "edge triple": (patch_graph(lambda g: g["edges"].append(["a", "b", "c"])), "edge 3"),
    "edge number": (patch_graph(lambda g: g["edges"][0].__setitem__(1, 7)), "edge 0"),
    "complex dtype": (set_tensor("fc/weight", dtype="C64"), "unsupported dtype 'C64'"),
    "shape too big": (set_tensor("fc/weight", shape=[2, 5]), "needs 40 bytes, the file holds 32"),
    "negative shape": (set_tensor("fc/weight", shape=[-2, -4]), "impossible shape"),
    "offsets outside": (set_tensor("fc/bias", data_offsets=[0, 10**6]), "outside"),
    "offsets not pair": (set_tensor("fc/bias", data_offsets=[0]), "data_offsets"),
    "extra tensor key": (set_tensor("fc/bias", layout="C"), "dtype, shape and data_offsets"),
    "metadata not strings": (patch_metadata("version", 1), "metadata is not a mapping of strings"),
    "tensors overlap": (move_last_tensor(-2, 0), "overlaps tensor"),
    "gap between tensors": (move_last_tensor(3, 3), "after a gap of 3 unused bytes"),
    "bytes after the data": (move_last_tensor(0, 5), "5 bytes follow the tensor data"),
    "lone surrogate in a name": (patch_metadata("note\udc80", "x"), "lone surrogate"),
}


@pytest.mark.parametrize("transform, words", CASES.values(), ids=CASES.keys())
def test_malformed_file_raises_value_error_naming_path(tmp_path, transform, words):
    path = tmp_path / "bad.vx2"
    path.write_bytes(transform(valid_bytes(tmp_path)))
    with pytest.raises(ValueError) as info:
        ir.read(path)
    message = str(info.value)
    assert message.startswith(f"{path}: ") and words in message


def test_bool_tensor_with_other_bytes_is_refused(tmp_path):
    data = bytearray(valid_bytes(tmp_path))
    header, body = split(bytes(data))
    begin = len(data) - len(body) + header["mask/weight"]["data_offsets"][0]
    data[begin] = 2
    (tmp_path / "bad.vx2").write_bytes(bytes(data))
    with pytest.raises(ValueError, match="bool bytes"):
        ir.read(tmp_path / "bad.vx2")


def test_random_corruption_gives_a_graph_or_a_value_error(tmp_path):
    data = valid_bytes(tmp_path)
    rng = random.Random(7)
    path = tmp_path / "fuzz.vx2"
    for _ in range(400):
        mutated = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            mutated[rng.randrange(len(mutated))] = rng.randrange(256)
        path.write_bytes(bytes(mutated))
        try:
            assert isinstance(ir.read(path), ir.Graph)
        except ValueError as err:
            assert str(err).startswith(str(path))
