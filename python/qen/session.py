"""Runs a model file by name: `qen.load(path) -> Session`.

A `Session` owns one `_qen_core.Engine` and the graph's signature (input and
output names, shapes, dtypes) taken from the file's JSON metadata. It checks
every feed against that signature before the engine sees it, since the engine
binds inputs by position only and would read a missing one from an earlier
run. Files without a signature in their metadata (other producers), and files
whose metadata is longer than `format.METADATA_MAX_SIZE` (16 MiB, not read, with
a warning), load with inputs and outputs named by position: input_0, ...,
output_0, ...
"""

from __future__ import annotations

import functools
import hashlib
import math
import mmap
import os
import stat
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

import _qen_core

from . import format as fmt

__all__ = ["Session", "TensorInfo", "load", "check_feed", "file_state"]

_FEED_DTYPES = (np.dtype(np.float32), np.dtype(np.int32))
_U32_LIMIT = 2**32
_LOAD_ATTEMPTS = 32  # loads retried while the path keeps naming a new file


@dataclass(frozen=True)
class TensorInfo:
    """A graph input or output: name, shape (None for a free or unknown extent) and dtype."""

    name: str
    shape: tuple[int | None, ...] | None  # None: the file does not say
    dtype: np.dtype

    @classmethod
    def from_json(cls, entry: Mapping[str, Any]) -> TensorInfo:
        extents = entry.get("shape")
        try:
            shape = None if extents is None else tuple(None if d is None else int(d) for d in extents)
        except OverflowError:  # JSON's Infinity or 1e400
            raise ValueError(f"{entry.get('name')!r}: shape {extents} has an infinite extent") from None
        return cls(str(entry["name"]), shape, np.dtype(str(entry["dtype"])))


def _shape_text(shape: Sequence[int | None]) -> str:
    return "[" + ", ".join("None" if d is None else str(d) for d in shape) + "]"


def check_feed(signature: Sequence[TensorInfo], feed: Mapping[str, object]) -> list[np.ndarray]:
    """The feed's arrays in the graph's input order, each checked against its declared name, dtype and shape.

    A float32 or int32 array in the other byte order is brought to the
    native one (an exact copy); any other dtype is refused.
    """
    if not isinstance(feed, Mapping):
        raise TypeError(f"input_feed must be a dict of input name -> array, got {type(feed).__name__}")
    names = [info.name for info in signature]
    unknown = [name for name in feed if name not in names]
    if unknown:
        raise ValueError(f"unknown input {unknown[0]!r}; the model's inputs are {names}")
    missing = [name for name in names if name not in feed]
    if missing:
        raise ValueError(f"missing input {missing[0]!r}; the model's inputs are {names}")
    arrays = []
    for info in signature:
        value = feed[info.name]
        if not isinstance(value, np.ndarray):
            raise TypeError(f"input {info.name!r}: expected a numpy array, got {type(value).__name__}")
        native = value.dtype.newbyteorder("=")
        if native not in _FEED_DTYPES or native != info.dtype:
            how = "; the model computes in float32: pass x.astype(np.float32)" if info.dtype == np.float32 else ""
            raise TypeError(f"input {info.name!r}: dtype {value.dtype}, expected {info.dtype}{how}")
        if info.shape is not None and (
            value.ndim != len(info.shape) or any(d is not None and d != n for d, n in zip(info.shape, value.shape))
        ):
            raise ValueError(
                f"input {info.name!r}: shape {_shape_text(value.shape)} does not match "
                f"the declared {_shape_text(info.shape)}"
            )
        if any(n >= _U32_LIMIT for n in value.shape):
            raise ValueError(f"input {info.name!r}: extent of 2**32 or more in shape {_shape_text(value.shape)}")
        arrays.append(value if value.dtype == native else value.astype(native))
    return arrays


