"""Trains a digit classifier with numpy and writes digits.qen with qen's writer.

64 pixels -> Linear 64 -> GELU -> Linear 32 -> ReLU -> Linear 10 -> Softmax.
Plain full-batch Adam on cross-entropy; deterministic for a given numpy. The
file carries a certificate of its weights and of its output bits.
Run: python examples/train_digits.py [output path]
"""

import sys
from pathlib import Path

import numpy as np
from digits_data import split

import qen

SIZES = [64, 64, 32, 10]
STEPS = 600
LEARNING_RATE = 0.01


def gelu(v):
    return 0.5 * v * (1.0 + np.tanh(0.7978846 * (v + 0.044715 * v**3)))


def gelu_grad(v):
    t = np.tanh(0.7978846 * (v + 0.044715 * v**3))
    return 0.5 * (1 + t) + 0.5 * v * (1 - t**2) * 0.7978846 * (1 + 3 * 0.044715 * v**2)


def forward(params, x):
    (w1, b1), (w2, b2), (w3, b3) = params
    z1 = x @ w1.T + b1
    a1 = gelu(z1)
    z2 = a1 @ w2.T + b2
    a2 = np.maximum(z2, 0)
    logits = a2 @ w3.T + b3
    p = np.exp(logits - logits.max(axis=1, keepdims=True))
    return (z1, a1, z2, a2), p / p.sum(axis=1, keepdims=True)


def train(x, y):
    rng = np.random.default_rng(1)
    params = [
        [rng.normal(0, np.sqrt(2 / n_in), (n_out, n_in)), np.zeros(n_out)] for n_in, n_out in zip(SIZES, SIZES[1:])
    ]
    moments = (
        [[np.zeros_like(p) for p in layer] for layer in params],
        [[np.zeros_like(p) for p in layer] for layer in params],
    )
    onehot = np.eye(10)[y]
    for step in range(1, STEPS + 1):
        (z1, a1, z2, a2), p = forward(params, x)
        d3 = (p - onehot) / len(x)
        d2 = (d3 @ params[2][0]) * (z2 > 0)
        d1 = (d2 @ params[1][0]) * gelu_grad(z1)
        grads = [[d1.T @ x, d1.sum(0)], [d2.T @ a1, d2.sum(0)], [d3.T @ a2, d3.sum(0)]]
        for layer, grad_layer, m_layer, v_layer in zip(params, grads, *moments):
            for i, g in enumerate(grad_layer):
                m_layer[i] = 0.9 * m_layer[i] + 0.1 * g
                v_layer[i] = 0.999 * v_layer[i] + 0.001 * g * g
                m_hat, v_hat = m_layer[i] / (1 - 0.9**step), v_layer[i] / (1 - 0.999**step)
                layer[i] -= LEARNING_RATE * m_hat / (np.sqrt(v_hat) + 1e-8)
    return params


def write_model(path, params, accuracy):
    tensors = {}
    for i, (w, b) in enumerate(params):
        tensors[f"fc{i}.weight"], tensors[f"fc{i}.bias"] = w.astype(np.float32), b.astype(np.float32)
    fc = [qen.Layer("linear", f"fc{i}.weight", f"fc{i}.bias", name=f"fc{i}") for i in range(3)]
    layers = [fc[0], qen.Layer("gelu"), fc[1], qen.Layer("relu"), fc[2], qen.Layer("softmax")]
    qen.write_sequential(
        path,
        layers,
        tensors,
        input_shape=(None, SIZES[0]),
        certify=True,
        metadata={
            "name": "digits-mlp",
            "input": "8x8 pixels / 16, flattened",
            "layers": SIZES,
            "test_accuracy": round(accuracy, 4),
            "classes": list(range(10)),
        },
        producer="examples/train_digits.py",
        producer_version=qen.__version__,
    )


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("digits.qen")
    x_train, y_train, x_test, y_test = split()
    params = train(x_train.astype(np.float64), y_train)
    accuracy = float((forward(params, x_test)[1].argmax(1) == y_test).mean())
    write_model(out, params, accuracy)
    print(f"wrote {out.name}: test accuracy {accuracy:.4f}")


if __name__ == "__main__":
    main()
