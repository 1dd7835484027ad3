"""Inference receipts: proof, later and elsewhere, that an output came from a given model and input.

    outputs, receipt = session.run_with_receipt(None, feed)
    qen.save_receipt("result.json", receipt)
    ...
    report = qen.replay(qen.load_receipt("result.json"), "model.qen", feed)  # on any machine

A receipt binds bits: the model's identity, and per input and output its
name, dtype, shape and the SHA-256 of its C-contiguous little-endian bytes.
Kernels compute in one fixed order, so the same model and inputs give the
same output bits on every machine and at every thread count; `replay`
checks that. The platform and thread count are recorded for people only and
never checked. A receipt is not signed: it shows what was computed, not who
computed it.

The model's identity is, for a file with a certificate, the same digests the
certificate holds (the graph tables and each stored tensor), else the SHA-256
of the whole file. Either is computed from the file's bytes, never copied
from its metadata, which nothing checks against the weights when a file loads.

Stored form (JSON): {"format": "qen-receipt", "version": 1, "model":
{"content": {"graph", "tensors"}} or {"sha256"}, "inputs": [{"name", "dtype",
"shape", "sha256"}], "outputs": [...], "runtime": {"qen": version},
"platform": text, "threads": int}.
"""

from __future__ import annotations

import hashlib
import json
import os
import platform
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

import numpy as np

from . import __version__
from . import format as fmt
from .probe import _changed, content_digests, file_sha256
from .session import Session, file_state
from .writer import _replaced_atomically

__all__ = [
    "ReplayReport",
    "load_receipt",
    "make_receipt",
    "model_identity",
    "replay",
    "save_receipt",
    "session_identity",
]

FORMAT = "qen-receipt"
VERSION = 1
_DTYPES = ("float32", "int32")
_HEX64 = re.compile(r"[0-9a-f]{64}")


def model_identity(path: str | os.PathLike, *, certified: bool) -> dict:
    """The certificate's digests of the graph and its tensors (`certified`), or the whole file's SHA-256."""
    return {"content": content_digests(path)} if certified else {"sha256": file_sha256(path)}


def session_identity(session: Session, *, certified: bool | None = None) -> dict:
    """The identity of the model that `session` runs: the file at its path, if that is still the file it opened.

    `certified` picks the certificate's digests or the whole file's; None
    picks the first when the file has a certificate. The engine keeps reading
    the file it mapped when the session opened, so a file rewritten or
    replaced since then (as the writer replaces one) is not the model the
    session runs; its digests would name another.
    """
    if certified is None:
        probe = session.metadata.get("probe") if isinstance(session.metadata, dict) else None
        certified = isinstance(probe, dict) and "content" in probe
    identity = model_identity(session.path, certified=certified)
    if session._file_state is None or file_state(session.path) != session._file_state:
        raise RuntimeError(
            f"the model file {session.path} changed since the session opened it; open a new session to make receipts"
        )
    return identity


def _entry(name: str, array: np.ndarray) -> dict:
    little = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("<"))
    return {
        "name": name,
        "dtype": array.dtype.name,
        "shape": list(array.shape),
        "sha256": hashlib.sha256(little.data).hexdigest(),
    }


def make_receipt(
    identity: Mapping[str, object],
    inputs: Mapping[str, np.ndarray],
    outputs: Mapping[str, np.ndarray],
    threads: int,
) -> dict:
    """The receipt of one run: `identity` from `model_identity`, the arrays fed and returned by name."""
    unset = [name for name, array in outputs.items() if array is None]
    if unset:
        raise ValueError(f"output {unset[0]!r} is computed by no node of the graph; a receipt binds computed outputs")
    return {
        "format": FORMAT,
        "version": VERSION,
        "model": dict(identity),
        "inputs": [_entry(name, array) for name, array in inputs.items()],
        "outputs": [_entry(name, array) for name, array in outputs.items()],
        "runtime": {"qen": __version__},
        "platform": f"{platform.system()} {platform.machine()}, Python {platform.python_version()}",
        "threads": threads,
    }


def save_receipt(path: str | os.PathLike, receipt: Mapping[str, object]) -> None:
    """Writes the receipt as JSON: a temporary file beside `path`, fsynced, then renamed over it."""
    check_receipt(receipt)
    text = _json_text(receipt)
    with _replaced_atomically(path) as temp_path:
        with open(temp_path, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())


def _json_text(receipt: Mapping[str, object]) -> str:
    """The receipt as JSON for people too: one line per field, and one per input and output."""

    def dumps(value: object) -> str:
        return json.dumps(value, allow_nan=False)

    fields = []
    for key, value in receipt.items():
        if isinstance(value, list) and value:
            value_text = "[\n" + ",\n".join(f"    {dumps(v)}" for v in value) + "\n  ]"
        else:
            value_text = dumps(value)
        fields.append(f"  {dumps(key)}: {value_text}")
    return "{\n" + ",\n".join(fields) + "\n}\n"


def load_receipt(path: str | os.PathLike) -> dict[str, Any]:
    """The receipt stored at `path`; ValueError when it is not one."""
    with open(path, "rb") as f:
        raw = f.read()
    try:
        receipt: dict[str, Any] = json.loads(raw)
    except ValueError as error:  # also bytes that are not UTF-8
        raise ValueError(f"{os.fspath(path)}: not a receipt: not JSON ({error})") from None
    try:
        check_receipt(receipt)
    except ValueError as error:
        raise ValueError(f"{os.fspath(path)}: {error}") from None
    return receipt