def _read_signature(view: mmap.mmap, path: str) -> tuple[object, list[TensorInfo], list[TensorInfo]]:
    """The metadata (parsed JSON, raw text, or None where it is too long to read) and the input and output signature
    of the file mapped in `view`.

    Only the records of the graph's inputs and outputs are read, so the cost does not grow with the tables.
    """
    model = fmt.read_model(view)
    inputs = [_positional(model, "input", i, tid) for i, tid in enumerate(model.graph.inputs)]
    outputs = [_positional(model, "output", i, tid) for i, tid in enumerate(model.graph.outputs)]
    if model.header.metadata_size > fmt.METADATA_MAX_SIZE:
        model.metadata_range()  # refuses metadata past the end of the file
        metadata = None
        warnings.warn(
            f"{path}: the metadata ({model.header.metadata_size} bytes) is longer than {fmt.METADATA_MAX_SIZE} "
            "bytes and was not read; inputs and outputs are named by position",
            stacklevel=4,
        )
    else:
        metadata = fmt.parse_metadata(model.metadata_bytes())
    del model  # releases its views of the mapping before the mapping closes
    if isinstance(metadata, dict):
        try:
            named_in = [TensorInfo.from_json(e) for e in metadata.get("inputs", ())]
            named_out = [TensorInfo.from_json(e) for e in metadata.get("outputs", ())]
        except (KeyError, TypeError, ValueError, AttributeError):
            named_in, named_out = [], []
        # A signature that disagrees with the graph, or repeats a name, is not trusted.
        unique = all(len({i.name for i in side}) == len(side) for side in (named_in, named_out))
        if unique and len(named_in) == len(inputs) and len(named_out) == len(outputs):
            inputs, outputs = named_in, named_out
    return metadata, inputs, outputs


def _pickled_identity(view: mmap.mmap, metadata: object) -> str:
    """A digest of the model in `view`: of its metadata, which holds the certificate's digests of the weights where it
    has one, and otherwise of its graph tables too."""
    model = fmt.read_model(view)
    probe = metadata.get("probe") if isinstance(metadata, dict) else None
    with memoryview(view) as whole:
        start, end = model.metadata_range() if model.header.metadata_size else (0, 0)
        identity = hashlib.sha256(whole[start:end])
        if not (isinstance(probe, dict) and isinstance(probe.get("content"), dict)):
            g = model.header.graph_offset
            identity.update(whole[g : g + fmt.graph_block_size(len(model.tensors), len(model.nodes))])
    del model
    return identity.hexdigest()


def _file_identity(st: os.stat_result) -> tuple[int, ...]:
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns


def _load_one_file(engine: _qen_core.Engine, path: str) -> int:
    """Loads `path` into `engine` and returns a descriptor of the very file the engine loaded.

    The descriptor is opened first and held while the engine opens the path
    again, so its file cannot be freed and its inode reused; the path still
    naming it afterwards means the engine got it too. A file replaced at the
    path meanwhile (a publisher's rename) is loaded again. The loader's own
    errors pass through unchanged; a non-blocking open keeps a FIFO from
    hanging before the loader refuses it.
    """
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
    for _ in range(_LOAD_ATTEMPTS):
        try:
            fd = os.open(path, flags)
        except OSError:
            fd = -1
        try:
            engine.load_model(path)
            if fd >= 0:
                opened = os.fstat(fd)
                try:
                    same = stat.S_ISREG(opened.st_mode) and _file_identity(opened) == _file_identity(os.stat(path))
                except OSError:
                    same = False
                if same:
                    return fd
        except BaseException:
            if fd >= 0:
                os.close(fd)
            raise
        if fd >= 0:
            os.close(fd)
    raise RuntimeError(f"{path} was replaced by another file during each of {_LOAD_ATTEMPTS} attempts to load it")


def _positional(model: fmt.ModelFile, kind: str, index: int, tensor_id: int) -> TensorInfo:
    dtype: np.dtype = np.dtype(np.float32)
    if tensor_id < len(model.tensors) and model.tensors[tensor_id].dtype == fmt.DType.INT32:
        dtype = np.dtype(np.int32)
    return TensorInfo(f"{kind}_{index}", None, dtype)


def _one_input_check(signature: Sequence[TensorInfo]) -> tuple | None:
    """For a model with one input of a declared shape whose extents are all fixed, or all but a
    free first one: its name, dtype, the shape past the first extent (None when the first is fixed)
    and the whole shape (None when the first is free). None for any other model."""
    if len(signature) != 1:
        return None
    info = signature[0]
    shape = info.shape
    if shape is None or any(d is None for d in shape[1:]):
        return None
    free = len(shape) > 0 and shape[0] is None
    # The dtype object that numpy gives native arrays of this type, compared by identity.
    return info.name, np.empty(0, info.dtype).dtype, tuple(shape[1:]) if free else None, None if free else shape


