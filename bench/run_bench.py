"""Measures the QEN runtime against its peers and prints one Markdown table.

Each row is one case against one peer, both measured in this run: the median
over repeated runs of each, the kernel variant this CPU runs, and the ratio.
For times the ratio is the peer's time over QEN's (above 1: QEN is faster);
for rates it is QEN's rate over the peer's. The machine's own limits (the
mul+add peak and memory read rates of one core) come from qen_machine_peak,
measured in the same run. Nothing here asserts a speed.

Usage: run_bench.py PATH_TO_QEN_MACHINE_PEAK [PATH_TO_QEN_REPLACED_LIBM]
Model files are written into a temporary directory that is removed at exit.
"""

from __future__ import annotations

import gc
import hashlib
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import onnx
import onnxruntime as ort
from onnx import TensorProto, helper
from threadpoolctl import threadpool_info, threadpool_limits

import _qen_core as qen
import qen as qen_package
from qen import Layer, ModelWriter, write_sequential

GELU, RELU, SOFTMAX = "gelu", "relu", "softmax"

try:
    import torch
except ImportError:
    torch = None

F32 = np.float32
RNG = np.random.default_rng(2024)


def median_seconds(call, repeats=7, budget=0.35):
    """Median time of one call, over `repeats` runs of enough calls to fill `budget` seconds."""
    call()
    start = time.perf_counter()
    call()
    once = time.perf_counter() - start
    calls = max(1, int(budget / repeats / max(once, 1e-9)))
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            call()
        times.append((time.perf_counter() - start) / calls)
    return statistics.median(times)


def paired_seconds(calls, rounds=15, budget=0.6):
    """Median time of one call of each, the calls taking turns round by round, so that a
    busy spell of the machine falls on all of them alike. Each turn starts with a pause, in
    which ONNX Runtime's idle workers (they spin for a while after a call) go back to sleep, and
    a call that is not timed, which brings the call's weights back into the caches."""
    counts = {}
    for name, call in calls.items():
        call()
        start = time.perf_counter()
        call()
        counts[name] = max(1, int(budget / len(calls) / rounds / max(time.perf_counter() - start, 1e-9)))
    times = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            time.sleep(0.05)
            call()
            start = time.perf_counter()
            for _ in range(counts[name]):
                call()
            times[name].append((time.perf_counter() - start) / counts[name])
    return {name: statistics.median(t) for name, t in times.items()}


def weights(rows, cols):
    return ((RNG.random((rows, cols), dtype=F32) - F32(0.5)) / F32(np.sqrt(cols))).astype(F32)


def engine_for(path, threads=1):
    engine = qen.Engine(threads=threads)
    engine.load_model(str(path))
    return engine


def save_qen(path, layers, width, activations):
    """A chain of Linear layers [(W, b)], each followed by its activation op or None."""
    chain, tensors = [], {}
    for i, ((w, b), op) in enumerate(zip(layers, activations)):
        tensors[f"w{i}"], tensors[f"b{i}"] = w, b
        chain += [Layer("linear", f"w{i}", f"b{i}")] + ([Layer(op)] if op is not None else [])
    write_sequential(path, chain, tensors, input_shape=(None, width), producer="bench", producer_version="0")
    return path


def save_single_op_qen(path, op, cols):
    write_sequential(path, [Layer(op)], {}, input_shape=(None, cols), producer="bench", producer_version="0")
    return path


