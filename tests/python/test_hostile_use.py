"""Hostile but valid use from Python: odd files, inputs whose conversion runs
code, files rewritten while mapped, re-entrant and concurrent calls, and the
edges of a process's life (exit, fork, signals) while threads are in calls.
Each case ends in a result or a Python exception, in a child process that
must survive them all."""

import itertools
import os
import shutil
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from model_builder import LINEAR, RELU, Model, Node

import qen

CHILD = r"""
import fcntl, json, sys, threading
import numpy as np
import _qen_core as qen

mlp, small, fifo, graph_offset = sys.argv[1:]
x = np.arange(8, dtype=np.float32).reshape(2, 4) - 3

def loaded(cls=qen.Engine):
    obj = cls(); obj.load_model(mlp); return obj

engine, executor = loaded(), loaded(qen.GraphExecutor)
expected = engine.run([x])[0]

class Input:  # runs `action` when numpy converts it
    def __init__(self, action): self.action = action
    def __array__(self, dtype=None, copy=None): self.action(); return x

class Finalised(np.ndarray):  # its finaliser reloads the engine with the smaller model
    def __del__(self): engine.load_model(small)

def rewritten():
    with open(mlp, "r+b") as f:  # the graph header's four counts, as another process could
        f.seek(int(graph_offset)); f.write(b"\xff" * 16)
    return engine.run([x])[0].tolist() == expected.tolist() and executor.execute([x]) == [None]

def finaliser_after_run():
    engine.run([x.copy().view(Finalised)])
    return engine.run([x])[0].tolist() == expected.tolist() and engine.run([x])[0].tolist() == x.tolist()

def threads(engines):
    inputs = [x * k for k in range(8)]
    results = {}
    def work(k): results[k] = [engines[k % len(engines)].run([inputs[k]])[0] for _ in range(50)]
    workers = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    [w.start() for w in workers]; [w.join() for w in workers]
    single = loaded()
    return len(results) == 8 and all((r == single.run([inputs[k]])[0]).all() for k in results for r in results[k])

def writer_open():
    with open(small, "rb") as f:  # where no lease is granted, writers cannot be seen
        try:
            fcntl.fcntl(f, fcntl.F_SETLEASE, fcntl.F_RDLCK); fcntl.fcntl(f, fcntl.F_SETLEASE, fcntl.F_UNLCK)
        except OSError:
            raise RuntimeError(f"Failed to open file: {small}")
    with open(small, "ab"):
        qen.ModelLoader(small)

items = []
items.extend([Input(items.clear)] + [np.ones((2, 4), np.float32) * k for k in range(100)])
busy = "RuntimeError: {} is already in a call on this thread; it cannot be re-entered"
refused = "RuntimeError: Failed to open file: {}"
CASES = {  # each action and the outcome it must have
    "fifo loader": (lambda: qen.ModelLoader(fifo), refused.format(fifo)),
    "fifo engine": (lambda: qen.Engine().load_model(fifo), refused.format(fifo)),
    "list cleared while converted": (lambda: engine.run(items)[0].tolist() == expected.tolist(), True),
    "run in __array__ of run": (lambda: engine.run([Input(lambda: engine.run([x]))]), busy.format("Engine")),
    "load in __array__ of run": (lambda: engine.run([Input(lambda: engine.load_model(small))]), busy.format("Engine")),
    "execute in __array__": (lambda: executor.execute([Input(lambda: executor.execute([]))]),
                             busy.format("GraphExecutor")),
    "peak in __array__ of run": (lambda: engine.run([Input(engine.peak_memory_usage)])[0] is not None, True),
    "one engine, 8 threads": (lambda: threads([engine]), True),
    "4 engines, 8 threads": (lambda: threads([engine] + [loaded() for _ in range(3)]), True),
    "counts rewritten after open": (rewritten, True),
    "finaliser reloads after run": (finaliser_after_run, True),
    "file open for writing": (writer_open, refused.format(small)),
    "float64 extent 2^32": (lambda: engine.run([np.broadcast_to(np.zeros(1), (2**32 + 1,))]),
                            "RuntimeError: Unsupported dtype"),
    "path not UTF-8": (lambda: qen.Engine().load_model(b"/no/such/\xff.qen"), refused.format("/no/such/\\xff.qen")),
}
for case, (action, expected_outcome) in CASES.items():
    try:
        outcome = action()
    except Exception as e:
        outcome = f"{type(e).__name__}: {e}"
    if outcome != expected_outcome:
        print(f"{case}: {outcome!r}, expected {expected_outcome!r}")
"""


def test_hostile_use_raises_or_runs(tmp_path, write_model):
    mlp = Model()
    x = mlp.placeholder(2, 4)
    h = mlp.linear(x, np.arange(12, dtype=np.float32).reshape(3, 4), np.ones(3, np.float32))
    mlp.inputs, mlp.outputs = [x], [mlp.activation(RELU, h)]
    small = Model()
    small.inputs = small.outputs = [small.placeholder(2, 4)]
    paths = [write_model(mlp), write_model(small), str(tmp_path / "fifo")]
    os.mkfifo(paths[2])
    child = subprocess.run(
        [sys.executable, "-c", CHILD, *paths, str(mlp.graph_offset)], capture_output=True, text=True, timeout=120
    )
    assert (child.returncode, child.stdout) == (0, ""), child.stdout + child.stderr[-3000:]


