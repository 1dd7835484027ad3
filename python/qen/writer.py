"""Writes model files: the one writer every producer of this package uses.

`ModelWriter` collects named tensors (stored arrays, graph inputs and node
results) and nodes, checks each addition against what the runtime's loader
and kernels accept, and writes the file once, atomically. `write_sequential`
builds a chain of layers on top of it; the converters use that.

Layout written: file header | graph block | weights | metadata. Each stored
tensor starts at a multiple of 64 bytes in the file. The metadata goes last
so that the probe certificate, which needs the finished graph and weights to
be run, is added without moving anything else.
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
import stat
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import format as fmt

__all__ = ["Layer", "ModelWriter", "check_target", "write_sequential"]

_OPS = {"linear": fmt.Op.LINEAR, "relu": fmt.Op.RELU, "gelu": fmt.Op.GELU, "softmax": fmt.Op.SOFTMAX}
_DTYPE_CODES = {dtype.newbyteorder("="): code for code, dtype in fmt.DTYPE_OF.items()}
_RESERVED_KEYS = ("producer", "producer_version", "inputs", "outputs", "probe")
_U32_MAX = 2**32 - 1

Shape = tuple[int | None, ...]


@dataclass(frozen=True)
class Layer:
    """One step of a chain: "linear" (with `weight` [N, K] and `bias` [N]), "relu", "gelu" or "softmax"."""

    op: str
    weight: str | None = None
    bias: str | None = None
    name: str | None = None

    @property
    def parameters(self) -> tuple[str, str]:
        """A linear step's weight and bias names."""
        if self.weight is None or self.bias is None:
            raise ValueError(f"{self.name or self.op}: a linear step names its weight and bias")
        return self.weight, self.bias


@dataclass
class _Tensor:
    shape: Shape  # None for a free dimension (a placeholder's batch)
    dtype: np.dtype
    data: np.ndarray | None = None  # None for a placeholder


def _stored_array(name: str, array: np.ndarray) -> np.ndarray:
    if not isinstance(array, np.ndarray):
        raise TypeError(f"tensor {name!r}: expected a numpy array, got {type(array).__name__}")
    if array.dtype.newbyteorder("=") not in _DTYPE_CODES:
        raise ValueError(f"tensor {name!r}: dtype {array.dtype} cannot be stored (float32, float16, int8 or int32)")
    if array.ndim > fmt.MAX_DIMS:
        raise ValueError(f"tensor {name!r}: {array.ndim} dimensions, the file holds at most {fmt.MAX_DIMS}")
    if array.size == 0:
        # A stored tensor without bytes would read back as a placeholder.
        raise ValueError(f"tensor {name!r}: shape {array.shape} has no elements; a stored tensor needs data")
    if max(array.shape, default=0) > _U32_MAX:
        raise ValueError(f"tensor {name!r}: extent above 2**32 - 1 in shape {array.shape}")
    # Copies only when the layout or byte order differs (keeps 0-d arrays 0-d, unlike ascontiguousarray).
    return np.array(array, dtype=array.dtype.newbyteorder("<"), order="C", copy=None)


def _describe(shape: Shape) -> str:
    return "(" + ", ".join("None" if d is None else str(d) for d in shape) + ("," if len(shape) == 1 else "") + ")"


