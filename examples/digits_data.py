"""The 8x8 handwritten digits that scikit-learn ships, split the same way for
training and for the demo."""

import numpy as np
from sklearn.datasets import load_digits

TEST_FRACTION = 0.2
SEED = 0


def split():
    """Returns (x_train, y_train, x_test, y_test); x is float32 scaled to [0, 1]."""
    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)
    y = digits.target.astype(np.int64)
    order = np.random.default_rng(SEED).permutation(len(x))
    n_test = int(len(x) * TEST_FRACTION)
    test, train = order[:n_test], order[n_test:]
    return x[train], y[train], x[test], y[test]
