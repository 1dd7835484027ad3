"""The qen command: inspect reports what the loader would, verify's exit status, no traceback."""

import json
import os
import re
import struct
import subprocess
import sys

import numpy as np
import pytest
from model_builder import RELU, Model, Tensor

import _qen_core
import qen
from qen.cli import main


def write_model(path, certify=True, seed=5):
    rng = np.random.default_rng(seed)
    tensors = {"w": rng.standard_normal((4, 3)).astype(np.float32), "b": np.zeros(4, np.float32)}
    qen.write_sequential(
        path,
        [qen.Layer("linear", "w", "b"), qen.Layer("relu")],
        tensors,
        input_shape=(None, 3),
        producer="test",
        producer_version="1",
        certify=certify,
    )
    return path


@pytest.fixture
def model(tmp_path):
    return write_model(tmp_path / "m.qen")


def inspect_json(path, capsys):
    status = main(["inspect", "--json", str(path)])
    return status, json.loads(capsys.readouterr().out)


def test_inspect_json_of_a_valid_file(model, capsys):
    status, report = inspect_json(model, capsys)
    assert status == 0 and report["problems"] == report["warnings"] == []
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


def with_metadata(data, change):
    """The file's bytes with its (last) metadata replaced by change(metadata)."""
    h = qen.format.read_model(bytes(data)).header
    text = json.dumps(change(json.loads(data[h.metadata_offset :]))).encode()
    struct.pack_into("<Q", data, 16, len(text))
    return data[: h.metadata_offset] + text


def next_float_at(data, offset):
    value = np.frombuffer(data, np.float32, 1, offset)
    data[offset : offset + 4] = np.nextafter(value, np.float32(np.inf)).tobytes()
    return data


def uncertified(meta):
    del meta["probe"]
    return meta


def other_bits(meta):
    meta["probe"]["sha256"] = "0" * 64
    return meta


def older_certificate(meta):
    del meta["probe"]["content"]
    return meta


def renamed_output(meta):
    meta["outputs"][0]["name"] = "logits"
    return meta


def no_metadata_digest(meta):
    del meta["probe"]["content"]["metadata"]
    return meta


def weights_at(data, offset):
    struct.pack_into("<Q", data, 40, offset)
    return data


# What was done to the file, the exit status, and what verify says.
TAMPERING = {
    "none": (lambda d, h: d, 0, "weights are the producer's and this machine reproduces"),
    "one ulp of the first weight": (lambda d, h: next_float_at(d, h.weights_offset), 3, "tensor 1 changed"),
    "weights_offset into the graph": (lambda d, h: weights_at(d, h.graph_offset + 144), 3, "not the producer's"),
    "certified output bits": (lambda d, h: with_metadata(d, other_bits), 1, "output bits differ"),
    "no certificate": (lambda d, h: with_metadata(d, uncertified), 2, "holds no probe"),
    "digests stripped": (lambda d, h: with_metadata(d, older_certificate), 4, "weights and the metadata were not"),
    "no metadata digest": (lambda d, h: with_metadata(d, no_metadata_digest), 4, "metadata was not checked"),
    "output renamed": (lambda d, h: with_metadata(d, renamed_output), 3, "the file's metadata changed since it was"),
}


