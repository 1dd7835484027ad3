"""The exact output bits of certified models, to compare builds and machines.

    python digests.py write DIR   writes the certified models into DIR, and a receipt of a
                                  run of examples/digits.qen (receipt.json, receipt-inputs.npz)
    python digests.py DIR         prints one line per model and thread count

Each line is the file name, the thread count and the SHA-256 of the outputs
on the file's own probe batch (for examples/digits.qen too, a certified
file), so two builds or machines agree when their lines are equal. The
models are chains of every kind of node, with widths that take the vector
kernels' full tiles and their remainders.
"""

import sys
from pathlib import Path

import numpy as np

import qen
from qen.probe import _decode, digest

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "digits.qen"
SHAPES = {"narrow": (3, 5, 4), "tiles": (64, 48, 32), "ragged": (37, 129, 19)}


def write(folder: Path) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    for name, (k, hidden, n) in SHAPES.items():
        rng = np.random.default_rng(len(name))
        tensors = {
            "w1": rng.standard_normal((hidden, k)).astype(np.float32),
            "b1": rng.standard_normal(hidden).astype(np.float32),
            "w2": (rng.standard_normal((n, hidden)) / np.sqrt(hidden)).astype(np.float32),
            "b2": rng.standard_normal(n).astype(np.float32),
        }
        layers = [qen.Layer("linear", "w1", "b1"), qen.Layer("gelu"), qen.Layer("relu")]
        layers += [qen.Layer("linear", "w2", "b2"), qen.Layer("softmax")]
        qen.write_sequential(
            folder / f"{name}.qen",
            layers,
            tensors,
            input_shape=(None, k),
            producer="digests",
            producer_version="1",
            certify=True,
        )
    # Rows with infinities and NaNs too, whose NaN outputs must match across machines.
    x = np.random.default_rng(7).standard_normal((16, 64)).astype(np.float32)
    x[1, 3], x[2, :] = -np.inf, np.nan
    _, receipt = qen.load(EXAMPLE).run_with_receipt(None, {"input": x})
    qen.save_receipt(folder / "receipt.json", receipt)
    np.savez(folder / "receipt-inputs.npz", input=x)


def print_digests(folder: Path) -> None:
    for path in sorted(folder.glob("*.qen")) + [EXAMPLE]:
        for threads in (1, 2):
            session = qen.Session(path, threads=threads)
            feed = {name: _decode(entry) for name, entry in session.metadata["probe"]["inputs"].items()}
            print(path.name, threads, digest(session.run(None, feed)))


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(Path(sys.argv[2]))
    else:
        print_digests(Path(sys.argv[1]))
