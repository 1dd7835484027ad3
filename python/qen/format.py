"""The model file's binary layout: one definition of every record.

A file is a 72-byte header, a metadata text, a graph block (graph header,
tensor table, node table) and a weights region; all integers little-endian,
every record fixed-size. The writer packs these records, `qen inspect` and
the tests read them back, so each field is defined here once.

`read_model` parses a file the way the runtime's loader validates it at open
and reports a malformed file with the loader's own messages.
"""

from __future__ import annotations

import enum
import json
import math
import mmap
import struct
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

import numpy as np

__all__ = [
    "MAGIC",
    "VERSION",
    "MAX_IDS",
    "MAX_DIMS",
    "ALIGNMENT",
    "Op",
    "DType",
    "DTYPE_OF",
    "ELEMENT_SIZE",
    "FILE_HEADER",
    "GRAPH_HEADER",
    "TENSOR_RECORD",
    "NODE_RECORD",
    "FileHeader",
    "GraphHeader",
    "TensorRecord",
    "NodeRecord",
    "ModelFile",
    "Records",
    "FormatError",
    "read_model",
    "METADATA_MAX_DEPTH",
    "metadata_too_deep",
    "METADATA_MAX_SIZE",
    "parse_metadata",
    "tensor_table_offset",
    "node_table_offset",
    "graph_block_size",
]

MAGIC = b"QEN\x00"
VERSION = 1
MAX_IDS = 16  # entries of every ID array: graph inputs/outputs, node inputs/outputs
MAX_DIMS = 8
# What a file can be read from: its bytes, or a mapping of it.
Buffer = bytes | bytearray | memoryview | mmap.mmap

ALIGNMENT = 64  # the writer's alignment of each stored tensor; the reader requires none
# Metadata nested deeper than this is read as text, not JSON: a fixed bound, so
# that what a file means does not depend on how deep the caller's stack is.
METADATA_MAX_DEPTH = 64
# Metadata longer than this is not parsed (a Session names inputs and outputs by
# position): what a load costs stays bounded, whatever the file says.
METADATA_MAX_SIZE = 16 << 20

FILE_HEADER = struct.Struct("<4sIQQQQQ24x")  # 72 bytes
GRAPH_HEADER = struct.Struct("<IIII16I16I")  # 144 bytes
TENSOR_RECORD = struct.Struct("<QQI8IB3x")  # 56 bytes
NODE_RECORD = struct.Struct("<HHH2x16I16III64x")  # 208 bytes


class Op(enum.IntEnum):
    LINEAR = 1
    RELU = 2
    GELU = 3
    SOFTMAX = 4


class DType(enum.IntEnum):
    FP32 = 0
    FP16 = 1
    INT8 = 2
    INT32 = 3


# numpy element type (little-endian) of each code, and its size in bytes.
DTYPE_OF: dict[DType, np.dtype] = {
    DType.FP32: np.dtype("<f4"),
    DType.FP16: np.dtype("<f2"),
    DType.INT8: np.dtype("i1"),
    DType.INT32: np.dtype("<i4"),
}
ELEMENT_SIZE: dict[int, int] = {code: dtype.itemsize for code, dtype in DTYPE_OF.items()}


def _padded(values: Sequence[int], capacity: int) -> list[int]:
    """An ID or extent array as stored: the first `capacity` values, then zeros."""
    values = list(values)[:capacity]
    return values + [0] * (capacity - len(values))


@dataclass(frozen=True)
class FileHeader:
    metadata_offset: int
    metadata_size: int
    graph_offset: int
    graph_size: int
    weights_offset: int
    magic: bytes = MAGIC
    version: int = VERSION

    def pack(self) -> bytes:
        return FILE_HEADER.pack(
            self.magic,
            self.version,
            self.metadata_offset,
            self.metadata_size,
            self.graph_offset,
            self.graph_size,
            self.weights_offset,
        )

    @classmethod
    def unpack_from(cls, buffer, offset: int = 0) -> FileHeader:
        magic, version, metadata_offset, metadata_size, graph_offset, graph_size, weights_offset = (
            FILE_HEADER.unpack_from(buffer, offset)
        )
        return cls(metadata_offset, metadata_size, graph_offset, graph_size, weights_offset, magic, version)


@dataclass(frozen=True)
class GraphHeader:
    num_nodes: int
    num_tensors: int
    inputs: tuple[int, ...]  # the first num_inputs entries (at most 16 are stored)
    outputs: tuple[int, ...]
    num_inputs: int
    num_outputs: int

    @classmethod
    def of(cls, num_nodes: int, num_tensors: int, inputs: Sequence[int], outputs: Sequence[int]) -> GraphHeader:
        return cls(num_nodes, num_tensors, tuple(inputs), tuple(outputs), len(inputs), len(outputs))

    def pack(self) -> bytes:
        return GRAPH_HEADER.pack(
            self.num_nodes,
            self.num_tensors,
            self.num_inputs,
            self.num_outputs,
            *_padded(self.inputs, MAX_IDS),
            *_padded(self.outputs, MAX_IDS),
        )

    @classmethod
    def unpack_from(cls, buffer, offset: int = 0) -> GraphHeader:
        num_nodes, num_tensors, num_inputs, num_outputs, *ids = GRAPH_HEADER.unpack_from(buffer, offset)
        inputs, outputs = ids[:MAX_IDS][:num_inputs], ids[MAX_IDS:][:num_outputs]
        return cls(num_nodes, num_tensors, tuple(inputs), tuple(outputs), num_inputs, num_outputs)


