"""The reproducibility certificate: what the producer's file holds and the bits it computes.

The writer stores, in the metadata under "probe", a digest of every byte the
graph reads (the graph tables and each stored tensor's elements), a probe
batch and a digest of the exact output bits the file gives on it; `verify`
checks both wherever the file goes. The probe is always seeded random values
of the declared input shapes (8 rows), never a sample of real data, which may
be zeros and so hide a changed weight. Even a random probe cannot see a weight
change that does not reach the output bits, which is why the stored bytes are
digested too. Kernels compute in one fixed order of operations, so a machine
that gives other bits on intact weights runs a different computation, not a
rounding variant.

Stored form (JSON): {"inputs": {name: {"dtype", "shape", "data": base64 of the
little-endian bytes}}, "sha256": hex digest of the outputs, "content":
{"graph": hex digest of the graph tables, "tensors": {tensor ID: hex digest of
its elements}, "metadata": hex digest of the metadata but the certificate}}.
The output digest covers, per output in graph order, its dtype, shape and raw
bytes. The metadata digest covers everything a Session acts on (names,
shapes, dtypes, classes and any other key), as compact JSON with sorted keys.
Older certificates lack "content" (they hold only the probe) or its
"metadata"; they still verify what they hold, and `verify` says what they
leave unchecked.
"""

from __future__ import annotations

import base64
import hashlib
import json
import mmap
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import format as fmt
from .session import Session, TensorInfo, _engine, check_feed

__all__ = [
    "PROBE_ROWS",
    "ProbeResult",
    "certify",
    "content_digests",
    "digest",
    "metadata_digest",
    "probe_batch",
    "probe_input",
    "verify",
]

PROBE_ROWS = 8  # the extent of every free dimension (the batch) in the probe
_INT_RANGE = 100  # int32 inputs are drawn from [-100, 100)


def probe_input(shape: Sequence[int], *, seed: int = 0) -> np.ndarray:
    """A deterministic float32 batch: standard normal values from `seed`."""
    return np.random.default_rng(seed).standard_normal(tuple(shape)).astype(np.float32)


def probe_batch(signature: Sequence[TensorInfo]) -> dict[str, np.ndarray]:
    """The certificate's probe: seeded random values of each declared input shape, a free extent being 8."""
    feed = {}
    for seed, info in enumerate(signature):
        shape = tuple(PROBE_ROWS if d is None else d for d in info.shape or (None,))
        if info.dtype == np.int32:
            feed[info.name] = np.random.default_rng(seed).integers(-_INT_RANGE, _INT_RANGE, shape, dtype=np.int32)
        else:
            feed[info.name] = probe_input(shape, seed=seed)
    return feed


def digest(outputs: Sequence[np.ndarray | None]) -> str:
    h = hashlib.sha256()
    for array in outputs:
        if array is None:
            h.update(b"none;")
            continue
        h.update(f"{array.dtype.str}{list(array.shape)};".encode())
        h.update(np.ascontiguousarray(array).tobytes())
    return h.hexdigest()


