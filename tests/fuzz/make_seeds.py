"""Writes the seed corpus of the fuzz targets: valid models of every
operation, and near-valid ones (truncated, bad counts, odd offsets) made by
patching a valid model's bytes.

    python tests/fuzz/make_seeds.py OUTPUT_DIR
"""

from __future__ import annotations

import struct
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
import model_builder as qw  # noqa: E402

U32_MAX, U64_MAX = 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF
# Field offsets: file header; graph header, tensor and node record (from their start).
METADATA_OFFSET, METADATA_SIZE, GRAPH_OFFSET, GRAPH_SIZE, WEIGHTS_OFFSET = 8, 16, 24, 32, 40
NUM_NODES, NUM_TENSORS, NUM_INPUTS, NUM_OUTPUTS = 0, 4, 8, 12
DATA_OFFSET, DATA_SIZE, NDIM, DIMS, DTYPE = 0, 8, 16, 20, 52
OP_TYPE, NODE_INPUTS, INPUT_IDS, WEIGHT_ID = 0, 2, 8, 136


def valid_models() -> dict[str, qw.Model]:
    rng = np.random.default_rng(7)
    models = {}
    for name, op in [("relu", qw.RELU), ("gelu", qw.GELU), ("softmax", qw.SOFTMAX)]:
        m = qw.Model()
        x = m.placeholder(2, 5)
        m.inputs, m.outputs = [x], [m.activation(op, x)]
        models[name] = m
    m = qw.Model(metadata=b'{"name":"linear"}')
    x = m.placeholder(2, 4)
    m.inputs, m.outputs = [x], [m.linear(x, rng.standard_normal((3, 4)), rng.standard_normal(3))]
    models["linear"] = m
    m = qw.Model(metadata=b'{"name":"mlp","layers":[4,8,3]}')
    x = m.placeholder(1, 4)
    h = m.activation(qw.RELU, m.linear(x, rng.standard_normal((8, 4)), rng.standard_normal(8)))
    y = m.activation(qw.GELU, m.linear(h, rng.standard_normal((3, 8)), rng.standard_normal(3)))
    m.inputs, m.outputs = [x], [m.activation(qw.SOFTMAX, y)]
    models["mlp"] = m
    m = qw.Model(metadata=b"text with a \x00 zero byte")
    for array in [
        np.arange(6, dtype=np.int32).reshape(2, 3),
        np.ones(4, np.float16),
        np.arange(5, dtype=np.int8),
        np.array(1.5, np.float32),
    ]:
        m.stored(array)
    m.inputs, m.outputs = [0], [m.activation(qw.RELU, 3)]
    models["dtypes"] = m
    # Every input the executor targets bind, each read by a node; the INT32
    # one is returned as it was bound.
    m = qw.Model()
    x, wide, flat, whole = m.placeholder(1, 4), m.placeholder(2, 8), m.placeholder(3), m.placeholder(2, 3, dtype=3)
    h = m.linear(wide, rng.standard_normal((5, 8)), rng.standard_normal(5))
    m.inputs = [x, wide, flat, whole]
    m.outputs = [m.activation(qw.SOFTMAX, h), m.activation(qw.GELU, flat), m.activation(qw.RELU, x), whole]
    models["bound_inputs"] = m
    # A Linear output stored under its own weight's ID, which the next run
    # reads as the weight; a ReLU writing over its input; a bias returned.
    m = qw.Model()
    x = m.placeholder(1, 4)
    w, b = m.stored(rng.standard_normal((4, 4)).astype(np.float32)), m.stored(np.ones(4, np.float32))
    m.node(qw.LINEAR, x, w, w, b)
    m.node(qw.RELU, x, x)
    m.inputs, m.outputs = [x], [w, x, b]
    models["aliases"] = m
    return models


