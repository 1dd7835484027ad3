"""Scores a million rows with digits.qen (or --model) on Ray Data.

Starts a local Ray instance with two worker processes (or, with --address,
joins a running cluster: the scoring code is the same), builds a dataset of a
million rows of pixels, and scores it with `qen.ray.score`. --model is a local
path or a URI that pyarrow opens (s3://bucket/digits.qen, with the store's
credentials in the environment as pyarrow reads them); it is read here, on
the driver, and reaches every node through Ray's object store, so no node
needs the file. It prints the rows per second of one process running the same
batches and of the Ray run, checks that both give the same bits, and prints
each worker's node and memory as its /proc/<pid>/smaps_rollup reports it, with
the part the model file's mapping takes. Every worker maps its node's copy of
the file read-only, so the weights are held once per machine, in the page
cache, and count as no worker's private memory.
"""

import argparse
import os
import time
from pathlib import Path

import numpy as np
import ray

from qen.ray import BatchScorer, score

MODEL = Path(__file__).with_name("digits.qen")


# The figures each worker reports, in KiB: its private pages (no other process
# maps them: its heap, and object-store blocks that only it has mapped), its
# heap (anonymous pages), all its resident pages, and the model file's resident
# and private pages.
MEMORY = ("private", "heap", "resident", "model_resident", "model_private")


def smaps_kib(path: str, mapping: str | None = None) -> dict[str, int]:
    """Sums the sizes in a /proc smaps file, over the mappings of file `mapping` alone when given."""
    kib, counted = {}, mapping is None
    with open(path) as smaps:
        for line in smaps:
            if not line[0].isupper():  # a mapping's header: address range, permissions, ..., path
                counted = mapping is None or line.rstrip("\n").endswith(" " + mapping)
            elif counted and line.endswith(" kB\n"):
                key, _, value = line.partition(":")
                kib[key] = kib.get(key, 0) + int(value.split()[0])
    return kib


def memory_kib(model: str) -> list[int]:
    """This process's MEMORY figures."""
    total, mapped = smaps_kib("/proc/self/smaps_rollup"), smaps_kib("/proc/self/smaps", model)

    def private(kib):
        return kib.get("Private_Clean", 0) + kib.get("Private_Dirty", 0)

    return [private(total), total["Anonymous"], total["Rss"], mapped.get("Rss", 0), private(mapped)]


class MeasuredScorer(BatchScorer):
    """A BatchScorer that tags each row with its worker's node, pid and memory.
    Reading /proc costs milliseconds, so memory is measured at most once a second."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.mapped = os.path.realpath(self.session.path)  # the node's copy of the model
        self.node = ray.util.get_node_ip_address()
        self.measured_at, self.memory = -1.0, []

    def __call__(self, batch):
        outputs = super().__call__(batch)
        if time.monotonic() - self.measured_at > 1:
            self.measured_at, self.memory = time.monotonic(), memory_kib(self.mapped)
        rows = len(outputs[self.outputs[0]])
        outputs["worker_node"] = np.full(rows, self.node)
        outputs["worker_pid"] = np.full(rows, os.getpid())
        for key, kib in zip(MEMORY, self.memory):
            outputs[f"worker_{key}_kib"] = np.full(rows, kib)
        return outputs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", default=str(MODEL), help="a local path or a URI: s3://bucket/digits.qen")
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--batch-size", type=int, default=4096)
    parser.add_argument("--address", help="a running Ray cluster to join (host:port) instead of a local instance")
    args = parser.parse_args()

    session = BatchScorer(args.model).session  # a URI is fetched once and mapped from this machine's cache
    (graph_input,), (graph_output,) = session.get_inputs(), session.get_outputs()
    pixels = np.random.default_rng(0).random((args.rows, graph_input.shape[1]), dtype=np.float32)

    start = time.perf_counter()
    expected = np.concatenate(
        [
            session.run(None, {graph_input.name: pixels[i : i + args.batch_size]})[0]
            for i in range(0, args.rows, args.batch_size)
        ]
    )
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
        # The rows are in the object store already, so every CPU can go to a worker from the start.
        scored = score(
            dataset,
            args.model,
            workers=args.workers,
            min_workers=args.workers,
            batch_size=args.batch_size,
            inputs={"data": graph_input.name},
            keep_columns=False,  # only the outputs come back, not the pixels
            scorer=MeasuredScorer,
        )
        start = time.perf_counter()
        outputs, memory, first = [], {}, None
        for batch in scored.iter_batches(batch_size=None, batch_format="numpy"):
            outputs.append(batch[graph_output.name])
            first = first or time.perf_counter() - start
            # Each worker's latest figures: the model's pages count as private
            # to the first worker that maps them until the other maps them too.
            pids = batch["worker_pid"]
            for pid in np.unique(pids).tolist():
                last = np.flatnonzero(pids == pid)[-1]
                worker = (str(batch["worker_node"][last]), pid)
                memory[worker] = [batch[f"worker_{key}_kib"][last] / 1024 for key in MEMORY]
        elapsed = time.perf_counter() - start
    finally:
        ray.shutdown(wait_for_processes=True)

    result = np.concatenate(outputs)
    print(
        f"Ray, {args.workers} workers of one thread: {args.rows / elapsed:,.0f} rows/s ({elapsed:.2f} s, "
        f"start-up included: the first rows came after {first:.2f} s)"
    )
    print(
        "identical to the one-process run bit for bit:",
        result.shape == expected.shape and result.tobytes() == expected.tobytes(),
    )
    print(f"model file: {os.path.getsize(session.path) / 2**20:.2f} MiB, mapped read-only by every worker")
    for (node, pid), (private, heap, resident, model_resident, model_private) in sorted(memory.items()):
        print(
            f"worker pid {pid} on node {node}: {private:.1f} MiB private memory ({heap:.1f} MiB of it heap, the rest "
            f"object-store blocks), {resident - private:.1f} MiB shared with other processes; "
            f"of the model file {model_resident:.2f} MiB resident, {model_private:.2f} MiB private"
        )


if __name__ == "__main__":
    main()