class ModelWriter:
    """A graph under construction, written once by `write`.

    Names are unique across stored tensors, inputs and node results; a
    repeated name is refused by the call that adds it.
    """

    def __init__(self, *, producer: str, producer_version: str, metadata: Mapping[str, object] | None = None) -> None:
        extras = dict(metadata or {})
        clash = [key for key in _RESERVED_KEYS if key in extras]
        if clash:
            raise ValueError(f"metadata keys {clash} are written by the writer itself")
        self._meta = {"producer": str(producer), "producer_version": str(producer_version), **extras}
        _metadata_text(self._meta)  # refuses what the file cannot hold here, not at write time
        self._tensors: dict[str, _Tensor] = {}
        self._nodes: list[tuple[fmt.Op, str, str, str | None, str | None, str]] = []
        self._inputs: list[str] = []
        self._outputs: list[str] = []

    def _claim(self, name: str) -> None:
        if not isinstance(name, str) or not name:
            raise TypeError(f"tensor names are non-empty strings, got {name!r}")
        if name in self._tensors:
            raise ValueError(f"duplicate tensor name {name!r}")

    def add_tensor(self, name: str, array: np.ndarray) -> str:
        """A stored tensor; its elements are copied once, C-contiguous little-endian."""
        self._claim(name)
        data = _stored_array(name, array)
        self._tensors[name] = _Tensor(data.shape, data.dtype, data)
        return name

    def add_input(self, name: str, shape: Sequence[int | None], dtype=np.float32) -> str:
        """A graph input; None in `shape` is a free extent (the batch)."""
        self._claim(name)
        if len(self._inputs) == fmt.MAX_IDS:
            raise ValueError(f"input {name!r}: a graph has at most {fmt.MAX_IDS} inputs")
        dtype = np.dtype(dtype)
        if dtype not in (np.dtype(np.float32), np.dtype(np.int32)):
            raise ValueError(f"input {name!r}: dtype {dtype}, inputs are float32 or int32")
        shape = tuple(None if d is None else int(d) for d in shape)
        if len(shape) > fmt.MAX_DIMS or any(d is not None and not 0 <= d <= _U32_MAX for d in shape):
            raise ValueError(
                f"input {name!r}: shape {_describe(shape)} is not storable "
                f"(at most {fmt.MAX_DIMS} extents, each below 2**32)"
            )
        self._tensors[name] = _Tensor(shape, dtype)
        self._inputs.append(name)
        return name

    def add_node(
        self, op: str, x: str, y: str, *, weight: str | None = None, bias: str | None = None, name: str | None = None
    ) -> str:
        """Appends y = op(x) and returns y; a "linear" node names its weight [N, K] and bias [N].

        Errors name the node as "layer <index> (<name or op>)"."""
        label = f"layer {len(self._nodes)} ({name or op})"
        if op not in _OPS:
            raise ValueError(f"{label}: unknown op {op!r}; expected one of {sorted(_OPS)}")
        source = self._tensors.get(x)
        if source is None:
            raise ValueError(f"{label}: input {x!r} is not a tensor of this graph")
        if source.dtype != np.float32:
            raise ValueError(f"{label}: input {x!r} is {source.dtype}; the operations compute on float32")
        if op == "linear":
            shape = self._linear_shape(label, source.shape, weight, bias)
        else:
            if weight is not None or bias is not None:
                raise ValueError(f"{label}: only a linear node has a weight and a bias")
            if op == "softmax" and len(source.shape) != 2:
                raise ValueError(f"{label}: softmax takes a 2-D input, got shape {_describe(source.shape)}")
            shape = source.shape
        self._claim(y)
        self._tensors[y] = _Tensor(shape, np.dtype(np.float32))
        self._nodes.append((_OPS[op], x, y, weight, bias, label))
        return y

    def _stored_float(self, label: str, role: str, name: str | None) -> _Tensor:
        tensor = None if name is None else self._tensors.get(name)
        if tensor is None or tensor.data is None:
            raise ValueError(f"{label}: {role} {name!r} is not a stored tensor of this graph")
        if tensor.dtype != np.float32:
            raise ValueError(f"{label}: {role} {name!r} is {tensor.dtype}, expected float32")
        return tensor

    def _linear_shape(self, label: str, x_shape: Shape, weight: str | None, bias: str | None) -> Shape:
        w, b = self._stored_float(label, "weight", weight), self._stored_float(label, "bias", bias)
        if len(w.shape) != 2:
            raise ValueError(f"{label}: weight {weight!r} has shape {w.shape}, expected [N, K]")
        n, k = w.shape
        if b.shape != (n,):
            raise ValueError(f"{label}: bias {bias!r} has shape {b.shape}, expected ({n},) for a weight {w.shape}")
        if len(x_shape) != 2 or x_shape[1] not in (None, k):
            raise ValueError(
                f"{label}: input shape {_describe(x_shape)} does not fit a weight {w.shape} (expected [batch, {k}])"
            )
        return (x_shape[0], n)

    def add_output(self, name: str) -> str:
        if name not in self._tensors:
            raise ValueError(f"output {name!r} is not a tensor of this graph")
        if self._tensors[name].data is not None:
            # The runtime returns inputs and node results only; a stored tensor would come back as None.
            raise ValueError(f"output {name!r} is a stored tensor; an output is a graph input or a node result")
        if len(self._outputs) == fmt.MAX_IDS:
            raise ValueError(f"output {name!r}: a graph has at most {fmt.MAX_IDS} outputs")
        if name in self._outputs:
            raise ValueError(f"output {name!r} is listed twice")
        self._outputs.append(name)
        return name

    def write(self, path: str | os.PathLike, *, certify: bool = False) -> None:
        """Writes the file: a temporary file beside `path`, flushed and fsynced, then renamed over it.

        With `certify` the metadata holds a certificate: digests of the
        graph tables, of every stored tensor and of the rest of the metadata,
        and the exact output bits of one run on a seeded random batch of the
        declared input shapes.
        """
        if not self._inputs or not self._outputs:
            raise ValueError("a graph needs at least one input and one output")
        names = list(self._tensors)
        ids = {name: i for i, name in enumerate(names)}
        records, weights = self._tensor_layout(names)
        nodes = [
            fmt.NodeRecord(op, (ids[x],), (ids[y],), 0 if w is None else ids[w], 0 if b is None else ids[b]).pack()
            for op, x, y, w, b, _ in self._nodes
        ]
        graph = fmt.GraphHeader.of(
            len(nodes), len(names), [ids[n] for n in self._inputs], [ids[n] for n in self._outputs]
        ).pack()
        graph_offset = fmt.FILE_HEADER.size
        weights_offset = _aligned(graph_offset + len(graph) + sum(map(len, records)) + sum(map(len, nodes)))
        metadata_offset = weights_offset + weights

        def header(size: int) -> bytes:
            return fmt.FileHeader(
                metadata_offset, size, graph_offset, weights_offset - graph_offset, weights_offset
            ).pack()

        meta = dict(self._meta, inputs=self._signature(self._inputs), outputs=self._signature(self._outputs))
        with _replaced_atomically(path) as temp_path:
            with open(temp_path, "r+b") as f:
                f.write(header(0))
                f.write(graph + b"".join(records) + b"".join(nodes))
                for name in names:
                    data = self._tensors[name].data
                    if data is not None:
                        f.seek(_aligned(f.tell()))
                        f.write(data.data.cast("B"))
                f.truncate(metadata_offset)
            if certify:
                # Run with the file closed: the runtime refuses a file open for writing.
                from .probe import certify as certificate

                meta["probe"] = certificate(temp_path, self._signature(self._inputs), metadata=meta)
            text = _metadata_text(meta)
            with open(temp_path, "r+b") as f:
                f.seek(metadata_offset)
                f.write(text)
                f.seek(0)
                f.write(header(len(text)))
                f.flush()
                os.fsync(f.fileno())

    def _tensor_layout(self, names: list[str]) -> tuple[list[bytes], int]:
        """The tensor records, and the size of the weights region they describe."""
        records, offset = [], 0
        for name in names:
            t = self._tensors[name]
            code = _DTYPE_CODES[t.dtype.newbyteorder("=")]
            if t.data is None:
                records.append(fmt.TensorRecord.of(0, 0, [d or 0 for d in t.shape], code).pack())
                continue
            offset = _aligned(offset)
            records.append(fmt.TensorRecord.of(offset, t.data.nbytes, t.data.shape, code).pack())
            offset += t.data.nbytes
        return records, offset

    def _signature(self, names: list[str]) -> list[dict]:
        return [{"name": n, "shape": list(self._tensors[n].shape), "dtype": str(self._tensors[n].dtype)} for n in names]


