"""qen.ray on a local Ray cluster of two nodes of one CPU each, on the loopback interface, started and stopped here."""

import hashlib
import os
import tempfile
import uuid
from pathlib import Path

import numpy as np
import pytest

import qen
from qen.ray import BatchScorer, score

ray = pytest.importorskip("ray")
pa, pq = pytest.importorskip("pyarrow"), pytest.importorskip("pyarrow.parquet")  # Ray Data's own
# Ray Data warns of its own deprecated settings whenever its context is set up.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning:ray")

MODEL = Path(__file__).resolve().parents[2] / "examples" / "digits.qen"
STALL_S = 60  # a worker that cannot start, or a run that stops moving, fails the test instead of hanging it


@pytest.fixture(scope="module")
def local_ray():
    from ray.cluster_utils import Cluster

    node = {"num_cpus": 1, "node_ip_address": "127.0.0.1", "object_store_memory": 100 * 2**20}
    with pytest.MonkeyPatch.context() as patch:
        # Ray turns a loopback address into the machine's own unless it runs as a single-machine cluster.
        patch.setattr(ray._private.ray_constants, "ENABLE_RAY_CLUSTER", False)
        cluster = Cluster(initialize_head=True, head_node_args={**node, "include_dashboard": False})
        cluster.add_node(**node)
        ray.init(address=cluster.address)
        context = ray.data.DataContext.get_current()
        context.wait_for_min_actors_s = context.execution_no_progress_timeout_s = STALL_S
        yield
        ray.shutdown(wait_for_processes=True)
        cluster.shutdown()


def pixels(rows):
    return np.random.default_rng(rows).random((rows, 64), dtype=np.float32)


# Two workers from the start over rows in memory, one on each node; or a pool
# that grows from one while tasks that make the rows still need a CPU (a pool
# that took both CPUs at once would wait for those tasks forever). The model
# reaches the workers from the driver: its file is gone before the rows run.
@pytest.mark.parametrize("made_by_tasks, min_workers, keep", [(False, 2, ["row"]), (True, 1, True)])
def test_two_workers_give_the_bits_of_one_session(local_ray, tmp_path, made_by_tasks, min_workers, keep):
    class NodeScorer(BatchScorer):  # defined here, so that Ray ships it by value: the workers cannot import tests
        def __call__(self, batch):
            scored = super().__call__(batch)
            scored["node"] = np.full(len(scored[self.outputs[0]]), ray.get_runtime_context().get_node_id())
            return scored

    session = qen.load(MODEL)
    (graph_input,), (graph_output,) = session.get_inputs(), session.get_outputs()
    x = pixels(3000)
    if made_by_tasks:
        dataset = ray.data.range(len(x), override_num_blocks=6)
        dataset = dataset.map_batches(lambda b: {"row": b["id"], "x": x[b["id"]]})
    else:
        dataset = ray.data.from_items([{"row": i, "x": v} for i, v in enumerate(x)], override_num_blocks=6)
    model = tmp_path / "digits.qen"
    model.write_bytes(MODEL.read_bytes())
    scored = score(
        dataset,
        model,
        workers=2,
        min_workers=min_workers,
        batch_size=250,
        inputs={"x": graph_input.name},
        keep_columns=keep,
        scorer=NodeScorer,
    )
    model.unlink()
    scored = scored.take_all()
    assert sorted(r["row"] for r in scored) == list(range(len(x)))  # each row once
    assert set(scored[0]) == {"row", graph_output.name, "node"} | ({"x"} if keep is True else set())
    assert min_workers == 1 or len({r["node"] for r in scored}) == 2
    got = np.stack([r[graph_output.name] for r in sorted(scored, key=lambda r: r["row"])])
    assert got.tobytes() == session.run(None, {graph_input.name: x})[0].tobytes()


def test_a_pickled_session_runs_in_a_worker(local_ray):
    session = qen.load(MODEL)
    x = pixels(100)

    @ray.remote
    def run_there(remote_session, x):
        return os.getpid(), remote_session(x)

    pid, got = ray.get(run_there.remote(session, x), timeout=STALL_S)
    assert pid != os.getpid() and got.tobytes() == session(x).tobytes()


def small_model(path, seed=0, certify=False):
    tensors = {"w": np.ones((4, 64), np.float32), "b": np.full(4, seed, np.float32)}
    qen.write_sequential(
        path,
        [qen.Layer("linear", "w", "b")],
        tensors,
        input_shape=(None, 64),
        input_name="in",
        output_name="out",
        producer="test",
        producer_version="0",
        certify=certify,
    )
    return path


