#!/bin/sh
# Installs a wheel or sdist of qen-runtime into the virtual environment VENV
# and tests it there: the pytest files given, then the output bits of the
# certified models of build/wheels/certified against the GCC build's
# (build/wheels/digests.txt) and `qen verify` of each, and `qen replay` of the
# GCC build's receipt at 1 and 2 threads. Prints pytest's summary line and
# "same bits", or what failed.
#
#     tests/wheels/test_wheel.sh VENV WHEEL_OR_SDIST TEST_FILE...
set -eu
venv=$1 installable=$2
shift 2
py=$venv/bin/python
log=$(mktemp)
trap 'rm -f "$log"' EXIT
fail() { cat "$log" >&2; echo "$installable: $1"; exit 1; }

pip_install() { "$py" -m pip install --quiet --disable-pip-version-check "$@" >"$log" 2>&1 || fail "does not install"; }
pip_install "$installable" "pytest>=8"
pip_install --force-reinstall --no-deps "$installable"
# Out of the source tree's way: the tests import the installed package.
"$py" -m pytest -q -p no:cacheprovider "$@" >"$log" 2>&1 || fail "tests fail"
summary=$(tail -n 1 "$log" | sed 's/^=* *//; s/ *=*$//')
"$py" tests/wheels/digests.py build/wheels/certified >"$log" 2>&1 || fail "digests.py fails"
diff build/wheels/digests.txt "$log" >&2 || fail "other output bits than the GCC build"
for model in build/wheels/certified/*.qen examples/digits.qen; do
  "$py" -m qen verify "$model" >"$log" 2>&1 || fail "qen verify $model exits $?"
done
for threads in 1 2; do
  "$py" -m qen replay build/wheels/certified/receipt.json examples/digits.qen \
    --inputs build/wheels/certified/receipt-inputs.npz --threads $threads >"$log" 2>&1 ||
    fail "qen replay of the GCC build's receipt at $threads threads exits $?"
done
echo "$summary; same bits; qen verify 0; qen replay 0"
