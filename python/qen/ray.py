"""Batch scoring of Ray Data datasets with a QEN model.

`BatchScorer` is the callable class for `Dataset.map_batches`: Ray builds one
instance per worker actor from the model path, and each instance maps the file
read-only, so all workers on a machine share one copy of the weights in the
page cache instead of holding one private copy each. The scorer needs only a
`Session` and numpy; `score` wires it into a dataset and is the one place that
imports Ray, which is the optional extra `qen-runtime[ray]`.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING

import numpy as np

from .session import load

if TYPE_CHECKING:
    from ray.data import Dataset

__all__ = ["BatchScorer", "score"]


class BatchScorer:
    """Scores batches in Ray's numpy format (a dict of column name -> array).

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
    is a column of k-vectors); the batch's own columns are kept.
    """

    def __init__(
        self,
        model_path: str | os.PathLike[str],
        *,
        threads: int = 1,
        inputs: Mapping[str, str | Sequence[str]] | None = None,
    ) -> None:
        self.session = load(model_path, threads=threads)
        self._dtypes = {item.name: item.dtype for item in self.session.get_inputs()}
        self._columns = _columns_of(list(self._dtypes), inputs or {})
        self.outputs = [item.name for item in self.session.get_outputs()]  # the columns it adds

    def __call__(self, batch: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
        for name in self.outputs:
            if name in batch:
                raise ValueError(
                    f"graph output {name!r} would replace the batch's column {name!r}; rename that column first"
                )
        feed = {
            graph_input: _input_from(batch, graph_input, columns, self._dtypes[graph_input])
            for graph_input, columns in self._columns.items()
        }
        scored = dict(batch)
        scored.update(zip(self.outputs, self.session.run(self.outputs, feed)))
        return scored


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
    model_path: str | os.PathLike[str],
    *,
    workers: int,
    min_workers: int = 1,
    threads: int = 1,
    inputs: Mapping[str, str | Sequence[str]] | None = None,
    batch_size: int = 4096,
    scorer: type[BatchScorer] = BatchScorer,
) -> Dataset:
    """Returns `dataset` with the model's outputs added as columns (lazily, as Ray Data does).

    Runs a pool of `min_workers` to `workers` actors, each a `scorer` (a
    `BatchScorer` or a subclass of it) that reserves `threads` CPUs. The pool
    starts small and grows, because a pool that took every CPU at the start
    would leave none to the tasks that read the dataset and wait for them
    forever. A relative `model_path` is made absolute here, on the driver;
    every worker must find the file at that path.
    """
    try:
        from ray.data import ActorPoolStrategy
    except ImportError as error:
        raise ImportError("qen.ray.score needs Ray Data: pip install qen-runtime[ray]") from error
    return dataset.map_batches(
        scorer,
        fn_constructor_args=(os.path.abspath(model_path),),
        fn_constructor_kwargs={"threads": threads, "inputs": dict(inputs or {})},
        compute=ActorPoolStrategy(min_size=min_workers, max_size=workers),
        num_cpus=threads,
        batch_format="numpy",
        batch_size=batch_size,
    )
