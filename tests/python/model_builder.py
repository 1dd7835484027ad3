"""A low-level model file builder for the tests and the fuzz seeds.

Unlike `qen.ModelWriter` it checks nothing and aligns nothing: a model is a
list of tensors (stored arrays or placeholders) and a list of nodes, laid out
as header | metadata | graph block | weights with every ID exactly as given,
so tests can build the files the runtime must refuse and patch or cut the
bytes of `Model.to_bytes()`. The records come from `qen.format`.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from qen.format import (  # noqa: F401
    FILE_HEADER,
    GRAPH_HEADER,
    NODE_RECORD,
    TENSOR_RECORD,
    FileHeader,
    GraphHeader,
    NodeRecord,
    Op,
    TensorRecord,
    graph_block_size,
)

LINEAR, RELU, GELU, SOFTMAX = Op.LINEAR, Op.RELU, Op.GELU, Op.SOFTMAX
DTYPE_CODES = {np.dtype(np.float32): 0, np.dtype(np.float16): 1, np.dtype(np.int8): 2, np.dtype(np.int32): 3}


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
        return self.graph_offset + graph_block_size(len(self.tensors), len(self.nodes))

    def to_bytes(self) -> bytes:
        return b"".join(self._pieces())

    def save(self, path) -> None:
        with open(path, "wb") as f:
            for piece in self._pieces():
                f.write(piece)

    def _pieces(self):
        """The file in order: header, metadata, graph block, then each tensor's data."""
        records, offset = [], 0
        for t in self.tensors:
            records.append(TensorRecord.of(offset, len(t.data), t.dims, t.dtype).pack())
            offset += len(t.data)
        nodes = [NodeRecord(n.op, tuple(n.inputs), tuple(n.outputs), n.weight, n.bias).pack() for n in self.nodes]
        graph = GraphHeader.of(len(self.nodes), len(self.tensors), self.inputs, self.outputs).pack()
        yield FileHeader(
            FILE_HEADER.size,
            len(self.metadata),
            self.graph_offset,
            self.weights_offset - self.graph_offset,
            self.weights_offset,
        ).pack()
        yield self.metadata + graph + b"".join(records) + b"".join(nodes)
        for t in self.tensors:
            yield t.data
