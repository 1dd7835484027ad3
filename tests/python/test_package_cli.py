"""The qen command: inspect reports what the loader would, verify's exit status, no traceback."""

import json
import subprocess
import sys

import numpy as np
import pytest

import _qen_core
import qen
from qen.cli import main


@pytest.fixture
def model(tmp_path):
    path = tmp_path / "m.qen"
    rng = np.random.default_rng(5)
    tensors = {"w": rng.standard_normal((4, 3)).astype(np.float32), "b": np.zeros(4, np.float32)}
    qen.write_sequential(path, [qen.Layer("linear", "w", "b"), qen.Layer("relu")], tensors, input_shape=(None, 3),
                         producer="test", producer_version="1", probe=rng.standard_normal((2, 3)).astype(np.float32))
    return path


def inspect_json(path, capsys):
    status = main(["inspect", "--json", str(path)])
    return status, json.loads(capsys.readouterr().out)


def test_inspect_json_of_a_valid_file(model, capsys):
    status, report = inspect_json(model, capsys)
    assert status == 0 and report["problems"] == []
    assert [n["op"] for n in report["nodes"]] == ["LINEAR", "RELU"]
    assert [t["role"] for t in report["tensors"] if t["status"] == "ok"] == ["weight", "bias"]
    assert report["metadata"]["producer"] == "test" and report["regions"]["weights"] == 64
    assert sum(report["regions"].values()) == report["file_size"] == model.stat().st_size


def loader_verdict(path):
    """The loader's message for the file: at open, or when the engine runs it."""
    try:
        engine = _qen_core.Engine()
        engine.load_model(str(path))
        _qen_core.ModelLoader(str(path)).get_metadata()
        engine.run([np.ones((1, 3), np.float32)])
    except RuntimeError as error:
        return str(error)
    return None


@pytest.mark.parametrize("cut", [0, 40, 100, 1000, -1])
def test_inspect_json_of_a_truncated_file_reports_the_loader_message(model, tmp_path, capsys, cut):
    data = model.read_bytes()
    path = tmp_path / "cut.qen"
    path.write_bytes(data[:cut])
    status, report = inspect_json(path, capsys)
    assert status == 1
    reported = [report["error"]] if "error" in report else report["problems"]
    assert loader_verdict(path) in [r.split(": ")[-1] for r in reported]


def test_verify_passes_the_file_and_fails_a_tampered_copy(model, tmp_path):
    tampered = tmp_path / "tampered.qen"
    data = bytearray(model.read_bytes())
    data[qen.format.read_model(bytes(data)).header.weights_offset] ^= 1  # one bit of the first weight
    tampered.write_bytes(data)
    command = [sys.executable, "-m", "qen", "verify"]
    results = [subprocess.run(command + [str(p)], capture_output=True, text=True) for p in (model, tampered)]
    assert [r.returncode for r in results] == [0, 1]
    assert "reproduces" in results[0].stdout and "differ" in results[1].stdout
    assert not any("Traceback" in r.stderr for r in results)