def _metadata_text(meta: Mapping[str, object]) -> bytes:
    """The metadata as stored: compact JSON, refused where a reader would not read it back as JSON."""
    try:
        text = json.dumps(meta, separators=(",", ":"), allow_nan=False)
    except RecursionError:
        text = None
    if text is None or fmt.metadata_too_deep(text):
        raise ValueError(f"the metadata nests deeper than {fmt.METADATA_MAX_DEPTH} levels, which readers take as text")
    return text.encode()


def _aligned(offset: int) -> int:
    return -(-offset // fmt.ALIGNMENT) * fmt.ALIGNMENT


@contextlib.contextmanager
def _replaced_atomically(path: str | os.PathLike):
    """Yields the path of a new temporary file in the target's folder; renames it over `path` on a clean exit.

    Until the rename nothing at `path` changes; a process that has the old
    file mapped keeps reading the old contents after it, since the rename
    gives `path` a new file instead of rewriting the old one. The caller
    fsyncs the file's contents; the rename is fsynced here. The temporary
    file is created with mode 0o666 less the umask, as any new file, and
    takes a replaced file's mode, owner and group where the process may set
    them; the umask itself is never changed, since it is the whole
    process's.
    """
    target = Path(path)
    check_target(target)
    temp_path = _new_temporary(target.parent)
    try:
        yield temp_path
        _keep_permissions(target, temp_path)
        os.replace(temp_path, target)
    except BaseException:
        os.unlink(temp_path)
        raise
    if os.name == "posix":  # Windows cannot open a folder to fsync it
        folder = os.open(target.parent, os.O_RDONLY)
        try:
            os.fsync(folder)
        finally:
            os.close(folder)


def _new_temporary(folder: Path) -> str:
    """A new empty file in `folder`; its name is short, so that any name the folder takes for the target fits."""
    while True:
        temp_path = str(folder / f".qen-{secrets.token_hex(4)}.tmp")
        try:
            os.close(os.open(temp_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666))
            return temp_path
        except FileExistsError:
            continue


def _keep_permissions(target: Path, temp_path: str) -> None:
    """Gives the new file the replaced file's owner, group and mode; a new target keeps what it was created with."""
    try:
        old = target.stat()
    except FileNotFoundError:
        return
    if hasattr(os, "chown"):
        with contextlib.suppress(PermissionError):  # only root gives a file to another user
            os.chown(temp_path, old.st_uid, old.st_gid)
    os.chmod(temp_path, old.st_mode & 0o777)


def check_target(path: str | os.PathLike) -> None:
    """Refuses, in one line, a target that no model file can be written to: a folder, a path in a missing
    folder, or an existing file that is not a regular file (a device, a FIFO, a socket), which the rename
    would replace."""
    target = Path(path)
    if target.is_dir():
        raise IsADirectoryError(f"{target} is a folder; name the model file to write, such as {target / 'model.qen'}")
    if not target.parent.is_dir():
        raise FileNotFoundError(f"cannot write {target}: the folder {target.parent} does not exist")
    with contextlib.suppress(FileNotFoundError):
        if not stat.S_ISREG(target.stat().st_mode):
            raise ValueError(f"cannot write {target}: it exists and is not a regular file")


def write_sequential(
    path: str | os.PathLike,
    layers: Sequence[Layer],
    tensors: Mapping[str, np.ndarray],
    *,
    input_shape: Sequence[int | None],
    input_name: str = "input",
    output_name: str = "output",
    metadata: Mapping[str, object] | None = None,
    producer: str,
    producer_version: str,
    certify: bool = False,
) -> None:
    """A chain: input -> layers[0] -> ... -> output, written atomically to `path`.

    Every array of `tensors` that a layer names is stored once. With
    `certify` the file carries a certificate of its weights and of the exact
    output bits of one run (see `ModelWriter.write`).
    """
    if not layers:
        raise ValueError("a chain needs at least one layer")
    writer = ModelWriter(producer=producer, producer_version=producer_version, metadata=metadata)
    x = writer.add_input(input_name, input_shape)
    for i, layer in enumerate(layers):
        if not isinstance(layer, Layer):
            raise TypeError(f"layer {i}: expected a qen.Layer, got {type(layer).__name__}")
        label = f"layer {i} ({layer.name or layer.op})"
        for tensor_name in (layer.weight, layer.bias):
            if tensor_name is None or tensor_name in writer._tensors:
                continue
            if tensor_name not in tensors:
                raise ValueError(f"{label}: tensor {tensor_name!r} is not in `tensors`")
            array = tensors[tensor_name]
            if isinstance(array, np.ndarray) and array.dtype.newbyteorder("=") != np.float32:
                raise ValueError(
                    f"{label}: tensor {tensor_name!r} is {array.dtype}, expected float32 "
                    "(convert it with .astype(np.float32))"
                )
            writer.add_tensor(tensor_name, array)
        y = output_name if i == len(layers) - 1 else f"{i}:{layer.name or layer.op}"
        x = writer.add_node(layer.op, x, y, weight=layer.weight, bias=layer.bias, name=layer.name)
    writer.add_output(x)
    writer.write(path, certify=certify)