def save_onnx(path, layers, width, activations):
    """The same chain as an ONNX graph: Gemm (B transposed) and the activations."""
    nodes, inits, name = [], [], "x"
    for i, ((w, b), op) in enumerate(zip(layers, activations)):
        inits += [
            helper.make_tensor(f"w{i}", TensorProto.FLOAT, w.shape, w.tobytes(), raw=True),
            helper.make_tensor(f"b{i}", TensorProto.FLOAT, b.shape, b.tobytes(), raw=True),
        ]
        nodes.append(helper.make_node("Gemm", [name, f"w{i}", f"b{i}"], [f"g{i}"], transB=1))
        name = f"g{i}"
        if op is not None:
            kind, attributes = {
                RELU: ("Relu", {}),
                SOFTMAX: ("Softmax", {"axis": 1}),
                GELU: ("Gelu", {"approximate": "tanh"}),
            }[op]
            nodes.append(helper.make_node(kind, [name], [f"a{i}"], **attributes))
            name = f"a{i}"
    graph = helper.make_graph(
        nodes,
        "bench",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [None, width])],
        [helper.make_tensor_value_info(name, TensorProto.FLOAT, None)],
        inits,
    )
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 20)]), str(path))
    return path


def save_single_op_onnx(path, op, cols):
    if op == GELU:
        node = helper.make_node("Gelu", ["x"], ["y"], approximate="tanh")
    else:
        node = helper.make_node("Softmax", ["x"], ["y"], axis=1)
    graph = helper.make_graph(
        [node],
        "op",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [None, cols])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)],
    )
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 20)]), str(path))
    return path


def ort_session(path, threads=None):
    options = ort.SessionOptions()
    if threads is not None:
        options.intra_op_num_threads = threads
        options.inter_op_num_threads = threads
    return ort.InferenceSession(str(path), options, providers=["CPUExecutionProvider"])


def numpy_mlp(layers):
    (w1, b1), (w2, b2) = layers

    def forward(x):
        h = np.maximum(x @ w1.T + b1, F32(0))
        z = h @ w2.T + b2
        e = np.exp(z - z.max(axis=1, keepdims=True))
        return e / e.sum(axis=1, keepdims=True)

    return forward


def numpy_gelu(x):
    return F32(0.5) * x * (F32(1) + np.tanh(F32(0.7978846) * (x + F32(0.044715) * (x * x * x))))


def numpy_softmax(x):
    e = np.exp(x - x.max(axis=1, keepdims=True))
    return e / e.sum(axis=1, keepdims=True)


class Table:
    def __init__(self, variant):
        self.variant = variant
        self.rows = []

    def time_row(self, case, qen_s, peer, peer_s):
        self.rows.append((case, fmt_time(qen_s), peer, fmt_time(peer_s), f"{peer_s / qen_s:.2f}x"))

    def rate_row(self, case, qen_rate, peer, peer_rate, unit):
        self.rows.append(
            (case, f"{qen_rate:.1f} {unit}", peer, f"{peer_rate:.1f} {unit}", f"{100 * qen_rate / peer_rate:.0f} %")
        )

    def limit_row(self, case, value, unit, limit):
        """A measured cost against the most it should be; the ratio is the share of that limit used."""
        self.rows.append((case, f"{value:.3g} {unit}", "limit", f"{limit:.3g} {unit}", f"{100 * value / limit:.2g} %"))

    def print(self):
        print("| case | variant | QEN | peer | peer's | ratio |")
        print("|---|---|---|---|---|---|")
        for case, mine, peer, theirs, ratio in self.rows:
            print(f"| {case} | {self.variant} | {mine} | {peer} | {theirs} | {ratio} |")


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def mlp_layers(sizes):
    return [(weights(n, k), weights(1, n)[0]) for k, n in zip(sizes, sizes[1:])]


