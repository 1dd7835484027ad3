"""Batch scoring of Ray Data datasets with a QEN model.

`score` reads the model once, on the driver, from a local path or from a URI
that `pyarrow.fs` understands (s3://, gs://, hdfs://, file://), and puts its
bytes in Ray's object store. On each node the first worker writes them to a
node-local cache file named after their SHA-256: written beside it, checked
(it loads, and its certificate's digests of the weights hold, where it has
one) and renamed into place, while the node's other workers wait for it. All
workers on a node then map that one file read-only, so the weights are held
once per machine, in the page cache. Every worker checks its node's copy
against the driver's digest before it scores. A node needs nothing but the
package: not the driver's path, a shared filesystem or the store's
credentials.

`BatchScorer` is the callable class for `Dataset.map_batches`; it needs only
a `Session` and numpy, and Ray only to fetch what `score` shipped. `score`
wires it into a dataset; Ray is the optional extra `qen-runtime[ray]`.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import socket
import tempfile
import urllib.parse
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from .probe import _changed, content_digests, file_sha256, metadata_digest, verify
from .session import Session, load

if TYPE_CHECKING:
    from pyarrow.fs import FileSystem
    from ray.data import Dataset

__all__ = ["BatchScorer", "ShippedModel", "score"]

# Where a URI's host part names a bucket, which is part of the path a filesystem object takes.
_BUCKET_SCHEMES = ("s3", "gs", "gcs")


@dataclass(frozen=True)
class ShippedModel:
    """A model file's bytes in Ray's object store, as `score` hands them to each `BatchScorer`.

    `source` is the path or URI they were read from (for messages), `sha256`
    their hex digest, `data` the object reference of the bytes.
    """

    source: str
    sha256: str
    data: Any


class BatchScorer:
    """Scores batches in Ray's numpy format (a dict of column name -> array).

    `model` is a local path (mapped where it stands), a URI that `pyarrow.fs`
    opens (read by each scorer and cached on its node as `score` does, with
    `filesystem` for the store's endpoint and credentials where given), or
    the `ShippedModel` that `score` passes. A model that cannot be loaded is
    refused with a message naming the node, the path and the reason.

    Each graph input is built from what a table holds:
    - one column, the one of the input's name or the one that `inputs` maps
      to it (column name -> graph input name): a 2-D array [rows, features],
      or an array of per-row vectors of one length (Ray's form of an Arrow
      list or fixed-size-list column), which are stacked;
    - several scalar columns in order, `inputs={"input": ["age", "income"]}`
      (graph input name -> column names): row i is their i-th values.
    Numeric columns are cast to the input's declared dtype: a table's float64
    becomes float32, the model's input contract (every input is float32 to
    the kernels, so the cast is the one rounding of the data). Strings, ragged
    vectors, a float column for an int32 input and a missing column are
    refused with a message naming the column. Every graph output is added to
    the batch as one new column named after the output (an output [rows, k]
    is a column of k-vectors) beside the batch's columns that `keep_columns`
    keeps: True all (the default), False none, or a list of column names.
    `verify=True` also reruns the file's certificate probe (as `qen verify`
    does) and refuses a model whose output bits on it are not the producer's.
    """

    def __init__(
        self,
        model: str | os.PathLike[str] | ShippedModel,
        *,
        threads: int = 1,
        inputs: Mapping[str, str | Sequence[str]] | None = None,
        keep_columns: bool | Sequence[str] = True,
        verify: bool = False,
        filesystem: FileSystem | None = None,
    ) -> None:
        self._keep = _kept(keep_columns)
        if isinstance(model, ShippedModel):
            self.source, path = model.source, _node_copy(model)
        else:
            self.source = path = os.fspath(model)
            if filesystem is not None or "://" in path:
                data = _read(path, filesystem)
                path = _node_copy(ShippedModel(path, hashlib.sha256(data).hexdigest(), None), data)
        self.session = _load(path, self.source, threads)
        if verify:
            _reproduce(self.session, self.source)
        self._dtypes = {item.name: item.dtype for item in self.session.get_inputs()}
        self._columns = _columns_of(list(self._dtypes), inputs or {})
        self.outputs = [item.name for item in self.session.get_outputs()]  # the columns it adds

    def __call__(self, batch: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
        scored = dict(batch) if self._keep is True else {c: _kept_column(batch, c) for c in self._keep or ()}
        for name in self.outputs:
            if name in scored:
                raise ValueError(
                    f"graph output {name!r} would replace the batch's column {name!r}; rename that column first"
                )
        feed = {
            graph_input: _input_from(batch, graph_input, columns, self._dtypes[graph_input])
            for graph_input, columns in self._columns.items()
        }
        scored.update(zip(self.outputs, self.session.run(self.outputs, feed)))
        return scored


def _kept(keep_columns: object) -> bool | tuple[str, ...]:
    if isinstance(keep_columns, bool):
        return keep_columns
    if isinstance(keep_columns, (list, tuple)) and all(isinstance(c, str) for c in keep_columns):
        return tuple(keep_columns)
    raise TypeError(
        f"keep_columns is True (every column), False (none) or a list of column names, got {keep_columns!r}"
    )


def _kept_column(batch: Mapping[str, np.ndarray], column: str) -> np.ndarray:
    if column not in batch:
        raise ValueError(f"keep_columns names {column!r}, which the batch lacks; its columns are {sorted(batch)}")
    return batch[column]


def _node() -> str:
    """This machine as an error names it: its Ray node's IP address and ID, or its host name outside Ray."""
    try:
        import ray
    except ImportError:
        ray = None
    if ray is not None and ray.is_initialized():
        return f"node {ray.util.get_node_ip_address()} ({ray.get_runtime_context().get_node_id()})"
    return f"host {socket.gethostname()}"


