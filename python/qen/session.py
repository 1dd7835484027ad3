"""Runs a model file by name: `qen.load(path) -> Session`.

A `Session` owns one `_qen_core.Engine` and the graph's signature (input and
output names, shapes, dtypes) taken from the file's JSON metadata. It checks
every feed against that signature before the engine sees it, since the engine
binds inputs by position only and would read a missing one from an earlier
run. Files without a signature in their metadata (other producers) load with
inputs and outputs named by position: input_0, ..., output_0, ...
"""

from __future__ import annotations

import functools
import math
import mmap
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, cast

import numpy as np

import _qen_core

from . import format as fmt

__all__ = ["Session", "TensorInfo", "load", "check_feed", "file_state"]

_FEED_DTYPES = (np.dtype(np.float32), np.dtype(np.int32))
_U32_LIMIT = 2**32


@dataclass(frozen=True)
class TensorInfo:
    """A graph input or output: name, shape (None for a free or unknown extent) and dtype."""

    name: str
    shape: tuple[int | None, ...] | None  # None: the file does not say
    dtype: np.dtype

    @classmethod
    def from_json(cls, entry: Mapping[str, Any]) -> TensorInfo:
        extents = entry.get("shape")
        shape = None if extents is None else tuple(None if d is None else int(d) for d in extents)
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
            raise TypeError(f"input {info.name!r}: dtype {value.dtype}, expected {info.dtype}")
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


def _read_signature(path: str) -> tuple[object, list[TensorInfo], list[TensorInfo]]:
    """The file's metadata (parsed JSON or raw text) and its input and output signature."""
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
        model = fmt.read_model(view)
        raw = model.metadata_bytes()
        inputs = [_positional(model, "input", i, tid) for i, tid in enumerate(model.graph.inputs)]
        outputs = [_positional(model, "output", i, tid) for i, tid in enumerate(model.graph.outputs)]
        del model  # releases its views of the mapping before the mapping closes
    metadata = fmt.parse_metadata(raw)
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
        s = os.stat(path)
    except OSError:
        return None
    return s.st_dev, s.st_ino, s.st_size, s.st_mtime_ns


def _present(results: list[np.ndarray | None]) -> list[np.ndarray]:
    # None stands only for an output that no node produces, which no file this package writes has.
    return cast(list[np.ndarray], results)


def _engine(threads: int) -> _qen_core.Engine:
    if not isinstance(threads, int) or isinstance(threads, bool) or threads < 0:
        raise ValueError(f"threads must be a non-negative integer (0: every core), got {threads!r}")
    return _qen_core.Engine(threads=threads)


class Session:
    """One model file, loaded into an engine and run by input and output names.

    `path` is a model file; `threads` is how many threads each run computes
    on (1, the default: the calling thread alone; 0: every core).
    """

    def __init__(self, path: str | os.PathLike, threads: int = 1) -> None:
        self.path = os.fspath(path)
        if not isinstance(self.path, str):
            raise TypeError(f"path must be a str or os.PathLike of str, got {type(path).__name__}")
        self.threads = threads
        self._engine = _engine(threads)
        self._file_state = file_state(self.path)  # taken first: a file replaced after it shows as changed
        self._engine.load_model(self.path)
        self.metadata, self._inputs, self._outputs = _read_signature(self.path)
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
                    return _present(self._engine.run([value]))
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
        results = _present(self._engine.run(arrays))
        return [results[i] for i in picks]

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
        return _reopen, (os.path.abspath(self.path), self.threads)

    def __repr__(self) -> str:
        return f"Session({self.path!r}, inputs={[i.name for i in self._inputs]}, outputs={list(self._output_index)})"


def _reopen(path: str, threads: int) -> Session:
    return Session(path, threads)


def load(path: str | os.PathLike, *, threads: int = 1) -> Session:
    """Opens the model file at `path` (a str or os.PathLike) for running on `threads` threads.

    `threads` is a non-negative int: 1 (the default) computes on the calling
    thread alone, 0 on every core. The returned `Session` runs the model by
    input and output names (`run`) or positionally (calling it). The
    runtime's loader errors (RuntimeError) pass through unchanged.
    """
    return Session(path, threads)