def model_limit_row(table, case, seconds, sizes, batch, cores=1):
    """A model's time as a share of the least time its Linear layers allow on `cores` cores: their
    multiplies and adds at the mul+add peak, or one read of their weights at the read rate of the
    measured buffer nearest the weights in size, whichever takes longer. The activations count as
    nothing, so their cost lowers the share."""
    flops = 2.0 * batch * sum(k * n for k, n in zip(sizes, sizes[1:]))
    weight_bytes = 4.0 * sum((k + 1) * n for k, n in zip(sizes, sizes[1:]))
    read_key = min(_PEAK["read_gbps"], key=lambda mib: abs(np.log2(weight_bytes / (int(mib) << 20))))
    peak, read = cores * _PEAK["mul_add_gflops"], cores * peak_read(read_key)
    on = f"{cores} core{'s' if cores > 1 else ''}"
    if flops / peak >= weight_bytes / read:
        table.rate_row(case, flops / seconds / 1e9, f"limit: mul+add peak, {on}", peak, "GFLOP/s")
    else:
        table.rate_row(case, weight_bytes / seconds / 1e9, f"limit: read rate, {read_key} MiB, {on}", read, "GB/s")


ORT_PEERS = (("ONNX Runtime, 1 thread", 1), ("ONNX Runtime, default threads", None))


def bench_real_model(table, tmp, sizes, hidden, batches, every_core=()):
    """An MLP of the sizes users bring: QEN with threads=1 against ONNX Runtime with one thread and
    with its default threads, and for the batches in `every_core` QEN with threads=0 too. Each
    peer takes turns with QEN on its own: the spinning workers of a multi-threaded peer would
    otherwise slow the single-threaded calls that follow."""
    name = "-".join(map(str, sizes))
    layers = mlp_layers(sizes)
    acts = [hidden] * (len(layers) - 1) + [SOFTMAX]
    path = save_qen(tmp / f"mlp{name}.qen", layers, sizes[0], acts)
    onnx_path = save_onnx(tmp / f"mlp{name}.onnx", layers, sizes[0], acts)
    engine, every_core_engine = engine_for(path, 1), engine_for(path, 0)
    for batch in batches:
        x = RNG.standard_normal((batch, sizes[0]), dtype=F32)
        case = f"MLP {name} ({hidden}, softmax), batch {batch}"
        mine = {}
        for label, threads in ORT_PEERS:
            session = ort_session(onnx_path, threads)
            calls = {"QEN": lambda: engine.run([x]), label: lambda: session.run(None, {"x": x})}
            if threads is None and batch in every_core:
                calls["QEN, threads=0"] = lambda: every_core_engine.run([x])
            t = paired_seconds(calls)
            mine.setdefault("QEN", t["QEN"])
            table.time_row(case, t["QEN"], label, t[label])
            if "QEN, threads=0" in t:
                mine["QEN, threads=0"] = t["QEN, threads=0"]
                table.time_row(f"{case}, threads=0", t["QEN, threads=0"], label, t[label])
        model_limit_row(table, case, mine["QEN"], sizes, batch)
        if "QEN, threads=0" in mine:
            cores = len(os.sched_getaffinity(0))
            model_limit_row(table, f"{case}, threads=0", mine["QEN, threads=0"], sizes, batch, cores)


def bench_small_model_call(table, tmp):
    """A scikit-learn size at batch 1, and the cost that `Session.run` adds to `Engine.run`."""
    sizes = (20, 64, 32, 4)
    bench_real_model(table, tmp, sizes, RELU, (1,))
    path = save_qen(tmp / "small_session.qen", mlp_layers(sizes), sizes[0], [RELU, RELU, SOFTMAX])
    session = qen_package.load(path)
    x = RNG.standard_normal((1, sizes[0]), dtype=F32)
    feed = {session.get_inputs()[0].name: x}
    t = paired_seconds({"Session": lambda: session.run(None, feed), "Engine": lambda: session._engine.run([x])})
    table.time_row("MLP 20-64-32-4, batch 1, Session.run", t["Session"], "Engine.run", t["Engine"])


