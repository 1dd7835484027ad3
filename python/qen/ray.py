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
from collections.abc import Mapping
from typing import TYPE_CHECKING

import numpy as np

from .session import load

if TYPE_CHECKING:
    from ray.data import Dataset

__all__ = ["BatchScorer", "score"]


class BatchScorer:
    """Scores batches in Ray's numpy format (a dict of column name -> array).

    Each graph input is read from the column of the same name, or from the
    column that `inputs` (column name -> graph input name) maps to it. Every
    graph output is added to the batch as a new column named after the output;
    the batch's own columns are kept.
    """

    def __init__(self, model_path: str | os.PathLike[str], *, threads: int = 1,
                 inputs: Mapping[str, str] | None = None) -> None:
        self.session = load(model_path, threads=threads)
        graph_inputs = [item.name for item in self.session.get_inputs()]
        self._columns = _columns_of(graph_inputs, inputs or {})
        self.outputs = [item.name for item in self.session.get_outputs()]  # the columns it adds

    def __call__(self, batch: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
        feed = {}
        for graph_input, column in self._columns.items():
            if column not in batch:
                raise ValueError(f"the batch has no column {column!r} for graph input {graph_input!r}; "
                                 f"its columns are {sorted(batch)}")
            feed[graph_input] = batch[column]
        for name in self.outputs:
            if name in batch:
                raise ValueError(f"graph output {name!r} would replace the batch's column {name!r}; "
                                 "rename that column first")
        scored = dict(batch)
        scored.update(zip(self.outputs, self.session.run(self.outputs, feed)))
        return scored


def _columns_of(graph_inputs: list[str], inputs: Mapping[str, str]) -> dict[str, str]:
    """Maps each graph input to the column it is read from."""
    if not isinstance(inputs, Mapping) or not all(isinstance(k, str) and isinstance(v, str)
                                                  for k, v in inputs.items()):
        raise TypeError("inputs must map column names (str) to graph input names (str)")
    columns = {name: name for name in graph_inputs}
    fed = set()
    for column, graph_input in inputs.items():
        if graph_input not in columns:
            raise ValueError(f"inputs maps column {column!r} to {graph_input!r}, which is not a graph input; "
                             f"the graph's inputs are {graph_inputs}")
        if graph_input in fed:
            raise ValueError(f"inputs maps more than one column to graph input {graph_input!r}")
        fed.add(graph_input)
        columns[graph_input] = column
    return columns


def score(dataset: Dataset, model_path: str | os.PathLike[str], *, workers: int, min_workers: int = 1,
          threads: int = 1, inputs: Mapping[str, str] | None = None, batch_size: int = 4096,
          scorer: type[BatchScorer] = BatchScorer) -> Dataset:
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