def file_sha256(path: str | os.PathLike) -> str:
    """The SHA-256 of the whole file, read 1 MiB at a time."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


def content_digests(path: str | os.PathLike) -> dict:
    """SHA-256 of the graph tables and of each stored tensor's elements, as the file's header places them.

    A tensor whose elements lie outside the file gets its loader message
    instead of a digest. Reads every weight: this is the one place that does.
    """
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
        model = fmt.read_model(view)
        g = model.header.graph_offset
        with memoryview(view) as buffer:
            graph = hashlib.sha256(buffer[g : g + fmt.graph_block_size(len(model.tensors), len(model.nodes))])
            tensors = {}
            for i, record in enumerate(model.tensors):
                if record.is_placeholder:
                    continue
                problem = model.tensor_problem(i)
                start = model.header.weights_offset + record.data_offset
                size = record.element_bytes() or 0  # known wherever there is no problem
                tensors[str(i)] = problem or hashlib.sha256(buffer[start : start + size]).hexdigest()
        del model  # releases its views of the mapping before the mapping closes
    return {"graph": graph.hexdigest(), "tensors": tensors}


def metadata_digest(metadata: Mapping[str, object]) -> str:
    """SHA-256 of the metadata without its certificate ("probe"), as compact JSON with sorted keys."""
    rest = {key: value for key, value in metadata.items() if key != "probe"}
    return hashlib.sha256(json.dumps(rest, sort_keys=True, separators=(",", ":")).encode()).hexdigest()


def certify(
    path: str | os.PathLike, signature: Sequence[Mapping[str, object]], *, metadata: Mapping[str, object] | None = None
) -> dict:
    """Digests the model file at `path`, runs it on the probe batch and returns the certificate to store.

    `metadata` is the metadata the file will hold beside the certificate; its digest is certified too.
    """
    infos = [TensorInfo.from_json(e) for e in signature]
    arrays = check_feed(infos, probe_batch(infos))
    content = content_digests(path)
    engine = _engine(1)
    engine.load_model(os.fspath(path))
    outputs = engine.run(arrays)
    del engine  # unmaps the file before the writer finishes it
    if metadata is not None:
        content["metadata"] = metadata_digest(metadata)
    return {
        "inputs": {e["name"]: _encode(a) for e, a in zip(signature, arrays)},
        "sha256": digest(outputs),
        "content": content,
    }


def _encode(array: np.ndarray) -> dict:
    little = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("<"))
    return {"dtype": str(array.dtype), "shape": list(array.shape), "data": base64.b64encode(little.tobytes()).decode()}


def _decode(entry: Mapping[str, Any]) -> np.ndarray:
    dtype = np.dtype(str(entry["dtype"])).newbyteorder("<")
    data = base64.b64decode(str(entry["data"]), validate=True)
    return np.frombuffer(data, dtype).reshape([int(n) for n in entry["shape"]]).astype(dtype.newbyteorder("="))


@dataclass(frozen=True)
class ProbeResult:
    """What `verify` found.

    `intact`: whether every byte the graph reads is the producer's (None for
    a certificate without digests of them, or no certificate).
    `metadata_intact`: whether the metadata is the certified one (None for a
    certificate without its digest). `reproduced`: whether this machine gives
    the certified output bits (None when the file holds no readable probe, or
    when its contents are not the producer's and so the probe was not run).
    """

    reproduced: bool | None
    expected: str | None
    actual: str | None
    message: str
    intact: bool | None = None
    metadata_intact: bool | None = None

    @property
    def complete(self) -> bool:
        """Whether the bits matched and every digest was there to check and matched."""
        return self.reproduced is True and self.intact is True and self.metadata_intact is True


def _changed(certified: object, actual: dict) -> str | None:
    """What differs from the certified digests, in words ("the graph tables and tensors 1, 3"), or None."""
    if not isinstance(certified, Mapping) or not isinstance(certified.get("tensors"), Mapping):
        raise ValueError("'content' is not a digest of the graph and its tensors")
    tensors = certified["tensors"]
    ids = sorted(
        (i for i in set(tensors) | set(actual["tensors"]) if tensors.get(i) != actual["tensors"].get(i)),
        key=lambda i: (len(i), i),
    )  # decimal IDs in numeric order
    parts = ["the graph tables"] if certified.get("graph") != actual["graph"] else []
    if ids:
        shown = ", ".join(ids[:8]) + (f" and {len(ids) - 8} more" if len(ids) > 8 else "")
        parts.append(f"tensor{'s' * (len(ids) > 1)} {shown}")
    return " and ".join(parts) or None


def verify(path: str | os.PathLike, *, threads: int = 1) -> ProbeResult:
    """Checks the file's bytes against the certified digests, then reruns its probe and compares the output bits."""
    session = Session(path, threads)
    metadata = session.metadata if isinstance(session.metadata, dict) else {}
    probe = metadata.get("probe")
    if probe is None:
        return ProbeResult(None, None, None, "the file holds no probe")
    try:
        feed = {name: _decode(entry) for name, entry in probe["inputs"].items()}
        expected = str(probe["sha256"])
        content = probe.get("content")
        changed = _changed(content, content_digests(path)) if content is not None else None
        certified_metadata = content.get("metadata") if content is not None else None
    except (KeyError, TypeError, ValueError, AttributeError, OverflowError) as error:
        return ProbeResult(None, None, None, f"the probe in the metadata is unreadable: {error}")
    intact = None if content is None else changed is None
    metadata_intact = None if certified_metadata is None else certified_metadata == metadata_digest(metadata)
    if changed or metadata_intact is False:
        message = (
            f"the file's weights are not the producer's: {changed} changed since the file was certified"
            if changed
            else "the file's metadata changed since it was certified"
        )
        return ProbeResult(None, expected, None, message, intact=intact, metadata_intact=metadata_intact)
    actual = digest(session.run(None, feed))
    if actual != expected:
        message = "the output bits differ from the producer's"
    elif intact is None:
        message = (
            "this machine reproduces the producer's output bits, but the weights and the metadata were not "
            "checked: the certificate holds no digest of them (an older certificate; certify the file again)"
        )
    elif metadata_intact is None:
        message = (
            "the file's weights are the producer's and this machine reproduces the producer's output bits, "
            "but the metadata was not checked: the certificate holds no digest of it "
            "(an older certificate; certify the file again)"
        )
    else:
        message = "the file's weights are the producer's and this machine reproduces the producer's output bits"
    return ProbeResult(actual == expected, expected, actual, message, intact=intact, metadata_intact=metadata_intact)
