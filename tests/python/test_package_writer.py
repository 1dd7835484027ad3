"""qen's writer: what it refuses, what it lays out, and replacing a file that an engine has loaded."""

import json
import os
import stat
import sys

import numpy as np
import pytest

import _qen_core
import qen
from qen import format as fmt

F32 = np.float32


def chain(**tensors):
    """Arguments of a 3 -> 2 Linear chain, with any tensor replaced."""
    arrays = {"w": np.ones((2, 3), F32), "b": np.zeros(2, F32)} | tensors
    return [qen.Layer("linear", "w", "b", name="fc")], arrays


def write(path, layers, tensors, **options):
    options = {"input_shape": (None, 3), "producer": "test", "producer_version": "1"} | options
    qen.write_sequential(path, layers, tensors, **options)


def seventeen_inputs(path):
    writer = qen.ModelWriter(producer="test", producer_version="1")
    for i in range(17):
        writer.add_input(f"x{i}", (None, 3))


def stored_output(path):
    writer = qen.ModelWriter(producer="test", producer_version="1")
    writer.add_output(writer.add_tensor("w", np.ones(3, F32)))


def twice_named(path):
    writer = qen.ModelWriter(producer="test", producer_version="1")
    writer.add_tensor("w", np.ones(3, F32))
    writer.add_tensor("w", np.ones(3, F32))


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def from_stack_depth(depth, call):
    return call() if depth == 0 else from_stack_depth(depth - 1, call)


REFUSALS = {
    "17 inputs": (seventeen_inputs, "x16.*at most 16 inputs"),
    "9 dims": (lambda p: write(p, *chain(w=np.ones((1,) * 9, F32))), "'w': 9 dimensions"),
    "float64 weight": (lambda p: write(p, *chain(w=np.ones((2, 3)))), "fc.*'w' is float64, expected float32"),
    "int32 bias": (lambda p: write(p, *chain(b=np.zeros(2, np.int32))), "fc.*'b' is int32"),
    "short bias": (lambda p: write(p, *chain(b=np.zeros(1, F32))), "fc.*bias 'b' has shape \\(1,\\)"),
    "empty weight": (lambda p: write(p, *chain(w=np.ones((0, 3), F32))), "'w'.*no elements"),
    "duplicate name": (twice_named, "duplicate tensor name 'w'"),
    "stored output": (stored_output, "output 'w' is a stored tensor"),
    "width mismatch": (lambda p: write(p, *chain(), input_shape=(None, 4)), "fc.*\\[batch, 3\\]"),
    "unknown op": (lambda p: write(p, [qen.Layer("tanh", name="act")], {}), "act.*unknown op 'tanh'"),
    "missing tensor": (lambda p: write(p, *chain()[:1], {}), "fc.*'w' is not in"),
    "reserved metadata": (lambda p: write(p, *chain(), metadata={"inputs": 1}), "'inputs'"),
    "deep metadata": (lambda p: write(p, *chain(), metadata={"x": nested(64)}), "nests deeper than 64 levels"),
    "deeper metadata": (lambda p: write(p, *chain(), metadata={"x": nested(990)}), "nests deeper than 64 levels"),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_refusals_name_the_tensor_or_layer_and_write_nothing(tmp_path, case):
    build, message = REFUSALS[case]
    with pytest.raises(ValueError, match=message):
        build(tmp_path / "m.qen")
    assert os.listdir(tmp_path) == []


def test_layout_signature_and_certificate(tmp_path):
    rng = np.random.default_rng(3)
    w1, b1 = rng.standard_normal((5, 3)).astype(">f4"), rng.standard_normal(5).astype(F32)  # big-endian in
    w2, b2 = np.asfortranarray(rng.standard_normal((2, 5)).astype(F32)), np.ones(2, F32)
    layers = [qen.Layer("linear", "w1", "b1"), qen.Layer("gelu"), qen.Layer("linear", "w2", "b2"), qen.Layer("softmax")]
    path = tmp_path / "m.qen"
    write(path, layers, {"w1": w1, "b1": b1, "w2": w2, "b2": b2}, metadata={"classes": ["a", "b"]}, certify=True)
    model = fmt.read_model(path.read_bytes())
    stored = [i for i, t in enumerate(model.tensors) if not t.is_placeholder]
    assert [(model.header.weights_offset + model.tensors[i].data_offset) % 64 for i in stored] == [0] * 4
    for i, expected in zip(stored, (w1, b1, w2, b2)):
        np.testing.assert_array_equal(model.tensor_data(i), expected)
    meta = json.loads(model.metadata_bytes())
    assert (meta["producer"], meta["classes"]) == ("test", ["a", "b"])
    assert meta["inputs"] == [{"name": "input", "shape": [None, 3], "dtype": "float32"}]
    assert meta["outputs"] == [{"name": "output", "shape": [None, 2], "dtype": "float32"}]
    assert qen.probe.verify(path).reproduced is True


def test_replace_keeps_a_loaded_engine_on_the_old_contents(tmp_path):
    path, x = tmp_path / "m.qen", np.ones((1, 3), F32)
    write(path, *chain(b=np.full(2, 1, F32)))
    engine = _qen_core.Engine()
    engine.load_model(str(path))
    write(path, *chain(b=np.full(2, 7, F32)))
    np.testing.assert_array_equal(engine.run([x])[0], [[4, 4]])
    np.testing.assert_array_equal(qen.load(path)(x), [[10, 10]])
    with pytest.raises(ValueError):  # a refused write leaves the file as it was
        write(path, *chain(b=np.zeros(1, F32)))
    np.testing.assert_array_equal(qen.load(path)(x), [[10, 10]])
    assert os.listdir(tmp_path) == ["m.qen"]


def test_new_files_take_the_umask_without_the_writer_changing_it(tmp_path, monkeypatch):
    umask = os.umask(0o022)
    os.umask(umask)
    monkeypatch.setattr(os, "umask", lambda mask: pytest.fail("the writer changed the process's umask"))
    write(tmp_path / "m.qen", *chain())
    assert (tmp_path / "m.qen").stat().st_mode & 0o777 == 0o666 & ~umask


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="FIFOs, owners")
def test_a_target_that_is_not_a_regular_file_is_refused_and_a_replaced_file_keeps_its_owner(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(ValueError, match="fifo: it exists and is not a regular file"):
        write(tmp_path / "fifo", *chain())
    assert stat.S_ISFIFO((tmp_path / "fifo").stat().st_mode) and sorted(os.listdir(tmp_path)) == ["fifo"]
    path = tmp_path / "m.qen"
    write(path, *chain())
    owner = (54321, 54322) if os.geteuid() == 0 else (os.geteuid(), os.getegid())
    os.chown(path, *owner)
    os.chmod(path, 0o640)
    write(path, *chain(b=np.ones(2, F32)))
    assert ((st := path.stat()).st_uid, st.st_gid, st.st_mode & 0o777) == (*owner, 0o640)


def test_metadata_nested_near_the_limit_reads_back_whatever_the_callers_stack(tmp_path):
    write(tmp_path / "m.qen", *chain(), metadata={"x": nested(63)}, certify=True)
    for depth in (0, sys.getrecursionlimit() - 200):
        session = from_stack_depth(depth, lambda: qen.load(tmp_path / "m.qen"))
        assert session.get_inputs()[0].name == "input" and "probe" in session.metadata
