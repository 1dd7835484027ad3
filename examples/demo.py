"""Classifies the held-out 8x8 digits with the QEN runtime.

Runs digits.qen (written by train_digits.py) through an Engine, reports its
accuracy and how closely it agrees with a plain numpy forward pass over the
same weights, checks that a second run is identical bit for bit, and loads
the model into a GraphExecutor to show its planned arena.
"""

import json
import time
from pathlib import Path

import numpy as np

import _qen_core as qen
from digits_data import split

MODEL = Path(__file__).with_name("digits.qen")


def numpy_forward(x, weights):
    """The same network in float32 numpy (its own order of additions)."""
    (w1, b1), (w2, b2), (w3, b3) = weights
    h = x @ w1.T + b1
    h = np.float32(0.5) * h * (np.float32(1) + np.tanh(np.float32(0.7978846) * (h + np.float32(0.044715) * h**3)))
    h = np.maximum(h @ w2.T + b2, np.float32(0))
    z = h @ w3.T + b3
    e = np.exp(z - z.max(axis=1, keepdims=True))
    return e / e.sum(axis=1, keepdims=True)


def stored_weights(model_bytes):
    """Reads the three Linear layers' weights back out of the file with numpy."""
    from qen_writer import FILE_HEADER, GRAPH_HEADER, TENSOR_RECORD
    _, _, _, _, graph, _, weights = FILE_HEADER.unpack_from(model_bytes)
    num_tensors = GRAPH_HEADER.unpack_from(model_bytes, graph)[1]
    arrays = []
    for i in range(num_tensors):
        offset, size, ndim, *rest = TENSOR_RECORD.unpack_from(model_bytes, graph + GRAPH_HEADER.size + 56 * i)
        if size:
            arrays.append(np.frombuffer(model_bytes, np.float32, size // 4, weights + offset).reshape(rest[:ndim]))
    return list(zip(arrays[0::2], arrays[1::2]))


def main():
    _, _, x_test, y_test = split()
    print("model:", json.loads(qen.ModelLoader(str(MODEL)).get_metadata())["name"])

    engine = qen.Engine()
    engine.load_model(str(MODEL))
    start = time.perf_counter()
    (probabilities,) = engine.run([x_test])
    elapsed = time.perf_counter() - start
    (again,) = engine.run([x_test])

    reference = numpy_forward(x_test, stored_weights(MODEL.read_bytes()))
    accuracy = (probabilities.argmax(axis=1) == y_test).mean()
    agreement = (probabilities.argmax(axis=1) == reference.argmax(axis=1)).mean()
    print(f"test samples: {len(x_test)}, batch run in {elapsed * 1e3:.2f} ms")
    print(f"accuracy: {accuracy:.4f}")
    print(f"agreement with numpy: {agreement:.4f} of predictions, "
          f"max |difference| {np.abs(probabilities - reference).max():.2e}")
    print("second run identical bit for bit:", probabilities.tobytes() == again.tobytes())
    print(f"engine peak of node-output memory: {engine.peak_memory_usage()} bytes")

    executor = qen.GraphExecutor()
    executor.load_model(str(MODEL))
    # The plan sizes tensors by their stored bytes; intermediate results are
    # placeholders whose size is known only once a batch arrives.
    print(f"graph executor planned arena: {executor.peak_memory()} bytes (placeholders reserve none)")


if __name__ == "__main__":
    main()