def bench_mlp(table, tmp):
    layers = [(weights(128, 64), weights(1, 128)[0]), (weights(10, 128), weights(1, 10)[0])]
    acts = [RELU, SOFTMAX]
    engine = engine_for(save_qen(tmp / "mlp.qen", layers, 64, acts))
    onnx_path = save_onnx(tmp / "mlp.onnx", layers, 64, acts)
    peers = {"numpy, 1 thread": numpy_mlp(layers)}
    for label, threads in (("ONNX Runtime, 1 thread", 1), ("ONNX Runtime, default threads", None)):
        session = ort_session(onnx_path, threads)
        peers[label] = lambda x, s=session: s.run(None, {"x": x})
    if torch is not None:
        torch.set_num_threads(1)
        model = torch.nn.Sequential(
            torch.nn.Linear(64, 128), torch.nn.ReLU(), torch.nn.Linear(128, 10), torch.nn.Softmax(dim=1)
        ).eval()
        with torch.no_grad():
            for layer, (w, b) in zip((model[0], model[2]), layers):
                layer.weight.copy_(torch.from_numpy(w))
                layer.bias.copy_(torch.from_numpy(b))

        def torch_forward(x):
            with torch.no_grad():
                return model(torch.from_numpy(x)).numpy()

        peers["PyTorch, 1 thread"] = torch_forward
    for batch in (1, 64):
        x = RNG.standard_normal((batch, 64), dtype=F32)
        mine = median_seconds(lambda: engine.run([x]))
        with threadpool_limits(1):
            for peer, forward in peers.items():
                table.time_row(f"MLP 64-128-10, batch {batch}", mine, peer, median_seconds(lambda: forward(x)))
        model_limit_row(table, f"MLP 64-128-10, batch {batch}", mine, (64, 128, 10), batch)


def bench_linear(table, tmp, peak):
    m, k, n = 256, 1024, 1024
    w, b = weights(n, k), weights(1, n)[0]
    engine = engine_for(save_qen(tmp / "linear.qen", [(w, b)], k, [None]))
    x = RNG.standard_normal((m, k), dtype=F32)
    flops = 2.0 * m * n * k
    mine = flops / median_seconds(lambda: engine.run([x])) / 1e9
    with threadpool_limits(1):
        numpy_rate = flops / median_seconds(lambda: x @ w.T + b) / 1e9
    case = f"Linear [{m},{k}]x[{n},{k}]^T"
    table.rate_row(case, mine, "numpy, 1 thread", numpy_rate, "GFLOP/s")
    table.rate_row(case, mine, "mul+add peak, 1 core", peak["mul_add_gflops"], "GFLOP/s")
    for variant, rate in peak["linear_gflops"].items():
        table.rate_row(
            f"{case}, kernel alone, {variant} variant", rate, "mul+add peak, 1 core", peak["mul_add_gflops"], "GFLOP/s"
        )


def bench_gemv(table, tmp, size, read_key, read_label, repeats, rows=None):
    """Batch 1 through [rows, size] weights (square unless `rows` is given)."""
    rows = rows or size
    w, b = weights(rows, size), weights(1, rows)[0]
    path = save_qen(tmp / f"gemv{rows}x{size}.qen", [(w, b)], size, [None])
    engine = engine_for(path)
    x = RNG.standard_normal((1, size), dtype=F32)
    weight_bytes = 4.0 * rows * size
    mine = weight_bytes / median_seconds(lambda: engine.run([x]), repeats=repeats) / 1e9
    with threadpool_limits(1):
        numpy_rate = weight_bytes / median_seconds(lambda: x @ w.T + b, repeats=repeats) / 1e9
    case = f"GEMV [1,{size}]x[{rows},{size}]^T, weight bytes"
    table.rate_row(case, mine, "numpy, 1 thread", numpy_rate, "GB/s")
    table.rate_row(case, mine, read_label, peak_read(read_key), "GB/s")
    return path, w, b


