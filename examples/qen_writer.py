"""Writes model files for the QEN runtime.

A model is a list of tensors (stored arrays or placeholders filled at run
time) and a list of nodes in execution order. `Model.to_bytes()` lays the file
out as header | metadata | graph block | weights; the tests patch or truncate
its result to make malformed files.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

import numpy as np

MAGIC = b"QEN\x00"
LINEAR, RELU, GELU, SOFTMAX = 1, 2, 3, 4
DTYPE_CODES = {np.dtype(np.float32): 0, np.dtype(np.float16): 1, np.dtype(np.int8): 2, np.dtype(np.int32): 3}

FILE_HEADER = struct.Struct("<4sIQQQQQ24x")  # 72 bytes
GRAPH_HEADER = struct.Struct("<IIII16I16I")  # 144 bytes
TENSOR_RECORD = struct.Struct("<QQI8IB3x")  # 56 bytes
NODE_RECORD = struct.Struct("<HHH2x16I16III64x")  # 208 bytes


@dataclass
class Tensor:
    dims: tuple[int, ...]
    dtype: int = 0
    data: bytes = b""  # empty for a placeholder


@dataclass
class Node:
    op: int
    inputs: list[int]
    outputs: list[int]
    weight: int = 0
    bias: int = 0


@dataclass
class Model:
    tensors: list[Tensor] = field(default_factory=list)
    nodes: list[Node] = field(default_factory=list)
    inputs: list[int] = field(default_factory=list)
    outputs: list[int] = field(default_factory=list)
    metadata: bytes = b""

    def placeholder(self, *dims: int, dtype: int = 0) -> int:
        self.tensors.append(Tensor(tuple(dims), dtype))
        return len(self.tensors) - 1

    def stored(self, array: np.ndarray) -> int:
        array = np.ascontiguousarray(array)
        self.tensors.append(Tensor(array.shape, DTYPE_CODES[array.dtype], array.tobytes()))
        return len(self.tensors) - 1

    def node(self, op: int, x: int, y: int, weight: int = 0, bias: int = 0) -> None:
        self.nodes.append(Node(op, [x], [y], weight, bias))

    def linear(self, x: int, weight: np.ndarray, bias: np.ndarray) -> int:
        """Appends y = x @ weight.T + bias and returns y's tensor ID."""
        w, b = self.stored(weight.astype(np.float32)), self.stored(bias.astype(np.float32))
        y = self.placeholder(0, weight.shape[0])
        self.node(LINEAR, x, y, w, b)
        return y

    def activation(self, op: int, x: int) -> int:
        y = self.placeholder(0)
        self.node(op, x, y)
        return y

    @property
    def graph_offset(self) -> int:
        return FILE_HEADER.size + len(self.metadata)

    @property
    def weights_offset(self) -> int:
        return (self.graph_offset + GRAPH_HEADER.size + TENSOR_RECORD.size * len(self.tensors)
                + NODE_RECORD.size * len(self.nodes))

    def to_bytes(self) -> bytes:
        return b"".join(self._pieces())

    def save(self, path) -> None:
        """Writes the file piece by piece, so a large model is never held twice."""
        with open(path, "wb") as f:
            for piece in self._pieces():
                f.write(piece)

    def _pieces(self):
        """The file in order: header, metadata, graph block, then each tensor's data."""
        records, offset = [], 0
        for t in self.tensors:
            dims = list(t.dims)[:8] + [0] * (8 - min(len(t.dims), 8))
            records.append(TENSOR_RECORD.pack(offset, len(t.data), len(t.dims), *dims, t.dtype))
            offset += len(t.data)
        nodes = [NODE_RECORD.pack(n.op, len(n.inputs), len(n.outputs), *_ids(n.inputs), *_ids(n.outputs),
                                  n.weight, n.bias) for n in self.nodes]
        graph = GRAPH_HEADER.pack(len(self.nodes), len(self.tensors), len(self.inputs), len(self.outputs),
                                  *_ids(self.inputs), *_ids(self.outputs))
        graph_size = self.weights_offset - self.graph_offset
        yield FILE_HEADER.pack(MAGIC, 1, FILE_HEADER.size, len(self.metadata), self.graph_offset, graph_size,
                               self.weights_offset)
        yield self.metadata + graph + b"".join(records) + b"".join(nodes)
        for t in self.tensors:
            yield t.data


def _ids(ids: list[int]) -> list[int]:
    return list(ids)[:16] + [0] * (16 - min(len(ids), 16))
