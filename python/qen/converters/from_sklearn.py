"""`qen.from_sklearn`: a fitted `MLPClassifier` or `MLPRegressor` to a model file.

Hidden layers map exactly when their activation is 'relu' or 'identity';
'logistic' and 'tanh' have no counterpart among the runtime's operations and
are refused. The output layer: softmax for a multi-class classifier,
identity for a regressor, and for a binary classifier, whose single output z
goes through a logistic in scikit-learn, a 2-way softmax over [0, z]: its
second column is 1 / (1 + exp(-z)) and its first 1 - that, the two columns
of `predict_proba`, equal up to float32 rounding (not bit for bit: the
formula is evaluated differently). A multi-label classifier (independent
logistic outputs) is refused. The class labels go into the metadata as
"classes", in the order of the output columns.
"""

from __future__ import annotations

import os
import warnings

import numpy as np

from ..writer import Layer
from .conversion import import_framework, make_probe, write_checked

__all__ = ["from_sklearn"]

_CONVERTER = "qen.from_sklearn"


def from_sklearn(estimator, path: str | os.PathLike) -> None:
    """Writes the fitted `estimator` to `path`, checked against its `predict_proba` or `predict` first."""
    sklearn = import_framework("sklearn", "sklearn", _CONVERTER)
    from sklearn.neural_network import MLPClassifier, MLPRegressor

    kind = type(estimator).__name__
    if not isinstance(estimator, (MLPClassifier, MLPRegressor)):
        raise ValueError(f"estimator {kind}: not supported; the converter maps a fitted MLPClassifier or "
                         "MLPRegressor (a Pipeline's preprocessing steps have no mapping)")
    if getattr(estimator, "coefs_", None) is None:
        raise ValueError(f"estimator {kind}: not fitted")
    classifier = isinstance(estimator, MLPClassifier)
    hidden = estimator.activation
    if hidden not in ("relu", "identity"):
        raise ValueError(f"{kind} hidden layers: activation={hidden!r} has no exact mapping onto the runtime's "
                         "operations; use activation='relu' or 'identity'")
    out = estimator.out_activation_
    if out == "logistic" and (not classifier or estimator.n_outputs_ != 1):
        raise ValueError(f"{kind} output layer: {estimator.n_outputs_} independent logistic outputs "
                         "(multi-label) have no exact mapping; a softmax covers one label per row")
    if out not in ("softmax", "identity", "logistic"):
        raise ValueError(f"{kind} output layer: out_activation_={out!r} has no exact mapping")

    layers, tensors, last = [], {}, len(estimator.coefs_) - 1
    for i, (weight, bias) in enumerate(zip(estimator.coefs_, estimator.intercepts_)):
        name = "output" if i == last else f"hidden_{i + 1}"
        weight, bias = np.asarray(weight, np.float32).T, np.asarray(bias, np.float32)
        if i == last and out == "logistic":
            # [0, z]: a zero row and a zero bias before the single logistic unit.
            weight = np.vstack([np.zeros_like(weight), weight])
            bias = np.concatenate([np.zeros_like(bias), bias])
        tensors[f"{name}.weight"], tensors[f"{name}.bias"] = weight, bias
        layers.append(Layer("linear", f"{name}.weight", f"{name}.bias", name=name))
        if i < last and hidden == "relu":
            layers.append(Layer("relu", name=f"{name}.relu"))
    if out in ("softmax", "logistic"):
        layers.append(Layer("softmax", name=f"output.{out}"))

    def source(batch: np.ndarray) -> np.ndarray:
        with warnings.catch_warnings():
            # A model fitted on a DataFrame warns that the probe has no column names.
            warnings.filterwarnings("ignore", message=".*feature names", category=UserWarning)
            if classifier:
                return estimator.predict_proba(batch.astype(np.float64))
            return estimator.predict(batch.astype(np.float64)).reshape(len(batch), -1)

    metadata = {"classes": [c if isinstance(c, (str, int, float, bool)) else str(c)
                            for c in estimator.classes_.tolist()]} if classifier else None
    write_checked(path, layers, tensors, probe=make_probe(estimator.n_features_in_), source=source,
                  converter=_CONVERTER, producer_version=sklearn.__version__,
                  output_name="probabilities" if classifier else "predictions", metadata=metadata)
