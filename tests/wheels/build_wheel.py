"""Builds one manylinux wheel of qen-runtime with zig and checks it.

    python build_wheel.py ARCH PYTHON DIST

ARCH is x86_64 or aarch64, PYTHON a CPython 3.10+ interpreter (a virtual
environment holding requirements-dev.txt), DIST the folder the repaired wheel
goes to. The wheel is built with cmake/zig-ARCH-linux-gnu.cmake, repaired by
auditwheel (which names its manylinux tag from the glibc symbol versions the
module imports) and refused when its module is misnamed for the target or
imports an unversioned symbol other than Python's: the unversioned names of
a newer glibc's headers (__isoc23_strtoll, __libc_single_threaded) that
auditwheel cannot see and that fail the import on an older system. Runs with
the interpreter of the wheel tools (requirements-wheels.txt) and prints the
wheel's name, tag and size.
"""

import os
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

import ziglang
from elftools.elf.elffile import ELFFile

ROOT = Path(__file__).resolve().parents[2]
TOOLS_BIN = Path(sys.executable).parent


def run(*args: str | Path, env: dict[str, str] | None = None) -> str:
    done = subprocess.run([str(a) for a in args], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(map(str, args))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def foreign_unversioned_imports(module: bytes) -> list[str]:
    """The module's undefined, non-weak dynamic symbols that carry no
    version and are not Python's."""
    with tempfile.TemporaryFile() as f:
        f.write(module)
        elf = ELFFile(f)
        symbols = elf.get_section_by_name(".dynsym")
        versions = elf.get_section_by_name(".gnu.version")
        found = []
        for i, symbol in enumerate(symbols.iter_symbols()):
            if symbol["st_shndx"] != "SHN_UNDEF" or not symbol.name or symbol["st_info"]["bind"] == "STB_WEAK":
                continue
            index = versions.get_symbol(i).entry["ndx"] if versions else "VER_NDX_GLOBAL"
            if index in ("VER_NDX_LOCAL", "VER_NDX_GLOBAL") and not symbol.name.startswith(("Py", "_Py")):
                found.append(symbol.name)
        return found


def main() -> None:
    arch, python, dist = sys.argv[1], sys.argv[2], Path(sys.argv[3]).resolve()
    version = run(python, "-c", "import sys; print('%d%d' % sys.version_info[:2])").strip()
    raw = ROOT / "build" / "wheels" / "raw"
    env = dict(os.environ)
    zig = Path(ziglang.__file__).parent / "zig"
    cmake_args = [f"-DCMAKE_TOOLCHAIN_FILE=cmake/zig-{arch}-linux-gnu.cmake", f"-DQEN_ZIG={zig}"]
    if arch != os.uname().machine:
        # scikit-build-core names the wheel, pybind11 the module for the target.
        suffix = f".cpython-{version}-{arch}-linux-gnu.so"
        env.update(_PYTHON_HOST_PLATFORM=f"linux-{arch}", SETUPTOOLS_EXT_SUFFIX=suffix)
        cmake_args.append(f"-DPYTHON_MODULE_EXTENSION={suffix}")
    pattern = f"*-cp{version}-*{arch}.whl"
    for stale in [*raw.glob(pattern), *dist.glob(pattern)]:
        stale.unlink()
    run(
        python,
        "-m",
        "pip",
        "wheel",
        "--quiet",
        "--no-build-isolation",
        "--no-deps",
        "--wheel-dir",
        raw,
        "--config-settings=build-dir=build/wheels/{wheel_tag}-zig",
        f"--config-settings=cmake.args={';'.join(cmake_args)}",
        ROOT,
        env=env,
    )
    (built,) = raw.glob(pattern)
    run(
        TOOLS_BIN / "auditwheel",
        "repair",
        "--wheel-dir",
        dist,
        built,
        env={**os.environ, "PATH": f"{TOOLS_BIN}:{os.environ['PATH']}"},
    )
    (wheel,) = dist.glob(pattern)
    shown = run(TOOLS_BIN / "auditwheel", "show", wheel)
    tag = next(w for w in shown.split() if w.strip('".').startswith("manylinux")).strip('".')
    if not tag.startswith(("manylinux_2_17_", "manylinux_2_28_")):
        sys.exit(f"{wheel.name}: tag {tag}, newer than manylinux_2_28")
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        (module,) = [n for n in names if n.startswith("_qen_core") and n.endswith(".so")]
        expected = f"_qen_core.cpython-{version}-{arch}-linux-gnu.so"
        if module != expected:
            sys.exit(f"{wheel.name}: module {module}, expected {expected}")
        unversioned = foreign_unversioned_imports(z.read(module))
        if unversioned:
            sys.exit(f"{wheel.name}: unversioned imports an older glibc may lack: {' '.join(unversioned)}")
        missing = [n for n in ("LICENSE", "qen/py.typed") if not any(x.endswith(n) for x in names)]
    print(
        f"{wheel.name}  tag {tag}  {wheel.stat().st_size // 1024} KiB  module {module}"
        + (f"  (missing: {' '.join(missing)})" if missing else "")
    )


if __name__ == "__main__":
    main()