def _declared_input(metadata: object, inputs: list[TensorInfo]) -> TensorInfo | None:
    """The first input's "input_shape" [None, d1, d2, ...] from the metadata, where it flattens to the graph's."""
    shape = metadata.get("input_shape") if isinstance(metadata, dict) else None
    graph_shape = inputs[0].shape if inputs else None
    if graph_shape is None or len(graph_shape) != 2 or not isinstance(shape, list):
        return None
    if len(shape) < 3 or shape[0] is not None or not all(type(d) is int and d > 0 for d in shape[1:]):
        return None
    if int(np.prod(shape[1:])) != graph_shape[1]:
        return None
    return TensorInfo(inputs[0].name, tuple(shape), inputs[0].dtype)


def _flatten_declared(declared: TensorInfo, feed: Mapping[str, Any]) -> Mapping[str, Any]:
    """The feed with an input of the declared shape reshaped to the graph's [N, features].

    A C-contiguous array becomes a view of itself (no copy); another layout is copied once, as the
    engine would copy it.
    """
    value = feed.get(declared.name) if isinstance(feed, Mapping) else None
    if not isinstance(value, np.ndarray) or value.ndim == 2:
        return feed  # the flat form, or something that the checks of the feed refuse
    shape = declared.shape or ()
    width = math.prod(d or 0 for d in shape[1:])  # the graph's feature count, by the declaration's construction
    if value.shape[1:] != shape[1:]:
        raise ValueError(
            f"input {declared.name!r}: shape {_shape_text(value.shape)} does not match the declared "
            f"{_shape_text(shape)} (or its flat form [None, {width}])"
        )
    feed = dict(feed)
    feed[declared.name] = value.reshape(len(value), width)
    return feed


def file_state(path: str) -> tuple[int, ...] | None:
    """The file's device, inode, size and modification time, which change when `path` is rewritten or
    replaced; None when it cannot be read."""
    try:
        return _file_identity(os.stat(path))
    except OSError:
        return None


def _engine(threads: int) -> _qen_core.Engine:
    if not isinstance(threads, int) or isinstance(threads, bool) or threads < 0:
        raise ValueError(f"threads must be a non-negative integer (0: every core), got {threads!r}")
    return _qen_core.Engine(threads=threads)