def _read(source: str, filesystem: FileSystem | None) -> bytes:
    """The bytes of the file at a local path, or at a URI (a path of `filesystem` where one is given)."""
    if filesystem is None and "://" not in source:
        with open(source, "rb") as f:
            return f.read()
    try:
        from pyarrow import fs
    except ImportError as error:
        raise ImportError("reading a model from a URI needs pyarrow: pip install qen-runtime[ray]") from error
    if filesystem is None:
        filesystem, path = fs.FileSystem.from_uri(source)
    elif "://" in source:  # the filesystem object holds the endpoint; its paths start at the bucket or the root
        parts = urllib.parse.urlsplit(source)
        path = parts.netloc + parts.path if parts.scheme in _BUCKET_SCHEMES else parts.path
    else:
        path = source
    with filesystem.open_input_stream(path) as stream:
        return stream.read()


def _node_copy(model: ShippedModel, data: bytes | None = None) -> str:
    """The path of this node's copy of the model, written first if the node has none, checked against its digest.

    The copy is named after its SHA-256 in a folder of the user's own under the
    node's temporary directory. The first worker of a node writes it; the others
    wait on a lock of the folder and then find it.
    """
    folder = os.path.join(tempfile.gettempdir(), "qen-models" + (f"-{os.getuid()}" if hasattr(os, "getuid") else ""))
    path = os.path.join(folder, model.sha256 + ".qen")
    try:
        if not os.path.exists(path):
            os.makedirs(folder, mode=0o700, exist_ok=True)
            with _locked(folder):
                if not os.path.exists(path):
                    _write_checked(path, _fetch(model) if data is None else data, model.source)
        actual = file_sha256(path)
    except OSError as error:
        raise _cannot_load(model.source, path, error) from error
    if actual != model.sha256:
        raise RuntimeError(
            f"{_node()}: its copy of the model {model.source} at {path} has SHA-256 {actual}, but the model's is "
            f"{model.sha256}: the copy changed after it was written; remove it to have it written again"
        )
    return path


def _fetch(model: ShippedModel) -> bytes:
    import ray

    return ray.get(model.data)


@contextlib.contextmanager
def _locked(folder: str) -> Iterator[None]:
    """Holds an exclusive lock on `folder` where the OS has flock; elsewhere the rename alone keeps copies whole."""
    try:
        import fcntl
    except ImportError:
        yield
        return
    descriptor = os.open(folder, os.O_RDONLY)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield
    finally:
        os.close(descriptor)  # releases the lock


