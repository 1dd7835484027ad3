"""The `qen` command: inspect, convert, verify and bench model files.

    qen inspect FILE [--json] [--strict]  header, metadata, tables, bytes per region, signs of damage
    qen convert SRC.onnx -o OUT    an ONNX model into a model file
    qen verify FILE                check the file's weights and rerun its probe against its certificate
    qen bench FILE [--batch N]     latency: median and p99 over repeated runs
    qen replay RECEIPT MODEL --inputs NPZ   recompute a receipt's outputs from its model and inputs

Exit status 0 only on success (`qen verify --help` lists verify's statuses).
A user error (a missing or malformed file, a model a converter refuses) is
one line on stderr, never a traceback.
"""

from __future__ import annotations

import argparse
import itertools
import json
import math
import mmap
import os
import stat
import sys
import time
import zipfile
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from . import format as fmt
from .checks import damage_warnings

__all__ = ["main"]

_ROLES = ("input", "output", "weight", "bias")


class UserError(Exception):
    """Reported as one line and exit status 1."""


def _open_view(path: str):
    """The file's bytes as a read-only mapping, refused the way the runtime's loader refuses to open it.

    The open does not block, and anything but a regular file (a FIFO, a device) is refused at once.
    """
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    except OSError:
        raise fmt.FormatError(f"Failed to open file: {path}") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise fmt.FormatError(f"Failed to open file: {path}")
        try:
            return mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError):  # a 0-byte file cannot be mapped
            raise fmt.FormatError("Failed to create file mapping") from None
    finally:
        os.close(fd)


_ROLE_BITS = {role: 1 << i for i, role in enumerate(_ROLES)}
_ROLE_NAMES = ["/".join(r for r in _ROLES if bits & _ROLE_BITS[r]) or "-" for bits in range(1 << len(_ROLES))]
_WIDTH_ROWS = 1000  # a streamed table is aligned to its first rows; a longer cell further down pushes its row


class Inspection:
    """Everything `inspect` shows, as plain JSON-ready values, in the order shown.

    `summary` is the header, graph and metadata; `tensor_rows` and `node_rows`
    give the tables one row at a time, so a table of millions is never held
    whole; `closing` (regions, problems, warnings) comes after the tables,
    whose walk finds the tensors' problems and the stored bytes.
    """

    def __init__(self, model: fmt.ModelFile) -> None:
        self.model = model
        self.problems = _node_problems(model)
        self._stored = 0
        h, g = model.header, model.graph
        if h.metadata_size > fmt.METADATA_MAX_SIZE:
            metadata: object = f"({h.metadata_size} bytes, not read: longer than {fmt.METADATA_MAX_SIZE} bytes)"
        else:
            try:
                metadata = fmt.parse_metadata(model.metadata_bytes())
            except fmt.FormatError as error:
                self.problems.append(str(error))
                metadata = fmt.parse_metadata(b"")
        self.summary: dict[str, Any] = {
            "file_size": model.file_size,
            "header": {
                "version": h.version,
                "metadata_offset": h.metadata_offset,
                "metadata_size": h.metadata_size,
                "graph_offset": h.graph_offset,
                "graph_size": h.graph_size,
                "weights_offset": h.weights_offset,
            },
            "graph": {
                "num_nodes": g.num_nodes,
                "num_tensors": g.num_tensors,
                "inputs": list(g.inputs),
                "outputs": list(g.outputs),
            },
            "metadata": metadata,
        }

    def _roles(self) -> np.ndarray:
        """Each tensor's roles, one bit per role of `_ROLES`."""
        roles = np.zeros(len(self.model.tensors), np.uint8)
        marks = [(tid, "input") for tid in self.model.graph.inputs] + [
            (tid, "output") for tid in self.model.graph.outputs
        ]
        for tid, role in marks:
            if tid < len(roles):
                roles[tid] |= _ROLE_BITS[role]
        for node in self.model.nodes:
            if node.op_type == fmt.Op.LINEAR:
                for tid, role in ((node.weight_id, "weight"), (node.bias_id, "bias")):
                    if tid < len(roles):
                        roles[tid] |= _ROLE_BITS[role]
        return roles

    def tensor_rows(self) -> Iterator[dict]:
        roles = self._roles().tobytes()  # indexed a byte at a time: faster than a numpy scalar per row
        for i, t in enumerate(self.model.tensors):
            status = "placeholder" if t.is_placeholder else (self.model.record_problem(t) or "ok")
            if status not in ("ok", "placeholder"):
                self.problems.append(f"tensor {i}: {status}")
            self._stored += t.data_size
            yield {
                "id": i,
                "role": _ROLE_NAMES[roles[i]],
                "dims": list(t.dims),
                "dtype": _enum_name(fmt.DType, t.dtype),
                "data_offset": t.data_offset,
                "data_size": t.data_size,
                "status": status,
            }

    def node_rows(self) -> Iterator[dict]:
        for j, n in enumerate(self.model.nodes):
            yield {
                "index": j,
                "op": _enum_name(fmt.Op, n.op_type),
                "inputs": list(n.inputs),
                "outputs": list(n.outputs),
                **({"weight_id": n.weight_id, "bias_id": n.bias_id} if n.op_type == fmt.Op.LINEAR else {}),
            }

    def closing(self) -> dict:
        """The regions, problems and warnings: once both tables have been walked."""
        h, g, size = self.model.header, self.model.graph, self.model.file_size
        extent = fmt.graph_block_size(g.num_tensors, g.num_nodes)
        regions = {
            "header": fmt.FILE_HEADER.size,
            "metadata": h.metadata_size,
            "graph": extent,
            "weights": self._stored,
        }
        regions["other"] = max(0, size - sum(min(v, size) for v in regions.values()))
        return {"regions": regions, "problems": self.problems, "warnings": damage_warnings(self.model)}