@dataclass(frozen=True)
class TensorRecord:
    data_offset: int  # from weights_offset
    data_size: int  # 0 marks a placeholder
    dims: tuple[int, ...]  # the first ndim extents (at most 8 are stored)
    dtype: int
    ndim: int

    @classmethod
    def of(cls, data_offset: int, data_size: int, dims: Sequence[int], dtype: int) -> TensorRecord:
        return cls(data_offset, data_size, tuple(dims), dtype, len(dims))

    def pack(self) -> bytes:
        return TENSOR_RECORD.pack(
            self.data_offset, self.data_size, self.ndim, *_padded(self.dims, MAX_DIMS), self.dtype
        )

    @classmethod
    def unpack_from(cls, buffer, offset: int = 0) -> TensorRecord:
        data_offset, data_size, ndim, *dims, dtype = TENSOR_RECORD.unpack_from(buffer, offset)
        return cls(data_offset, data_size, tuple(dims[:ndim]), dtype, ndim)

    @property
    def is_placeholder(self) -> bool:
        return self.data_size == 0

    def element_bytes(self) -> int | None:
        """The byte size its extents and element type imply, or None for an unknown type."""
        size = ELEMENT_SIZE.get(self.dtype)
        return None if size is None else size * math.prod(self.dims)


@dataclass(frozen=True)
class NodeRecord:
    op_type: int
    inputs: tuple[int, ...]  # the first num_inputs entries (at most 16 are stored)
    outputs: tuple[int, ...]
    weight_id: int = 0
    bias_id: int = 0
    num_inputs: int | None = None  # the stored counts; None: the length of inputs/outputs
    num_outputs: int | None = None

    def pack(self) -> bytes:
        num_inputs = len(self.inputs) if self.num_inputs is None else self.num_inputs
        num_outputs = len(self.outputs) if self.num_outputs is None else self.num_outputs
        return NODE_RECORD.pack(
            self.op_type,
            num_inputs,
            num_outputs,
            *_padded(self.inputs, MAX_IDS),
            *_padded(self.outputs, MAX_IDS),
            self.weight_id,
            self.bias_id,
        )

    @classmethod
    def unpack_from(cls, buffer, offset: int = 0) -> NodeRecord:
        op_type, num_inputs, num_outputs, *ids, weight_id, bias_id = NODE_RECORD.unpack_from(buffer, offset)
        inputs, outputs = ids[:MAX_IDS][:num_inputs], ids[MAX_IDS:][:num_outputs]
        return cls(op_type, tuple(inputs), tuple(outputs), weight_id, bias_id, num_inputs, num_outputs)


def tensor_table_offset(graph_offset: int) -> int:
    return graph_offset + GRAPH_HEADER.size


def node_table_offset(graph_offset: int, num_tensors: int) -> int:
    return tensor_table_offset(graph_offset) + TENSOR_RECORD.size * num_tensors


def graph_block_size(num_tensors: int, num_nodes: int) -> int:
    return GRAPH_HEADER.size + TENSOR_RECORD.size * num_tensors + NODE_RECORD.size * num_nodes


class FormatError(ValueError):
    """A file the runtime's loader refuses; the message is the loader's."""


def _in_file(offset: int, size: int, file_size: int) -> bool:
    return offset <= file_size and size <= file_size - offset


class Records(Sequence):
    """A table of fixed-size records, each unpacked when it is read, so that opening a file of millions costs nothing
    until its table is walked."""

    def __init__(self, kind: type[TensorRecord] | type[NodeRecord], buffer, offset: int, count: int) -> None:
        self._kind, self._buffer, self._offset, self._count = kind, buffer, offset, count
        self._size = TENSOR_RECORD.size if kind is TensorRecord else NODE_RECORD.size

    def __len__(self) -> int:
        return self._count

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(self._count))]
        if index < 0:
            index += self._count
        if not 0 <= index < self._count:
            raise IndexError("record index out of range")
        return self._kind.unpack_from(self._buffer, self._offset + self._size * index)

    def __iter__(self) -> Iterator:
        return (self._kind.unpack_from(self._buffer, self._offset + self._size * i) for i in range(self._count))


