"""Fuzzes the Python reader of model files: any bytes end in its own FormatError.

`qen.format.read_model` parses a file for `qen inspect` and `Session`; on it
and on everything `qen inspect` derives from the parsed file (tables, tensor
checks, metadata, warnings of damage) every input must either pass or raise
`FormatError` with the loader's message, never another Python exception.

    python tests/fuzz/fuzz_read_model.py [--seconds N] [--findings DIR]

With atheris installed this is a coverage-guided libFuzzer run over the seed
corpus (tests/fuzz/make_seeds.py) and the dictionary tests/fuzz/model.dict;
without it, a seeded mutation loop over the same seeds and dictionary. Both
first replay the kept findings in tests/fuzz/regressions/fuzz_read_model/.
A new finding is written to the findings folder and fails the run.
"""

from __future__ import annotations

import argparse
import ast
import hashlib
import random
import struct
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
REGRESSIONS = HERE / "regressions" / "fuzz_read_model"
DICTIONARY = HERE / "model.dict"

try:
    import atheris
except ImportError:
    atheris = None

if atheris:
    with atheris.instrument_imports(include=["qen"]):
        from qen import format as fmt
        from qen.cli import Inspection
else:
    from qen import format as fmt
    from qen.cli import Inspection


def one_input(data: bytes) -> None:
    try:
        model = fmt.read_model(data)
        report = Inspection(model)  # tables, tensor and node problems, metadata, warnings of damage
        for _ in report.tensor_rows():
            pass
        for _ in report.node_rows():
            pass
        report.closing()
        for i in range(len(model.tensors)):
            if model.tensor_problem(i) is None:
                model.tensor_data(i)
    except fmt.FormatError:
        pass


def seeds() -> list[bytes]:
    sys.path.insert(0, str(HERE))
    import make_seeds

    models = make_seeds.valid_models()
    return [m.to_bytes() for m in models.values()] + list(make_seeds.near_valid(models["mlp"]).values())


def tokens() -> list[bytes]:
    """The dictionary's entries: name="escaped bytes" lines."""
    entries = []
    for line in DICTIONARY.read_text().splitlines():
        if "=" in line and not line.startswith("#"):
            entries.append(ast.literal_eval("b" + line.split("=", 1)[1]))
    return entries


def mutate(data: bytes, rng: random.Random, words: list[bytes]) -> bytes:
    """One to four random edits: a bit flip, a dictionary word or a boundary value written over, a cut, a copy."""
    out = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        at = rng.randrange(len(out) + 1)
        choice = rng.randrange(5)
        if choice == 0 and out:
            out[min(at, len(out) - 1)] ^= 1 << rng.randrange(8)
        elif choice == 1:
            word = rng.choice(words)
            out[at : at + len(word)] = word
        elif choice == 2:
            value = rng.choice([0, 1, 72, 144, len(out), len(out) - 1, 2**31, 2**32 - 1, 2**63, 2**64 - 1])
            out[at : at + 8] = struct.pack("<Q", value % 2**64)
        elif choice == 3:
            del out[at:]
        else:
            start = rng.randrange(len(out) + 1)
            out[at:at] = out[start : start + rng.randint(1, 256)]
    return bytes(out)


def record(data: bytes, findings: Path) -> Path:
    findings.mkdir(parents=True, exist_ok=True)
    path = findings / f"fuzz_read_model-crash-{hashlib.sha1(data).hexdigest()}"
    path.write_bytes(data)
    return path


def mutation_loop(corpus: list[bytes], seconds: float, findings: Path) -> int:
    rng, words = random.Random(0), tokens()
    deadline, runs = time.monotonic() + seconds, 0
    while time.monotonic() < deadline:
        data = mutate(rng.choice(corpus), rng, words)
        runs += 1
        try:
            one_input(data)
        except Exception:
            traceback.print_exc()
            print(f"finding after {runs} inputs: {record(data, findings)}", file=sys.stderr)
            return 1
    print(f"fuzz_read_model: {runs} mutated inputs in {seconds:.0f} s, no finding (seeded mutation loop)")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=45)
    parser.add_argument("--findings", type=Path, default=Path("build/fuzz/findings"))
    parser.add_argument(
        "--corpus",
        type=Path,
        default=Path("build/fuzz/corpus/fuzz_read_model"),
        help="the seeds and the corpus that grows from run to run (atheris only)",
    )
    args = parser.parse_args()
    kept = sorted(REGRESSIONS.glob("*"))
    for path in kept:  # a kept finding that fails again stops here, with its traceback
        one_input(path.read_bytes())
    print(f"fuzz_read_model: {len(kept)} kept findings replayed")
    corpus = seeds()
    if atheris is None:
        return mutation_loop(corpus, args.seconds, args.findings)
    args.findings.mkdir(parents=True, exist_ok=True)
    args.corpus.mkdir(parents=True, exist_ok=True)
    for i, data in enumerate(corpus):  # the seeds join the corpus, rewritten each run
        (args.corpus / f"seed-{i}").write_bytes(data)
    atheris.Setup(
        [
            sys.argv[0],
            f"-max_total_time={int(args.seconds)}",
            "-timeout=10",
            "-max_len=16384",
            "-print_final_stats=1",
            f"-dict={DICTIONARY}",
            f"-artifact_prefix={args.findings}/fuzz_read_model-",
            str(args.corpus),
        ],
        one_input,
    )
    atheris.Fuzz()  # exits the process: 0 when the time is up without a finding
    return 0


if __name__ == "__main__":
    sys.exit(main())