LIFE = r"""
import os, signal, sys, threading
import numpy as np
import _qen_core as qen

case, short, long = sys.argv[1:]
x = np.linspace(-1, 1, 128 * 512, dtype=np.float32).reshape(128, 512)
entered, release, barrier = threading.Event(), threading.Event(), threading.Barrier(2)

def loaded(path=short, cls=qen.Engine):
    obj = cls(); obj.load_model(path); return obj
def works(engine, x=x): return (engine.run([x])[0] == x).all()
def in_thread(call, *args): (t := threading.Thread(target=call, args=args, daemon=True)).start(); return t

class Input:  # runs `action` when numpy converts it, inside the call
    def __init__(self, action): self.action = action
    def __array__(self, dtype=None, copy=None): self.action(); return x

if case == "exit":  # daemon threads in run, waiting for another's run, in execute
    engine, executor = loaded(), loaded(cls=qen.GraphExecutor)
    for call in (engine.run, engine.run, executor.execute, executor.execute):
        in_thread(lambda call=call: [call([x]) for _ in range(10**6)])
    threading.Event().wait(0.3); sys.exit(0)

if case == "fork":  # forked while another thread is in a call on two of three objects
    import warnings; warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+ warns of fork beside threads
    busy, executor, idle = loaded(), loaded(cls=qen.GraphExecutor), loaded()
    for call in (busy.run, executor.execute):
        in_thread(call, [Input(lambda: (entered.set(), release.wait()))]); entered.wait(); entered.clear()
    if os.fork() == 0:
        for call in (busy.run, executor.execute):
            try: call([x])
            except RuntimeError as e: print(e)
        print(works(idle), flush=True); os._exit(0)
    os.wait(); release.set(); print(works(busy))

if case == "signals":  # two engines whose inputs call each other; then a long run
    a, b = loaded(), loaded()
    other = in_thread(b.run, [Input(lambda: (barrier.wait(), a.run([x])))])
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    try: a.run([Input(lambda: (barrier.wait(), b.run([x])))])
    except KeyboardInterrupt: print("interrupted")
    other.join(); print(works(a) and works(b))
    engine = loaded(long)
    def alarm(*_):  # raises inside the run, where the engine is still in its call
        try: engine.run([x])
        except RuntimeError as e: raise TimeoutError(e)
    signal.signal(signal.SIGALRM, alarm); signal.setitimer(signal.ITIMER_REAL, 0.1)
    try: engine.run([x])
    except TimeoutError as e: print(e)
    print(works(engine, x[:1]))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fork, SIGALRM")
@pytest.mark.parametrize(
    "case, expected_output",
    [
        ("exit", ""),
        (
            "fork",
            "Engine was in use by another thread when the process forked; create a new Engine in the child\n"
            "GraphExecutor was in use by another thread when the process forked; create a new GraphExecutor in "
            "the child\nTrue\nTrue\n",
        ),
        ("signals", "interrupted\nTrue\nEngine is already in a call on this thread; it cannot be re-entered\nTrue\n"),
    ],
    ids=("exit", "fork", "signals"),
)
def test_exit_fork_and_signals_while_threads_are_in_calls(write_model, case, expected_output):
    paths = []
    for nodes in (4, 2000):  # chains of identity Linear nodes: 4 take a moment, 2,000 some seconds
        chain = Model()
        x, y = chain.placeholder(0, 512), chain.placeholder(0, 512)
        w, b = chain.stored(np.eye(512, dtype=np.float32)), chain.stored(np.zeros(512, np.float32))
        chain.nodes = [Node(LINEAR, [x if i == 0 else y], [y], w, b) for i in range(nodes)]
        chain.inputs, chain.outputs = [x], [y]
        paths.append(write_model(chain))
    child = subprocess.run([sys.executable, "-c", LIFE, case, *paths], capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout, child.stderr) == (0, expected_output, "")


def test_a_session_takes_weights_and_classes_from_one_file_while_the_path_is_replaced(tmp_path):
    # Two versions whose weight rows and classes are permuted together: each labels [1, 0] "a".
    versions = []
    for rows, classes in (([[1, 0], [0, 1]], ["a", "b"]), ([[0, 1], [1, 0]], ["b", "a"])):
        versions.append(tmp_path / f"v{len(versions)}.qen")
        qen.write_sequential(
            versions[-1],
            [qen.Layer("linear", "w", "b")],
            {"w": np.array(rows, np.float32), "b": np.zeros(2, np.float32)},
            input_shape=(None, 2),
            metadata={"classes": classes},
            producer="test",
            producer_version="1",
        )
    path, stop = tmp_path / "model.qen", threading.Event()
    shutil.copyfile(versions[0], path)

    def publish():
        for i in itertools.count():
            if stop.is_set():
                return
            shutil.copyfile(versions[i % 2], tmp_path / "next.qen")
            os.replace(tmp_path / "next.qen", path)
            time.sleep(0.001)  # a busy publisher, but one that leaves a load a moment between versions

    publisher = threading.Thread(target=publish)
    publisher.start()
    labels, deadline = [], time.monotonic() + 1.5
    try:
        while time.monotonic() < deadline:
            try:
                session = qen.load(path)
            except RuntimeError as error:  # replaced during every attempt: a starved machine's outcome, never wrong
                assert "was replaced by another file during each of" in str(error)
                continue
            labels.append(session.metadata["classes"][int(session(np.array([[1, 0]], np.float32)).argmax())])
    finally:
        stop.set()
        publisher.join()
    assert len(labels) > 10 and set(labels) == {"a"}
