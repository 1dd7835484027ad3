import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from model_builder import GELU, SOFTMAX, Model

import _qen_core as qen

# x [200, 129] -> Linear 150 -> GELU -> Linear 170 -> Softmax: every node is big enough to be split.
RNG = np.random.default_rng(5)
MODEL = Model()
MODEL.inputs = [MODEL.placeholder(0, 129)]
_h = MODEL.activation(GELU, MODEL.linear(MODEL.inputs[0], RNG.standard_normal((150, 129)), RNG.standard_normal(150)))
MODEL.outputs = [MODEL.activation(SOFTMAX, MODEL.linear(_h, RNG.standard_normal((170, 150)), RNG.standard_normal(170)))]
X = RNG.standard_normal((200, 129), dtype=np.float32)


def run(path, threads=1, times=1):
    engine = qen.Engine(threads=threads)
    engine.load_model(path)
    return [engine.run([X])[0].tobytes() for _ in range(times)]


def test_threads_is_keyword_only_and_not_negative():
    qen.Engine(qen.Device.CPU, threads=0)
    with pytest.raises(TypeError):
        qen.Engine(qen.Device.CPU, 2)
    with pytest.raises(ValueError, match=r"^threads must be 0 \(every available core\) or a positive count$"):
        qen.Engine(threads=-1)


def test_engines_on_python_threads_give_the_single_thread_bits(write_model):
    path = write_model(MODEL)
    results = {}
    workers = [threading.Thread(target=lambda t=t: results.update({t: run(path, t, 5)})) for t in (1, 2, 3, 7)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert {t: set(r) for t, r in results.items()} == {t: set(run(path)) for t in (1, 2, 3, 7)}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fork and /proc/self/task")
def test_forked_child_runs_with_a_pool_of_its_own(write_model):
    # The parent starts its pool first; a child has none of its workers and must start its own.
    script = textwrap.dedent("""
        import os, sys
        import numpy as np
        import _qen_core as qen
        x = np.load(sys.argv[2])
        engine = qen.Engine(threads=2)
        engine.load_model(sys.argv[1])
        want = engine.run([x])[0].tobytes()
        if os.fork() == 0:
            same = all(engine.run([x])[0].tobytes() == want for _ in range(3))
            os._exit(0 if same and len(os.listdir("/proc/self/task")) > 1 else 3)
        sys.exit(os.waitstatus_to_exitcode(os.wait()[1]))
    """)
    path = write_model(MODEL)
    np.save(path + ".npy", X)
    done = subprocess.run(
        [sys.executable, "-c", script, path, path + ".npy"], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
