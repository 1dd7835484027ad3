"""Scores a million rows with digits.qen on Ray Data.

Starts a local Ray instance with two worker processes (or, with --address,
joins a running cluster: the scoring code is the same), builds a dataset of a
million rows of pixels, and scores it with `qen.ray.score`. It prints the rows
per second of one process running the same batches and of the Ray run, checks
that both give the same bits, and prints each worker's private memory as its
/proc/<pid>/smaps_rollup reports it. Every worker maps the model file
read-only, so the weights are held once per machine, in the page cache.
"""

import argparse
import os
import time
from pathlib import Path

import numpy as np
import ray

import qen
from qen.ray import BatchScorer, score

MODEL = Path(__file__).with_name("digits.qen")


MEMORY = ("private", "heap", "resident")  # the figures each worker reports, in KiB


def memory_kib() -> list[int]:
    """This process's MEMORY figures from /proc/self/smaps_rollup.

    private: pages that no other process maps (its heap, and object-store
    blocks that only it has mapped); heap: its anonymous pages; resident: all
    its pages in memory, shared ones (libraries, the model file) included.
    """
    kib = {}
    with open("/proc/self/smaps_rollup") as rollup:
        for line in rollup:
            key, _, value = line.partition(":")
            if value.endswith(" kB\n"):
                kib[key] = int(value.split()[0])
    return [kib["Private_Clean"] + kib["Private_Dirty"], kib["Anonymous"], kib["Rss"]]


class MeasuredScorer(BatchScorer):
    """A BatchScorer that returns only the outputs, so the pixels are not sent
    back, and tags each row with its worker's pid and memory."""

    def __call__(self, batch):
        scored = super().__call__(batch)
        outputs = {name: scored[name] for name in self.outputs}
        rows = len(next(iter(outputs.values())))
        outputs["worker_pid"] = np.full(rows, os.getpid())
        for key, kib in zip(MEMORY, memory_kib()):
            outputs[f"worker_{key}_kib"] = np.full(rows, kib)
        return outputs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", type=Path, default=MODEL)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--batch-size", type=int, default=4096)
    parser.add_argument("--address", help="a running Ray cluster to join instead of a local instance")
    args = parser.parse_args()

    session = qen.load(args.model)
    (graph_input,), (graph_output,) = session.get_inputs(), session.get_outputs()
    pixels = np.random.default_rng(0).random((args.rows, graph_input.shape[1]), dtype=np.float32)

    start = time.perf_counter()
    expected = np.concatenate([session.run(None, {graph_input.name: pixels[i:i + args.batch_size]})[0]
                               for i in range(0, args.rows, args.batch_size)])
    single = args.rows / (time.perf_counter() - start)
    print(f"one process, one thread: {single:,.0f} rows/s")

    if args.address:
        ray.init(address=args.address)
    else:
        ray.init(address="local", num_cpus=args.workers, include_dashboard=False)
    try:
        # Outputs come back in the order of the rows, to be compared with `expected`.
        ray.data.DataContext.get_current().execution_options.preserve_order = True
        dataset = ray.data.from_numpy(np.array_split(pixels, 4 * args.workers))
        scored = score(dataset, args.model, workers=args.workers, batch_size=args.batch_size,
                       inputs={"data": graph_input.name}, scorer=MeasuredScorer)
        start = time.perf_counter()
        outputs, memory, first = [], {}, None
        for batch in scored.iter_batches(batch_size=None, batch_format="numpy"):
            first = first or time.perf_counter() - start
            outputs.append(batch[graph_output.name])
            workers = np.stack([batch["worker_pid"]] + [batch[f"worker_{key}_kib"] for key in MEMORY], 1)
            for pid, *kib in np.unique(workers, axis=0).tolist():
                memory[pid] = max(memory.get(pid, kib), kib)
        elapsed = time.perf_counter() - start
    finally:
        ray.shutdown(wait_for_processes=True)

    result = np.concatenate(outputs)
    print(f"Ray, {args.workers} workers of one thread: {args.rows / elapsed:,.0f} rows/s "
          f"({elapsed:.2f} s, the first rows after {first:.2f} s of start-up)")
    print("identical to the one-process run bit for bit:",
          result.shape == expected.shape and result.tobytes() == expected.tobytes())
    print(f"model file: {args.model.stat().st_size / 2**20:.2f} MiB, mapped read-only by every worker")
    for pid, (private, heap, resident) in sorted(memory.items()):
        print(f"worker pid {pid}: {private / 1024:.1f} MiB private memory ({heap / 1024:.1f} MiB of it heap, "
              f"the rest object-store blocks), {(resident - private) / 1024:.1f} MiB shared with other processes")


if __name__ == "__main__":
    main()
