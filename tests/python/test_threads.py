import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _qen_core as qen
from qen_writer import GELU, SOFTMAX, Model


@pytest.fixture
def wide_model(write_model):
    """x [200, 129] -> Linear 150 -> GELU -> Linear 170 -> Softmax: every node big enough to be split."""
    rng = np.random.default_rng(5)
    model = Model()
    x = model.placeholder(0, 129)
    h = model.activation(GELU, model.linear(x, rng.standard_normal((150, 129)), rng.standard_normal(150)))
    model.inputs = [x]
    model.outputs = [model.activation(SOFTMAX, model.linear(h, rng.standard_normal((170, 150)), rng.standard_normal(170)))]
    return write_model(model)


@pytest.fixture
def wide_input():
    return np.random.default_rng(6).standard_normal((200, 129), dtype=np.float32)


def run_once(path, x, **engine_args):
    engine = qen.Engine(**engine_args)
    engine.load_model(path)
    return engine.run([x])[0]


def test_threads_is_keyword_only_and_not_negative(identity_model):
    for threads in (0, 1, 2):
        qen.Engine(threads=threads).load_model(identity_model)
    qen.Engine(qen.Device.CPU, threads=3)
    with pytest.raises(TypeError):
        qen.Engine(qen.Device.CPU, 2)
    with pytest.raises(ValueError, match=r"^threads must be 0 \(every available core\) or a positive count$"):
        qen.Engine(threads=-1)


def test_several_engines_on_python_threads_give_the_single_thread_bits(wide_model, wide_input):
    want = run_once(wide_model, wide_input)
    results, errors = [], []

    def work(threads):
        try:
            engine = qen.Engine(threads=threads)
            engine.load_model(wide_model)
            results.extend(engine.run([wide_input])[0] for _ in range(5))
        except Exception as error:  # reported below, on the test's thread
            errors.append(error)

    workers = [threading.Thread(target=work, args=(threads,)) for threads in (1, 2, 3, 2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not errors
    assert len(results) == 20
    for got in results:
        assert got.tobytes() == want.tobytes()


def test_forked_child_runs_with_a_pool_of_its_own(wide_model):
    # The parent starts its pool first; the child inherits none of its workers.
    script = textwrap.dedent("""
        import os, sys
        import numpy as np
        import _qen_core as qen
        path = sys.argv[1]
        x = np.random.default_rng(6).standard_normal((200, 129), dtype=np.float32)
        engine = qen.Engine(threads=2)
        engine.load_model(path)
        want = engine.run([x])[0].tobytes()
        pid = os.fork()
        if pid == 0:
            child = qen.Engine(threads=2)
            child.load_model(path)
            same = all(child.run([x])[0].tobytes() == want for _ in range(3))
            os._exit(0 if same else 3)
        _, status = os.waitpid(pid, 0)
        sys.exit(os.waitstatus_to_exitcode(status))
    """)
    done = subprocess.run([sys.executable, "-c", script, wide_model], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