def _write_checked(path: str, data: bytes, source: str) -> None:
    """Writes `data` beside `path`, checks that it is a model whose certified digests hold, and renames it to `path`."""
    descriptor, part = tempfile.mkstemp(dir=os.path.dirname(path), suffix=".part")
    try:
        with os.fdopen(descriptor, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        try:
            metadata = load(part).metadata
        except RuntimeError as error:
            raise ValueError(f"{source} is not a model file this runtime loads: {error}") from error
        metadata = metadata if isinstance(metadata, dict) else {}
        probe = metadata.get("probe")
        content = probe.get("content") if isinstance(probe, dict) else None
        if content is not None:  # the certificate's digests: the integrity part of `qen verify`, no model run
            changed = _changed(content, content_digests(part))
            if changed:
                raise ValueError(
                    f"{source}: the file's weights are not the producer's: {changed} changed since it was certified"
                )
            if content.get("metadata") not in (None, metadata_digest(metadata)):
                raise ValueError(f"{source}: the file's metadata changed since it was certified")
        os.replace(part, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(part)
        raise


def _load(path: str, source: str, threads: int) -> Session:
    try:
        with open(path, "rb"):  # the OS's reason where the file cannot be read; the loader's message has none
            pass
        return load(path, threads=threads)
    except (OSError, RuntimeError) as error:
        raise _cannot_load(source, path, error) from error


def _cannot_load(source: str, path: str, error: Exception) -> RuntimeError:
    if isinstance(error, OSError) and error.strerror:
        path, reason = error.filename or path, error.strerror
    else:
        reason = str(error)
    return RuntimeError(f"{_node()} cannot load the model {source}: {path}: {reason}")


def _reproduce(session: Session, source: str) -> None:
    result = verify(session.path, threads=session.threads)
    if not result.reproduced:
        raise ValueError(f"{_node()}: the model {source} does not verify: {result.message}")


def _input_from(
    batch: Mapping[str, np.ndarray], graph_input: str, columns: str | tuple[str, ...], dtype: np.dtype
) -> np.ndarray:
    """The array for one graph input: one column as it stands, or scalar columns side by side."""
    if isinstance(columns, str):
        return _numeric(columns, _column(batch, graph_input, columns), dtype)
    values = [_numeric(c, _column(batch, graph_input, c), dtype) for c in columns]
    for column, array in zip(columns, values):
        if array.ndim != 1:
            raise ValueError(
                f"column {column!r}: graph input {graph_input!r} is built from scalar columns, "
                f"but it holds values of shape {list(array.shape[1:])} per row"
            )
    return np.stack(values, axis=1)


def _column(batch: Mapping[str, np.ndarray], graph_input: str, column: str) -> np.ndarray:
    if column not in batch:
        raise ValueError(
            f"the batch has no column {column!r} for graph input {graph_input!r}; its columns are {sorted(batch)}"
        )
    return np.asarray(batch[column])


def _numeric(column: str, array: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """The column's numbers cast to `dtype`; a column of per-row vectors is stacked first.

    A cast that would take a finite value out of `dtype`'s range (a float64 beyond float32's, an int64 beyond
    int32's) is refused: it would give infinities, then NaN outputs, or wrapped integers.
    """
    if array.dtype == object and array.ndim > 1:  # numbers held as objects, such as a 2-D table's
        array = np.array(array.tolist())
    if array.dtype == object:
        rows = [np.asarray(v) for v in array]
        lengths = {r.shape for r in rows}
        if len(lengths) > 1:
            raise ValueError(
                f"column {column!r} holds vectors of different shapes "
                f"({', '.join(str(list(s)) for s in sorted(lengths)[:3])}); a graph input needs one"
            )
        if any(r.dtype.kind not in "iuf" for r in rows):
            kind = next(r.dtype for r in rows if r.dtype.kind not in "iuf")
            raise TypeError(f"column {column!r} holds {kind} values, not numbers")
        array = np.stack(rows) if rows else array.astype(dtype)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"column {column!r} holds {array.dtype} values, not numbers")
    if not np.can_cast(array.dtype, dtype, "same_kind"):
        raise TypeError(f"column {column!r} holds {array.dtype} values; its graph input takes {dtype}")
    with np.errstate(over="ignore", invalid="ignore"):  # an overflow is found and reported below
        cast = array.astype(dtype, copy=False)
    if cast is not array:
        lost = np.isinf(cast) & np.isfinite(array) if dtype.kind == "f" else cast != array
        if lost.any():
            raise ValueError(f"column {column!r}: {array[lost][0]} is beyond the range of its graph input's {dtype}")
    return cast


def _columns_of(graph_inputs: list[str], inputs: Mapping[str, str | Sequence[str]]) -> dict[str, str | tuple[str, ...]]:
    """Maps each graph input to the column, or the scalar columns in order, it is built from."""
    if not isinstance(inputs, Mapping) or not all(
        isinstance(k, str)
        and (isinstance(v, str) or (isinstance(v, (list, tuple)) and v and all(isinstance(c, str) for c in v)))
        for k, v in inputs.items()
    ):
        raise TypeError(
            "inputs must map column names (str) to graph input names (str), "
            "or graph input names to lists of column names"
        )
    columns: dict[str, str | tuple[str, ...]] = {name: name for name in graph_inputs}
    fed = set()
    for key, value in inputs.items():
        graph_input, source = (value, key) if isinstance(value, str) else (key, tuple(value))
        if graph_input not in columns:
            raise ValueError(
                f"inputs feeds {graph_input!r} from {source!r}, but {graph_input!r} is not a graph "
                f"input; the graph's inputs are {graph_inputs}"
            )
        if graph_input in fed:
            raise ValueError(f"inputs maps more than one column to graph input {graph_input!r}")
        fed.add(graph_input)
        columns[graph_input] = source
    return columns


def score(
    dataset: Dataset,
    model: str | os.PathLike[str],
    *,
    workers: int,
    min_workers: int = 1,
    threads: int = 1,
    inputs: Mapping[str, str | Sequence[str]] | None = None,
    batch_size: int = 4096,
    keep_columns: bool | Sequence[str] = True,
    verify: bool = False,
    filesystem: FileSystem | None = None,
    scorer: type[BatchScorer] = BatchScorer,
) -> Dataset:
    """Returns `dataset` with the model's outputs added as columns (lazily, as Ray Data does).

    `model` is a local path or a URI that `pyarrow.fs` opens (`filesystem`: a
    `pyarrow.fs.FileSystem` with the store's endpoint and credentials). It is
    read here, once, and loaded on this machine, so a path that does not
    exist, a file that is not a model and `inputs` or `keep_columns` that do
    not fit it fail here, at once. Its bytes reach the workers through Ray's
    object store; no worker needs the path.

    Runs a pool of `min_workers` to `workers` actors, each a `scorer` (a
    `BatchScorer` or a subclass of it, built with the `ShippedModel` and the
    keyword arguments) that reserves `threads` CPUs. The pool starts with
    `min_workers` actors, and Ray Data adds one only while blocks wait for
    them and CPUs are free, which on a small cluster whose CPUs the tasks that
    read the dataset hold may be never: the default 1 can score a whole job on
    one node. `min_workers=workers` starts every actor at once, spread over
    the nodes; it suits rows already in the object store, but a pool that
    took every CPU would leave none to the tasks that read the dataset, and
    wait for them forever.
    """
    try:
        import ray
        from ray.data import ActorPoolStrategy
    except ImportError as error:
        raise ImportError("qen.ray.score needs Ray Data: pip install qen-runtime[ray]") from error
    source = os.fspath(model)
    data = _read(source, filesystem)
    shipped = ShippedModel(source, hashlib.sha256(data).hexdigest(), ray.put(data))
    kwargs: dict[str, Any] = {
        "threads": threads,
        "inputs": dict(inputs or {}),
        "keep_columns": keep_columns,
        "verify": verify,
    }
    BatchScorer(shipped, **kwargs)  # writes and checks this node's copy, and the arguments against the model
    return dataset.map_batches(
        scorer,
        fn_constructor_args=(shipped,),
        fn_constructor_kwargs=kwargs,
        compute=ActorPoolStrategy(min_size=min_workers, max_size=workers),
        num_cpus=threads,
        batch_format="numpy",
        batch_size=batch_size,
    )
