"""qen.ray on a local Ray instance with two worker processes, started and stopped here."""

import os
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
    ray.init(address="local", num_cpus=2, include_dashboard=False, object_store_memory=100 * 2**20)
    context = ray.data.DataContext.get_current()
    context.wait_for_min_actors_s = context.execution_no_progress_timeout_s = STALL_S
    yield
    ray.shutdown(wait_for_processes=True)


def pixels(rows):
    return np.random.default_rng(rows).random((rows, 64), dtype=np.float32)


# Two workers from the start over rows in memory; or a pool that grows from one
# while tasks that make the rows still need a CPU (a pool that took both CPUs
# at once would wait for those tasks forever).
@pytest.mark.parametrize("made_by_tasks, min_workers", [(False, 2), (True, 1)])
def test_two_workers_give_the_bits_of_one_session(local_ray, made_by_tasks, min_workers):
    session = qen.load(MODEL)
    (graph_input,), (graph_output,) = session.get_inputs(), session.get_outputs()
    x = pixels(3000)
    if made_by_tasks:
        dataset = ray.data.range(len(x), override_num_blocks=6)
        dataset = dataset.map_batches(lambda b: {"row": b["id"], "x": x[b["id"]]})
    else:
        dataset = ray.data.from_items([{"row": i, "x": v} for i, v in enumerate(x)], override_num_blocks=6)
    scored = score(
        dataset, MODEL, workers=2, min_workers=min_workers, batch_size=250, inputs={"x": graph_input.name}
    ).take_all()
    assert sorted(r["row"] for r in scored) == list(range(len(x)))  # each row once, its columns kept
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


def small_model(path):
    tensors = {"w": np.ones((4, 64), np.float32), "b": np.zeros(4, np.float32)}
    qen.write_sequential(
        path,
        [qen.Layer("linear", "w", "b")],
        tensors,
        input_shape=(None, 64),
        input_name="in",
        output_name="out",
        producer="test",
        producer_version="0",
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