@pytest.mark.parametrize("case", TAMPERING)
def test_verify_tells_changed_weights_from_other_bits(model, tmp_path, case):
    tamper, status, message = TAMPERING[case]
    data = bytearray(model.read_bytes())
    path = tmp_path / "tampered.qen"
    path.write_bytes(tamper(data, qen.format.read_model(bytes(data)).header))
    result = subprocess.run([sys.executable, "-m", "qen", "verify", str(path)], capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (status, "") and message in result.stdout


def zero_graph(data, h):
    """graph_offset moved onto zero bytes: a graph of no node and no tensor."""
    struct.pack_into("<QQ", data, 24, len(data), 144)
    return data + bytes(144)


@pytest.mark.parametrize(
    "damage, warning",
    [
        (lambda d, h: weights_at(d, h.graph_offset + 144), "the weights of tensors 1, 2 overlap the graph block"),
        (zero_graph, "the metadata says a qen writer produced it but its 'inputs' do not list the graph's 0 inputs"),
    ],
)
def test_inspect_warns_of_a_damaged_file_that_loads(model, tmp_path, capsys, damage, warning):
    data = bytearray(model.read_bytes())
    path = tmp_path / "damaged.qen"
    path.write_bytes(damage(data, qen.format.read_model(bytes(data)).header))
    status, report = inspect_json(path, capsys)
    assert status == 0 and report["problems"] == [] and warning in report["warnings"][0]
    assert main(["inspect", "--strict", str(path)]) == 1 and f"warning: {warning}" in capsys.readouterr().out


@pytest.mark.parametrize(
    "argv, message",
    [
        (["convert", "{src}", "-o", "{dir}"], "is a folder; name the model file to write"),
        (["convert", "{src}", "-o", "{dir}/missing/m.qen"], "the folder .*missing does not exist"),
        (["inspect", "{src}"], r"not a QEN model file \(an ONNX model\? convert it: qen convert .*m.onnx -o"),
        (["verify", "{src}"], r"not a QEN model file \(an ONNX model\? convert it: qen convert .*m.onnx -o"),
        (["inspect", "{dir}/fifo"], "Failed to open file: .*fifo$"),
        (["convert", "{src}", "-o", "{dir}/fifo"], "fifo: it exists and is not a regular file$"),
    ],
)
def test_a_wrong_target_or_a_file_of_another_kind_is_one_line(tmp_path, capsys, argv, message):
    os.mkfifo(tmp_path / "fifo")  # opened, it would block until a writer came
    src = tmp_path / "m.onnx"
    src.write_bytes(b"\x08\x08\x12\x07pytorch" + bytes(100))  # ir_version 8, producer_name: an ONNX file's start
    assert main([a.format(src=src, dir=tmp_path) for a in argv]) == (2 if argv[0] == "verify" else 1)
    error = capsys.readouterr().err
    assert re.search(message, error, re.M) and error.count("\n") == 1 and ".tmp" not in error


@pytest.mark.parametrize("extent", [b"Infinity", b"1e400   "])
def test_an_infinite_extent_in_the_signature_is_not_trusted(model, tmp_path, extent):
    def eight_digits(meta):
        meta["inputs"][0]["shape"] = [None, 12345678]
        return meta

    path = tmp_path / "infinite.qen"
    path.write_bytes(with_metadata(bytearray(model.read_bytes()), eight_digits).replace(b"12345678", extent))
    assert [i.name for i in qen.load(path).get_inputs()] == ["input_0"]  # positional, as for any untrusted signature
    for command, status in (("verify", 3), ("bench", 1)):  # verify: the certified metadata changed
        result = subprocess.run([sys.executable, "-m", "qen", command, str(path)], capture_output=True, text=True)
        assert result.returncode == status and "Traceback" not in result.stderr


def test_long_tables_stream_and_long_metadata_is_not_read(write_model, capsys):
    model = Model(metadata=json.dumps({"pad": "x" * qen.format.METADATA_MAX_SIZE}).encode())
    x = model.placeholder(0, 3)
    model.inputs, model.outputs = [x], [model.activation(RELU, x)]
    model.tensors += [Tensor((0, 3))] * 20_000
    path = write_model(model)
    with pytest.warns(UserWarning, match="longer than 16777216 bytes and was not read"):
        session = qen.load(path)
    assert session.metadata is None and [i.name for i in session.get_inputs()] == ["input_0"]
    status, report = inspect_json(path, capsys)
    assert (
        status == 0
        and len(report["tensors"]) == 20_002
        and report["metadata"].endswith("not read: longer than 16777216 bytes)")
    )


def test_strict_json_one_line_for_a_huge_batch_and_a_long_file_name(model, tmp_path):
    def non_finite(meta):
        meta["limits"] = [float("nan"), float("-inf")]
        return meta

    path = tmp_path / ("n" * 246 + ".qen")  # 250 bytes: the longest name most file systems take
    path.write_bytes(with_metadata(bytearray(model.read_bytes()), non_finite))
    out = subprocess.run([sys.executable, "-m", "qen", "inspect", "--json", str(path)], capture_output=True, text=True)
    strict = json.loads(out.stdout, parse_constant=lambda name: pytest.fail(f"{name} is not JSON"))
    assert strict["metadata"]["limits"] == ["NaN", "-Infinity"]
    qen.write_sequential(path, [qen.Layer("relu")], {}, input_shape=(None, 3), producer="t", producer_version="1")
    bench = subprocess.run(
        [sys.executable, "-m", "qen", "bench", "--batch", "100000000000", str(path)], capture_output=True, text=True
    )
    assert bench.returncode == 1 and bench.stderr.count("\n") == 1 and "does not fit in memory" in bench.stderr


def one_bit_flipped(x):
    x = x.copy()
    x.view(np.uint32)[2, 1] ^= 1
    return x


def other_output_bits(receipt):
    return {**receipt, "outputs": [{**receipt["outputs"][0], "sha256": "0" * 64}]}


# What differs between the run and its replay (receipt, inputs, model, threads), the exit status and its line.
REPLAYS = {
    "nothing, 1 thread": (lambda r, x, m: (r, x, m, 1), 0, "the same bits: the receipt's model and inputs give"),
    "nothing, 2 threads": (lambda r, x, m: (r, x, m, 2), 0, "the same bits"),
    "input by one bit": (lambda r, x, m: (r, one_bit_flipped(x), m, 1), 4, "other inputs: input 'input' is not"),
    "model": (lambda r, x, m: (r, x, m.with_name("other.qen"), 1), 3, "another model: the file"),
    "output digest": (lambda r, x, m: (other_output_bits(r), x, m, 1), 1, "other output bits on this machine: output"),
    "receipt malformed": (lambda r, x, m: ({**r, "version": "one"}, x, m, 1), 2, "r.json: not a receipt: 'version'"),
}


@pytest.mark.parametrize("certify", [True, False])
@pytest.mark.parametrize("case", REPLAYS)
def test_replay_tells_same_bits_from_another_model_other_inputs_or_other_bits(tmp_path, capsys, case, certify):
    path = write_model(tmp_path / "m.qen", certify)
    write_model(tmp_path / "other.qen", certify, seed=6)
    x = np.random.default_rng(1).standard_normal((5, 3)).astype(np.float32)
    outputs, receipt = qen.load(path).run_with_receipt(None, {"input": x})
    assert outputs[0].tobytes() == qen.load(path).run(None, {"input": x})[0].tobytes()
    assert list(receipt["model"]) == (["content"] if certify else ["sha256"])
    qen.save_receipt(tmp_path / "r.json", receipt)
    change, status, message = REPLAYS[case]
    receipt, x, model, threads = change(qen.load_receipt(tmp_path / "r.json"), x, path)
    (tmp_path / "r.json").write_text(json.dumps(receipt))
    np.savez(tmp_path / "x.npz", input=x)
    assert (
        main(["replay", str(tmp_path / "r.json"), str(model), f"--inputs={tmp_path / 'x.npz'}", f"--threads={threads}"])
        == status
    )
    out, err = capsys.readouterr()
    assert message in out + err and (out.count("\n"), err.count("\n")) == ((0, 1) if status == 2 else (1, 0))