def near_valid(m: qw.Model) -> dict[str, bytes]:
    """The mlp model broken one field or one cut at a time."""
    good = m.to_bytes()
    g, w = m.graph_offset, m.weights_offset
    tensor = lambda i: g + 144 + 56 * i  # noqa: E731
    node = lambda j: tensor(len(m.tensors)) + 208 * j  # noqa: E731
    last = tensor(max(i for i, t in enumerate(m.tensors) if t.data))  # its data ends the file
    last_offset = struct.unpack_from("<Q", good, last + DATA_OFFSET)[0]
    size = lambda i: tensor(i) + DATA_SIZE  # noqa: E731
    patches = {  # name: (file offset, struct format, value), or a list of them
        "magic_last_byte": (3, "B", 1),
        "version_0": (4, "I", 0),
        "version_2": (4, "I", 2),
        "graph_one_past_end": (GRAPH_SIZE, "Q", len(good) - g + 1),
        "graph_size_wraps": (GRAPH_SIZE, "Q", U64_MAX),
        "graph_offset_wraps": (GRAPH_OFFSET, "Q", U64_MAX - 10),
        "graph_offset_odd": (GRAPH_OFFSET, "Q", g + 1),
        "metadata_past_end": (METADATA_OFFSET, "Q", len(good)),
        "metadata_size_huge": (METADATA_SIZE, "Q", U64_MAX),
        "weights_past_end": (WEIGHTS_OFFSET, "Q", len(good) + 1),
        "weights_offset_wraps": (WEIGHTS_OFFSET, "Q", U64_MAX),
        "tensors_plus_one": (g + NUM_TENSORS, "I", len(m.tensors) + 1),
        "tensors_max": (g + NUM_TENSORS, "I", U32_MAX),
        "nodes_plus_one": (g + NUM_NODES, "I", len(m.nodes) + 1),
        "nodes_max": (g + NUM_NODES, "I", U32_MAX),
        "inputs_17": (g + NUM_INPUTS, "I", 17),
        "outputs_17": (g + NUM_OUTPUTS, "I", 17),
        "data_unaligned": (tensor(1) + DATA_OFFSET, "Q", 1),
        "data_one_past_end": (last + DATA_OFFSET, "Q", last_offset + 1),
        "data_offset_huge": (tensor(1) + DATA_OFFSET, "Q", U64_MAX - 1),
        "placeholder_weight": (tensor(1) + DATA_SIZE, "Q", 0),
        "ndim_9": (tensor(1) + NDIM, "I", 9),
        "ndim_max": (tensor(1) + NDIM, "I", U32_MAX),
        "dim_past_end": (tensor(1) + DIMS, "I", 0x10000),
        "dims_overflow": (tensor(1) + DIMS, "8I", (U32_MAX,) * 8),
        "dtype_4": (tensor(1) + DTYPE, "B", 4),
        "dtype_reserved": (tensor(1) + DTYPE, "4B", (0, 1, 2, 3)),
        "op_0": (node(0) + OP_TYPE, "H", 0),
        "op_5": (node(0) + OP_TYPE, "H", 5),
        "node_inputs_max": (node(0) + NODE_INPUTS, "H", 0xFFFF),
        "input_id_max": (node(0) + INPUT_IDS, "I", U32_MAX),
        "weight_id_past_table": (node(0) + WEIGHT_ID, "I", len(m.tensors)),
        "arena_huge": (size(0), "Q", 1 << 40),
        # The input and the first node's output are alive together.
        "arena_wraps": [(size(0), "Q", U64_MAX // 2 + 1), (size(3), "Q", U64_MAX // 2 + 1)],
    }
    files = {}
    for name, fields in patches.items():
        data = bytearray(good)
        for offset, fmt, value in fields if isinstance(fields, list) else [fields]:
            struct.pack_into("<" + fmt, data, offset, *(value if isinstance(value, tuple) else (value,)))
        files[name] = bytes(data)
    cuts = {
        "empty": 0,
        "one_byte": 1,
        "header_cut": 71,
        "header_only": 72,
        "graph_header_cut": g + 100,
        "tensor_table_cut": tensor(2) + 10,
        "node_table_cut": node(1) + 7,
        "no_weights": w,
        "last_byte_cut": len(good) - 1,
    }
    files.update({"cut_" + name: good[:length] for name, length in cuts.items()})
    return files


def main(out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    for stale in out.glob("*.qen"):
        stale.unlink()
    models = valid_models()
    files = {name: m.to_bytes() for name, m in models.items()} | near_valid(models["mlp"])
    for name, data in files.items():
        (out / f"{name}.qen").write_bytes(data)
    print(f"{len(files)} seeds in {out}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(Path(sys.argv[1]))