# A vector per row as Arrow stores it (list, fixed-size list), and one float64 column per feature.
LAYOUTS = {
    "list": lambda x: ({"in": pa.array(list(x), pa.list_(pa.float64()))}, None),
    "fixed-size list": lambda x: ({"in": pa.array(list(x), pa.list_(pa.float64(), 64))}, None),
    "scalar columns": lambda x: ({f"f{i}": x[:, i] for i in range(64)}, {"in": [f"f{i}" for i in range(64)]}),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_parquet_layouts_are_scored_as_their_float32_rows(local_ray, tmp_path, layout):
    x = pixels(50).astype(np.float64) / 3
    columns, inputs = LAYOUTS[layout](x)
    pq.write_table(pa.table({"row": np.arange(len(x)), **columns}), tmp_path / "t.parquet")
    model = small_model(tmp_path / "m.qen")
    rows = score(
        ray.data.read_parquet(str(tmp_path / "t.parquet")), model, workers=1, inputs=inputs, batch_size=16
    ).take_all()
    got = np.stack([r["out"] for r in sorted(rows, key=lambda r: r["row"])])
    assert got.tobytes() == qen.load(model)(x.astype(np.float32)).tobytes()


def vectors(*rows):
    """A column of per-row vectors as Ray Data gives a list column: a 1-D object array of arrays."""
    column = np.empty(len(rows), dtype=object)
    column[:] = rows
    return column


@pytest.mark.parametrize(
    "inputs, batch, error",
    [
        ({"x": "no such input"}, {}, "not a graph input"),
        ({"a": "in", "b": "in"}, {}, "more than one column"),
        ({"x": 1}, {}, "inputs must map"),
        (None, {"other": np.zeros((1, 64), np.float32)}, "no column"),
        ({"x": "in"}, {"x": np.zeros((1, 64), np.float32), "out": np.zeros(1)}, "would replace"),
        ({"in": ["a", "s"]}, {"a": np.zeros(2), "s": np.array(["x", "y"])}, "column 's' holds <U1"),
        ({"in": ["a", "gone"]}, {"a": np.zeros(2)}, "no column 'gone'"),
        ({"in": ["a", "v"]}, {"a": np.zeros(2), "v": np.zeros((2, 3))}, "column 'v'.*scalar columns"),
        (None, {"in": vectors(np.zeros(64), np.zeros(63))}, "column 'in' holds vectors of different"),
        (None, {"in": vectors(np.zeros(64), np.array(["a"] * 64))}, "column 'in' holds <U1"),
        (None, {"in": np.full((1, 64), 1e300)}, "column 'in': 1e[+]?300 is beyond the range of .* float32"),
    ],
)
def test_scorer_refuses_what_it_cannot_feed_or_keep(tmp_path, inputs, batch, error):
    with pytest.raises((TypeError, ValueError), match=error):
        BatchScorer(small_model(tmp_path / "m.qen"), inputs=inputs)(batch)
    table = np.ones((2, 64), np.float64).astype(object)  # numbers held as objects
    np.testing.assert_array_equal(
        BatchScorer(small_model(tmp_path / "m.qen"))({"in": table})["out"], np.full((2, 4), 64)
    )


def node_copy(model):
    """Where `score` caches `model` on each node (all nodes of this cluster share this machine's)."""
    name = hashlib.sha256(Path(model).read_bytes()).hexdigest() + ".qen"
    return Path(tempfile.gettempdir(), f"qen-models-{os.getuid()}", name)


def test_a_changed_node_copy_is_refused(local_ray, tmp_path):
    model = small_model(tmp_path / "m.qen", seed=uuid.uuid4().int % 2**24)  # a copy no other run shares
    scored = score(ray.data.from_items([{"in": np.zeros(64, np.float32)}]), model, workers=1)
    copy = node_copy(model)
    try:
        changed = bytearray(copy.read_bytes())
        changed[-1] ^= 1
        copy.write_bytes(changed)
        with pytest.raises(Exception, match=f"its copy of the model {model} at {copy} has SHA-256 .* but the model's"):
            scored.take_all()
    finally:
        copy.unlink()


@pytest.mark.parametrize(
    "case, kwargs, error, message",
    [
        ("missing", {}, FileNotFoundError, "No such file or directory"),
        ("text", {}, ValueError, "is not a model file this runtime loads"),
        ("changed", {}, ValueError, "weights are not the producer's: tensor 1 changed"),
        ("model", {"verify": True}, ValueError, "does not verify: the file holds no probe"),
        ("model", {"keep_columns": "in"}, TypeError, "keep_columns is True"),
        ("model", {"inputs": {"x": "y"}}, ValueError, "'y' is not a graph input"),
    ],
)
def test_score_refuses_a_bad_model_at_once(local_ray, tmp_path, case, kwargs, error, message):
    (tmp_path / "text").write_text("not a model")
    small_model(tmp_path / "model")
    changed = bytearray(small_model(tmp_path / "changed", certify=True).read_bytes())
    changed[qen.format.read_model(bytes(changed)).header.weights_offset] ^= 1  # a certified weight
    (tmp_path / "changed").write_bytes(changed)
    with pytest.raises(error, match=message):
        score(ray.data.range(1), tmp_path / case, workers=1, **kwargs)


def test_a_model_in_s3(local_ray):
    from moto.server import ThreadedMotoServer
    from pyarrow.fs import S3FileSystem

    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    try:
        host, port = server.get_host_and_port()
        s3 = S3FileSystem(
            access_key="test",
            secret_key="test",
            endpoint_override=f"{host}:{port}",
            scheme="http",
            region="us-east-1",
            allow_bucket_creation=True,
        )
        s3.create_dir("models")
        with s3.open_output_stream("models/digits/v1/digits.qen") as f:
            f.write(MODEL.read_bytes())
        x = pixels(100)
        expected = qen.load(MODEL)(x)
        uri = "s3://models/digits/v1/digits.qen"
        dataset = ray.data.from_numpy(x)
        rows = score(dataset, uri, filesystem=s3, workers=1, inputs={"data": "input"}, keep_columns=False).take_all()
        assert np.stack([r["output"] for r in rows]).tobytes() == expected.tobytes()
        assert BatchScorer(uri, filesystem=s3)({"input": x})["output"].tobytes() == expected.tobytes()
        with pytest.raises(FileNotFoundError, match="Path does not exist"):
            score(ray.data.range(1), uri.replace("v1", "v2"), filesystem=s3, workers=1)
    finally:
        server.stop()
