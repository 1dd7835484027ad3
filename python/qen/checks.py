"""Signs of a damaged file that the runtime's loader accepts: what `qen inspect` warns of.

The loader checks structure and bounds at open (magic, version, the graph
block inside the file) and each tensor's bounds when it is loaded; the format
has no checksum, so a header field changed to another in-file value still
opens. Such a change usually leaves regions on top of each other, or a
writer's metadata that no longer fits its graph, and that is what is looked
for here. Changed bytes that break neither (a weight changed in place) are
seen only by `qen verify`, against the certificate's digests.
"""

from __future__ import annotations

import json
from collections.abc import Mapping

from . import format as fmt

__all__ = ["WRITER_MARK", "damage_warnings"]

# The writer's metadata is compact JSON that opens with its producer.
WRITER_MARK = b'{"producer":'
_SIGNATURE_KEYS = {"name": str, "shape": list, "dtype": str}


def damage_warnings(model: fmt.ModelFile) -> list[str]:
    return _region_warnings(model) + _metadata_warnings(model)


def _span(start: int, size: int) -> str:
    return f"bytes {start}..{start + size}"


def _region_warnings(model: fmt.ModelFile) -> list[str]:
    h, warnings = model.header, []
    extent = fmt.graph_block_size(len(model.tensors), len(model.nodes))
    if extent > h.graph_size:
        warnings.append(f"the graph tables ({extent} bytes) are longer than graph_size ({h.graph_size})")
    fixed = {"the header": (0, fmt.FILE_HEADER.size), "the graph block": (h.graph_offset, extent)}
    if h.metadata_size:
        fixed["the metadata"] = (h.metadata_offset, h.metadata_size)
    names = list(fixed)
    for i, first in enumerate(names):
        for second in names[i + 1 :]:
            if _overlap(fixed[first], fixed[second]):
                warnings.append(f"{first} ({_span(*fixed[first])}) and {second} ({_span(*fixed[second])}) overlap")
    stored = []
    for i, record in enumerate(model.tensors):
        if record.is_placeholder or model.record_problem(record):
            continue  # the loader's own problems are reported beside these
        size = record.element_bytes()
        if size != record.data_size:
            warnings.append(f"tensor {i}: data_size {record.data_size}, its extents and dtype make {size} bytes")
        if size:
            stored.append((h.weights_offset + record.data_offset, size, i))
    for name, region in fixed.items():
        hit = [i for start, size, i in stored if _overlap((start, size), region)]
        if hit:
            warnings.append(
                f"the weights of tensor{'s' * (len(hit) > 1)} {_ids(hit)} overlap {name} ({_span(*region)})"
            )
    stored.sort()
    end, last = 0, None
    for start, size, i in stored:  # each against the one reaching furthest before it
        if start < end:
            warnings.append(f"tensors {last} and {i} share bytes (from byte {start})")
        if start + size > end:
            end, last = start + size, i
    return warnings


def _overlap(a: tuple[int, int], b: tuple[int, int]) -> bool:
    return a[1] > 0 and b[1] > 0 and a[0] < b[0] + b[1] and b[0] < a[0] + a[1]


def _ids(ids: list[int]) -> str:
    shown = ", ".join(map(str, ids[:8]))
    return shown + (f" and {len(ids) - 8} more" if len(ids) > 8 else "")


def _metadata_warnings(model: fmt.ModelFile) -> list[str]:
    """Metadata that opens as the writer's but is not the JSON it writes for this graph."""
    try:
        raw = model.metadata_bytes()
    except fmt.FormatError:
        return []  # reported as the loader's problem
    if not raw.startswith(WRITER_MARK):
        return []
    try:
        text = raw.decode("utf-8")
        if fmt.metadata_too_deep(text):
            return [f"the metadata says a qen writer produced it but nests deeper than {fmt.METADATA_MAX_DEPTH} levels"]
        meta = json.loads(text)
    except ValueError as error:
        return [f"the metadata says a qen writer produced it but is not valid JSON: {error}"]
    problem = _writer_metadata_problem(model, meta)
    return [f"the metadata says a qen writer produced it but {problem}"] if problem else []


def _writer_metadata_problem(model: fmt.ModelFile, meta: object) -> str | None:
    if not isinstance(meta, Mapping) or not isinstance(meta.get("producer_version"), str):
        return "it lacks the writer's producer_version"
    for side, ids in (("inputs", model.graph.inputs), ("outputs", model.graph.outputs)):
        entries = meta.get(side)
        if not isinstance(entries, list) or len(entries) != len(ids):
            return f"its {side!r} do not list the graph's {len(ids)} {side}"
        if not all(
            isinstance(e, Mapping) and all(isinstance(e.get(k), t) for k, t in _SIGNATURE_KEYS.items()) for e in entries
        ):
            return f"an entry of its {side!r} is not a name, shape and dtype"
    probe = meta.get("probe")
    if probe is not None and not (isinstance(probe, Mapping) and "inputs" in probe and "sha256" in probe):
        return "its 'probe' is not a certificate"
    return None