def _node_problems(model: fmt.ModelFile) -> list[str]:
    """What the runtime would refuse when it plans or runs the graph, in the runtime's words."""
    problems = []
    count = len(model.tensors)
    for j, n in enumerate(model.nodes):
        if isinstance(_enum_name(fmt.Op, n.op_type), int):
            problems.append(f"node {j}: Unsupported op type: {n.op_type}")
        if (n.num_inputs or 0) > fmt.MAX_IDS or (n.num_outputs or 0) > fmt.MAX_IDS:  # read records hold both
            problems.append(f"node {j}: Node has more than 16 inputs or outputs")
        ids = list(n.inputs) + list(n.outputs) + ([n.weight_id, n.bias_id] if n.op_type == fmt.Op.LINEAR else [])
        if any(i >= count for i in ids):
            problems.append(f"node {j}: Invalid tensor ID")
    return problems


def _enum_name(kind, value: int) -> str | int:
    """The member's name, or the number itself for a value the runtime does not know."""
    return _ENUM_NAMES[kind].get(value, value)


_ENUM_NAMES = {kind: {member.value: member.name for member in kind} for kind in (fmt.DType, fmt.Op)}


def _table(header: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    cells = [list(map(str, header))] + [[str(c) for c in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in cells)


def _print_rows(header: Sequence[str], rows: Iterator[Sequence[object]]) -> None:
    """A table streamed row by row, its columns as wide as the header and the first rows need."""
    first = [[str(c) for c in row] for row in itertools.islice(rows, _WIDTH_ROWS)]
    widths = [max([len(h)] + [len(r[i]) for r in first]) for i, h in enumerate(header)]
    cells = itertools.chain([list(header)], first, ([str(c) for c in row] for row in rows))
    while block := list(itertools.islice(cells, 4096)):  # written a block at a time
        sys.stdout.write("".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() + "\n" for r in block))


def _print_description(path: str, report: Inspection) -> dict:
    d = report.summary
    h, g = d["header"], d["graph"]
    print(f"{path}: {d['file_size']} bytes, format version {h['version']}")
    print(_table(["field", "value"], [(k, v) for k, v in h.items() if k != "version"]))
    print(f"\ngraph: {g['num_nodes']} nodes, {g['num_tensors']} tensors, inputs {g['inputs']}, outputs {g['outputs']}")
    print("\nmetadata:")
    meta = _shortened(d["metadata"])
    if isinstance(meta, dict):
        for key, value in meta.items():
            print(f"  {key}: {json.dumps(value, ensure_ascii=False)}")
    else:
        print(f"  {meta!r}")
    print("\ntensors:")
    _print_rows(
        ["id", "role", "dims", "dtype", "offset", "bytes", "status"],
        (
            (t["id"], t["role"], t["dims"], t["dtype"], t["data_offset"], t["data_size"], t["status"])
            for t in report.tensor_rows()
        ),
    )
    print("\nnodes:")
    _print_rows(
        ["#", "op", "inputs", "outputs", "weight", "bias"],
        (
            (n["index"], n["op"], n["inputs"], n["outputs"], n.get("weight_id", "-"), n.get("bias_id", "-"))
            for n in report.node_rows()
        ),
    )
    closing = report.closing()
    print("\nbytes per region:")
    print(_table(["region", "bytes"], list(closing["regions"].items())))
    for problem in closing["problems"]:
        print(f"problem: {problem}")
    for warning in closing["warnings"]:
        print(f"warning: {warning}")
    return closing


def _strict_json(value: object) -> object:
    """The value with every NaN or infinity (which the metadata's JSON may hold) as its name in a string, since
    strict JSON has none."""
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    if isinstance(value, list):
        return [_strict_json(v) for v in value]
    if isinstance(value, dict):
        return {k: _strict_json(v) for k, v in value.items()}
    return value


def _print_json(path: str, report: Inspection) -> dict:
    """The report as one JSON object, its tables streamed a record per line."""

    def item(key: str, value: object) -> str:
        return f"  {json.dumps(key)}: " + json.dumps(value, indent=2).replace("\n", "\n  ")

    def table(key: str, rows: Iterator[dict]) -> None:
        sys.stdout.write(f"  {json.dumps(key)}: [")
        empty = True
        while block := list(itertools.islice(rows, 4096)):  # encoded and written a block at a time
            # A row holds numbers, lists of numbers and fixed names, never "}, {": so the block splits into rows there.
            sys.stdout.write(("\n    " if empty else ",\n    ") + json.dumps(block)[1:-1].replace("}, {", "},\n    {"))
            empty = False
        sys.stdout.write("],\n" if empty else "\n  ],\n")

    summary = {"file": path, **report.summary, "metadata": _strict_json(report.summary["metadata"])}
    sys.stdout.write("{\n" + ",\n".join(item(k, v) for k, v in summary.items()) + ",\n")
    table("tensors", report.tensor_rows())
    table("nodes", report.node_rows())
    closing = report.closing()
    sys.stdout.write(",\n".join(item(k, v) for k, v in closing.items()) + "\n}\n")
    return closing


def _shortened(meta):
    """The metadata for people: the probe's base64 data is cut short."""
    if not isinstance(meta, dict) or not isinstance(meta.get("probe"), dict):
        return meta
    probe = dict(meta["probe"])
    if isinstance(probe.get("inputs"), dict):
        probe["inputs"] = {
            k: {**v, "data": v["data"][:16] + "..."} if isinstance(v, dict) and "data" in v else v
            for k, v in probe["inputs"].items()
        }
    return {**meta, "probe": probe}


def cmd_inspect(args) -> int:
    try:
        view = _open_view(args.file)
    except fmt.FormatError as error:
        return _not_inspected(args, error)
    try:
        try:
            report = Inspection(fmt.read_model(view))
        except fmt.FormatError as error:
            return _not_inspected(args, error)
        closing = (_print_json if args.json else _print_description)(args.file, report)
        del report  # releases its views of the mapping before the mapping closes
    finally:
        view.close()
    return 1 if closing["problems"] or (args.strict and closing["warnings"]) else 0


def _not_inspected(args, error: fmt.FormatError) -> int:
    message = _not_a_model(args.file, error)
    if args.json:
        print(json.dumps({"file": args.file, "error": message}))
        return 1
    raise UserError(f"{args.file}: {message}") from None


def _not_a_model(path: str, error: fmt.FormatError) -> str:
    """The loader's message; for a file of another kind, that it is not a model file, and what to do for ONNX."""
    if str(error) != "Invalid magic number":
        return str(error)
    with open(path, "rb") as f:
        head = f.read(3)
    # An ONNX file is a protobuf ModelProto; its first field is ir_version (tag 0x08, a small varint).
    if path.lower().endswith(".onnx") or (head[:1] == b"\x08" and head[1] < 0x80 and head[2] in _ONNX_FIELD_TAGS):
        return f"not a QEN model file (an ONNX model? convert it: qen convert {path} -o MODEL.qen)"
    return "not a QEN model file (Invalid magic number)"


# Tags of the length-delimited fields that follow ir_version in a ModelProto
# (producer_name, producer_version, domain, doc_string, graph, opset_import).
_ONNX_FIELD_TAGS = {0x12, 0x1A, 0x22, 0x32, 0x3A, 0x42}


def cmd_convert(args) -> int:
    from . import from_onnx
    from .writer import check_target

    check_target(args.output)
    from_onnx(args.src, args.output)
    print(f"wrote {args.output}")
    return 0


def cmd_verify(args) -> int:
    from .probe import verify

    try:
        result = verify(args.file)
    except RuntimeError as error:  # the loader refuses the file: say so as inspect does
        raise UserError(f"{args.file}: {_not_a_model(args.file, fmt.FormatError(str(error)))}") from None
    print(f"{args.file}: {result.message}")
    if result.reproduced is False:
        print(f"  certified sha256 {result.expected}\n  this machine    {result.actual}")
    if result.intact is False or result.metadata_intact is False:
        return 3
    if result.reproduced is True and not result.complete:
        return 4
    return {True: 0, False: 1, None: 2}[result.reproduced]


# Exit status of `qen replay` per outcome; 2 is a malformed receipt or an unreadable file.
_REPLAY_STATUS = {"same": 0, "outputs": 1, "model": 3, "inputs": 4}
_REPLAY_STATUSES = (
    "0 the same bits, 1 other output bits on this machine, 2 a malformed receipt or an unreadable file, "
    "3 another model, 4 other inputs"
)


def cmd_replay(args) -> int:
    from .receipt import load_receipt, replay

    try:
        report = replay(load_receipt(args.receipt), args.model, _read_npz(args.inputs), threads=args.threads)
    except (ValueError, TypeError, RuntimeError, OSError) as error:  # FormatError is a ValueError
        print(f"qen replay: {error}", file=sys.stderr)
        return 2
    print(f"{args.receipt}: {report.message}")
    return _REPLAY_STATUS[report.outcome]


def _read_npz(path: str) -> dict[str, np.ndarray]:
    """The named arrays of an .npz file, as numpy.savez writes them."""
    try:
        npz = np.load(path, allow_pickle=False)
    except (ValueError, EOFError, zipfile.BadZipFile):
        raise ValueError(f"{path}: not an .npz file of named arrays (numpy.savez writes one)") from None
    if not isinstance(npz, np.lib.npyio.NpzFile):
        raise ValueError(f"{path}: a single array, not an .npz file of named arrays (numpy.savez writes one)")
    with npz:
        return {name: npz[name] for name in npz.files}


def cmd_bench(args) -> int:
    from .session import Session

    if args.batch < 1 or args.runs < 1:
        raise UserError("--batch and --runs must be at least 1")
    session = Session(args.file, args.threads)
    rng = np.random.default_rng(0)
    feed = {}
    for info in session.get_inputs():
        if info.shape is None:
            raise UserError(f"input {info.name!r} has no declared shape in the file's metadata")
        shape = [args.batch if d is None else d for d in info.shape]
        try:
            feed[info.name] = rng.standard_normal(shape).astype(info.dtype)
        except MemoryError:
            raise UserError(
                f"--batch {args.batch}: input {info.name!r} of shape {shape} does not fit in memory"
            ) from None
    for _ in range(max(3, args.runs // 10)):
        session.run(None, feed)
    times = np.empty(args.runs)
    for i in range(args.runs):
        start = time.perf_counter()
        session.run(None, feed)
        times[i] = time.perf_counter() - start
    median, p99 = np.median(times), np.percentile(times, 99)
    print(f"{args.file}: batch {args.batch}, {args.runs} runs, {args.threads} thread(s)")
    print(
        _table(
            ["", "latency", "per sample"],
            [
                ("median", _duration(median), _duration(median / args.batch)),
                ("p99", _duration(p99), _duration(p99 / args.batch)),
            ],
        )
    )
    return 0


def _duration(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


_VERIFY_STATUSES = """\
Checks the file's weights and metadata against the digests of its certificate,
then reruns its probe and compares the output bits. Exit status:
  0  every digest and the output bits match the producer's
  1  this machine gives other output bits than the producer's
  2  no certificate, an unreadable one, or a file that does not load
  3  the weights or the metadata changed since the file was certified
  4  the output bits match, but the certificate (an older one) holds no digest
     of the weights or of the metadata, so those were not checked"""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="qen", description="Inspect, convert, verify and bench QEN model files.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("inspect", help="show a model file's header, metadata, tables and region sizes")
    p.add_argument("file")
    p.add_argument("--json", action="store_true", help="print JSON instead of tables")
    p.add_argument("--strict", action="store_true", help="exit status 1 on warnings of damage too")
    p.set_defaults(run=cmd_inspect)
    p = sub.add_parser("convert", help="convert an ONNX model into a model file")
    p.add_argument("src", help="the .onnx file")
    p.add_argument("-o", "--output", required=True, help="the model file to write")
    p.set_defaults(run=cmd_convert)
    p = sub.add_parser(
        "verify",
        help="check the file's weights and metadata against its certificate and rerun its probe",
        description=_VERIFY_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("file")
    p.set_defaults(run=cmd_verify)
    p = sub.add_parser("bench", help="latency of the model on random inputs: median and p99")
    p.add_argument("file")
    p.add_argument("--batch", type=int, default=1, help="rows per run (default 1)")
    p.add_argument("--runs", type=int, default=200, help="timed runs (default 200)")
    p.add_argument("--threads", type=int, default=1, help="engine threads (default 1)")
    p.set_defaults(run=cmd_bench)
    p = sub.add_parser(
        "replay",
        help=f"recompute a receipt's outputs from its model and inputs: {_REPLAY_STATUSES}",
        description=f"Recompute a receipt's outputs from its model and inputs. Exit status: {_REPLAY_STATUSES}.",
    )
    p.add_argument("receipt", help="the receipt (JSON) that session.run_with_receipt made")
    p.add_argument("model", help="the model file")
    p.add_argument("--inputs", required=True, help="the inputs, by name, as numpy.savez writes them (.npz)")
    p.add_argument("--threads", type=int, default=1, help="engine threads (default 1)")
    p.set_defaults(run=cmd_replay)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return args.run(args)
    except BrokenPipeError:
        # The reader went away (`qen inspect FILE | head`): stop quietly, and
        # keep the interpreter from reporting the failed flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (UserError, fmt.FormatError, ValueError, TypeError, RuntimeError, ImportError, OSError) as error:
        print(f"qen {args.command}: {error}", file=sys.stderr)
        return 2 if args.command == "verify" else 1
