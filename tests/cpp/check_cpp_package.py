"""Checks the runtime installed as a C++ package by the printout of the
example built against it (examples/cpp), and its shared library if given.

usage: check_cpp_package.py PRINTOUT [SHARED_LIBRARY]

Each digit's printed class and outputs must be the Python Session's on the
same digits, bit for bit. A shared library must export, of the runtime's own
names, only the public headers' classes and functions; the C++ standard
library's template instantiations it exports too have vague linkage.
"""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np

import qen

ROOT = Path(__file__).resolve().parents[2]
MODEL = ROOT / "examples" / "digits.qen"
DIGITS = ROOT / "examples" / "cpp" / "digits.txt"
PUBLIC = re.compile(
    r"(typeinfo for |typeinfo name for |vtable for )?qen::"
    r"((Engine|ModelLoader|TensorView|RunStopped)(::|$)|(aligned_allocate|aligned_free|allocate_tensor|checked_byte_size|element_size)\()"
)


def check_printout(printout: Path) -> list[str]:
    pixels = np.loadtxt(DIGITS, comments="#", dtype=np.int64, ndmin=2)
    expected = qen.load(MODEL)((pixels / 16.0).astype(np.float32))
    rows = [line.split() for line in printout.read_text().splitlines() if line.startswith("digit ")]
    classes = np.array([int(fields[3]) for fields in rows])
    outputs = np.array([[float(value) for value in fields[5:]] for fields in rows]).astype(np.float32)
    if outputs.shape != expected.shape:
        return [f"{printout}: {outputs.shape} outputs printed, the Session gives {expected.shape}"]
    problems = []
    differ = np.flatnonzero((outputs.view(np.uint32) != expected.view(np.uint32)).any(axis=1))
    if differ.size:
        problems.append(f"{printout}: digits {differ.tolist()} differ from the Session's outputs")
    if not np.array_equal(classes, expected.argmax(axis=1)):
        problems.append(f"{printout}: classes {classes.tolist()}, the Session's {expected.argmax(axis=1).tolist()}")
    return problems


def check_exports(library: Path) -> list[str]:
    command = ["nm", "-D", "--defined-only", "-C", str(library)]
    listing = subprocess.run(command, capture_output=True, text=True, check=True)
    names = [line.split(" ", 2)[2] for line in listing.stdout.splitlines() if line.count(" ") >= 2]
    internal = [name for name in names if "qen::" in name.split("<")[0] and not PUBLIC.match(name)]
    return [f"{library} exports internal {name}" for name in internal]


def main(argv: list[str]) -> int:
    problems = check_printout(Path(argv[1]))
    if len(argv) > 2:
        problems += check_exports(Path(argv[2]))
    for problem in problems:
        print(problem, file=sys.stderr)
    if not problems:
        print(f"{argv[1]}: the example's classes and outputs are the Python Session's, bit for bit")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
