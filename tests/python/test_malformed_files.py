"""Malformed model files through all three classes: each operation either
succeeds or raises a Python exception, and the process survives."""

import json
import os
import struct
import subprocess
import sys

import numpy as np
import pytest
from model_builder import FILE_HEADER, GRAPH_HEADER, LINEAR, NODE_RECORD, RELU, SOFTMAX, TENSOR_RECORD, Model

U64_MAX = 2**64 - 1


def base_model():
    model = Model(metadata=b'{"case": 1}')
    x = model.placeholder(1, 4)
    h = model.linear(x, np.ones((3, 4), np.float32), np.zeros(3, np.float32))
    model.inputs, model.outputs = [x], [model.activation(SOFTMAX, model.activation(RELU, h))]
    return model


MODEL = base_model()
BYTES = MODEL.to_bytes()
GRAPH = MODEL.graph_offset
TENSORS = GRAPH + GRAPH_HEADER.size
NODES = TENSORS + TENSOR_RECORD.size * len(MODEL.tensors)
WEIGHTS = MODEL.weights_offset


def patched(offset, fmt, value):
    data = bytearray(BYTES)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def tensor_field(tensor_id, field_offset, fmt, value):
    return patched(TENSORS + TENSOR_RECORD.size * tensor_id + field_offset, fmt, value)


CUTS = sorted(
    {
        0,
        1,
        FILE_HEADER.size - 1,
        FILE_HEADER.size,
        GRAPH,
        GRAPH + 72,
        TENSORS,
        TENSORS + 30,
        NODES,
        NODES + 100,
        NODES + NODE_RECORD.size,
        WEIGHTS,
        WEIGHTS + 1,
        len(BYTES) - 1,
    }
)

CASES = {f"truncated at {n}": BYTES[:n] for n in CUTS} | {
    "graph inputs 16": patched(GRAPH + 8, "<I", 16),
    "graph inputs 17": patched(GRAPH + 8, "<I", 17),
    "graph outputs 17": patched(GRAPH + 12, "<I", 17),
    "graph outputs 2^32-1": patched(GRAPH + 12, "<I", 2**32 - 1),
    "nodes 2^32-1": patched(GRAPH, "<I", 2**32 - 1),
    "tensors 2^32-1": patched(GRAPH + 4, "<I", 2**32 - 1),
    "node inputs 16": patched(NODES + 2, "<H", 16),
    "node inputs 17": patched(NODES + 2, "<H", 17),
    "node outputs 2^16-1": patched(NODES + 4, "<H", 2**16 - 1),
    "node input id 2^32-1": patched(NODES + 8, "<I", 2**32 - 1),
    "weight id 2^32-1": patched(NODES + 136, "<I", 2**32 - 1),
    "ndim 8": tensor_field(1, 16, "<I", 8),
    "ndim 9": tensor_field(1, 16, "<I", 9),
    "dims 2^32-1": tensor_field(1, 20, "<I", 2**32 - 1),
    "dtype 255": tensor_field(1, 52, "<B", 255),
    "dtype fp16": tensor_field(1, 52, "<B", 1),
    "bias last byte inside": tensor_field(2, 0, "<Q", len(BYTES) - WEIGHTS - 12),
    "bias one byte outside": tensor_field(2, 0, "<Q", len(BYTES) - WEIGHTS - 11),
    "data offset overflows": tensor_field(1, 0, "<Q", U64_MAX - 8),
    "weights offset overflows": patched(40, "<Q", U64_MAX - 8),
    "graph offset overflows": patched(24, "<Q", U64_MAX - 8),
    "graph size overflows": patched(32, "<Q", U64_MAX),
    "metadata offset overflows": patched(8, "<Q", U64_MAX - 2),
    "metadata size past end": patched(16, "<Q", len(BYTES)),
    "op type 0": patched(NODES, "<H", 0),
    "op type 2^16-1": patched(NODES, "<H", 2**16 - 1),
    "linear made softmax": patched(NODES, "<H", SOFTMAX),
    "relu made linear": patched(NODES + NODE_RECORD.size, "<H", LINEAR),
}

# Runs every case through the three classes in one child process and prints
# one line per operation, so a crash shows as a missing line and an exit code.
CHILD = r"""
import json, sys
import numpy as np
import _qen_core as qen

def attempt(case, name, action):
    try:
        action()
        outcome = "ok"
    except Exception as e:
        outcome = type(e).__name__
    print(json.dumps([case, name, outcome]), flush=True)

x = np.ones((2, 4), np.float32)
for case, path in json.loads(sys.stdin.read()):
    attempt(case, "loader", lambda: qen.ModelLoader(path).get_metadata())
    engine, executor = qen.Engine(), qen.GraphExecutor()
    attempt(case, "engine", lambda: (engine.load_model(path), engine.run([x])))
    attempt(case, "executor", lambda: (executor.load_model(path), executor.execute([x])))
"""


def run_child(paths):
    return subprocess.run(
        [sys.executable, "-c", CHILD], input=json.dumps(paths), capture_output=True, text=True, timeout=120
    )


def test_every_malformed_file_raises_or_runs(tmp_path):
    paths = []
    for i, (case, data) in enumerate(CASES.items()):
        path = tmp_path / f"case{i}.qen"
        path.write_bytes(data)
        paths.append((case, str(path)))
    child = run_child(paths)
    assert child.returncode == 0, child.stderr[-2000:]
    outcomes = {(case, name): outcome for case, name, outcome in map(json.loads, child.stdout.splitlines())}
    assert len(outcomes) == 3 * len(CASES)
    # Spot checks that the bounds are where they should be.
    assert outcomes[("bias last byte inside", "engine")] == "ok"
    assert outcomes[("bias one byte outside", "engine")] == "RuntimeError"
    assert outcomes[("graph inputs 16", "loader")] == "ok"
    assert outcomes[("graph inputs 17", "loader")] == "RuntimeError"
    assert outcomes[("node inputs 17", "executor")] == "RuntimeError"
    assert outcomes[("ndim 8", "loader")] == "ok"
    assert outcomes[(f"truncated at {len(BYTES) - 1}", "engine")] == "RuntimeError"


def open_resources():
    with open("/proc/self/maps") as maps:
        return len(os.listdir("/proc/self/fd")), sum(1 for _ in maps)


def resident_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))


@pytest.mark.parametrize("cycle", ["engine", "executor", "loader"])
def test_repeated_loads_release_everything(tmp_path, cycle):
    import _qen_core as qen

    path = str(tmp_path / "model.qen")
    MODEL.save(path)
    x = np.ones((2, 4), np.float32)
    engine, executor = qen.Engine(), qen.GraphExecutor()
    actions = {
        "engine": lambda: (engine.load_model(path), engine.run([x])),
        "executor": lambda: (executor.load_model(path), executor.execute([x])),
        "loader": lambda: qen.ModelLoader(path).get_metadata(),
    }
    action = actions[cycle]
    for _ in range(500):  # let allocators and caches settle
        action()
    before, rss_before = open_resources(), resident_kib()
    for _ in range(10_000):
        action()
    assert open_resources() == before
    assert resident_kib() - rss_before < 2048