@dataclass(frozen=True)
class ModelFile:
    """A parsed model file. Its table records are read when asked for; a stored tensor's
    data and the metadata are checked only when asked for, as the loader does."""

    buffer: Buffer
    header: FileHeader
    graph: GraphHeader
    tensors: Sequence[TensorRecord]
    nodes: Sequence[NodeRecord]

    @property
    def file_size(self) -> int:
        return len(self.buffer)

    def metadata_range(self) -> tuple[int, int]:
        """Where the metadata starts and ends in the file; FormatError where it extends past the end."""
        h = self.header
        if not _in_file(h.metadata_offset, h.metadata_size, self.file_size):
            raise FormatError("Metadata extends past the end of the file")
        return h.metadata_offset, h.metadata_offset + h.metadata_size

    def metadata_bytes(self) -> bytes:
        if self.header.metadata_size == 0:
            return b"{}"
        start, end = self.metadata_range()
        return bytes(self.buffer[start:end])

    def tensor_problem(self, tensor_id: int) -> str | None:
        """Why the loader would refuse to load this stored tensor, or None when it loads."""
        return self.record_problem(self.tensors[tensor_id])

    def record_problem(self, record: TensorRecord) -> str | None:
        """`tensor_problem` of a record already read."""
        if record.is_placeholder:
            return "Cannot load placeholder tensor - it has no data"
        if record.ndim > MAX_DIMS:
            return "Tensor has more than 8 dimensions"
        size = record.element_bytes()
        if size is None:
            return "Unknown dtype"
        if size >= 2**64:
            return "Tensor byte size overflows"
        weights = self.header.weights_offset
        if weights > self.file_size or not _in_file(record.data_offset, size, self.file_size - weights):
            return "Tensor data extends past the end of the file"
        return None

    def tensor_data(self, tensor_id: int) -> np.ndarray:
        """A stored tensor's elements as an array over the buffer (no copy)."""
        problem = self.tensor_problem(tensor_id)
        if problem:
            raise FormatError(problem)
        record = self.tensors[tensor_id]
        start = self.header.weights_offset + record.data_offset
        count = int(np.prod(record.dims, dtype=object))
        try:
            return np.frombuffer(self.buffer, DTYPE_OF[DType(record.dtype)], count, start).reshape(record.dims)
        except ValueError:  # a zero extent beside extents whose product numpy cannot index
            raise FormatError("Tensor extents too large for an array") from None


_QUOTE, _BRACKETS = ord('"'), np.zeros(256, np.int8)
_BRACKETS[list(b"[{")], _BRACKETS[list(b"]}")] = 1, -1  # the step in depth that each byte makes


def metadata_too_deep(text: str) -> bool:
    """Whether the JSON text's arrays and objects nest deeper than `METADATA_MAX_DEPTH`, found without parsing it.

    Brackets inside strings do not count. With the escaped backslashes and then the escaped quotes taken out
    (left to right, as a parser reads them), every quote left opens or closes a string.
    """
    if text.count("[") + text.count("{") <= METADATA_MAX_DEPTH:
        return False
    codes = np.frombuffer(text.replace("\\\\", "").replace('\\"', "").encode(), np.uint8)
    quotes = depth = 0
    for start in range(0, len(codes), 1 << 20):  # in slices, to keep the running sums small
        chunk = codes[start : start + (1 << 20)]
        quoted = np.cumsum(chunk == _QUOTE, dtype=np.int32) + quotes
        levels = np.cumsum(np.where(quoted % 2 == 0, _BRACKETS[chunk], 0), dtype=np.int32) + depth
        if levels.max() > METADATA_MAX_DEPTH:
            return True
        quotes, depth = int(quoted[-1]) % 2, int(levels[-1])
    return False


def parse_metadata(raw: bytes) -> object:
    """The metadata as JSON, or as text (bad UTF-8 replaced) where it is not JSON or nests deeper than
    `METADATA_MAX_DEPTH`."""
    text = raw.decode("utf-8", errors="replace")
    if metadata_too_deep(text):
        return text
    try:
        return json.loads(text)
    except ValueError:
        return text


def read_model(buffer: Buffer) -> ModelFile:
    """Parses a whole file's bytes; raises FormatError where the loader refuses the file at open."""
    file_size = len(buffer)
    if file_size == 0:
        raise FormatError("Failed to create file mapping")
    if file_size < FILE_HEADER.size:
        raise FormatError("File too small for header")
    header = FileHeader.unpack_from(buffer)
    if header.magic != MAGIC:
        raise FormatError("Invalid magic number")
    if header.version != VERSION:
        raise FormatError("Unsupported version")
    g = header.graph_offset
    if not _in_file(g, header.graph_size, file_size):
        raise FormatError("Invalid graph offset/size")
    if not _in_file(g, GRAPH_HEADER.size, file_size):
        raise FormatError("Graph header extends past the end of the file")
    graph = GraphHeader.unpack_from(buffer, g)
    if not _in_file(g, graph_block_size(graph.num_tensors, graph.num_nodes), file_size):
        raise FormatError("Graph tables extend past the end of the file")
    if graph.num_inputs > MAX_IDS or graph.num_outputs > MAX_IDS:
        raise FormatError("Graph has more than 16 inputs or outputs")
    tensors = Records(TensorRecord, buffer, tensor_table_offset(g), graph.num_tensors)
    nodes = Records(NodeRecord, buffer, node_table_offset(g, graph.num_tensors), graph.num_nodes)
    return ModelFile(buffer, header, graph, tensors, nodes)