def bench_elementwise(table, tmp):
    rows, cols = 256, 4096
    x = (RNG.standard_normal((rows, cols), dtype=F32) * F32(3)).astype(F32)
    for op, label, peer in ((GELU, "GELU", numpy_gelu), (SOFTMAX, "Softmax", numpy_softmax)):
        engine = engine_for(save_single_op_qen(tmp / f"{label}.qen", op, cols))
        session = ort_session(save_single_op_onnx(tmp / f"{label}.onnx", op, cols), 1)
        mine = x.size / median_seconds(lambda: engine.run([x])) / 1e6
        theirs = x.size / median_seconds(lambda: peer(x)) / 1e6
        ort_rate = x.size / median_seconds(lambda: session.run(None, {"x": x})) / 1e6
        case = f"{label} [{rows},{cols}], elements"
        table.rate_row(case, mine, "numpy, 1 thread", theirs, "M/s")
        table.rate_row(case, mine, "ONNX Runtime, 1 thread", ort_rate, "M/s")
        for variant, rate in _PEAK[f"{op}_mps"].items():
            # The kernel runs in the peak tool's process, numpy in this one, in the same run.
            table.rate_row(
                f"{case}, kernel alone in qen_machine_peak, {variant} variant", rate, "numpy, 1 thread", theirs, "M/s"
            )


def bench_replaced_libm(table, tmp, replaced_libm):
    """GELU and softmax in a child process whose C library expf and tanhf are replaced (LD_PRELOAD) by
    slower ones with other results: the kernels never call them, so the rate and the bits stay."""
    rows, cols = 256, 4096
    x = (RNG.standard_normal((rows, cols), dtype=F32) * F32(3)).astype(F32)
    np.save(tmp / "libm_x.npy", x)
    script = textwrap.dedent("""
        import hashlib, sys
        import numpy as np
        sys.path.insert(0, sys.argv[1])
        from run_bench import engine_for, median_seconds
        x = np.load(sys.argv[2])
        for path in sys.argv[3:]:
            engine = engine_for(path)
            rate = x.size / median_seconds(lambda: engine.run([x])) / 1e6
            print(rate, hashlib.sha256(engine.run([x])[0].tobytes()).hexdigest())
    """)
    paths = [save_single_op_qen(tmp / f"{op}_libm.qen", op, cols) for op in (GELU, SOFTMAX)]
    env = dict(os.environ, LD_PRELOAD=replaced_libm)
    done = subprocess.run(
        [sys.executable, "-c", script, str(Path(__file__).parent), str(tmp / "libm_x.npy"), *map(str, paths)],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    )
    for label, path, line in zip(("GELU", "Softmax"), paths, done.stdout.split("\n")):
        child_rate, child_digest = line.split()
        engine = engine_for(path)
        same = hashlib.sha256(engine.run([x])[0].tobytes()).hexdigest() == child_digest
        mine = x.size / median_seconds(lambda: engine.run([x])) / 1e6
        table.rate_row(
            f"{label} [{rows},{cols}], elements, C library expf/tanhf replaced, {'same' if same else 'OTHER'} bits",
            float(child_rate),
            "QEN, C library's own",
            mine,
            "M/s",
        )


def bench_load(table, tmp, qen_path, w, b):
    onnx_path = save_onnx(tmp / "large.onnx", [(w, b)], w.shape[1], [None])
    size = f"{qen_path.stat().st_size / 2**30:.2f} GiB"
    mine = median_seconds(lambda: qen.Engine().load_model(str(qen_path)), repeats=5, budget=0.5)
    theirs = median_seconds(lambda: ort_session(onnx_path, 1), repeats=3, budget=0.1)
    table.time_row(f"load_model, {size} model", mine, "ONNX Runtime session creation", theirs)


