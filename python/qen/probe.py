"""The reproducibility certificate: a small input and a digest of the exact output bits.

The writer runs the finished graph on the probe once and stores both in the
metadata under "probe"; `verify` reruns it wherever the file goes. Kernels
compute in one fixed order of operations, so a machine that gives other bits
is running a different computation, not a rounding variant.

Stored form (JSON): {"inputs": {name: {"dtype", "shape", "data": base64 of the
little-endian bytes}}, "sha256": hex digest of the outputs}. The digest
covers, per output in graph order, its dtype, shape and raw bytes.
"""

from __future__ import annotations

import base64
import hashlib
import os
from dataclasses import dataclass
from typing import Mapping, Sequence

import numpy as np

from .session import Session, TensorInfo, _engine, check_feed

__all__ = ["ProbeResult", "certify", "digest", "probe_input", "verify"]


def probe_input(shape: Sequence[int], *, seed: int = 0) -> np.ndarray:
    """A deterministic float32 probe batch: standard normal values from `seed`."""
    return np.random.default_rng(seed).standard_normal(tuple(shape)).astype(np.float32)


def digest(outputs: Sequence[np.ndarray | None]) -> str:
    h = hashlib.sha256()
    for array in outputs:
        if array is None:
            h.update(b"none;")
            continue
        h.update(f"{array.dtype.str}{list(array.shape)};".encode())
        h.update(np.ascontiguousarray(array).tobytes())
    return h.hexdigest()


def certify(path: str, signature: Sequence[Mapping[str, object]], probe: Mapping[str, np.ndarray]) -> dict:
    """Runs the model file at `path` on `probe` and returns the certificate to store."""
    arrays = check_feed([TensorInfo.from_json(e) for e in signature], probe)
    engine = _engine(1)
    engine.load_model(os.fspath(path))
    outputs = engine.run(arrays)
    del engine  # unmaps the file before the writer finishes it
    return {"inputs": {e["name"]: _encode(a) for e, a in zip(signature, arrays)}, "sha256": digest(outputs)}


def _encode(array: np.ndarray) -> dict:
    little = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("<"))
    return {"dtype": str(array.dtype), "shape": list(array.shape), "data": base64.b64encode(little.tobytes()).decode()}


def _decode(entry: Mapping[str, object]) -> np.ndarray:
    dtype = np.dtype(str(entry["dtype"])).newbyteorder("<")
    data = base64.b64decode(str(entry["data"]), validate=True)
    return np.frombuffer(data, dtype).reshape([int(n) for n in entry["shape"]]).astype(dtype.newbyteorder("="))


@dataclass(frozen=True)
class ProbeResult:
    """`reproduced` is None when the file holds no (readable) probe."""

    reproduced: bool | None
    expected: str | None
    actual: str | None
    message: str


def verify(path: str | os.PathLike, *, threads: int = 1) -> ProbeResult:
    """Reruns the file's probe on this machine and compares the output bits with the certified ones."""
    session = Session(path, threads)
    probe = session.metadata.get("probe") if isinstance(session.metadata, dict) else None
    if probe is None:
        return ProbeResult(None, None, None, "the file holds no probe")
    try:
        feed = {name: _decode(entry) for name, entry in probe["inputs"].items()}
        expected = str(probe["sha256"])
    except (KeyError, TypeError, ValueError, AttributeError) as error:
        return ProbeResult(None, None, None, f"the probe in the metadata is unreadable: {error}")
    actual = digest(session.run(None, feed))
    if actual == expected:
        return ProbeResult(True, expected, actual, "this machine reproduces the producer's output bits")
    return ProbeResult(False, expected, actual, "the output bits differ from the producer's")