def check_receipt(receipt: Any) -> None:
    """Raises ValueError naming the first field of `receipt` that a receipt of this format cannot have."""

    def fail(what: str) -> NoReturn:
        raise ValueError(f"not a receipt: {what}")

    if not isinstance(receipt, Mapping) or receipt.get("format") != FORMAT:
        fail(f"'format' is not {FORMAT!r}")
    if receipt.get("version") != VERSION:
        fail(f"'version' {receipt.get('version')!r} is not {VERSION}, the version this runtime reads")
    model = receipt.get("model")
    if not isinstance(model, Mapping) or len(model) != 1:
        fail("'model' must hold one of 'content' or 'sha256'")
    if "sha256" in model:
        if not _is_hex(model["sha256"]):
            fail("'model' 'sha256' is not a hex SHA-256")
    else:
        content = model.get("content")
        if not isinstance(content, Mapping) or not isinstance(content.get("tensors"), Mapping):
            fail("'model' 'content' must hold the digest of the 'graph' and of each of its 'tensors'")
        if not _is_hex(content.get("graph")):
            fail("'model' 'content' 'graph' is not a hex SHA-256")
        if not all(isinstance(k, str) and isinstance(v, str) for k, v in content["tensors"].items()):
            fail("'model' 'content' 'tensors' must map tensor IDs to digests")
    for side in ("inputs", "outputs"):
        entries = receipt.get(side)
        if not isinstance(entries, list):
            fail(f"{side!r} is not a list")
        for i, e in enumerate(entries):
            shape = e.get("shape") if isinstance(e, Mapping) else None
            if (
                not isinstance(shape, list)
                or not isinstance(e.get("name"), str)
                or e.get("dtype") not in _DTYPES
                or not all(type(n) is int and n >= 0 for n in shape)
                or not _is_hex(e.get("sha256"))
            ):
                fail(f"{side!r} entry {i} needs a 'name', a 'dtype' of {_DTYPES}, a 'shape' and a 'sha256'")
        names = [e["name"] for e in entries]
        if len(set(names)) != len(names):
            fail(f"{side!r} names a tensor twice")


def _is_hex(value: object) -> bool:
    return isinstance(value, str) and _HEX64.fullmatch(value) is not None


@dataclass(frozen=True)
class ReplayReport:
    """What `replay` found.

    `outcome` is "same" (this machine computes the receipt's output bits),
    "outputs" (other output bits), "model" (the file is not the model the
    receipt names) or "inputs" (the inputs are not the receipt's); the
    checks stop at the first that fails. `differing` names the inputs or
    outputs that differ.
    """

    outcome: str
    message: str
    differing: tuple[str, ...] = ()

    @property
    def same(self) -> bool:
        return self.outcome == "same"


def replay(
    receipt: Mapping[str, Any],
    model_path: str | os.PathLike,
    input_feed: Mapping[str, np.ndarray],
    *,
    threads: int = 1,
) -> ReplayReport:
    """Checks the model file against the receipt's identity, then the inputs against its digests,
    then runs them on `threads` threads and compares every output's digest.

    Raises ValueError when `receipt` is malformed, RuntimeError when the loader refuses the model file.
    """
    check_receipt(receipt)
    model = receipt["model"]
    unreadable = f"{os.fspath(model_path)}: not a readable model file"
    try:  # opened first: the identity must name the file that it runs
        session = Session(model_path, threads)
    except RuntimeError as error:  # the loader's refusal
        raise RuntimeError(f"{unreadable}: {error}") from None
    try:
        identity = session_identity(session, certified="content" in model)
    except fmt.FormatError as error:
        raise ValueError(f"{unreadable}: {error}") from None
    if identity != model:
        if "content" in model:
            changed = _changed(model["content"], identity["content"]) or "its digests"
            return ReplayReport("model", f"another model: the file differs from the receipt's in {changed}")
        return ReplayReport(
            "model", f"another model: the file's SHA-256 is {identity['sha256']}, the receipt names {model['sha256']}"
        )
    if not isinstance(input_feed, Mapping):
        raise TypeError(f"input_feed must be a dict of input name -> array, got {type(input_feed).__name__}")
    wanted = {e["name"]: e for e in receipt["inputs"]}
    differing = [name for name in wanted if name not in input_feed]
    differing += [name for name in input_feed if name not in wanted]
    for name, value in input_feed.items():
        if name in wanted:
            if not isinstance(value, np.ndarray):
                raise TypeError(f"input {name!r}: expected a numpy array, got {type(value).__name__}")
            if _entry(name, value) != wanted[name]:
                differing.append(name)
    if differing:
        return ReplayReport("inputs", f"other inputs: {_names('input', differing)} not the receipt's", tuple(differing))
    names = [e["name"] for e in receipt["outputs"]]
    feed = {name: input_feed[name] for name in wanted}
    try:
        outputs = session.run(names, feed)
    except (ValueError, TypeError) as error:  # the same weights under another signature
        return ReplayReport("model", f"another model: the file does not take the receipt's inputs and outputs: {error}")
    differing = [e["name"] for e, array in zip(receipt["outputs"], outputs) if _entry(e["name"], array) != e]
    if differing:
        made = receipt.get("runtime", {}).get("qen") if isinstance(receipt.get("runtime"), Mapping) else None
        note = f" (the receipt was made by qen {made}, this is qen {__version__})" if made != __version__ else ""
        return ReplayReport(
            "outputs",
            f"other output bits on this machine: {_names('output', differing)} not the receipt's{note}",
            tuple(differing),
        )
    return ReplayReport(
        "same",
        f"the same bits: the receipt's model and inputs give its {len(names)} output{'s' * (len(names) != 1)} "
        "on this machine",
    )


def _names(kind: str, names: Sequence[str]) -> str:
    shown = ", ".join(repr(n) for n in names[:8]) + (f" and {len(names) - 8} more" if len(names) > 8 else "")
    return f"{kind}{'s' * (len(names) > 1)} {shown} {'are' if len(names) > 1 else 'is'}"