def bench_threads(table, tmp):
    """threads=2 against threads=1 on the same model file, and against the single-thread peers."""
    m, k, n = 256, 1024, 1024
    w, b = weights(n, k), weights(1, n)[0]
    path = save_qen(tmp / "linear_threads.qen", [(w, b)], k, [None])
    x = RNG.standard_normal((m, k), dtype=F32)
    flops = 2.0 * m * n * k
    rate = {t: flops / median_seconds(lambda e=engine_for(path, t): e.run([x])) / 1e9 for t in (1, 2)}
    with threadpool_limits(1):
        numpy_rate = flops / median_seconds(lambda: x @ w.T + b) / 1e9
    case = f"Linear [{m},{k}]x[{n},{k}]^T, threads=2"
    table.rate_row(case, rate[2], "QEN, threads=1", rate[1], "GFLOP/s")
    table.rate_row(case, rate[2], "numpy, 1 thread", numpy_rate, "GFLOP/s")

    layers = [(weights(128, 64), weights(1, 128)[0]), (weights(10, 128), weights(1, 10)[0])]
    path = save_qen(tmp / "mlp_threads.qen", layers, 64, [RELU, SOFTMAX])
    session = ort_session(save_onnx(tmp / "mlp_threads.onnx", layers, 64, [RELU, SOFTMAX]), 1)
    x = RNG.standard_normal((64, 64), dtype=F32)
    mine = {t: median_seconds(lambda e=engine_for(path, t): e.run([x])) for t in (1, 2)}
    case = "MLP 64-128-10, batch 64, threads=2"
    table.time_row(case, mine[2], "QEN, threads=1", mine[1])
    table.time_row(case, mine[2], "ONNX Runtime, 1 thread", median_seconds(lambda: session.run(None, {"x": x})))

    rows, cols = 256, 4096
    path = save_single_op_qen(tmp / "gelu_threads.qen", GELU, cols)
    x = (RNG.standard_normal((rows, cols), dtype=F32) * F32(3)).astype(F32)
    rate = {t: x.size / median_seconds(lambda e=engine_for(path, t): e.run([x])) / 1e6 for t in (1, 2)}
    table.rate_row(f"GELU [{rows},{cols}], elements, threads=2", rate[2], "QEN, threads=1", rate[1], "M/s")


def bench_python_threads(table, tmp):
    """Runs per second of two Python threads, each with an Engine (threads=1), against one thread."""
    layers = [(weights(128, 64), weights(1, 128)[0]), (weights(10, 128), weights(1, 10)[0])]
    path = save_qen(tmp / "mlp_python_threads.qen", layers, 64, [RELU, SOFTMAX])
    x = RNG.standard_normal((64, 64), dtype=F32)
    runs = 2000

    def runs_per_second(count):
        engines = [engine_for(path) for _ in range(count)]
        threads = [threading.Thread(target=lambda e=e: [e.run([x]) for _ in range(runs)]) for e in engines]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return count * runs / (time.perf_counter() - start)

    one = statistics.median(runs_per_second(1) for _ in range(5))
    two = statistics.median(runs_per_second(2) for _ in range(5))
    table.rate_row(
        "MLP 64-128-10, batch 64, two Python threads on two Engines, runs",
        two / 1e3,
        "one Python thread",
        one / 1e3,
        "k/s",
    )


def bench_call_overhead(table, tmp):
    """A graph without nodes whose output is its input: the cost of a call, conversions included."""
    writer = ModelWriter(producer="bench", producer_version="0")
    writer.add_output(writer.add_input("x", (None, 64)))
    writer.write(tmp / "identity.qen")
    graph = helper.make_graph(
        [helper.make_node("Identity", ["x"], ["y"])],
        "identity",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [None, 64])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)],
    )
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]), str(tmp / "identity.onnx"))
    engine = engine_for(tmp / "identity.qen")
    session = ort_session(tmp / "identity.onnx", 1)
    x = RNG.standard_normal((1, 64), dtype=F32)
    table.time_row(
        "Zero-node run, [1,64] in and out",
        median_seconds(lambda: engine.run([x])),
        "ONNX Runtime Identity, 1 thread",
        median_seconds(lambda: session.run(None, {"x": x})),
    )


