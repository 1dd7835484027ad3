"""The steps every converter shares: importing its framework, writing the file, checking it.

A converter maps its source onto a chain of `Layer`s and hands it to
`write_checked` together with a function that runs the source on a batch.
The file is written beside the target first, run on the probe and compared
with the source; only a file that agrees replaces the target, so a failed
conversion leaves whatever was at the target untouched.
"""

from __future__ import annotations

import importlib
import math
import os
import tempfile
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from types import ModuleType

import numpy as np

from ..probe import PROBE_ROWS, probe_input
from ..session import load
from ..writer import Layer, write_sequential

__all__ = [
    "PROBE_ROWS",
    "AffineFolding",
    "import_framework",
    "json_values",
    "make_probe",
    "require_operations",
    "write_checked",
]

_EPS = float(np.finfo(np.float32).eps)


def import_framework(module: str, extra: str, converter: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"{converter} needs {module}: pip install qen-runtime[{extra}]") from error


def require_operations(converter: str, layers: Sequence[Layer]) -> None:
    if not layers:
        raise ValueError(
            f"{converter}: the model computes nothing (no layer but no-ops); a model file needs at least one operation"
        )


class AffineFolding:
    """Per-feature affine steps (x * scale + shift: a scaler, an eval-mode batch norm) folded into a Linear.

    A step right after a Linear (no-ops aside) folds into its output: W' =
    scale[:, None] * W, b' = scale * b + shift. Any other step waits and folds
    into the input of the next Linear: W' = W * scale, b' = b + W @ shift.
    The products are taken in float64 and rounded once to float32; they round
    differently from the source's two steps, which the agreement check
    judges as it judges every conversion.
    """

    def __init__(self, layers: list[Layer], tensors: dict[str, np.ndarray]) -> None:
        self.layers, self.tensors = layers, tensors
        self.pending: tuple[str, np.ndarray, np.ndarray] | None = None  # (label, scale, shift)
        self.after_linear = False  # whether the last step taken was a Linear

    def activation(self) -> None:
        """Notes an activation: what follows no longer folds into the Linear before it (no-ops do not count)."""
        self.after_linear = False

    def affine(self, label: str, scale: np.ndarray, shift: np.ndarray, width: int | None) -> None:
        """Takes x * scale + shift; `scale` and `shift` are per feature or single values, `width` the
        features of the value it applies to (None: not known yet)."""
        if self.after_linear:
            width = len(self.tensors[self.layers[-1].parameters[1]])
        scale, shift = (_per_feature(label, a, width) for a in (scale, shift))
        if len(scale) != len(shift):
            scale, shift = np.broadcast_arrays(scale, shift)
        if self.after_linear:
            weight_name, bias_name = self.layers[-1].parameters
            weight, bias = (self.tensors[n].astype(np.float64) for n in (weight_name, bias_name))
            self.tensors[weight_name] = (scale[:, None] * weight).astype(np.float32)
            self.tensors[bias_name] = (scale * bias + shift).astype(np.float32)
        elif self.pending is None:
            self.pending = (label, scale, shift)
        else:  # two steps in a row compose: s2 * (s1 * x + t1) + t2
            first, s1, t1 = self.pending
            self.pending = (first, s1 * scale, t1 * scale + shift)

    def linear(self, label: str, weight: np.ndarray, bias: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The Linear's weight [N, K] and bias [N] with any waiting step folded into its input."""
        self.after_linear = True
        if self.pending is None:
            return weight, bias
        first, scale, shift = self.pending
        self.pending = None
        scale, shift = (_per_feature(first, a, weight.shape[1]) for a in (scale, shift))
        weight = weight.astype(np.float64)
        return (weight * scale).astype(np.float32), (bias.astype(np.float64) + weight @ shift).astype(np.float32)

    def finish(self) -> None:
        if self.pending is not None:
            raise ValueError(
                f"{self.pending[0]}: no Linear before or after it to fold into; "
                "an affine step maps only next to a Linear"
            )


def _per_feature(label: str, values, width: int | None) -> np.ndarray:
    """`values` as float64 [width]: a single value is repeated; any other length must be `width`."""
    values = np.asarray(values, np.float64).reshape(-1)
    if width is None or len(values) == width:
        return values
    if len(values) != 1:
        raise ValueError(f"{label}: has {len(values)} features, its input has {width}")
    return np.full(width, values[0])


def json_values(values) -> list:
    """Class labels or feature names as JSON values: bytes decoded, str, int, float and bool kept, else str."""
    items = (v.decode() if isinstance(v, bytes) else v for v in np.asarray(values).reshape(-1).tolist())
    return [v if isinstance(v, (str, int, float, bool)) else str(v) for v in items]


def make_probe(features: int, sample: np.ndarray | None = None, *, rows: int = PROBE_ROWS) -> np.ndarray:
    """The probe batch [rows, features]: the first rows of `sample` (flattened), or seeded normal values."""
    if sample is None:
        return probe_input((rows, features))
    sample = np.asarray(sample)
    if sample.ndim < 2 or sample.shape[0] == 0:
        raise ValueError(
            f"example input of shape {list(sample.shape)}: expected a batch [batch, features...] with at least one row"
        )
    head = sample[:rows]
    return np.ascontiguousarray(head.reshape(len(head), -1), dtype=np.float32)


def rounding_bar(expected: np.ndarray, dot_lengths: Sequence[int]) -> float:
    """The largest difference that float32 rounding explains: ulps of the output's largest magnitude.

    Each peer sums its dot products in its own order (blocked, with fused
    multiply-adds); the rounding difference this leaves grows with the
    square root of the number of terms summed, plus a few ulps for the
    activations and the softmax.
    """
    finite = np.abs(expected[np.isfinite(expected)])
    scale = float(finite.max()) if finite.size else 0.0
    return (4.0 + math.sqrt(sum(dot_lengths))) * _EPS * scale


def check_agreement(converter: str, got: np.ndarray, expected: np.ndarray, dot_lengths: Sequence[int]) -> None:
    expected = np.asarray(expected, dtype=np.float64)
    got = np.asarray(got, dtype=np.float64)
    if got.shape != expected.shape:
        raise ValueError(
            f"{converter}: the written model gives shape {list(got.shape)}, the source {list(expected.shape)}"
        )
    bar = rounding_bar(expected, dot_lengths)
    with np.errstate(invalid="ignore"):
        agree = (got == expected) | (np.abs(got - expected) <= bar) | (np.isnan(got) & np.isnan(expected))
    if not agree.all():
        where = tuple(int(i) for i in np.argwhere(~agree)[0])
        raise ValueError(
            f"{converter}: the written model disagrees with the source at output {list(where)}: "
            f"{got[where]!r} against {expected[where]!r}, beyond float32 rounding "
            f"(at most {bar:.3g} here); nothing was written"
        )


def write_checked(
    path: str | os.PathLike,
    layers: Sequence[Layer],
    tensors: Mapping[str, np.ndarray],
    *,
    probe: np.ndarray,
    source: Callable[[np.ndarray], np.ndarray],
    converter: str,
    producer_version: str,
    input_name: str = "input",
    output_name: str = "output",
    metadata: Mapping[str, object] | None = None,
    item_shape: Sequence[int] = (),
) -> None:
    """Writes the chain with its probe certificate and replaces `path` only if it agrees with `source`.

    `source` maps the probe batch [rows, features] to the source model's
    output on it. An `item_shape` of two or more extents (an image that the
    first step flattens) is declared in the metadata as "input_shape"
    [None, *item_shape], and `Session` accepts inputs of that shape too.
    """
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, got {type(path).__name__}")
    target = Path(path)
    try:
        expected = source(probe)
    except Exception as error:
        raise ValueError(f"{converter}: the source model fails on the probe batch: {error}") from error
    if len(item_shape) > 1:
        metadata = dict(metadata or {}, input_shape=[None, *(int(d) for d in item_shape)])
    dot_lengths = [tensors[layer.parameters[0]].shape[1] for layer in layers if layer.op == "linear"]
    with tempfile.TemporaryDirectory(prefix=".qen-convert-", dir=target.parent) as folder:
        written = Path(folder) / target.name
        write_sequential(
            written,
            layers,
            tensors,
            input_shape=(None, probe.shape[1]),
            input_name=input_name,
            output_name=output_name,
            metadata=metadata,
            producer=converter,
            producer_version=producer_version,
            certify=True,
        )
        (got,) = load(written).run(None, {input_name: probe})
        check_agreement(converter, got, expected, dot_lengths)
        if target.exists():
            os.chmod(written, target.stat().st_mode & 0o777)
        os.replace(written, target)
    _sync_folder(target.parent)


def _sync_folder(folder: Path) -> None:
    """Makes the rename durable."""
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
