"""qen.load and Session: feeds checked by name, dtype and shape; pickling; files of other producers."""

import os
import pickle
import shutil

import numpy as np
import pytest
from model_builder import RELU, Model

import qen

F32 = np.float32


@pytest.fixture
def session(tmp_path):
    """Two inputs and two outputs: a = relu(x) ([batch, 3]), b = softmax(y) ([2, 4])."""
    writer = qen.ModelWriter(producer="test", producer_version="1")
    x, y = writer.add_input("x", (None, 3)), writer.add_input("y", (2, 4))
    writer.add_output(writer.add_node("relu", x, "a"))
    writer.add_output(writer.add_node("softmax", y, "b"))
    writer.write(tmp_path / "two.qen")
    return qen.load(tmp_path / "two.qen")


X, Y = np.array([[-1, 0, 2]], F32), np.zeros((2, 4), F32)
BAD_FEEDS = {
    "missing input": ({"x": X}, ValueError, "missing input 'y'"),
    "unknown input": ({"x": X, "y": Y, "z": X}, ValueError, "unknown input 'z'"),
    "float64": (
        {"x": X.astype(np.float64), "y": Y},
        TypeError,
        r"'x': dtype float64, expected float32; the model computes in float32: pass x.astype\(np.float32\)",
    ),
    "int32 for float32": ({"x": X, "y": Y.astype(np.int32)}, TypeError, "'y': dtype int32"),
    "list": ({"x": X.tolist(), "y": Y}, TypeError, "'x': expected a numpy array, got list"),
    "rank": ({"x": X[0], "y": Y}, ValueError, r"'x': shape \[3\] does not match the declared \[None, 3\]"),
    "fixed extent": ({"x": X, "y": np.zeros((3, 4), F32)}, ValueError, r"'y': shape \[3, 4\].*\[2, 4\]"),
    "not a dict": ([X, Y], TypeError, "input_feed must be a dict"),
}


@pytest.mark.parametrize("case", BAD_FEEDS)
def test_bad_feeds_are_refused_by_name(session, case):
    feed, error, message = BAD_FEEDS[case]
    with pytest.raises(error, match=message):
        session.run(None, feed)


def test_names_order_and_calls(session, tmp_path, monkeypatch):
    assert [(i.name, i.shape, i.dtype) for i in session.get_inputs()] == [("x", (None, 3), F32), ("y", (2, 4), F32)]
    assert [o.name for o in session.get_outputs()] == ["a", "b"]
    b, a = session.run(["b", "a"], {"x": X.astype(">f4"), "y": Y})  # the other byte order is accepted
    np.testing.assert_array_equal(a, [[0, 0, 2]])
    np.testing.assert_array_equal(b, np.full((2, 4), 0.25, F32))
    assert all(np.array_equal(r, s) for r, s in zip(session(X, Y), (a, b)))
    with pytest.raises(ValueError, match="unknown output 'c'"):
        session.run(["c"], {"x": X, "y": Y})
    with pytest.raises(TypeError, match="takes 2 input"):
        session(X)
    monkeypatch.chdir(tmp_path)
    pickled = pickle.dumps(qen.load("two.qen"))
    monkeypatch.chdir(tmp_path.parent)  # the copy reopens the file by its absolute path
    copy = pickle.loads(pickled)
    assert copy.metadata == session.metadata and np.array_equal(copy(X, Y)[0], a)


def test_a_pickled_session_reopens_its_own_file_or_refuses(session, tmp_path, monkeypatch):
    other = tmp_path / "other"
    other.mkdir()
    writer = qen.ModelWriter(producer="test", producer_version="2")  # the same graph from another producer
    writer.add_output(writer.add_node("relu", writer.add_input("x", (None, 3)), "a"))
    writer.write(other / "two.qen")
    monkeypatch.chdir(tmp_path)
    pickled = pickle.dumps(qen.load("two.qen"))
    monkeypatch.chdir(other)  # where "two.qen" is the other model
    assert pickle.loads(pickled).metadata == session.metadata  # the first folder's file, not this one's
    shutil.copyfile(other / "two.qen", tmp_path / "two.qen")
    with pytest.raises(ValueError, match=f"{tmp_path / 'two.qen'}: the file there is not the model that was pickled"):
        pickle.loads(pickled)


@pytest.mark.parametrize("text", [b"not json", b"[" * 5000])  # JSON too deeply nested to parse is text too
def test_file_of_another_producer_loads_with_positional_names(write_model, text):
    model = Model(metadata=text)
    x = model.placeholder(1, 3)
    model.inputs, model.outputs = [x], [model.activation(RELU, x)]
    session = qen.load(write_model(model))
    assert session.metadata == text.decode()
    assert [(i.name, i.shape) for i in session.get_inputs() + session.get_outputs()] == [
        ("input_0", None),
        ("output_0", None),
    ]
    np.testing.assert_array_equal(session(X), [[0, 0, 2]])


def test_receipt_names_what_ran_and_is_refused_for_a_file_replaced_since_the_session_opened(session, tmp_path):
    later = qen.load(session.path)
    (b,), receipt = session.run_with_receipt(["b"], {"x": X.astype(">f4"), "y": Y})
    assert [e["name"] for e in receipt["inputs"]] == ["x", "y"] and [e["name"] for e in receipt["outputs"]] == ["b"]
    assert qen.replay(receipt, session.path, {"y": Y, "x": X}).same  # a digest of the values, in either byte order
    (tmp_path / "new.qen").write_bytes((tmp_path / "two.qen").read_bytes())
    os.replace(tmp_path / "new.qen", tmp_path / "two.qen")
    with pytest.raises(RuntimeError, match="changed since the session opened it"):
        later.run_with_receipt(None, {"x": X, "y": Y})
