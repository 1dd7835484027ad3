"""`qen.from_sklearn`: a fitted `MLPClassifier` or `MLPRegressor`, alone or in a Pipeline, to a model file.

Hidden layers map exactly when their activation is 'relu' or 'identity';
'logistic' and 'tanh' have no counterpart among the runtime's operations and
are refused. The output layer: softmax for a multi-class classifier,
identity for a regressor, and for a binary classifier, whose single output z
goes through a logistic in scikit-learn, a 2-way softmax over [0, z]: its
second column is 1 / (1 + exp(-z)) and its first 1 - that, the two columns
of `predict_proba`, equal up to float32 rounding (not bit for bit: the
formula is evaluated differently). A multi-label classifier (independent
logistic outputs) is refused. The class labels go into the metadata as
"classes", in the order of the output columns, and the column names of a
model fitted on a DataFrame as "feature_names".

A `Pipeline` maps when its last step is one of those MLPs and the steps in
front of it are `StandardScaler`, `MinMaxScaler` (without clip=True) or
`MaxAbsScaler` (or 'passthrough'): each is x * scale + shift per feature,
folded into the first Linear. Any other step (PCA, a ColumnTransformer, a
FunctionTransformer...) is refused with a `ValueError` naming it.
"""

from __future__ import annotations

import os
import warnings
from typing import Any

import numpy as np

from ..writer import Layer
from .conversion import AffineFolding, import_framework, json_values, make_probe, write_checked

__all__ = ["from_sklearn"]

_CONVERTER = "qen.from_sklearn"
_SCALERS = "StandardScaler, MinMaxScaler (clip=False) and MaxAbsScaler steps"


def from_sklearn(estimator, path: str | os.PathLike) -> None:
    """Writes the fitted `estimator` (an MLP or a Pipeline of scalers and an MLP) to `path`.

    The written file is checked against the estimator's `predict_proba` (a
    classifier) or `predict` (a regressor) on a probe batch first.
    """
    sklearn = import_framework("sklearn", "sklearn", _CONVERTER)
    from sklearn.neural_network import MLPClassifier, MLPRegressor
    from sklearn.pipeline import Pipeline

    model, steps = estimator, []
    if isinstance(estimator, Pipeline):
        *steps, (_, estimator) = estimator.steps
    kind = type(estimator).__name__
    if not isinstance(estimator, (MLPClassifier, MLPRegressor)):
        raise ValueError(
            f"estimator {kind}: not supported; the converter maps a fitted MLPClassifier or "
            f"MLPRegressor, alone or at the end of a Pipeline of {_SCALERS}"
        )
    if getattr(estimator, "coefs_", None) is None:
        raise ValueError(f"estimator {kind}: not fitted")
    classifier = isinstance(estimator, MLPClassifier)
    hidden = estimator.activation
    if hidden not in ("relu", "identity"):
        raise ValueError(
            f"{kind} hidden layers: activation={hidden!r} has no exact mapping onto the runtime's "
            "operations; use activation='relu' or 'identity'"
        )
    out = estimator.out_activation_
    if out == "logistic" and (not classifier or estimator.n_outputs_ != 1):
        raise ValueError(
            f"{kind} output layer: {estimator.n_outputs_} independent logistic outputs "
            "(multi-label) have no exact mapping; a softmax covers one label per row"
        )
    if out not in ("softmax", "identity", "logistic"):
        raise ValueError(f"{kind} output layer: out_activation_={out!r} has no exact mapping")

    layers: list[Layer] = []
    tensors: dict[str, np.ndarray] = {}
    last = len(estimator.coefs_) - 1
    folding = AffineFolding(layers, tensors)
    for name, step in steps:
        scale, shift = _scaler(name, step)
        folding.affine(f"step {name!r} ({type(step).__name__})", scale, shift, estimator.n_features_in_)
    for i, (weight, bias) in enumerate(zip(estimator.coefs_, estimator.intercepts_)):
        name = "output" if i == last else f"hidden_{i + 1}"
        weight, bias = folding.linear(name, np.asarray(weight, np.float32).T, np.asarray(bias, np.float32))
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
                return model.predict_proba(batch.astype(np.float64))
            return model.predict(batch.astype(np.float64)).reshape(len(batch), -1)

    metadata = {"classes": json_values(estimator.classes_)} if classifier else {}
    names = getattr(model, "feature_names_in_", None)
    if names is not None:
        metadata["feature_names"] = json_values(names)
    write_checked(
        path,
        layers,
        tensors,
        probe=make_probe(estimator.n_features_in_),
        source=source,
        converter=_CONVERTER,
        producer_version=sklearn.__version__,
        output_name="probabilities" if classifier else "predictions",
        metadata=metadata,
    )


def _scaler(name: str, step) -> tuple[Any, Any]:
    """A Pipeline step as x * scale + shift per feature (single values where it leaves x as it is)."""
    from sklearn.preprocessing import MaxAbsScaler, MinMaxScaler, StandardScaler

    label = f"Pipeline step {name!r} ({type(step).__name__})"
    if step is None or step == "passthrough":
        return 1.0, 0.0
    if type(step) not in (StandardScaler, MinMaxScaler, MaxAbsScaler):
        raise ValueError(f"{label}: not supported; in front of the MLP the converter maps {_SCALERS}")
    if not hasattr(step, "n_features_in_"):
        raise ValueError(f"{label}: not fitted")
    if isinstance(step, MinMaxScaler):
        if step.clip:
            raise ValueError(f"{label}: clip=True bounds the values, which no Linear does; fit it with clip=False")
        return step.scale_, step.min_
    if isinstance(step, MaxAbsScaler):
        return 1.0 / step.scale_, 0.0
    # (x - mean) / scale; mean_ is there with with_mean=False too (it gives the variance) but unused
    scale = 1.0 / step.scale_ if step.with_std else 1.0
    return scale, -np.asarray(step.mean_) * scale if step.with_mean else 0.0