class Session:
    """One model file, loaded into an engine and run by input and output names.

    `path` is a model file, kept as an absolute path; `threads` is how many
    threads each run computes on (1, the default: the calling thread alone;
    0: every core). A pickled Session reopens its path and checks that the
    file there is the same model.
    """

    def __init__(self, path: str | os.PathLike, threads: int = 1) -> None:
        path = os.fspath(path)
        if not isinstance(path, str):
            raise TypeError(f"path must be a str or os.PathLike of str, got {type(path).__name__}")
        self.path = os.path.abspath(path)
        self.threads = threads
        self._engine = _engine(threads)
        # The weights, the signature and the metadata all come from one file, whatever the path names meanwhile.
        # The mapping stays for the model's identity, taken only when the Session is pickled.
        fd = _load_one_file(self._engine, path)
        try:
            self._file_state: tuple[int, ...] | None = _file_identity(os.fstat(fd))
            self._view = mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
        finally:
            os.close(fd)
        self.metadata, self._inputs, self._outputs = _read_signature(self._view, path)
        self._output_index = {info.name: i for i, info in enumerate(self._outputs)}
        self._one_input = _one_input_check(self._inputs)
        self._declared = _declared_input(self.metadata, self._inputs)

    def get_inputs(self) -> list[TensorInfo]:
        """The graph's inputs; one whose first step flattens shows the shape it was converted from."""
        if self._declared is None:
            return list(self._inputs)
        return [self._declared] + self._inputs[1:]

    def get_outputs(self) -> list[TensorInfo]:
        """The graph's outputs: name, shape (None where free or unknown) and dtype."""
        return list(self._outputs)

    def run(self, output_names: Sequence[str] | None, input_feed: Mapping[str, Any]) -> list[np.ndarray]:
        """The outputs named in `output_names` (all of them for None), in that order.

        `input_feed` maps every input name to a numpy array of its dtype and
        shape (float32 or int32, either byte order); an input declared as
        [N, d1, d2, ...] is taken in that shape or flat as [N, d1 * d2 * ...].
        The computation runs on the session's `threads`.
        """
        # The common call, every output of a one-input model from a native array
        # of the declared dtype and shape, checked in a few comparisons; any
        # other call takes the full check below, which also words the errors.
        one = self._one_input
        if one is not None and output_names is None and type(input_feed) is dict and len(input_feed) == 1:
            name, dtype, batch_tail, whole = one
            value = input_feed.get(name)
            if type(value) is np.ndarray and value.dtype is dtype:
                shape = value.shape
                if shape == whole or (shape[1:] == batch_tail and len(shape) > 0 and shape[0] < _U32_LIMIT):
                    # None stands only for an output that no node produces, which no file this package writes has.
                    return self._engine.run([value])  # type: ignore[return-value]
        if self._declared is not None:
            input_feed = _flatten_declared(self._declared, input_feed)
        if output_names is None:
            picks = list(range(len(self._outputs)))
        else:
            if isinstance(output_names, str):
                raise TypeError("output_names is a list of names or None, not a str")
            unknown = [n for n in output_names if n not in self._output_index]
            if unknown:
                raise ValueError(f"unknown output {unknown[0]!r}; the model's outputs are {list(self._output_index)}")
            picks = [self._output_index[n] for n in output_names]
        # The arrays stay referenced here until the engine has returned.
        arrays = check_feed(self._inputs, input_feed)
        results = self._engine.run(arrays)
        return [results[i] for i in picks]  # type: ignore[misc]

    def run_with_receipt(
        self, output_names: Sequence[str] | None, input_feed: Mapping[str, np.ndarray]
    ) -> tuple[list[np.ndarray], dict]:
        """`run`, and a receipt that binds the model, the inputs and the outputs (see `qen.receipt`).

        `qen.replay` checks the receipt on any machine; the model's identity
        is computed on the first call and kept for the session.
        """
        from .receipt import make_receipt

        outputs = self.run(output_names, input_feed)
        names = [info.name for info in self._outputs] if output_names is None else list(output_names)
        inputs = {info.name: input_feed[info.name] for info in self._inputs}
        return outputs, make_receipt(self._identity, inputs, dict(zip(names, outputs)), self.threads)

    @functools.cached_property
    def _identity(self) -> dict:
        from .receipt import session_identity

        return session_identity(self)

    def __call__(self, *arrays: np.ndarray) -> np.ndarray | tuple[np.ndarray, ...]:
        """Positional inputs in the graph's order, each as `run` takes it; one array, or a tuple for several outputs."""
        if len(arrays) != len(self._inputs):
            raise TypeError(
                f"the model takes {len(self._inputs)} input(s) {[i.name for i in self._inputs]}, got {len(arrays)}"
            )
        results = self.run(None, {info.name: a for info, a in zip(self._inputs, arrays)})
        return results[0] if len(results) == 1 else tuple(results)

    def __reduce__(self):
        # Reopened by absolute path, so a worker with another working directory finds the file.
        return _reopen, (self.path, self.threads, _pickled_identity(self._view, self.metadata))

    def __repr__(self) -> str:
        return f"Session({self.path!r}, inputs={[i.name for i in self._inputs]}, outputs={list(self._output_index)})"


def _reopen(path: str, threads: int, identity: str | None = None) -> Session:
    session = Session(path, threads)
    if identity is not None and _pickled_identity(session._view, session.metadata) != identity:
        raise ValueError(f"{path}: the file there is not the model that was pickled (it was changed or replaced since)")
    return session


def load(path: str | os.PathLike, *, threads: int = 1) -> Session:
    """Opens the model file at `path` (a str or os.PathLike) for running on `threads` threads.

    `threads` is a non-negative int: 1 (the default) computes on the calling
    thread alone, 0 on every core. The returned `Session` runs the model by
    input and output names (`run`) or positionally (calling it). The
    runtime's loader errors (RuntimeError) pass through unchanged.
    """
    return Session(path, threads)
