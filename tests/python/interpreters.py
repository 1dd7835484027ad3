"""Finds the CPython interpreter of a minor version on this machine: on PATH,
or among pyenv's installed versions, whose shims on PATH answer only for the
versions pyenv has selected. `python interpreters.py 3.12` prints its path,
or nothing when there is none.
"""

import glob
import os
import shutil
import subprocess
import sys


def find_python(version: str) -> str | None:
    """The path of a working `python<version>` (such as "3.12"), or None."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    candidates = [shutil.which(f"python{version}")]
    candidates += sorted(glob.glob(os.path.join(root, "versions", f"{version}.*", "bin", f"python{version}")))
    check = "import sys; print('%d.%d' % sys.version_info[:2])"
    for exe in filter(None, candidates):
        answer = subprocess.run([exe, "-c", check], capture_output=True, text=True)
        if answer.returncode == 0 and answer.stdout.strip() == version:
            return exe
    return None


if __name__ == "__main__":
    print(find_python(sys.argv[1]) or "")