def bench_idle_pool(table, tmp):
    """CPU time of a process whose pool has just run, over one second of idling, in its own process."""
    path = save_single_op_qen(tmp / "gelu_idle.qen", GELU, 4096)
    script = textwrap.dedent("""
        import sys, time
        import numpy as np
        import _qen_core as qen
        engine = qen.Engine(threads=2)
        engine.load_model(sys.argv[1])
        x = np.ones((64, 4096), np.float32)
        for _ in range(20):
            engine.run([x])
        start = time.process_time()
        time.sleep(1.0)
        print(time.process_time() - start)
    """)
    done = subprocess.run([sys.executable, "-c", script, str(path)], check=True, capture_output=True, text=True)
    table.limit_row("Idle pool after a run (threads=2), CPU over 1 s", 100 * float(done.stdout), "% of a core", 1.0)


_PEAK = {}


def peak_read(key):
    return _PEAK["read_gbps"][key]


def cpu_model():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


def serve_large_blocks_from_the_heap():
    """Frees one 16 MiB block, which raises glibc's threshold for giving a block its own mapping.

    Until some large free has done so, every multi-MiB temporary of numpy (and of the peers) is a
    fresh mapping whose pages fault in on first touch; a long-running program has long passed that
    point, so the peers are measured as they run there.
    """
    block = np.ones(4 << 20, dtype=F32)
    del block


def main():
    peak_tool = sys.argv[1]
    serve_large_blocks_from_the_heap()
    peak = subprocess.run([peak_tool, "2", "8", "64", "1024"], check=True, capture_output=True, text=True)
    _PEAK.update(json.loads(peak.stdout))
    with threadpool_limits(1):
        blas = ", ".join(
            f"{p['internal_api']} {p.get('version')} ({p.get('architecture')})"
            for p in threadpool_info()
            if p["user_api"] == "blas"
        )
    table = Table(_PEAK["variant"])
    with tempfile.TemporaryDirectory(prefix="qen-bench-") as tmp:
        tmp = Path(tmp)
        bench_real_model(table, tmp, (784, 512, 256, 10), RELU, (1, 256), every_core=(256,))
        bench_real_model(table, tmp, (784, 1024, 1024, 10), GELU, (1, 256))
        bench_small_model_call(table, tmp)
        bench_linear(table, tmp, _PEAK)
        bench_gemv(table, tmp, 1024, "2", "read rate, 2 MiB buffer", 7, rows=512)
        bench_gemv(table, tmp, 4096, "64", "read rate, 64 MiB buffer", 7)
        bench_mlp(table, tmp)
        bench_elementwise(table, tmp)
        if len(sys.argv) > 2:
            bench_replaced_libm(table, tmp, sys.argv[2])
        bench_threads(table, tmp)
        bench_python_threads(table, tmp)
        bench_call_overhead(table, tmp)
        bench_idle_pool(table, tmp)
        path, w, b = bench_gemv(table, tmp, 16384, "1024", "read rate, 1 GiB buffer", 5)
        bench_load(table, tmp, path, w, b)
        del w, b
        gc.collect()
    fused = f", fused multiply-add {_PEAK['fused_gflops']:.1f} GFLOP/s" if _PEAK["fused_gflops"] else ""
    print(
        f"CPU: {cpu_model()}; one core: mul+add peak {_PEAK['mul_add_gflops']:.1f} GFLOP/s "
        f"({_PEAK['width']} lanes){fused}, read rate {peak_read('2'):.1f} GB/s (2 MiB), "
        f"{peak_read('64'):.1f} GB/s (64 MiB), "
        f"{peak_read('1024'):.1f} GB/s (1 GiB)"
    )
    print()
    print(
        f"numpy {np.__version__} with {blas or 'no BLAS found'}; ONNX Runtime {ort.__version__}"
        + (f"; PyTorch {torch.__version__}" if torch is not None else "; PyTorch not installed")
    )
    print()
    table.print()


if __name__ == "__main__":
    main()
